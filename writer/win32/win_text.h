// win_text: the few text helpers the writer's Windows code shares: loading a
// string from the resource table, converting between the core's UTF-16
// strings and the Windows wide strings (the same code units), and the
// writer's message box. Stateless; the message box belongs to the calling
// thread.
#pragma once

#include <windows.h>

#include <string>

#include "dialog_logic.h"

// The writer's name, the title of every message box it shows.
inline constexpr wchar_t WRITER_APP_NAME[] = L"KOVALanZozeZaderi";

// The resource string with that id; empty when there is none.
std::wstring LoadText(UINT id);

inline std::wstring ToWide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::u16string FromWide(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}

// An ASCII text (a list name) as a wide string.
std::wstring AsciiToWide(const char* text);

// Shows the resource string in a modal message box owned by the window.
// A text without an icon of its own is a warning, and gets the warning icon.
int ShowWriterMessage(HWND owner, UINT stringId, WriterIcon icon);
