// writer_dlg: the writer's dialog CTQZLinkFirmUpdateDlg and the about box
// CAboutDlg.
//
// The dialog decides nothing itself: it forwards every event (buttons, the
// open dialog's answer, the library's notifications, the timer, volume
// arrivals, close requests) to CWriterDialogLogic, and carries out what the
// logic asks through IWriterDialogHost on the real window, its controls and
// CMfgLib.
//
// Threads: the dialog's thread only. The library's callbacks reach it as
// messages sent by CMfgLib from the library's threads (WRITER_MSG_DEVICE_CHANGE,
// WRITER_MSG_PROGRESS, the record's address in the first parameter); the run
// end is posted to itself.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dialog_logic.h"
#include "dialog_window.h"
#include "mfg_lib.h"

class CAboutDlg : public CDialogWindow {
public:
    CAboutDlg();

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

class CTQZLinkFirmUpdateDlg : public CDialogWindow, private IWriterDialogHost {
public:
    CTQZLinkFirmUpdateDlg(CMfgLib& library, const std::filesystem::path& workingFolder);
    ~CTQZLinkFirmUpdateDlg() override;

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnFileSelect();
    void OnCommand(WORD id);

    // CMfgLib's notification target: sends the message to the dialog.
    static void SendToDialog(void* context, UINT message, void* record);

    // IWriterDialogHost
    void EnableButtons(bool fileSelect, bool start, bool close) override;
    void SetWaitCursor(bool on) override;
    bool PrepareLibrary(std::uint32_t listKind, const char* listName, MfgPreparation& out) override;
    std::uint32_t StartFlashing() override;
    void StopFlashing() override;
    void ShowMessage(std::uint32_t stringId, WriterIcon icon) override;
    void Pause(std::uint32_t ms) override;
    void ShowProgressBar(bool visible) override;
    void SetProgressPosition(std::uint32_t percent) override;
    void SetProgressUnknown() override;
    void ClearMessages() override;
    void AppendMessageLine(const std::u16string& text) override;
    void PostRunEnd(std::uint32_t result) override;
    void StartTimer(std::uint32_t timerId, std::uint32_t periodMs) override;
    void KillTimer(std::uint32_t timerId) override;
    void EndDialog() override;
    std::vector<WindowId> TopLevelWindows() override;
    std::u16string WindowClassName(WindowId window) override;
    std::u16string WindowTitle(WindowId window) override;
    std::vector<std::u16string> ChildWindowTexts(WindowId window) override;
    void BringDialogToForeground() override;
    void PostCloseCommand(WindowId window) override;

    CMfgLib& m_library;
    CWriterDialogLogic m_logic;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    HCURSOR m_hCursorBeforeWait = nullptr;
    bool m_bMarquee = false;
};
