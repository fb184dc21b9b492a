// mfgsim: MfgToolLib.dll as the test rig builds it, a stand-in for the chip
// vendor's manufacturing-tool library, written from what the writer expects
// of the library: the calls it makes by ordinal, their arguments, the records
// it reads and the callbacks it registers. It simulates one board in USB
// download mode.
//
// - The script (ordinal 3) is read with sim_script; a list (2) selects the
//   phases and steps of the run; variables (19) are expanded in the steps.
// - The board is present or absent as the scenario says; the operation
//   information's connected word follows it while the writer's buffer is
//   lent to the library (from ordinal 9 until the operation is released).
// - A run (7) is played by the operation's board thread: one progress record
//   per step, with the step's text, and at the scenario's event step an
//   unplugged board or a failing command. The writer stops it (8).
// - Every call is appended with its arguments and result to the call log,
//   and so are the board's events (lines "# ...").
//
// Scenarios, by the environment variable MFGSIM_SCENARIO:
//   present  the board is there from the start (the default)
//   late     the board arrives MFGSIM_ARRIVAL_MS (3000) after preparation
//   unplug   the board is pulled at the event step and never comes back
//   fail     the command of the event step fails
// MFGSIM_EVENT_STEP (the step number, from 1; default the middle step of the
// list), MFGSIM_STEP_MS (200, the time one step takes) and MFGSIM_CALL_LOG
// (the call log's path; no log when unset) tune it.
//
// Threads: the calls come from the writer's thread; each operation has a
// board thread that calls the callbacks with no lock held. Locks: s_lib.lock
// (the library's state) before an operation's own lock; neither is held
// while a callback runs or while a thread is joined. A released operation's
// thread is told to end and joined only when the instance is destroyed, so
// that releasing never waits for a callback that waits for the writer.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_script.h"

namespace {

// ---- Records, as the stand-in lays them out ------------------------------------
// The offsets the writer reads are the library's contract; the rest of each
// record is the stand-in's own.

constexpr std::size_t TEXT_UNITS = 260;  // UTF-16 texts, NUL-terminated

constexpr std::size_t OPINFO_SIZE = 1060;
constexpr std::size_t OPINFO_OFS_ID = 0;
constexpr std::size_t OPINFO_OFS_CONNECTED = 4;
constexpr std::size_t OPINFO_OFS_LIST = 8;  // list name
static_assert(OPINFO_OFS_LIST + 2 * TEXT_UNITS <= OPINFO_SIZE);

constexpr std::size_t PHASE_SIZE = 536;
constexpr std::size_t PHASE_RECORDS = 8;
constexpr std::size_t PHASE_OFS_NAME = 0;
constexpr std::size_t PHASE_OFS_INDEX = 520;
constexpr std::size_t PHASE_OFS_VENDOR = 524;
constexpr std::size_t PHASE_OFS_PRODUCT = 528;
constexpr std::size_t PHASE_OFS_COMMANDS = 532;
static_assert(PHASE_OFS_NAME + 2 * TEXT_UNITS == PHASE_OFS_INDEX);

constexpr std::size_t EVENT_RECORD_SIZE = 1024;
constexpr std::size_t EVENT_OFS_SIZE = 0;

constexpr std::size_t DEVICE_OFS_NAME = 4;  // "USB\VID_15A2&PID_0061"
constexpr std::size_t DEVICE_OFS_VENDOR = 524;
constexpr std::size_t DEVICE_OFS_PRODUCT = 528;
constexpr std::size_t DEVICE_OFS_STATE = 532;

constexpr std::size_t PROGRESS_OFS_TEXT = 4;
constexpr std::size_t PROGRESS_OFS_DONE = 524;
constexpr std::size_t PROGRESS_OFS_STATUS = 528;
constexpr std::size_t PROGRESS_OFS_PHASE_COMMANDS = 532;
constexpr std::size_t PROGRESS_OFS_OPERATION = 536;
constexpr std::size_t PROGRESS_OFS_STEP = 540;
constexpr std::size_t PROGRESS_OFS_PHASE = 544;
static_assert(PROGRESS_OFS_TEXT + 2 * TEXT_UNITS == PROGRESS_OFS_DONE);
static_assert(PROGRESS_OFS_PHASE + 4 <= EVENT_RECORD_SIZE);

constexpr DWORD PROGRESS_COMMAND_DONE = 1;
constexpr DWORD PROGRESS_FAILED = 2;

// Device states: 0, 1 and 4 have a board, 2, 3 and 5 none.
constexpr DWORD STATE_LOADER = 0;     // in the chip's boot-ROM loader
constexpr DWORD STATE_UPDATER = 1;    // running the updater
constexpr DWORD STATE_REMOVED = 2;    // unplugged
constexpr DWORD STATE_SWITCHING = 3;  // gone while it changes from loader to updater

constexpr DWORD CALLBACK_DEVICE = 0;
constexpr DWORD CALLBACK_PROGRESS = 1;

// Results.
constexpr DWORD OK = 0;
constexpr DWORD ERR_STATE = 1;     // not initialised, nothing prepared, no board
constexpr DWORD ERR_ARGUMENT = 2;  // a wrong handle, kind or pointer
constexpr DWORD ERR_SCRIPT = 3;    // the script cannot be read, or has no such list
constexpr DWORD ERR_BUSY = 4;      // a run is still going on

constexpr DWORD OPERATION_ID = 0x4B01;

using Callback = void(WINAPI*)(void* record);

void PutLE32(unsigned char* p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void PutText(unsigned char* p, const std::wstring& text)
{
    const std::size_t n = std::min(text.size(), TEXT_UNITS - 1);
    for (std::size_t i = 0; i <= n; ++i) {
        const unsigned unit = i < n ? static_cast<unsigned>(text[i]) : 0;
        p[2 * i] = static_cast<unsigned char>(unit);
        p[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
    }
}

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

std::wstring Wide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Quoted(const wchar_t* text)
{
    return text == nullptr ? std::string("null") : "\"" + Utf8(text) + "\"";
}

std::wstring Environment(const wchar_t* name, const wchar_t* fallback)
{
    wchar_t value[1024];
    const DWORD n = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
    return n > 0 && n < std::size(value) ? std::wstring(value, n) : std::wstring(fallback);
}

DWORD EnvironmentNumber(const wchar_t* name, DWORD fallback)
{
    const std::wstring text = Environment(name, L"");
    return text.empty() ? fallback : static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

// ---- Logs ------------------------------------------------------------------------

class CLineLog {
public:
    void Open(const std::wstring& path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_path = path;
    }
    void Write(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_path.empty()) {
            return;
        }
        // Opened for each line, so that a reader sees every line at once.
        if (std::FILE* fp = _wfopen(m_path.c_str(), L"ab")) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "[%8llu] ",
                          static_cast<unsigned long long>(GetTickCount64() - s_startTicks));
            std::fputs(stamp, fp);
            std::fputs(line.c_str(), fp);
            std::fputc('\n', fp);
            std::fclose(fp);
        }
    }

private:
    static inline const ULONGLONG s_startTicks = GetTickCount64();
    std::mutex m_lock;
    std::wstring m_path;
};

CLineLog s_callLog;  // MFGSIM_CALL_LOG: every call and board event
CLineLog s_toolLog;  // the library log the writer names (ordinal 20): the run's messages

DWORD Logged(const std::string& call, DWORD result)
{
    s_callLog.Write(call + " = " + std::to_string(result));
    return result;
}

void Event(const std::string& text)
{
    s_callLog.Write("# " + text);
}

// ---- State -------------------------------------------------------------------------

enum class Scenario { Present, Late, Unplug, Fail };

struct Settings {
    Scenario scenario = Scenario::Present;
    DWORD dwStepMs = 200;
    DWORD dwArrivalMs = 3000;
    DWORD dwEventStep = 0;  // 0: the middle step of the list
};

// One prepared operation: made by ordinal 5, played by its board thread,
// released by ordinal 6.
struct Operation {
    std::mutex lock;
    std::condition_variable wake;
    SimList list;
    std::map<std::wstring, std::wstring> variables;
    Settings settings;
    bool bPresent = false;
    unsigned char* pOperationInfo = nullptr;  // the writer's buffer, lent from 9 until 6
    bool bExit = false;
    unsigned runRequested = 0;  // runs asked for by ordinal 7
    unsigned runStopped = 0;    // runs stopped by ordinal 8
    bool bRunning = false;
    std::thread board;
};

struct Library {
    std::mutex lock;
    bool bInitialised = false;
    DWORD dwHandle = 0;  // the one instance; 0 when there is none
    DWORD dwNextHandle = 1;
    Settings settings;
    std::map<std::wstring, std::wstring> variables;
    std::wstring profile;
    DWORD dwBoards = 0;
    SimScript script;
    bool bScript = false;
    const SimList* pList = nullptr;
    std::shared_ptr<Operation> operation;
    std::vector<std::thread> retired;  // board threads of released operations
    std::atomic<Callback> callbacks[2] = {nullptr, nullptr};
};

Library s_lib;

bool ValidHandle(DWORD handle)
{
    return s_lib.bInitialised && handle != 0 && handle == s_lib.dwHandle;
}

std::wstring Expand(const std::string& text, const std::map<std::wstring, std::wstring>& variables)
{
    std::wstring out = Wide(text);
    for (const auto& [name, value] : variables) {
        const std::wstring key = L"%" + name + L"%";
        for (std::size_t at = out.find(key); at != std::wstring::npos; at = out.find(key, at + value.size())) {
            out.replace(at, key.size(), value);
        }
    }
    return out;
}

// ---- The board thread ------------------------------------------------------------------

void Fire(DWORD kind, unsigned char* record)
{
    Callback callback = s_lib.callbacks[kind].load();
    if (callback != nullptr) {
        callback(record);
    }
}

void DeviceEvent(Operation& op, DWORD state, const SimPhase* phase)
{
    const bool present = state == STATE_LOADER || state == STATE_UPDATER;
    {
        std::lock_guard<std::mutex> lock(op.lock);
        op.bPresent = present;
        if (op.pOperationInfo != nullptr) {
            PutLE32(op.pOperationInfo + OPINFO_OFS_CONNECTED, present ? 1 : 0);
        }
    }
    Event("device state " + std::to_string(state) + (present ? " (board present)" : " (no board)"));
    unsigned char record[EVENT_RECORD_SIZE] = {};
    PutLE32(record + EVENT_OFS_SIZE, EVENT_RECORD_SIZE);
    if (phase != nullptr) {
        wchar_t name[64];
        std::swprintf(name, std::size(name), L"USB\\VID_%04X&PID_%04X", phase->dwVendor, phase->dwProduct);
        PutText(record + DEVICE_OFS_NAME, name);
        PutLE32(record + DEVICE_OFS_VENDOR, phase->dwVendor);
        PutLE32(record + DEVICE_OFS_PRODUCT, phase->dwProduct);
    }
    PutLE32(record + DEVICE_OFS_STATE, state);
    Fire(CALLBACK_DEVICE, record);
}

void ProgressEvent(const std::wstring& text, DWORD status, DWORD phase, DWORD done, DWORD phaseCommands, DWORD step)
{
    Event("progress status " + std::to_string(status) + " phase " + std::to_string(phase) + " done " +
          std::to_string(done) + " \"" + Utf8(text) + "\"");
    s_toolLog.Write(Utf8(text));
    unsigned char record[EVENT_RECORD_SIZE] = {};
    PutLE32(record + EVENT_OFS_SIZE, EVENT_RECORD_SIZE);
    PutText(record + PROGRESS_OFS_TEXT, text);
    PutLE32(record + PROGRESS_OFS_DONE, done);
    PutLE32(record + PROGRESS_OFS_STATUS, status);
    PutLE32(record + PROGRESS_OFS_PHASE_COMMANDS, phaseCommands);
    PutLE32(record + PROGRESS_OFS_OPERATION, OPERATION_ID);
    PutLE32(record + PROGRESS_OFS_STEP, step);
    PutLE32(record + PROGRESS_OFS_PHASE, phase);
    Fire(CALLBACK_PROGRESS, record);
}

// Waits for up to ms; false when the run was stopped or the operation
// released meanwhile.
bool Wait(Operation& op, unsigned run, DWORD ms)
{
    std::unique_lock<std::mutex> lock(op.lock);
    auto over = [&] { return op.bExit || op.runStopped >= run; };
    if (ms == INFINITE) {
        op.wake.wait(lock, over);
        return false;
    }
    return !op.wake.wait_for(lock, std::chrono::milliseconds(ms), over);
}

void PlayRun(Operation& op, unsigned run)
{
    DWORD total = 0;
    for (const SimPhase& phase : op.list.phases) {
        total += static_cast<DWORD>(phase.steps.size());
    }
    const DWORD eventStep = op.settings.dwEventStep != 0 ? op.settings.dwEventStep : total / 2 + 1;
    const DWORD ms = op.settings.dwStepMs;
    Event("run " + std::to_string(run) + " started, " + std::to_string(total) + " steps");

    DWORD step = 0;
    for (std::size_t p = 0; p < op.list.phases.size(); ++p) {
        const SimPhase& phase = op.list.phases[p];
        if (p > 0) {
            // The board leaves the bus and comes back with the updater.
            DeviceEvent(op, STATE_SWITCHING, &op.list.phases[p - 1]);
            if (!Wait(op, run, ms)) {
                Event("run stopped");
                return;
            }
            DeviceEvent(op, STATE_UPDATER, &phase);
        }
        for (std::size_t s = 0; s < phase.steps.size(); ++s) {
            if (!Wait(op, run, ms)) {
                Event("run stopped");
                return;
            }
            ++step;
            const std::wstring text = Expand(phase.steps[s].szText, op.variables);
            const DWORD phaseCommands = static_cast<DWORD>(phase.steps.size());
            if (op.settings.scenario == Scenario::Unplug && step == eventStep) {
                Event("board unplugged at step " + std::to_string(step));
                DeviceEvent(op, STATE_REMOVED, &phase);
                Wait(op, run, INFINITE);  // it never comes back
                Event("run stopped");
                return;
            }
            const std::wstring file = Expand(phase.steps[s].szFile, op.variables);
            const bool missing = !file.empty() && GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES;
            if ((op.settings.scenario == Scenario::Fail && step == eventStep) || missing) {
                Event("command failed at step " + std::to_string(step) + (missing ? ": no file " + Utf8(file) : ""));
                ProgressEvent(text + L": failed", PROGRESS_FAILED, static_cast<DWORD>(p), static_cast<DWORD>(s),
                              phaseCommands, step);
                Wait(op, run, INFINITE);
                Event("run stopped");
                return;
            }
            ProgressEvent(text, PROGRESS_COMMAND_DONE, static_cast<DWORD>(p), static_cast<DWORD>(s + 1), phaseCommands,
                          step);
        }
    }
    Event("run complete");
}

void BoardThread(std::shared_ptr<Operation> op)
{
    if (op->settings.scenario == Scenario::Late) {
        std::unique_lock<std::mutex> lock(op->lock);
        if (op->wake.wait_for(lock, std::chrono::milliseconds(op->settings.dwArrivalMs), [&] { return op->bExit; })) {
            return;
        }
        lock.unlock();
        DeviceEvent(*op, STATE_LOADER, op->list.phases.empty() ? nullptr : &op->list.phases.front());
    }
    for (;;) {
        unsigned run;
        {
            std::unique_lock<std::mutex> lock(op->lock);
            op->bRunning = false;
            op->wake.notify_all();
            op->wake.wait(lock, [&] { return op->bExit || op->runRequested > op->runStopped; });
            if (op->bExit) {
                return;
            }
            run = op->runRequested;
            op->bRunning = true;
        }
        PlayRun(*op, run);
    }
}

// Tells an operation's board thread to end and keeps it for joining.
void RetireOperation()
{
    if (!s_lib.operation) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s_lib.operation->lock);
        s_lib.operation->bExit = true;
        s_lib.operation->pOperationInfo = nullptr;  // the writer frees it now
    }
    s_lib.operation->wake.notify_all();
    if (s_lib.operation->board.joinable()) {
        s_lib.retired.push_back(std::move(s_lib.operation->board));
    }
    s_lib.operation.reset();
}

void JoinRetired(std::unique_lock<std::mutex>& lock)
{
    std::vector<std::thread> threads;
    threads.swap(s_lib.retired);
    lock.unlock();
    for (std::thread& t : threads) {
        t.join();
    }
    lock.lock();
}

}  // namespace

// ---- The library's calls ------------------------------------------------------------------

extern "C" {

DWORD WINAPI SimInitialize(void)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    s_callLog.Open(Environment(L"MFGSIM_CALL_LOG", L""));
    const std::wstring scenario = Environment(L"MFGSIM_SCENARIO", L"present");
    Settings settings;
    if (scenario == L"late") {
        settings.scenario = Scenario::Late;
    } else if (scenario == L"unplug") {
        settings.scenario = Scenario::Unplug;
    } else if (scenario == L"fail") {
        settings.scenario = Scenario::Fail;
    }
    settings.dwStepMs = EnvironmentNumber(L"MFGSIM_STEP_MS", settings.dwStepMs);
    settings.dwArrivalMs = EnvironmentNumber(L"MFGSIM_ARRIVAL_MS", settings.dwArrivalMs);
    settings.dwEventStep = EnvironmentNumber(L"MFGSIM_EVENT_STEP", 0);
    s_lib.settings = settings;
    s_lib.bInitialised = true;
    Event("scenario " + Utf8(scenario));
    return Logged("15", OK);
}

DWORD WINAPI SimUninitialize(void)
{
    std::unique_lock<std::mutex> lock(s_lib.lock);
    RetireOperation();
    JoinRetired(lock);
    const DWORD result = s_lib.bInitialised ? OK : ERR_STATE;
    s_lib.bInitialised = false;
    s_lib.dwHandle = 0;
    return Logged("16", result);
}

DWORD WINAPI SimCreateInstance(DWORD* handle)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = OK;
    if (!s_lib.bInitialised || s_lib.dwHandle != 0) {
        result = ERR_STATE;
    } else if (handle == nullptr) {
        result = ERR_ARGUMENT;
    } else {
        s_lib.dwHandle = s_lib.dwNextHandle++;
        *handle = s_lib.dwHandle;
    }
    return Logged("17 out", result);
}

DWORD WINAPI SimDestroyInstance(DWORD handle)
{
    std::unique_lock<std::mutex> lock(s_lib.lock);
    const bool valid = ValidHandle(handle);
    if (valid) {
        RetireOperation();
        JoinRetired(lock);
        s_lib.dwHandle = 0;
        s_lib.pList = nullptr;
        s_lib.callbacks[0] = nullptr;
        s_lib.callbacks[1] = nullptr;
    }
    return Logged("18 " + std::to_string(handle), valid ? OK : ERR_ARGUMENT);
}

DWORD WINAPI SimSetVariable(const wchar_t* name, const wchar_t* value)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = OK;
    if (!s_lib.bInitialised) {
        result = ERR_STATE;
    } else if (name == nullptr || *name == L'\0' || value == nullptr) {
        result = ERR_ARGUMENT;
    } else {
        s_lib.variables[name] = value;
    }
    return Logged("19 " + Quoted(name) + " " + Quoted(value), result);
}

DWORD WINAPI SimSelectProfile(DWORD handle, const wchar_t* profile)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && profile != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK) {
        s_lib.profile = profile;
    }
    return Logged("1 " + std::to_string(handle) + " " + Quoted(profile), result);
}

DWORD WINAPI SimSetBoardCount(DWORD handle, DWORD count)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && count >= 1 ? OK : ERR_ARGUMENT;
    if (result == OK) {
        s_lib.dwBoards = count;
    }
    return Logged("4 " + std::to_string(handle) + " " + std::to_string(count), result);
}

DWORD WINAPI SimSetLogFile(const wchar_t* path)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = s_lib.bInitialised ? (path != nullptr ? OK : ERR_ARGUMENT) : ERR_STATE;
    if (result == OK) {
        s_toolLog.Open(path);
        s_toolLog.Write("library log opened");
    }
    return Logged("20 " + Quoted(path), result);
}

DWORD WINAPI SimSetScriptFile(DWORD handle, const wchar_t* path)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && path != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK) {
        s_lib.bScript = false;
        s_lib.pList = nullptr;
        std::string text;
        std::string error = "cannot be read";
        if (std::FILE* fp = _wfopen(path, L"rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, fp)) > 0) {
                text.append(buffer, n);
            }
            std::fclose(fp);
            s_lib.bScript = SimParseScript(text, s_lib.script, error);
        }
        if (!s_lib.bScript) {
            Event("script " + Utf8(path) + ": " + error);
            result = ERR_SCRIPT;
        } else {
            Event("script read: " + std::to_string(s_lib.script.lists.size()) + " lists");
        }
    }
    return Logged("3 " + std::to_string(handle) + " " + Quoted(path), result);
}

DWORD WINAPI SimSelectList(DWORD handle, const wchar_t* name)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && name != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK) {
        s_lib.pList = s_lib.bScript ? s_lib.script.Find(Utf8(name)) : nullptr;
        if (s_lib.pList == nullptr) {
            result = ERR_SCRIPT;
        }
    }
    return Logged("2 " + std::to_string(handle) + " " + Quoted(name), result);
}

DWORD WINAPI SimInitOperation(DWORD handle)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) ? OK : ERR_ARGUMENT;
    if (result == OK && (s_lib.pList == nullptr || s_lib.operation)) {
        result = ERR_STATE;
    }
    if (result == OK) {
        auto op = std::make_shared<Operation>();
        op->list = *s_lib.pList;
        op->variables = s_lib.variables;
        op->settings = s_lib.settings;
        op->bPresent = s_lib.settings.scenario != Scenario::Late;
        s_lib.operation = op;
    }
    return Logged("5 " + std::to_string(handle), result);
}

DWORD WINAPI SimReleaseOperation(DWORD handle)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    const bool valid = ValidHandle(handle);
    if (valid) {
        RetireOperation();
    }
    return Logged("6 " + std::to_string(handle), valid ? OK : ERR_ARGUMENT);
}

struct InfoRequest {
    DWORD dwCount;
    void* pBuffer;
};

DWORD WINAPI SimGetOperationInfo(DWORD handle, InfoRequest* request)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && request != nullptr && request->pBuffer != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK && !s_lib.operation) {
        result = ERR_STATE;
    }
    if (result == OK) {
        Operation& op = *s_lib.operation;
        std::lock_guard<std::mutex> opLock(op.lock);
        auto* buffer = static_cast<unsigned char*>(request->pBuffer);
        PutLE32(buffer + OPINFO_OFS_ID, OPERATION_ID);
        PutLE32(buffer + OPINFO_OFS_CONNECTED, op.bPresent ? 1 : 0);
        PutText(buffer + OPINFO_OFS_LIST, Wide(op.list.szName));
        op.pOperationInfo = buffer;
        request->dwCount = 1;
    }
    return Logged("9 " + std::to_string(handle) + " req", result);
}

DWORD WINAPI SimGetPhaseInfo(DWORD handle, InfoRequest* request)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && request != nullptr && request->pBuffer != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK && !s_lib.operation) {
        result = ERR_STATE;
    }
    if (result == OK) {
        const SimList& list = s_lib.operation->list;
        const std::size_t count = std::min(list.phases.size(), PHASE_RECORDS);
        auto* records = static_cast<unsigned char*>(request->pBuffer);
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* r = records + i * PHASE_SIZE;
            const SimPhase& phase = list.phases[i];
            PutText(r + PHASE_OFS_NAME, Wide(phase.szName));
            PutLE32(r + PHASE_OFS_INDEX, static_cast<std::uint32_t>(i));
            PutLE32(r + PHASE_OFS_VENDOR, phase.dwVendor);
            PutLE32(r + PHASE_OFS_PRODUCT, phase.dwProduct);
            PutLE32(r + PHASE_OFS_COMMANDS, static_cast<std::uint32_t>(phase.steps.size()));
        }
        request->dwCount = static_cast<DWORD>(count);
    }
    return Logged("10 " + std::to_string(handle) + " req", result);
}

DWORD WINAPI SimRegisterCallback(DWORD handle, DWORD kind, Callback callback)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    const DWORD result = ValidHandle(handle) && kind <= CALLBACK_PROGRESS && callback != nullptr ? OK : ERR_ARGUMENT;
    if (result == OK) {
        s_lib.callbacks[kind] = callback;
    }
    return Logged("13 " + std::to_string(handle) + " " + std::to_string(kind) + (callback ? " fn" : " null"), result);
}

DWORD WINAPI SimUnregisterCallback(DWORD handle, DWORD kind, Callback callback)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    const DWORD result = ValidHandle(handle) && kind <= CALLBACK_PROGRESS ? OK : ERR_ARGUMENT;
    if (result == OK) {
        // Only the callback that is registered is taken off; none is no error.
        Callback expected = callback;
        s_lib.callbacks[kind].compare_exchange_strong(expected, nullptr);
    }
    return Logged("14 " + std::to_string(handle) + " " + std::to_string(kind) + (callback ? " fn" : " null"), result);
}

DWORD WINAPI SimFinishPreparation(DWORD handle)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) ? OK : ERR_ARGUMENT;
    if (result == OK && (!s_lib.operation || s_lib.operation->board.joinable())) {
        result = ERR_STATE;
    }
    if (result == OK) {
        // The board thread starts now: from here on the board can come and go.
        s_lib.operation->board = std::thread(BoardThread, s_lib.operation);
    }
    return Logged("21 " + std::to_string(handle), result);
}

DWORD WINAPI SimStartOperation(DWORD handle, DWORD operationId)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && operationId == OPERATION_ID ? OK : ERR_ARGUMENT;
    if (result == OK && (!s_lib.operation || !s_lib.operation->board.joinable())) {
        result = ERR_STATE;
    }
    if (result == OK) {
        Operation& op = *s_lib.operation;
        std::unique_lock<std::mutex> opLock(op.lock);
        // A stopped run winds down at its next step; give it that long.
        op.wake.wait_for(opLock, std::chrono::milliseconds(1000), [&] { return !op.bRunning; });
        if (!op.bPresent) {
            result = ERR_STATE;
        } else if (op.bRunning) {
            result = ERR_BUSY;
        } else {
            ++op.runRequested;
            op.wake.notify_all();
        }
    }
    return Logged("7 " + std::to_string(handle) + " " + std::to_string(operationId), result);
}

DWORD WINAPI SimStopOperation(DWORD handle, DWORD operationId)
{
    std::lock_guard<std::mutex> lock(s_lib.lock);
    DWORD result = ValidHandle(handle) && operationId == OPERATION_ID ? OK : ERR_ARGUMENT;
    if (result == OK && !s_lib.operation) {
        result = ERR_STATE;
    }
    if (result == OK) {
        // Not waited for: the board thread may be inside a callback that
        // waits for the writer's thread, which is the one calling here.
        Operation& op = *s_lib.operation;
        std::lock_guard<std::mutex> opLock(op.lock);
        op.runStopped = op.runRequested;
        op.wake.notify_all();
    }
    return Logged("8 " + std::to_string(handle) + " " + std::to_string(operationId), result);
}

}  // extern "C"
