// dialog_logic: see the header for what the logic owns and how the program
// drives it.
//
// Choices where the dialog's rules leave room:
// - Start needs a loaded package as well as a board: without one the library
//   has no prepared operation to start.
// - A list with no loader or updater phase has a total of 0 commands. The
//   progress is then shown as unknown, no position is computed, and the run
//   ends only on the library's own status (a failure) or on the board staying
//   away; nothing can tell that such a run is complete.

#include "dialog_logic.h"

#include <utility>

#include "firm_extractor.h"
#include "writer_strings.h"

// ---- Existing-dialog list ------------------------------------------------------

CDialogHandleList::~CDialogHandleList()
{
    Clear();
}

void CDialogHandleList::Clear()
{
    // Unlinked one block at a time, so that a long list is not freed by a
    // deep chain of destructor calls.
    while (m_head) {
        m_head = std::move(m_head->next);
    }
    m_tail = nullptr;
}

void CDialogHandleList::Append(WindowId window)
{
    if (m_tail == nullptr || m_tail->count == WRITER_HANDLE_BLOCK_SIZE) {
        auto block = std::make_unique<Block>();
        Block* added = block.get();
        if (m_tail == nullptr) {
            m_head = std::move(block);
        } else {
            m_tail->next = std::move(block);
        }
        m_tail = added;
    }
    m_tail->handles[m_tail->count++] = window;
}

bool CDialogHandleList::Contains(WindowId window) const
{
    for (const Block* b = m_head.get(); b != nullptr; b = b->next.get()) {
        for (std::uint32_t i = 0; i < b->count; ++i) {
            if (b->handles[i] == window) {
                return true;
            }
        }
    }
    return false;
}

std::size_t CDialogHandleList::Count() const
{
    std::size_t n = 0;
    for (const Block* b = m_head.get(); b != nullptr; b = b->next.get()) {
        n += b->count;
    }
    return n;
}

std::size_t CDialogHandleList::BlockCount() const
{
    std::size_t n = 0;
    for (const Block* b = m_head.get(); b != nullptr; b = b->next.get()) {
        ++n;
    }
    return n;
}

// ---- Pop-up classification -------------------------------------------------------

bool TextNamesDriveInMask(const std::u16string& text, std::uint32_t driveMask)
{
    for (std::size_t i = 0; i + 3 < text.size(); ++i) {
        if (text[i] != u'(' || text[i + 2] != u':' || text[i + 3] != u')') {
            continue;
        }
        const char16_t letter = text[i + 1];
        if (letter >= u'A' && letter < u'A' + 32 && (driveMask & (1u << (letter - u'A'))) != 0) {
            return true;
        }
    }
    return false;
}

bool IsDrivePopup(const std::u16string& title, const std::vector<std::u16string>& childTexts, std::uint32_t driveMask)
{
    if (title == WRITER_POPUP_TITLE_WINDOWS || title == WRITER_POPUP_TITLE_INSERT_DISC) {
        return true;
    }
    for (const std::u16string& text : childTexts) {
        if (TextNamesDriveInMask(text, driveMask)) {
            return true;
        }
    }
    return false;
}

// ---- Dialog ------------------------------------------------------------------------

CWriterDialogLogic::CWriterDialogLogic(IWriterDialogHost& host, std::filesystem::path workingFolder)
    : m_host(host), m_workingFolder(std::move(workingFolder))
{
}

void CWriterDialogLogic::UpdateButtons()
{
    m_host.EnableButtons(!m_bRunning, m_bStartEnabled && m_bFileLoaded && !m_bRunning, !m_bRunning);
}

void CWriterDialogLogic::StopTimer()
{
    if (m_dwTimerId != 0) {
        m_host.KillTimer(m_dwTimerId);
        m_dwTimerId = 0;
    }
}

void CWriterDialogLogic::OnInitDialog(bool devicePresent)
{
    m_host.ShowProgressBar(false);
    m_host.SetProgressPosition(0);
    m_bStartEnabled = devicePresent;
    UpdateButtons();
}

void CWriterDialogLogic::OnPackageChosen(const std::filesystem::path& package)
{
    if (m_bRunning) {
        return;
    }
    m_host.SetWaitCursor(true);
    m_bFileLoaded = false;
    UpdateButtons();

    CFirmExtractor extractor;
    if (!extractor.Extract(package, m_workingFolder)) {
        m_host.SetWaitCursor(false);
        m_host.ShowMessage(FirmStatusStringId(extractor.status), WriterIcon::Default);
        return;
    }

    m_dwListKind = FirmListKind(extractor.kind);
    MfgPreparation prep;
    if (!m_host.PrepareLibrary(m_dwListKind, FirmListName(m_dwListKind), prep)) {
        m_phases.clear();
        m_qwTotal = 0;
        m_host.SetWaitCursor(false);
        m_host.ShowMessage(IDS_FILE_LOAD_ERROR, WriterIcon::Default);
        return;
    }
    m_phases = std::move(prep.phases);
    m_qwTotal = MfgTotalCommands(m_phases);
    m_host.SetWaitCursor(false);
    m_bFileLoaded = true;
    m_bStartEnabled = prep.bDevicePresent;
    UpdateButtons();
}

void CWriterDialogLogic::OnStart()
{
    if (m_bRunning || !m_bFileLoaded || !m_bStartEnabled) {
        return;  // the button is disabled then; a stray click changes nothing
    }
    m_dwDriveMask = 0;
    m_existing.Clear();
    EnumerateWindows(EnumMode::Collect);

    if (m_host.StartFlashing() != 0) {
        m_host.ShowMessage(IDS_START_FAILED, WriterIcon::Exclamation);
        return;
    }
    if (m_qwTotal == 0) {
        m_host.SetProgressUnknown();
    } else {
        m_host.SetProgressPosition(0);
    }
    m_host.ShowProgressBar(true);
    m_host.ClearMessages();
    m_bRunning = true;
    m_bPopupWatch = true;
    m_dwLinger = 0;
    m_dwAbsence = 0;
    if (m_dwTimerId == 0) {
        m_dwTimerId = WRITER_TIMER_ID;
        m_host.StartTimer(WRITER_TIMER_ID, WRITER_TIMER_PERIOD_MS);
    }
    UpdateButtons();
}

void CWriterDialogLogic::OnDeviceChange(bool present)
{
    m_bStartEnabled = present;
    m_dwAbsence = present ? 0 : WRITER_DEVICE_ABSENCE_TICKS;
    UpdateButtons();
}

void CWriterDialogLogic::OnProgress(const MfgProgress& progress)
{
    if (progress.dwStatus == MFG_PROGRESS_COMMAND_DONE) {
        m_host.AppendMessageLine(progress.text);
        if (m_qwTotal == 0) {
            return;  // progress unknown: nothing to divide by, nothing to compare
        }
        const std::uint64_t done = MfgCommandsDone(m_phases, progress.dwPhase, progress.dwDone);
        m_host.SetProgressPosition(MfgProgressPercent(done, m_qwTotal));
        if (done == m_qwTotal) {
            m_host.PostRunEnd(RUN_END_SUCCESS);
        }
    } else if (progress.dwStatus == MFG_PROGRESS_RUN_FAILED) {
        m_host.PostRunEnd(RUN_END_FAILURE);
    }
}

void CWriterDialogLogic::OnRunEnd(std::uint32_t result)
{
    if (!m_bRunning || (result != RUN_END_SUCCESS && result != RUN_END_FAILURE)) {
        return;
    }
    m_bRunning = false;
    m_host.StopFlashing();
    m_dwLinger = WRITER_LINGER_TICKS;
    if (result == RUN_END_FAILURE) {
        m_host.ShowMessage(IDS_UPDATE_FAILED, WriterIcon::Exclamation);
    } else {
        m_host.Pause(WRITER_SUCCESS_PAUSE_MS);
        m_host.ShowMessage(IDS_UPDATE_COMPLETED, WriterIcon::Information);
    }
    m_host.ShowProgressBar(false);
    UpdateButtons();
}

void CWriterDialogLogic::OnTimer(std::uint32_t timerId)
{
    if (timerId != WRITER_TIMER_ID || m_dwTimerId == 0) {
        return;
    }
    EnumerateWindows(EnumMode::Close);

    if (m_dwLinger != 0 && --m_dwLinger == 0) {
        StopTimer();
        m_bPopupWatch = false;
    }
    if (m_bRunning && m_dwAbsence != 0 && --m_dwAbsence == 0) {
        // The board has been away for 15 s: the run has failed.
        m_bRunning = false;
        m_dwLinger = WRITER_LINGER_TICKS;
        m_host.StopFlashing();
        m_host.ShowMessage(IDS_UPDATE_FAILED, WriterIcon::Default);
        m_host.ShowProgressBar(false);
        UpdateButtons();
    }
}

void CWriterDialogLogic::OnVolumeArrival(std::uint32_t unitMask)
{
    if (!m_bPopupWatch) {
        return;
    }
    m_dwDriveMask |= unitMask;
    EnumerateWindows(EnumMode::Close);
}

void CWriterDialogLogic::OnClose()
{
    if (m_bRunning) {
        return;
    }
    StopTimer();
    m_host.EndDialog();
}

void CWriterDialogLogic::EnumerateWindows(EnumMode mode)
{
    m_enumMode = mode;
    for (WindowId window : m_host.TopLevelWindows()) {
        if (!VisitWindow(window)) {
            break;
        }
    }
}

bool CWriterDialogLogic::VisitWindow(WindowId window)
{
    if (m_host.WindowClassName(window) != WRITER_POPUP_CLASS) {
        return true;
    }
    if (m_enumMode == EnumMode::Collect) {
        m_existing.Append(window);
        return true;
    }
    if (m_existing.Contains(window)) {
        return true;
    }
    if (!IsDrivePopup(m_host.WindowTitle(window), m_host.ChildWindowTexts(window), m_dwDriveMask)) {
        return true;
    }
    m_host.BringDialogToForeground();
    m_host.PostCloseCommand(window);
    // During a run the timer also counts the board's absence and later
    // pop-ups still need closing: only after the run does closing a pop-up
    // end the watch.
    if (!m_bRunning) {
        StopTimer();
        m_bPopupWatch = false;
    }
    return false;
}
