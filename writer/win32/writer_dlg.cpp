// writer_dlg: see the header.

#include "writer_dlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>

#include <iterator>

#include "resource.h"
#include "win_text.h"
#include "writer_strings.h"

// ---- About box -------------------------------------------------------------------

CAboutDlg::CAboutDlg() : CDialogWindow(IDD_ABOUTBOX) {}

INT_PTR CAboutDlg::OnMessage(UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(Handle(), LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

// ---- Writer dialog ---------------------------------------------------------------

CTQZLinkFirmUpdateDlg::CTQZLinkFirmUpdateDlg(CMfgLib& library, const std::filesystem::path& workingFolder)
    : CDialogWindow(IDD_WRITER_DIALOG), m_library(library), m_logic(*this, workingFolder)
{
}

CTQZLinkFirmUpdateDlg::~CTQZLinkFirmUpdateDlg()
{
    m_library.SetNotifyTarget(nullptr, nullptr);
    // Loaded with LoadImage at a chosen size: not shared, so destroyed here.
    if (m_hIcon != nullptr) {
        DestroyIcon(m_hIcon);
    }
    if (m_hSmallIcon != nullptr) {
        DestroyIcon(m_hSmallIcon);
    }
}

void CTQZLinkFirmUpdateDlg::SendToDialog(void* context, UINT message, void* record)
{
    // The context is the window handle, not the dialog object: a callback
    // that comes after the dialog is gone meets an invalid window and does
    // nothing.
    SendMessageW(static_cast<HWND>(context), message, reinterpret_cast<WPARAM>(record), 0);
}

void CTQZLinkFirmUpdateDlg::OnInitDialog()
{
    HMENU systemMenu = GetSystemMenu(Handle(), FALSE);
    const std::wstring about = LoadText(IDS_ABOUTBOX);
    if (systemMenu != nullptr && !about.empty()) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }

    m_hIcon = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_hSmallIcon = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

    // A long run must not fill the message box up to the default limit.
    SendMessageW(Item(IDC_MESSAGES), EM_SETLIMITTEXT, 0, 0);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE32, 0, 100);

    m_library.SetNotifyTarget(&CTQZLinkFirmUpdateDlg::SendToDialog, Handle());
    m_logic.OnInitDialog(m_library.IsDevicePresent());
}

void CTQZLinkFirmUpdateDlg::OnFileSelect()
{
    std::wstring filter = LoadText(IDS_FILE_FILTER);
    for (wchar_t& c : filter) {
        if (c == L'|') {
            c = L'\0';
        }
    }
    filter.push_back(L'\0');  // the list ends with an empty pair, whatever the text
    // The open dialog wants the extension alone; the table gives "*.bin".
    std::wstring extension = LoadText(IDS_DEFAULT_EXTENSION);
    if (extension.rfind(L"*.", 0) == 0) {
        extension.erase(0, 2);
    }

    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Handle();
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    if (!GetOpenFileNameW(&ofn)) {
        return;  // cancelled (or the dialog failed): nothing changes
    }
    m_logic.OnPackageChosen(std::filesystem::path(file));
}

void CTQZLinkFirmUpdateDlg::OnCommand(WORD id)
{
    switch (id) {
        case IDC_FILE_SELECT:
            OnFileSelect();
            break;
        case IDC_START:
            m_logic.OnStart();
            break;
        case IDC_CLOSE:
        case IDCANCEL:
            // Escape is a close request too, so that it cannot end the
            // dialog in the middle of a run either (a dialog's default
            // would end it at once).
            SendMessageW(Handle(), WM_CLOSE, 0, 0);
            break;
        default:
            break;  // Enter (IDOK) closes nothing: the dialog has no OK button
    }
}

INT_PTR CTQZLinkFirmUpdateDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                CAboutDlg about;
                about.DoModal(Instance(), Handle());
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnCommand(LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            m_logic.OnClose();
            return TRUE;
        case WM_TIMER:
            m_logic.OnTimer(static_cast<std::uint32_t>(wParam));
            return TRUE;
        case WM_DEVICECHANGE: {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (wParam == DBT_DEVICEARRIVAL && header != nullptr && header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
                m_logic.OnVolumeArrival(reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam)->dbcv_unitmask);
            }
            SetResult(TRUE);
            return TRUE;
        }
        case WRITER_MSG_DEVICE_CHANGE:
            if (wParam != 0) {
                m_logic.OnDeviceChange(reinterpret_cast<const MfgDeviceNotice*>(wParam)->bPresent);
            }
            return TRUE;
        case WRITER_MSG_PROGRESS:
            if (wParam != 0) {
                m_logic.OnProgress(*reinterpret_cast<const MfgProgress*>(wParam));
            }
            return TRUE;
        case WRITER_MSG_RUN_END:
            m_logic.OnRunEnd(static_cast<std::uint32_t>(wParam));
            return TRUE;
        case WM_DESTROY:
            m_library.SetNotifyTarget(nullptr, nullptr);
            return FALSE;
        default:
            return FALSE;
    }
}

// ---- IWriterDialogHost -------------------------------------------------------------

void CTQZLinkFirmUpdateDlg::EnableButtons(bool fileSelect, bool start, bool close)
{
    EnableWindow(Item(IDC_FILE_SELECT), fileSelect);
    EnableWindow(Item(IDC_START), start);
    EnableWindow(Item(IDC_CLOSE), close);
}

void CTQZLinkFirmUpdateDlg::SetWaitCursor(bool on)
{
    if (on) {
        m_hCursorBeforeWait = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    } else {
        SetCursor(m_hCursorBeforeWait != nullptr ? m_hCursorBeforeWait : LoadCursorW(nullptr, IDC_ARROW));
        m_hCursorBeforeWait = nullptr;
    }
}

bool CTQZLinkFirmUpdateDlg::PrepareLibrary(std::uint32_t, const char* listName, MfgPreparation& out)
{
    return m_library.Prepare(listName, out);
}

std::uint32_t CTQZLinkFirmUpdateDlg::StartFlashing()
{
    return m_library.Start();
}

void CTQZLinkFirmUpdateDlg::StopFlashing()
{
    m_library.Stop();
}

void CTQZLinkFirmUpdateDlg::ShowMessage(std::uint32_t stringId, WriterIcon icon)
{
    ShowWriterMessage(Handle(), stringId, icon);
}

void CTQZLinkFirmUpdateDlg::Pause(std::uint32_t ms)
{
    Sleep(ms);
}

void CTQZLinkFirmUpdateDlg::ShowProgressBar(bool visible)
{
    ShowWindow(Item(IDC_PROGRESS), visible ? SW_SHOW : SW_HIDE);
}

void CTQZLinkFirmUpdateDlg::SetProgressPosition(std::uint32_t percent)
{
    HWND bar = Item(IDC_PROGRESS);
    if (m_bMarquee) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) & ~static_cast<LONG_PTR>(PBS_MARQUEE));
        m_bMarquee = false;
    }
    SendMessageW(bar, PBM_SETPOS, percent, 0);
}

void CTQZLinkFirmUpdateDlg::SetProgressUnknown()
{
    HWND bar = Item(IDC_PROGRESS);
    SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);
    m_bMarquee = true;
}

void CTQZLinkFirmUpdateDlg::ClearMessages()
{
    SetWindowTextW(Item(IDC_MESSAGES), L"");
}

void CTQZLinkFirmUpdateDlg::AppendMessageLine(const std::u16string& text)
{
    HWND edit = Item(IDC_MESSAGES);
    const std::wstring line = ToWide(text) + L"\r\n";
    const LRESULT end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

void CTQZLinkFirmUpdateDlg::PostRunEnd(std::uint32_t result)
{
    PostMessageW(Handle(), WRITER_MSG_RUN_END, result, 0);
}

void CTQZLinkFirmUpdateDlg::StartTimer(std::uint32_t timerId, std::uint32_t periodMs)
{
    SetTimer(Handle(), timerId, periodMs, nullptr);
}

void CTQZLinkFirmUpdateDlg::KillTimer(std::uint32_t timerId)
{
    ::KillTimer(Handle(), timerId);
}

void CTQZLinkFirmUpdateDlg::EndDialog()
{
    ::EndDialog(Handle(), IDCANCEL);
}

namespace {

BOOL CALLBACK CollectWindow(HWND window, LPARAM list)
{
    reinterpret_cast<std::vector<WindowId>*>(list)->push_back(reinterpret_cast<WindowId>(window));
    return TRUE;
}

// The window's text without sending it a message when it belongs to another
// program, so that a hung program cannot hang the writer.
std::u16string TextOf(HWND window)
{
    wchar_t text[1024] = L"";
    const int n = GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return FromWide(std::wstring(text, n > 0 ? static_cast<std::size_t>(n) : 0));
}

}  // namespace

std::vector<WindowId> CTQZLinkFirmUpdateDlg::TopLevelWindows()
{
    std::vector<WindowId> windows;
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::u16string CTQZLinkFirmUpdateDlg::WindowClassName(WindowId window)
{
    wchar_t name[256] = L"";
    const int n = GetClassNameW(reinterpret_cast<HWND>(window), name, static_cast<int>(std::size(name)));
    return FromWide(std::wstring(name, n > 0 ? static_cast<std::size_t>(n) : 0));
}

std::u16string CTQZLinkFirmUpdateDlg::WindowTitle(WindowId window)
{
    return TextOf(reinterpret_cast<HWND>(window));
}

std::vector<std::u16string> CTQZLinkFirmUpdateDlg::ChildWindowTexts(WindowId window)
{
    std::vector<WindowId> children;
    EnumChildWindows(reinterpret_cast<HWND>(window), &CollectWindow, reinterpret_cast<LPARAM>(&children));
    std::vector<std::u16string> texts;
    texts.reserve(children.size());
    for (WindowId child : children) {
        texts.push_back(TextOf(reinterpret_cast<HWND>(child)));
    }
    return texts;
}

void CTQZLinkFirmUpdateDlg::BringDialogToForeground()
{
    SetForegroundWindow(Handle());
}

void CTQZLinkFirmUpdateDlg::PostCloseCommand(WindowId window)
{
    PostMessageW(reinterpret_cast<HWND>(window), WM_SYSCOMMAND, SC_CLOSE, 0);
}
