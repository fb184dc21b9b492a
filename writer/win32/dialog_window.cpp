// dialog_window: see the header.

#include "dialog_window.h"

INT_PTR CDialogWindow::DoModal(HINSTANCE instance, HWND owner)
{
    m_hInstance = instance;
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(m_templateId), owner, &CDialogWindow::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialogWindow* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<CDialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (the font, the frame) go to the default
    // dialog handling.
    if (self == nullptr) {
        return FALSE;
    }
    const INT_PTR handled = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        self->m_hWnd = nullptr;
        SetWindowLongPtrW(window, DWLP_USER, 0);
    }
    return handled;
}
