// writer_app: see the header. The program entry is here as well.

#include "writer_app.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <iterator>
#include <string>

#include "win_text.h"
#include "writer_dlg.h"
#include "writer_strings.h"

namespace {

// Paths are kept below the classic limit of 260 characters.
constexpr std::size_t WRITER_MAX_PATH = 260;

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// parent\name, made when missing; false when it is too long or cannot be made.
bool MakeSubfolder(const std::wstring& parent, const wchar_t* name, std::wstring& out)
{
    out = parent + L"\\" + name;
    if (out.size() >= WRITER_MAX_PATH) {
        return false;
    }
    return IsDirectory(out) || CreateDirectoryW(out.c_str(), nullptr) || IsDirectory(out);
}

}  // namespace

bool CTQZLinkFirmUpdateApp::InitPaths()
{
    wchar_t module[WRITER_MAX_PATH] = L"";
    const DWORD n = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    if (n == 0 || n >= std::size(module)) {
        return false;
    }
    std::wstring folder(module, n);
    const std::size_t slash = folder.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return false;
    }
    folder.resize(slash);

    m_paths.szTools = folder + L"\\Files";
    m_paths.szScript = m_paths.szTools + L"\\ucl2.xml";
    if (m_paths.szScript.size() >= WRITER_MAX_PATH || !IsDirectory(m_paths.szTools) || !IsFile(m_paths.szScript)) {
        return false;
    }

    wchar_t appData[MAX_PATH] = L"";
    if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, TRUE)) {
        return false;
    }
    std::wstring maker;
    if (!MakeSubfolder(appData, L"Varnoth", maker) || !MakeSubfolder(maker, L"DOZURIvudOzazuv", m_paths.szWorking)) {
        return false;
    }
    m_paths.szLog = m_paths.szWorking + L"\\MfgTool.log";
    return m_paths.szLog.size() < WRITER_MAX_PATH;
}

int CTQZLinkFirmUpdateApp::Run(HINSTANCE instance)
{
    m_hInstance = instance;

    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_WIN95_CLASSES | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_COOL_CLASSES |
                                      ICC_INTERNET_CLASSES | ICC_PAGESCROLLER_CLASS | ICC_NATIVEFNTCTL_CLASS |
                                      ICC_STANDARD_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&controls);
    // Control containment (hosting ActiveX controls) needs nothing here: the
    // writer's dialogs hold standard controls only.

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        ShowWriterMessage(nullptr, IDS_COM_INIT_FAILED, WriterIcon::Stop);
        return 0;
    }

    if (!InitPaths()) {
        ShowWriterMessage(nullptr, IDS_FOLDER_INIT_FAILED, WriterIcon::Default);
    } else if (!m_library.Initialize(m_paths)) {
        ShowWriterMessage(nullptr, IDS_LIBRARY_INIT_FAILED, WriterIcon::Default);
    } else {
        CTQZLinkFirmUpdateDlg dialog(m_library, std::filesystem::path(m_paths.szWorking));
        dialog.DoModal(m_hInstance, nullptr);
    }

    m_library.Shutdown();
    CoUninitialize();
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    static CTQZLinkFirmUpdateApp app;
    return app.Run(instance);
}
