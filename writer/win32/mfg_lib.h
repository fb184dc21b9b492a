// mfg_lib: CMfgLib, the writer's one wrapper around the manufacturing-tool
// library. It owns the library's instance, the operation information buffer
// and the phase records, and turns the library's callbacks into
// notifications for the dialog.
//
// Threads: every call but the callbacks comes from the program's main (the
// dialog's) thread. The callbacks run on whatever thread the library uses;
// they only read the library's record, update the device present flag
// (atomic) and call the notification target synchronously (the dialog's
// target sends a window message, so the dialog's state changes on the
// dialog's thread). The target is read under m_targetLock and called outside
// it, so a dialog that clears its target never waits on a callback.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "dialog_logic.h"
#include "mfg_api.h"
#include "mfg_records.h"

// The paths the library is told about, fixed at start-up.
struct WriterPaths {
    std::wstring szTools;    // <program folder>\Files
    std::wstring szScript;   // <tools>\ucl2.xml
    std::wstring szWorking;  // <application data>\Varnoth\DOZURIvudOzazuv
    std::wstring szLog;      // <working>\MfgTool.log
};

// What the device-change notification carries.
struct MfgDeviceNotice {
    bool bPresent;
    std::uint32_t dwState;  // the library's device state
};

// A notification: (context, message number, record). The record is valid
// only during the call.
using MfgNotifyFunction = void (*)(void* context, UINT message, void* record);

class CMfgLib {
public:
    CMfgLib();
    ~CMfgLib();
    CMfgLib(const CMfgLib&) = delete;
    CMfgLib& operator=(const CMfgLib&) = delete;

    // Library start: initialise, create the instance, the five script
    // variables, profile "Linux", one board, the log file and the script
    // file. False at the first call that fails.
    bool Initialize(const WriterPaths& paths);

    // Prepares the library for a list of the script: drops what an earlier
    // package prepared, selects the list, sets up the operation, reads the
    // operation information and the phases, registers both callbacks and
    // finishes the preparation. False at the first step that fails. The
    // dialog logic computes the run's total from the phases it gets.
    bool Prepare(const char* listName, MfgPreparation& out);

    // Starts and stops flashing with the prepared operation; the library's
    // result (0 = done).
    DWORD Start();
    DWORD Stop();

    // Library end: callbacks off, operation released, buffers freed,
    // instance destroyed, library released. Safe to call twice.
    void Shutdown();

    bool IsDevicePresent() const { return m_bDevicePresent.load(); }

    // Where the callbacks are passed on; null stops them.
    void SetNotifyTarget(MfgNotifyFunction function, void* context);

private:
    void ReleaseOperation();
    void Notify(UINT message, void* record);
    static void WINAPI DeviceChangeCallback(void* record);
    static void WINAPI ProgressCallback(void* record);

    // The callbacks carry no context: they find the one wrapper here.
    static std::atomic<CMfgLib*> s_pInstance;

    bool m_bLibrary = false;   // ordinal 15 succeeded
    bool m_bInstance = false;  // ordinal 17 succeeded
    DWORD m_dwHandle = 0;
    std::unique_ptr<unsigned char[]> m_pOperationInfo;  // MFG_OPINFO_SIZE bytes
    std::unique_ptr<unsigned char[]> m_pPhaseInfo;      // MFG_PHASE_MAX_RECORDS records
    DWORD m_dwPhaseCount = 0;
    DWORD m_dwOperationId = 0;
    std::atomic<bool> m_bDevicePresent{false};

    std::mutex m_targetLock;
    MfgNotifyFunction m_pfnNotify = nullptr;
    void* m_pNotifyContext = nullptr;
};
