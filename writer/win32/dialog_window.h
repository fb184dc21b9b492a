// dialog_window: the writer's thin layer over the Win32 dialog API, for the
// little that a dialog framework would otherwise give it: a modal dialog
// object made from a template, its messages delivered to a member function,
// and the window handle kept while the dialog exists. Dialog thread only.
#pragma once

#include <windows.h>

class CDialogWindow {
public:
    explicit CDialogWindow(UINT templateId) : m_templateId(templateId) {}
    virtual ~CDialogWindow() = default;
    CDialogWindow(const CDialogWindow&) = delete;
    CDialogWindow& operator=(const CDialogWindow&) = delete;

    // Runs the dialog modally; the value it ended with, or -1 when it could
    // not be made.
    INT_PTR DoModal(HINSTANCE instance, HWND owner);

    HWND Handle() const { return m_hWnd; }

protected:
    // A message of the dialog, with the meaning of a dialog procedure's
    // result: TRUE when handled (a value to return goes through SetResult).
    virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    void SetResult(LRESULT result) { SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result); }
    HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }
    HINSTANCE Instance() const { return m_hInstance; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
};
