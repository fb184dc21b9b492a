// config: the unit's one configuration record and its ini file. The record is
// loaded once at start from a text file of key=value lines (falling back to a
// backup copy beside it, then to defaults) and rewritten whole, backup first,
// when the command interpreter saves. Some fields live only in memory.
//
// The file name is a board path ("/var/local/kovalan.ini"): it is remembered
// as given and mapped through the board module at every open, so a simulated
// board reads and writes below its root.
//
// Threads: CONFIG_Init and CONFIG_Load run once at start before other threads
// exist. Afterwards the record is written and saved only by holders of the
// command interpreter's command lock; other threads read it without a lock.
// The module itself takes no lock.
#pragma once

#include "winemu.h"

constexpr int CONFIG_MAX_TARGET = 100;
constexpr int CONFIG_FILENAME_SIZE = 256;  // remembered file name, terminator included
constexpr BYTE CONFIG_DGID_NONE = 255;     // a DG-ID that is not set

// Text field sizes in bytes, terminator included.
constexpr int CONFIG_PASSWORD_SIZE = 17;
constexpr int CONFIG_CALLSIGN_SIZE = 11;
constexpr int CONFIG_RADIOID_SIZE = 6;
constexpr int CONFIG_MEMO_SIZE = 65;
constexpr int CONFIG_SCTABLE_SIZE = 16;  // bytes of a code table
constexpr int CONFIG_PROGRAM_SIZE = 16;

// The program name a file must carry, and the version this program writes.
constexpr char CONFIG_PROGRAM_NAME[] = "KOVA-LAN";
constexpr DWORD CONFIG_PROGRAM_VERSION = 0x01040400;

// One peer unit ("target").
struct tagTARGET_INFO {
    BOOL bEnable;      // entry in use
    DWORD dwTargetIP;  // configured address
    char szCallSign[CONFIG_CALLSIGN_SIZE];
    char szRadioID[CONFIG_RADIOID_SIZE];
    char szMemo[CONFIG_MEMO_SIZE];
    BYTE abySCTable[CONFIG_SCTABLE_SIZE];  // the peer's code table; written, never read back
    BYTE byLocDGID;                        // 255 = not set; memory only
    BYTE byDefDGID;                        // 255 = not set; memory only
    DWORD dwCurrentIP;                     // address the peer uses now; memory only
    BOOL bChanged;                         // edited since the unit core took the entry over; memory only
};
typedef tagTARGET_INFO TARGET_INFO;

// The whole configuration. Fields marked "memory" are never stored in the file.
struct tagCONFIG_PARAM {
    int nTxUdpPort;
    int nRxUdpPort;
    int nSettingPort;
    int nCommPort;  // UART of the radio link, 0 = none
    int nUsbPort;   // USB gadget serial port, 0 = none
    char szPassWord[CONFIG_PASSWORD_SIZE];
    BOOL bLockEnable;
    BOOL bListServer;  // memory
    TARGET_INFO aTargetInfo[CONFIG_MAX_TARGET];
    BOOL bLogEnable;
    DWORD dwLogFlag;
    char szServID[6];  // memory, as are the fields down to nServUdpPort
    char szCity[41];
    char szState[41];
    char szCountry[4];
    BYTE bySearchResp;
    char szSignature[31];
    char szMailAddr[61];
    char szLastUpdate[15];
    char szHostName[129];
    char szHostUrl[129];
    int nHttpPort;
    int nServTcpPort;
    int nServUdpPort;
    DWORD dwVersion;                      // version of the program that last wrote the file
    char szProgram[CONFIG_PROGRAM_SIZE];  // name of that program
    DWORD adwDbgServIP[8];                // memory, as are the fields below
    DWORD dwDbgPrimaryIP;
    char szNtpServer[256];
    BOOL bNtpEnable;
};
typedef tagCONFIG_PARAM CONFIG_PARAM;

// Forgets the file name and sets the module's record to defaults; always TRUE.
BOOL CONFIG_Init();
// The module's record; the pointer is stable for the life of the process.
CONFIG_PARAM* CONFIG_Get();
// Remembers pszFileName and loads it (or its backup) into pParam (null = the
// module's record); TRUE if a file carrying the right program name was read.
// A main file that fails while the backup passes is rewritten from the backup.
// An empty name or one over 255 characters is not remembered: defaults, FALSE.
BOOL CONFIG_Load(const char* pszFileName, CONFIG_PARAM* pParam);
// Where the last CONFIG_Load found the settings.
enum class CONFIG_SOURCE {
    MAIN,        // the main file passed its check
    BACKUP,      // the main file failed, the backup passed (the main file is rewritten from it)
    NO_FILE,     // neither file exists: factory settings of a new unit
    NONE_VALID,  // a file exists but neither passed its check: factory settings (or unchecked values)
};
CONFIG_SOURCE CONFIG_GetLoadSource();
// Logs which file the unit started on; silent after a start on the main file.
// Called once the debug output runs.
void CONFIG_ReportLoad();
// Replaces the backup, then the main file, each whole and atomically, from
// pParam (null = the module's record); TRUE if the main file was written.
// FALSE before any CONFIG_Load.
BOOL CONFIG_Save(const CONFIG_PARAM* pParam);
// Factory reset of the user-facing fields (null = the module's record); does not save.
void CONFIG_Reset(CONFIG_PARAM* pParam);
