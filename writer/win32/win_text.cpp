// win_text: see the header.

#include "win_text.h"

std::wstring LoadText(UINT id)
{
    const wchar_t* text = nullptr;
    // A length of 0 asks for a read-only pointer into the resource itself.
    const int n = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return n > 0 && text != nullptr ? std::wstring(text, static_cast<std::size_t>(n)) : std::wstring();
}

std::wstring AsciiToWide(const char* text)
{
    std::wstring out;
    for (; text != nullptr && *text != '\0'; ++text) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return out;
}

int ShowWriterMessage(HWND owner, UINT stringId, WriterIcon icon)
{
    UINT type = MB_OK;
    switch (icon) {
        case WriterIcon::Stop:
            type |= MB_ICONSTOP;
            break;
        case WriterIcon::Information:
            type |= MB_ICONINFORMATION;
            break;
        case WriterIcon::Exclamation:
        case WriterIcon::Default:
            type |= MB_ICONEXCLAMATION;
            break;
    }
    const std::wstring text = LoadText(stringId);
    return MessageBoxW(owner, text.c_str(), WRITER_APP_NAME, type);
}
