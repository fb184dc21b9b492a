// dialog_logic: everything the writer's dialog decides, as plain code. The
// Windows program owns the window, the controls, the message boxes and the
// manufacturing-tool library; it forwards each event to CWriterDialogLogic
// and carries out what the logic asks of it through IWriterDialogHost.
//
// What lives here: the button rule; the file-loaded, start-enabled and
// running flags; the package step of File select (unpacking and choosing the
// flashing script's list); the linger and device-absence countdowns of the
// 50 ms timer; the progress computed from the library's phase records; the
// run-end handling; and the closing of the removable-drive pop-ups that
// Windows raises while the board's storage is exposed.
//
// Threads: the dialog's thread only. The library's callbacks reach the
// dialog as window messages sent to that thread; the run end is posted.
// Message boxes run a modal loop that can deliver timer ticks and posted run
// ends while a handler is still inside ShowMessage, so each handler changes
// its flags before it shows anything.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mfg_records.h"

// A top-level window as the program names it (an HWND on Windows).
using WindowId = std::uintptr_t;

// Private window messages of the dialog.
inline constexpr std::uint32_t WRITER_WM_USER = 0x0400;
inline constexpr std::uint32_t WRITER_MSG_RUN_END = WRITER_WM_USER + 100;        // parameter: RUN_END_*
inline constexpr std::uint32_t WRITER_MSG_DEVICE_CHANGE = WRITER_WM_USER + 102;  // device change record
inline constexpr std::uint32_t WRITER_MSG_PROGRESS = WRITER_WM_USER + 103;       // progress record
inline constexpr std::uint32_t RUN_END_SUCCESS = 0;
inline constexpr std::uint32_t RUN_END_FAILURE = 1;

inline constexpr std::uint32_t WRITER_TIMER_ID = 1;
inline constexpr std::uint32_t WRITER_TIMER_PERIOD_MS = 50;
inline constexpr std::uint32_t WRITER_LINGER_TICKS = 100;          // 5 s of pop-up watch after a run
inline constexpr std::uint32_t WRITER_DEVICE_ABSENCE_TICKS = 300;  // 15 s without a board ends a run
inline constexpr std::uint32_t WRITER_SUCCESS_PAUSE_MS = 200;

// Pop-ups: the dialog window class, and the titles that mark a pop-up.
inline constexpr char16_t WRITER_POPUP_CLASS[] = u"#32770";
inline constexpr char16_t WRITER_POPUP_TITLE_WINDOWS[] = u"Microsoft Windows";
inline constexpr char16_t WRITER_POPUP_TITLE_INSERT_DISC[] = u"Insert disc";

inline constexpr std::size_t WRITER_HANDLE_BLOCK_SIZE = 4096;

enum class WriterIcon { Default, Stop, Exclamation, Information };

// What preparing the library for a package gave.
struct MfgPreparation {
    bool bDevicePresent = false;   // the operation information's connected word
    std::vector<MfgPhase> phases;  // the phase records read after preparing
};

// What the dialog logic asks of the program. Every call returns at once
// except ShowMessage (a modal message box) and Pause.
class IWriterDialogHost {
public:
    virtual ~IWriterDialogHost() = default;

    virtual void EnableButtons(bool fileSelect, bool start, bool close) = 0;
    virtual void SetWaitCursor(bool on) = 0;
    // Re-prepares the library for a list: callbacks off, operation released,
    // list selected and the operation set up, information and phases read,
    // callbacks on, final step. False on any failure.
    virtual bool PrepareLibrary(std::uint32_t listKind, const char* listName, MfgPreparation& out) = 0;
    // Starts (non-zero: the library refused) and stops flashing.
    virtual std::uint32_t StartFlashing() = 0;
    virtual void StopFlashing() = 0;
    virtual void ShowMessage(std::uint32_t stringId, WriterIcon icon) = 0;
    virtual void Pause(std::uint32_t ms) = 0;
    virtual void ShowProgressBar(bool visible) = 0;
    virtual void SetProgressPosition(std::uint32_t percent) = 0;
    // The run's length cannot be known: show progress as unknown.
    virtual void SetProgressUnknown() = 0;
    virtual void ClearMessages() = 0;
    // Appends the text and a line break to the message box and scrolls to it.
    virtual void AppendMessageLine(const std::u16string& text) = 0;
    // Posts WRITER_MSG_RUN_END; the program later calls OnRunEnd with it.
    virtual void PostRunEnd(std::uint32_t result) = 0;
    virtual void StartTimer(std::uint32_t timerId, std::uint32_t periodMs) = 0;
    virtual void KillTimer(std::uint32_t timerId) = 0;
    virtual void EndDialog() = 0;
    // The top-level windows in enumeration order, and what the logic reads
    // of one.
    virtual std::vector<WindowId> TopLevelWindows() = 0;
    virtual std::u16string WindowClassName(WindowId window) = 0;
    virtual std::u16string WindowTitle(WindowId window) = 0;
    virtual std::vector<std::u16string> ChildWindowTexts(WindowId window) = 0;
    virtual void BringDialogToForeground() = 0;
    // Posts a close system command to the window.
    virtual void PostCloseCommand(WindowId window) = 0;
};

// The dialogs that already existed when a run started: a singly linked list
// of blocks of up to 4096 handles, so that collecting them never moves what
// is already stored.
class CDialogHandleList {
public:
    CDialogHandleList() = default;
    ~CDialogHandleList();
    CDialogHandleList(const CDialogHandleList&) = delete;
    CDialogHandleList& operator=(const CDialogHandleList&) = delete;

    void Clear();
    void Append(WindowId window);
    bool Contains(WindowId window) const;
    std::size_t Count() const;
    std::size_t BlockCount() const;

private:
    struct Block {
        std::array<WindowId, WRITER_HANDLE_BLOCK_SIZE> handles{};
        std::uint32_t count = 0;
        std::unique_ptr<Block> next;
    };
    std::unique_ptr<Block> m_head;
    Block* m_tail = nullptr;
};

// True when a text holds "(X:)" for a drive letter X whose bit is set in
// the drive mask (bit 0 stands for 'A', bit 31 for the 32nd letter on).
bool TextNamesDriveInMask(const std::u16string& text, std::uint32_t driveMask);

// True when a new dialog is a removable-drive pop-up: titled exactly
// "Microsoft Windows" or "Insert disc", or a child text names a drive of the
// mask.
bool IsDrivePopup(const std::u16string& title, const std::vector<std::u16string>& childTexts, std::uint32_t driveMask);

class CWriterDialogLogic {
public:
    CWriterDialogLogic(IWriterDialogHost& host, std::filesystem::path workingFolder);

    // Events, each as the dialog receives it.
    void OnInitDialog(bool devicePresent);
    void OnPackageChosen(const std::filesystem::path& package);  // the open dialog was confirmed
    void OnStart();
    void OnDeviceChange(bool present);
    void OnProgress(const MfgProgress& progress);
    void OnRunEnd(std::uint32_t result);
    void OnTimer(std::uint32_t timerId);
    void OnVolumeArrival(std::uint32_t unitMask);
    void OnClose();

    bool IsRunning() const { return m_bRunning; }
    bool IsFileLoaded() const { return m_bFileLoaded; }
    bool IsStartEnabled() const { return m_bStartEnabled; }
    bool IsWatchingPopups() const { return m_bPopupWatch; }
    std::uint32_t LingerTicks() const { return m_dwLinger; }
    std::uint32_t AbsenceTicks() const { return m_dwAbsence; }
    std::uint32_t TimerId() const { return m_dwTimerId; }
    std::uint32_t DriveMask() const { return m_dwDriveMask; }
    std::uint32_t ListKind() const { return m_dwListKind; }
    std::uint64_t TotalCommands() const { return m_qwTotal; }
    const CDialogHandleList& ExistingDialogs() const { return m_existing; }

private:
    enum class EnumMode { Collect, Close };

    void UpdateButtons();
    void StopTimer();
    void EnumerateWindows(EnumMode mode);
    bool VisitWindow(WindowId window);  // false stops the enumeration

    IWriterDialogHost& m_host;
    std::filesystem::path m_workingFolder;

    bool m_bStartEnabled = false;
    bool m_bFileLoaded = false;
    bool m_bRunning = false;
    bool m_bPopupWatch = false;
    EnumMode m_enumMode = EnumMode::Collect;
    std::uint32_t m_dwLinger = 0;
    std::uint32_t m_dwAbsence = 0;
    std::uint32_t m_dwTimerId = 0;
    std::uint32_t m_dwDriveMask = 0;
    std::uint32_t m_dwListKind = 0;
    std::vector<MfgPhase> m_phases;
    std::uint64_t m_qwTotal = 0;
    CDialogHandleList m_existing;
};
