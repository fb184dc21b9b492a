// mfg_api: the calls the writer makes into the manufacturing-tool library
// MfgToolLib.dll, with the shapes the writer relies on. The library exports
// them by ordinal only; MfgToolLib.def gives the import library the same
// ordinals under these local names, which the library itself never sees.
//
// Every call returns 0 on success. Texts are UTF-16. The instance handle is a
// 32-bit number that the library hands out. Callbacks may arrive on any
// thread of the library; the record they get is the library's and is valid
// only during the call.
#pragma once

#include <windows.h>

extern "C" {

// Callback kinds of MtlRegisterCallback and MtlUnregisterCallback.
inline constexpr DWORD MTL_CALLBACK_DEVICE_CHANGE = 0;
inline constexpr DWORD MTL_CALLBACK_PROGRESS = 1;

// A callback: the record of a device change or of a progress report.
typedef void(WINAPI* MTL_CALLBACK)(void* record);

// The request of MtlGetOperationInfo and MtlGetPhaseInfo: the library fills
// the count and writes into the caller's buffer.
struct MTL_INFO_REQUEST {
    DWORD dwCount;
    void* pBuffer;
};

DWORD WINAPI MtlInitialize(void);                                      // @15
DWORD WINAPI MtlUninitialize(void);                                    // @16
DWORD WINAPI MtlCreateInstance(DWORD* pdwHandle);                      // @17
DWORD WINAPI MtlDestroyInstance(DWORD dwHandle);                       // @18
DWORD WINAPI MtlSetVariable(const wchar_t* name, const wchar_t* value);  // @19
DWORD WINAPI MtlSelectProfile(DWORD dwHandle, const wchar_t* profile);   // @1
DWORD WINAPI MtlSetBoardCount(DWORD dwHandle, DWORD dwCount);          // @4
DWORD WINAPI MtlSetLogFile(const wchar_t* path);                       // @20
DWORD WINAPI MtlSetScriptFile(DWORD dwHandle, const wchar_t* path);    // @3
DWORD WINAPI MtlSelectList(DWORD dwHandle, const wchar_t* listName);   // @2
DWORD WINAPI MtlInitOperation(DWORD dwHandle);                         // @5
DWORD WINAPI MtlGetOperationInfo(DWORD dwHandle, MTL_INFO_REQUEST* request);  // @9, 1060-byte buffer
DWORD WINAPI MtlGetPhaseInfo(DWORD dwHandle, MTL_INFO_REQUEST* request);      // @10, 8 records of 536 bytes
DWORD WINAPI MtlRegisterCallback(DWORD dwHandle, DWORD dwKind, MTL_CALLBACK callback);    // @13
DWORD WINAPI MtlUnregisterCallback(DWORD dwHandle, DWORD dwKind, MTL_CALLBACK callback);  // @14
DWORD WINAPI MtlFinishPreparation(DWORD dwHandle);                     // @21
DWORD WINAPI MtlStartOperation(DWORD dwHandle, DWORD dwOperationId);   // @7
DWORD WINAPI MtlStopOperation(DWORD dwHandle, DWORD dwOperationId);    // @8
DWORD WINAPI MtlReleaseOperation(DWORD dwHandle);                      // @6

}  // extern "C"
