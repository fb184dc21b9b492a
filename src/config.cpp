// config: the configuration record, its defaults and factory reset, and the
// ini file with its backup (see config.h).
//
// File format: one "key=value" line per main-table row, one "Target<n>=..."
// line per non-empty target, then the "Version" and "Program" lines; every
// line ends with "\n". The Program line is written last, so a file cut short
// lacks it and fails the loader's check.
//
// Power cuts: each file is replaced whole, never rewritten in place. The text
// goes to "<name>.tmp" in the same folder, is flushed to the device, read back
// and renamed over the old file, and the folder is flushed; a cut at any point
// leaves either the old or the new file under the name. The backup is
// replaced first, then the main file, so at every moment at least one of them
// holds complete settings. A start that finds the main file failing its check
// while the backup passes rewrites the main file from the backup the same way
// before anything else runs, and CONFIG_ReportLoad says which file the unit
// started on.
//
// Reading is forgiving, since the file may be edited by hand: ";" starts a
// comment, keys match in any case, blanks around keys and values are trimmed,
// unknown keys and bad values are ignored line by line. A line keeps at most
// 511 characters; the rest of a longer line is skipped, so it cannot be read
// as a line of its own.
//
// Threads: see config.h; no lock is taken here.
#include "config.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "conftbl.h"
#include "debug.h"
#include "helpers.h"
#include "sub.h"
#include "util.h"

namespace {

const char DEFAULT_PASSWORD[] = "tarnwick";
constexpr DWORD DEFAULT_UDP_PORT = 21110;

#define CONFIG_FIELD(field) static_cast<int>(offsetof(CONFIG_PARAM, field))

// The rows written at the head of the file, in this order.
const CONFIG_TBL s_aConfigTbl[] = {
    {"RxUdpPort", CONFIG_FIELD(nRxUdpPort), CONFIG_TYPE::TYPE_INT, DEFAULT_UDP_PORT, nullptr, 0},
    {"TxUdpPort", CONFIG_FIELD(nTxUdpPort), CONFIG_TYPE::TYPE_INT, DEFAULT_UDP_PORT, nullptr, 0},
    {"SettingPort", CONFIG_FIELD(nSettingPort), CONFIG_TYPE::TYPE_INT, 21002, nullptr, 0},
    {"CommPort", CONFIG_FIELD(nCommPort), CONFIG_TYPE::TYPE_INT, 2, nullptr, 0},
    {"UsbPort", CONFIG_FIELD(nUsbPort), CONFIG_TYPE::TYPE_INT, 1000, nullptr, 0},
    {"PassWord", CONFIG_FIELD(szPassWord), CONFIG_TYPE::TYPE_STR, 0, DEFAULT_PASSWORD, CONFIG_PASSWORD_SIZE},
    {"LockEnable", CONFIG_FIELD(bLockEnable), CONFIG_TYPE::TYPE_BOOL, 0, nullptr, 0},
    {"LogEnableDbg", CONFIG_FIELD(bLogEnable), CONFIG_TYPE::TYPE_BOOL, 1, nullptr, 0},
    {"LogFlagDbg", CONFIG_FIELD(dwLogFlag), CONFIG_TYPE::TYPE_HEXDW, 0xFFFFFFFF, nullptr, 0},
};
constexpr int CONFIG_TBL_ROWS = static_cast<int>(sizeof(s_aConfigTbl) / sizeof(s_aConfigTbl[0]));

// The rows written at the end of the file, after the targets.
const CONFIG_TBL s_aConfigTbl2[] = {
    {"Version", CONFIG_FIELD(dwVersion), CONFIG_TYPE::TYPE_HEXDW, 0, nullptr, 0},
    {"Program", CONFIG_FIELD(szProgram), CONFIG_TYPE::TYPE_STR, 0, "", CONFIG_PROGRAM_SIZE},
};
constexpr int CONFIG_TBL2_ROWS = static_cast<int>(sizeof(s_aConfigTbl2) / sizeof(s_aConfigTbl2[0]));

#undef CONFIG_FIELD

const char* const BACKUP_EXT = ".bak";
const char* const TEMP_SUFFIX = ".tmp";  // appended to the whole name of the file being replaced
const char TARGET_KEY[] = "Target";
constexpr size_t TARGET_KEY_LEN = sizeof(TARGET_KEY) - 1;
constexpr int LINE_CHARS_MAX = 511;  // characters of a line the loader keeps

CONFIG_PARAM s_Param;
char s_szFileName[CONFIG_FILENAME_SIZE];  // a board path; empty until CONFIG_Load
CONFIG_SOURCE s_eSource = CONFIG_SOURCE::NO_FILE;  // where the last CONFIG_Load found the settings
bool s_bRepairFailed = false;                      // the main file could not be rewritten from the backup

// ---- Record ------------------------------------------------------------------

void SetDefaultTarget(TARGET_INFO* pTarget)
{
    std::memset(pTarget, 0, sizeof(*pTarget));
    pTarget->byLocDGID = CONFIG_DGID_NONE;
    pTarget->byDefDGID = CONFIG_DGID_NONE;
}

void SetDefaultAll(CONFIG_PARAM* pParam)
{
    std::memset(pParam, 0, sizeof(*pParam));
    CONFTBL_SetDefaultAll(s_aConfigTbl, CONFIG_TBL_ROWS, pParam);
    CONFTBL_SetDefaultAll(s_aConfigTbl2, CONFIG_TBL2_ROWS, pParam);
    for (TARGET_INFO& target : pParam->aTargetInfo) {
        SetDefaultTarget(&target);
    }
}

bool IsTargetEmpty(const TARGET_INFO& t)
{
    return t.bEnable == 0 && t.dwTargetIP == 0 && t.szMemo[0] == '\0' && t.szCallSign[0] == '\0' &&
           t.szRadioID[0] == '\0' && is_bytes_zero(t.abySCTable, CONFIG_SCTABLE_SIZE);
}

// The name must equal the program's exactly; the compare stays inside the field.
bool HasProgramName(const CONFIG_PARAM* pParam)
{
    static_assert(sizeof(CONFIG_PROGRAM_NAME) <= CONFIG_PROGRAM_SIZE);
    return std::memcmp(pParam->szProgram, CONFIG_PROGRAM_NAME, sizeof(CONFIG_PROGRAM_NAME)) == 0;
}

// ---- Writing -----------------------------------------------------------------

// The target's line without line end: enable, address, code table, then the
// texts in double quotes so that commas in them survive. The call sign and
// radio ID come from the peer and are written as str_safe_text keeps them,
// so no peer can split the line or end a quote.
void FormTargetLine(int nIndex, const TARGET_INFO& t, char* out, int nSize)
{
    char table[2 * CONFIG_SCTABLE_SIZE + 1];
    bytes2str(table, t.abySCTable, CONFIG_SCTABLE_SIZE);
    char callSign[CONFIG_CALLSIGN_SIZE];
    char radioId[CONFIG_RADIOID_SIZE];
    str_safe_text(callSign, t.szCallSign, CONFIG_CALLSIGN_SIZE - 1);
    str_safe_text(radioId, t.szRadioID, CONFIG_RADIOID_SIZE - 1);
    const DWORD ip = t.dwTargetIP;
    _snprintf(out, static_cast<size_t>(nSize), "%s%d=%d,%u.%u.%u.%u,%s,\"%.*s\",\"%.*s\",\"%.*s\"", TARGET_KEY, nIndex,
              t.bEnable != 0 ? 1 : 0, static_cast<unsigned>(ip >> 24), static_cast<unsigned>((ip >> 16) & 0xFF),
              static_cast<unsigned>((ip >> 8) & 0xFF), static_cast<unsigned>(ip & 0xFF), table,
              CONFIG_CALLSIGN_SIZE - 1, callSign, CONFIG_RADIOID_SIZE - 1, radioId, CONFIG_MEMO_SIZE - 1, t.szMemo);
}

bool WriteLine(FILE* fp, const char* line)
{
    return std::fputs(line, fp) >= 0 && std::fputc('\n', fp) != EOF;
}

bool WriteTable(FILE* fp, const CONFIG_TBL* pTbl, int nRows, const CONFIG_PARAM* pParam)
{
    char line[CONFTBL_LINE_MAX];
    for (int i = 0; i < nRows; ++i) {
        CONFTBL_GetParam(&pTbl[i], pParam, line, sizeof(line));
        if (!WriteLine(fp, line)) {
            return false;
        }
    }
    return true;
}

bool WriteRecord(FILE* fp, const CONFIG_PARAM* pParam)
{
    if (!WriteTable(fp, s_aConfigTbl, CONFIG_TBL_ROWS, pParam)) {
        return false;
    }
    char line[CONFTBL_LINE_MAX];
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        const TARGET_INFO& target = pParam->aTargetInfo[i];
        if (IsTargetEmpty(target)) {
            continue;
        }
        FormTargetLine(i, target, line, sizeof(line));
        if (!WriteLine(fp, line)) {
            return false;
        }
    }
    return WriteTable(fp, s_aConfigTbl2, CONFIG_TBL2_ROWS, pParam);
}

// Reads a written file through to its end: it must open and read without error.
bool ReadsBack(const char* pszPath)
{
    FILE* fp = std::fopen(pszPath, "r");
    if (fp == nullptr) {
        return false;
    }
    char buf[CONFTBL_LINE_MAX];
    while (std::fread(buf, 1, sizeof(buf), fp) == sizeof(buf)) {
    }
    const bool ok = std::ferror(fp) == 0;
    std::fclose(fp);
    return ok;
}

// The host paths of a board file and of the temporary file that replaces it.
struct ReplacePaths {
    char path[BOARD_PATH_MAX];
    char temp[BOARD_PATH_MAX + 4];
};

bool MapForReplace(const char* pszBoardPath, ReplacePaths* p)
{
    if (!Board_MapPath(pszBoardPath, p->path, sizeof(p->path))) {
        return false;
    }
    _snprintf(p->temp, sizeof(p->temp), "%s%s", p->path, TEMP_SUFFIX);
    return true;
}

// Opens the temporary file of a replacement, empty.
FILE* BeginReplace(const ReplacePaths& p)
{
    return OpenFile(p.temp, "w");
}

// Puts the written temporary file on the device and renames it over the file.
bool FinishReplace(FILE* fp, bool written, const ReplacePaths& p)
{
    written = written && FlushFile(fp);
    const bool closed = std::fclose(fp) == 0;
    return written && closed && ReadsBack(p.temp) && RenameFile(p.temp, p.path);
}

// Replaces the whole file at the board path; TRUE once it is on the device.
BOOL SaveConfig(const char* pszBoardPath, const CONFIG_PARAM* pParam)
{
    ReplacePaths paths;
    if (!MapForReplace(pszBoardPath, &paths)) {
        return FALSE;
    }
    FILE* fp = BeginReplace(paths);
    if (fp == nullptr) {
        return FALSE;
    }
    return FinishReplace(fp, WriteRecord(fp, pParam), paths) ? TRUE : FALSE;
}

// Replaces the file at pszBoardPath by a byte copy of the one at pszFromBoardPath.
bool CopyConfig(const char* pszFromBoardPath, const char* pszBoardPath)
{
    char from[BOARD_PATH_MAX];
    ReplacePaths paths;
    if (!Board_MapPath(pszFromBoardPath, from, sizeof(from)) || !MapForReplace(pszBoardPath, &paths)) {
        return false;
    }
    FILE* in = std::fopen(from, "r");
    if (in == nullptr) {
        return false;
    }
    FILE* out = BeginReplace(paths);
    bool ok = out != nullptr;
    char buf[4096];
    size_t n = 0;
    while (ok && (n = std::fread(buf, 1, sizeof(buf), in)) > 0) {
        ok = std::fwrite(buf, 1, n, out) == n;
    }
    ok = ok && std::ferror(in) == 0;
    std::fclose(in);
    return out != nullptr && FinishReplace(out, ok, paths);
}

// ---- Reading -----------------------------------------------------------------

// One line into buf without its line feed; characters past LINE_CHARS_MAX
// are skipped up to the line feed. FALSE at end of file with nothing read.
bool ReadLine(FILE* fp, char (&buf)[LINE_CHARS_MAX + 1])
{
    int n = 0;
    int c = EOF;
    bool any = false;
    while ((c = std::getc(fp)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (n < LINE_CHARS_MAX) {
            buf[n++] = static_cast<char>(c);
        }
    }
    buf[n] = '\0';
    return any;
}

void CutAt(char* text, char c)
{
    char* p = std::strchr(text, c);
    if (p != nullptr) {
        *p = '\0';
    }
}

// Index of the target the key names ("Target0" to "Target99", any case, no
// leading zeros), or -1.
int TargetIndexOf(const char* pszKey)
{
    if (__strnicmp(pszKey, TARGET_KEY, TARGET_KEY_LEN) != 0) {
        return -1;
    }
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        char name[sizeof(TARGET_KEY) + 4];
        _sprintf(name, "%s%d", TARGET_KEY, i);
        if (__stricmp(pszKey, name) == 0) {
            return i;
        }
    }
    return -1;
}

template <size_t N>
void CopyTargetText(char* token, char (&field)[N])
{
    if (token != nullptr) {
        str_remove_quotation(token);
        _strlcpy(field, token, N);
    }
}

// Parses "enable,address,codetable[,callsign[,radioid[,memo]]]" into *pTarget.
// The code table must be present but is not taken: the unit learns code
// tables from its peers. FALSE (target untouched) when a required field is
// missing or bad. Empty fields are skipped, so later fields move up.
bool LoadTarget(char* pszValue, TARGET_INFO* pTarget)
{
    TARGET_INFO t;
    SetDefaultTarget(&t);
    char* next = pszValue;
    DWORD enable = 0;
    const char* field = str_token(&next, ",");
    if (field == nullptr || !decstr2dword(field, static_cast<int>(std::strlen(field)), &enable)) {
        return false;
    }
    t.bEnable = enable != 0 ? TRUE : FALSE;
    field = str_token(&next, ",");
    if (field == nullptr || !str2ipadrs(field, &t.dwTargetIP)) {
        return false;
    }
    if (str_token(&next, ",") == nullptr) {
        return false;
    }
    CopyTargetText(str_token(&next, ","), t.szCallSign);
    CopyTargetText(str_token(&next, ","), t.szRadioID);
    CopyTargetText(str_token(&next, ","), t.szMemo);
    // The peer's texts are held as the writer keeps them, so a save writes
    // back what was loaded.
    str_safe_text(t.szCallSign, t.szCallSign, CONFIG_CALLSIGN_SIZE - 1);
    str_safe_text(t.szRadioID, t.szRadioID, CONFIG_RADIOID_SIZE - 1);
    *pTarget = t;
    return true;
}

void LoadLine(char* line, CONFIG_PARAM* pParam)
{
    CutAt(line, ';');
    CutAt(line, '\r');
    CutAt(line, '\n');
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        return;
    }
    *equals = '\0';
    const char* key = str_trim(line);
    char* value = str_trim(equals + 1);

    BOOL bMatched = FALSE;
    if (CONFTBL_LoadParam(s_aConfigTbl, CONFIG_TBL_ROWS, pParam, key, value, &bMatched) && bMatched) {
        return;
    }
    const int target = TargetIndexOf(key);
    if (target >= 0) {
        LoadTarget(value, &pParam->aTargetInfo[target]);
        return;
    }
    CONFTBL_LoadParam(s_aConfigTbl2, CONFIG_TBL2_ROWS, pParam, key, value, nullptr);
}

// Reads the file at the board path over defaults; FALSE (record untouched)
// when it cannot be opened. A read error counts as the end of the file.
BOOL LoadConfig(const char* pszBoardPath, CONFIG_PARAM* pParam)
{
    char path[BOARD_PATH_MAX];
    if (!Board_MapPath(pszBoardPath, path, sizeof(path))) {
        return FALSE;
    }
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) {
        return FALSE;
    }
    SetDefaultAll(pParam);
    char line[LINE_CHARS_MAX + 1];
    while (ReadLine(fp, line)) {
        LoadLine(line, pParam);
    }
    std::fclose(fp);
    return TRUE;
}

// The remembered name with its extension replaced by ".bak".
void BackupName(char* out, int nSize)
{
    ChangeFileExt(out, nSize, s_szFileName, BACKUP_EXT);
}

// Remembers the name; a name that is empty or does not fit is not remembered
// (a cut name would be another file).
bool RememberFileName(const char* pszFileName)
{
    s_szFileName[0] = '\0';
    if (pszFileName == nullptr || pszFileName[0] == '\0' ||
        std::strlen(pszFileName) >= static_cast<size_t>(CONFIG_FILENAME_SIZE)) {
        return false;
    }
    _strlcpy(s_szFileName, pszFileName, sizeof(s_szFileName));
    return true;
}

}  // namespace

BOOL CONFIG_Init()
{
    s_szFileName[0] = '\0';
    SetDefaultAll(&s_Param);
    return TRUE;
}

CONFIG_PARAM* CONFIG_Get()
{
    return &s_Param;
}

BOOL CONFIG_Load(const char* pszFileName, CONFIG_PARAM* pParam)
{
    CONFIG_PARAM* param = pParam != nullptr ? pParam : &s_Param;
    s_eSource = CONFIG_SOURCE::NO_FILE;
    s_bRepairFailed = false;
    if (!RememberFileName(pszFileName)) {
        SetDefaultAll(param);
        return FALSE;
    }
    const bool mainRead = LoadConfig(s_szFileName, param) != FALSE;
    if (mainRead && HasProgramName(param)) {
        s_eSource = CONFIG_SOURCE::MAIN;
        return TRUE;
    }
    // A missing main file, one without the right program name, or one cut
    // short before its last line: the backup's values are taken, even when
    // its own program name is wrong.
    SetDefaultAll(param);
    char backup[CONFIG_FILENAME_SIZE + 4];
    BackupName(backup, sizeof(backup));
    if (!LoadConfig(backup, param)) {
        s_eSource = mainRead ? CONFIG_SOURCE::NONE_VALID : CONFIG_SOURCE::NO_FILE;
        return FALSE;
    }
    if (!HasProgramName(param)) {
        s_eSource = CONFIG_SOURCE::NONE_VALID;
        return FALSE;
    }
    // The main file must hold the settings again before the next save
    // replaces the backup, or one more cut could leave no valid copy.
    s_eSource = CONFIG_SOURCE::BACKUP;
    s_bRepairFailed = !CopyConfig(backup, s_szFileName);
    return TRUE;
}

CONFIG_SOURCE CONFIG_GetLoadSource()
{
    return s_eSource;
}

void CONFIG_ReportLoad()
{
    switch (s_eSource) {
    case CONFIG_SOURCE::MAIN:
        break;
    case CONFIG_SOURCE::BACKUP:
        DebugLog(LOG_CAT_WARNING, "[W] settings file %s failed its check: started on its backup\n", s_szFileName);
        DebugLog(LOG_CAT_WARNING, s_bRepairFailed ? "[W] settings file could not be rewritten from the backup\n"
                                                  : "[W] settings file rewritten from the backup\n");
        break;
    case CONFIG_SOURCE::NO_FILE:
        DebugLog(LOG_CAT_INFO, "[I] no settings file: started on factory settings\n");
        break;
    case CONFIG_SOURCE::NONE_VALID:
        DebugLog(LOG_CAT_WARNING, "[W] !!! settings file %s and its backup failed their check !!!\n", s_szFileName);
        DebugLog(LOG_CAT_WARNING, "[W] !!! started on FACTORY SETTINGS: targets and PassWord lost !!!\n");
        break;
    }
}

BOOL CONFIG_Save(const CONFIG_PARAM* pParam)
{
    const CONFIG_PARAM* param = pParam != nullptr ? pParam : &s_Param;
    if (s_szFileName[0] == '\0') {
        return FALSE;
    }
    char backup[CONFIG_FILENAME_SIZE + 4];
    BackupName(backup, sizeof(backup));
    SaveConfig(backup, param);  // a failed backup is not reported; the main file still counts
    return SaveConfig(s_szFileName, param);
}

void CONFIG_Reset(CONFIG_PARAM* pParam)
{
    CONFIG_PARAM* param = pParam != nullptr ? pParam : &s_Param;
    std::memset(param->aTargetInfo, 0, sizeof(param->aTargetInfo));  // DG-IDs become 0, not "not set"
    // Texts are cleared whole, so no characters of the old values stay behind.
    std::memset(param->szPassWord, 0, sizeof(param->szPassWord));
    _strlcpy(param->szPassWord, DEFAULT_PASSWORD, sizeof(param->szPassWord));
    param->bLockEnable = FALSE;
    param->bListServer = FALSE;
    std::memset(param->szServID, 0, sizeof(param->szServID));
    std::memset(param->szCity, 0, sizeof(param->szCity));
    std::memset(param->szState, 0, sizeof(param->szState));
    std::memset(param->szCountry, 0, sizeof(param->szCountry));
    std::memset(param->szSignature, 0, sizeof(param->szSignature));
    std::memset(param->szMailAddr, 0, sizeof(param->szMailAddr));
    std::memset(param->szLastUpdate, 0, sizeof(param->szLastUpdate));
    param->bySearchResp = 0;
    param->nRxUdpPort = static_cast<int>(DEFAULT_UDP_PORT);
    param->nTxUdpPort = static_cast<int>(DEFAULT_UDP_PORT);
}
