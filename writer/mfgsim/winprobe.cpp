// winprobe: the writer check's eyes and hands inside Wine, for what xdotool
// cannot do from outside: read the texts, ids, states and places of the
// windows, raise the pop-ups and volume arrivals that Windows would raise
// while a board's storage is exposed, and read the writer's compiled
// resources back.
//
//   winprobe list [TITLE]          the visible top-level windows (only those
//                                  titled TITLE) with their child windows
//   winprobe popup TITLE TEXT      a message box, as Windows raises one;
//                                  returns when it is closed
//   winprobe arrive TITLE LETTER   tells the window titled TITLE that a
//                                  volume arrived at drive LETTER
//   winprobe resources EXE         the dialog templates of EXE, and a check
//                                  of its string table against the writer's
//                                  texts
//
// Output is UTF-8, one line per window or control; a progress bar's line
// ends with its position. Exit status 0 on success,
// 1 when the window or file is missing or a string differs, 2 on a wrong
// command line.

#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "writer_strings.h"

namespace {

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Quoted, with line breaks and quotes escaped so that a text stays on its line.
std::string Quote(const std::wstring& text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = L"";
    const int n = GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return std::wstring(name, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The text as the window itself gives it, also across processes.
std::wstring TextOf(HWND window)
{
    std::vector<wchar_t> text(32768, L'\0');
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             2000, &length)) {
        return std::wstring();
    }
    return std::wstring(text.data());
}

std::string Describe(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    char place[96];
    std::snprintf(place, sizeof place, " rect=%ld,%ld,%ld,%ld enabled=%d visible=%d", r.left, r.top, r.right - r.left,
                  r.bottom - r.top, IsWindowEnabled(window) ? 1 : 0, IsWindowVisible(window) ? 1 : 0);
    std::string out = "class=" + Quote(ClassOf(window)) + " text=" + Quote(TextOf(window)) + place;
    if (lstrcmpiW(ClassOf(window).c_str(), PROGRESS_CLASSW) == 0) {
        DWORD_PTR position = 0;
        SendMessageTimeoutW(window, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
        out += " pos=" + std::to_string(position);
    }
    return out;
}

BOOL CALLBACK Collect(HWND window, LPARAM list)
{
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevel(const wchar_t* title)
{
    std::vector<HWND> all;
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> out;
    for (HWND w : all) {
        if (IsWindowVisible(w) && (title == nullptr || TextOf(w) == title)) {
            out.push_back(w);
        }
    }
    return out;
}

int List(const wchar_t* title)
{
    const std::vector<HWND> windows = TopLevel(title);
    for (HWND w : windows) {
        std::printf("window %p %s\n", static_cast<void*>(w), Describe(w).c_str());
        std::vector<HWND> children;
        EnumChildWindows(w, &Collect, reinterpret_cast<LPARAM>(&children));
        for (HWND c : children) {
            std::printf("  child id=%d %s\n", GetDlgCtrlID(c), Describe(c).c_str());
        }
    }
    return windows.empty() ? 1 : 0;
}

int Arrive(const wchar_t* title, wchar_t letter)
{
    const std::vector<HWND> windows = TopLevel(title);
    if (windows.empty() || letter < L'A' || letter > L'Z') {
        return 1;
    }
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    DWORD_PTR result = 0;
    SendMessageTimeoutW(windows.front(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume),
                        SMTO_ABORTIFHUNG, 5000, &result);
    return 0;
}

// ---- Resources ---------------------------------------------------------------------

class TemplateReader {
public:
    TemplateReader(const unsigned char* p, std::size_t size) : m_p(p), m_size(size) {}
    bool ok() const { return m_ok; }
    std::uint16_t Word()
    {
        if (m_at + 2 > m_size) {
            m_ok = false;
            return 0;
        }
        const std::uint16_t v = static_cast<std::uint16_t>(m_p[m_at] | (m_p[m_at + 1] << 8));
        m_at += 2;
        return v;
    }
    std::uint32_t Dword() { return Word() | (static_cast<std::uint32_t>(Word()) << 16); }
    std::int16_t Short() { return static_cast<std::int16_t>(Word()); }
    std::uint8_t Byte()
    {
        if (m_at + 1 > m_size) {
            m_ok = false;
            return 0;
        }
        return m_p[m_at++];
    }
    std::wstring String()
    {
        std::wstring s;
        for (std::uint16_t c = Word(); c != 0 && m_ok; c = Word()) {
            s.push_back(static_cast<wchar_t>(c));
        }
        return s;
    }
    // A name or an ordinal: empty, "#n", or the name.
    std::wstring NameOrOrdinal()
    {
        const std::uint16_t first = Word();
        if (first == 0) {
            return std::wstring();
        }
        if (first == 0xFFFF) {
            return L"#" + std::to_wstring(Word());
        }
        std::wstring s(1, static_cast<wchar_t>(first));
        return s + String();
    }
    void AlignDword() { m_at = (m_at + 3) & ~static_cast<std::size_t>(3); }
    void Skip(std::size_t n) { m_at += n; }

private:
    const unsigned char* m_p;
    std::size_t m_size;
    std::size_t m_at = 0;
    bool m_ok = true;
};

std::wstring ClassName(const std::wstring& nameOrOrdinal)
{
    static const wchar_t* const predefined[] = {L"button", L"edit", L"static", L"listbox", L"scrollbar", L"combobox"};
    if (nameOrOrdinal.size() > 1 && nameOrOrdinal[0] == L'#') {
        const unsigned n = static_cast<unsigned>(std::stoul(nameOrOrdinal.substr(1)));
        if (n >= 0x80 && n < 0x80 + std::size(predefined)) {
            return predefined[n - 0x80];
        }
    }
    return nameOrOrdinal;
}

std::string StyleWords(const std::wstring& cls, DWORD style)
{
    std::string out = (style & WS_VISIBLE) ? " visible" : " hidden";
    if (style & WS_DISABLED) {
        out += " disabled";
    }
    if (cls == L"edit") {
        out += (style & ES_MULTILINE) ? " multiline" : "";
        out += (style & ES_AUTOVSCROLL) ? " autovscroll" : "";
        out += (style & ES_READONLY) ? " readonly" : "";
    }
    if (cls == L"button") {
        out += (style & 0x0F) == BS_DEFPUSHBUTTON ? " default" : "";
    }
    return out;
}

bool DumpDialog(HMODULE module, WORD id)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    if (loaded == nullptr) {
        std::printf("dialog %u missing\n", id);
        return false;
    }
    TemplateReader r(static_cast<const unsigned char*>(LockResource(loaded)), SizeofResource(module, found));
    if (r.Word() != 1 || r.Word() != 0xFFFF) {
        std::printf("dialog %u is not an extended template\n", id);
        return false;
    }
    r.Dword();  // help id
    r.Dword();  // extended style
    const DWORD style = r.Dword();
    const unsigned items = r.Word();
    const int x = r.Short(), y = r.Short(), cx = r.Short(), cy = r.Short();
    r.NameOrOrdinal();  // menu
    r.NameOrOrdinal();  // class
    const std::wstring title = r.String();
    std::string font = "none";
    if (style & DS_SETFONT) {
        const unsigned points = r.Word();
        r.Word();  // weight
        r.Byte();  // italic
        r.Byte();  // character set
        font = Quote(r.String()) + " " + std::to_string(points);
    }
    std::printf("dialog %u %s %d,%d,%d,%d font %s\n", id, Quote(title).c_str(), x, y, cx, cy, font.c_str());
    for (unsigned i = 0; i < items && r.ok(); ++i) {
        r.AlignDword();
        r.Dword();  // help id
        r.Dword();  // extended style
        const DWORD itemStyle = r.Dword();
        const int ix = r.Short(), iy = r.Short(), icx = r.Short(), icy = r.Short();
        const int itemId = static_cast<int>(r.Dword());
        const std::wstring cls = ClassName(r.NameOrOrdinal());
        const std::wstring text = r.NameOrOrdinal();
        r.Skip(r.Word());  // creation data
        std::printf("  control %d %s %s %d,%d,%d,%d%s\n", itemId, Utf8(cls).c_str(), Quote(text).c_str(), ix, iy, icx,
                    icy, StyleWords(cls, itemStyle).c_str());
    }
    return r.ok();
}

int Resources(const wchar_t* exe)
{
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("cannot load %s\n", Utf8(exe).c_str());
        return 1;
    }
    bool ok = DumpDialog(module, 102) && DumpDialog(module, 100);
    for (UINT id = IDS_ABOUTBOX; id <= IDS_NOT_FIRMWARE; ++id) {
        const wchar_t* text = nullptr;
        const int n = LoadStringW(module, id, reinterpret_cast<wchar_t*>(&text), 0);
        const std::wstring compiled = n > 0 ? std::wstring(text, static_cast<std::size_t>(n)) : std::wstring();
        const std::string expected = WriterString(id);
        const bool same = Utf8(compiled) == expected;
        ok = ok && same;
        std::printf("string %u %s%s\n", id, Quote(compiled).c_str(), same ? "" : " DIFFERS from the writer's text");
    }
    FreeLibrary(module);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"list" && argc <= 3) {
        return List(argc == 3 ? argv[2] : nullptr);
    }
    if (command == L"popup" && argc == 4) {
        std::printf("closed %d\n", MessageBoxW(nullptr, argv[3], argv[2], MB_OK | MB_ICONINFORMATION));
        return 0;
    }
    if (command == L"arrive" && argc == 4) {
        return Arrive(argv[2], argv[3][0]);
    }
    if (command == L"resources" && argc == 3) {
        return Resources(argv[2]);
    }
    std::fprintf(stderr, "usage: winprobe list [TITLE] | popup TITLE TEXT | arrive TITLE LETTER | resources EXE\n");
    return 2;
}
