// The configuration record and its ini file on a simulated board. Expected
// records are written out by hand, not taken from the module's tables, so a
// wrong default or key there shows.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "board.h"
#include "power_cut.h"
#include "sub.h"
#include "test_support.h"

using testsupport::ReadFileText;
using testsupport::TempDir;

namespace {

const char kIni[] = "/var/local/kovalan.ini";

// prefix followed by n in decimal (built in place: GCC 12 warns falsely on
// "literal" + std::string at -O3).
std::string Numbered(const char* prefix, size_t n)
{
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

template <size_t N>
void SetText(char (&field)[N], const std::string& text)
{
    ASSERT_LT(text.size(), N);
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
}
// Fills each text field with 'a' (c: with zeros) and terminates it.
template <char c = 'a', typename... F>
void FillText(F&... fields)
{
    ((std::memset(fields, c, sizeof(fields) - 1), fields[sizeof(fields) - 1] = '\0'), ...);
}

// Every field the file stores: the main table, then a line per target that holds anything.
std::string Stored(const CONFIG_PARAM& p)
{
    std::ostringstream s;
    s << p.nRxUdpPort << ' ' << p.nTxUdpPort << ' ' << p.nSettingPort << ' ' << p.nCommPort << ' ' << p.nUsbPort
      << ' ' << p.szPassWord << '|' << p.bLockEnable << ' ' << p.bLogEnable << ' ' << std::hex << p.dwLogFlag << ' '
      << p.dwVersion << std::dec << ' ' << p.szProgram;
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        const TARGET_INFO& t = p.aTargetInfo[i];
        const DWORD ip = t.dwTargetIP;
        if (t.bEnable != 0 || ip != 0 || t.szCallSign[0] != '\0' || t.szRadioID[0] != '\0' || t.szMemo[0] != '\0') {
            s << '\n' << i << ' ' << t.bEnable << ' ' << (ip >> 24) << '.' << (ip >> 16 & 0xFF) << '.'
              << (ip >> 8 & 0xFF) << '.' << (ip & 0xFF) << ' ' << t.szCallSign << '|' << t.szRadioID << '|' << t.szMemo;
        }
    }
    return s.str();
}
const std::string kDefaults = "21110 21110 21002 2 1000 tarnwick|0 1 ffffffff 0 ";

// The fields a file never stores, as a load leaves them.
void ExpectMemoryFieldsAtDefaults(const CONFIG_PARAM& p)
{
    EXPECT_EQ(p.bListServer + p.bySearchResp + p.nHttpPort + p.nServTcpPort + p.nServUdpPort + p.bNtpEnable, 0);
    for (const char* text : {p.szServID, p.szCity, p.szState, p.szCountry, p.szSignature, p.szMailAddr, p.szLastUpdate,
                             p.szHostName, p.szHostUrl, p.szNtpServer}) {
        EXPECT_STREQ(text, "");
    }
    for (DWORD ip : p.adwDbgServIP) {
        EXPECT_EQ(ip | p.dwDbgPrimaryIP, 0u);
    }
    const BYTE zero[CONFIG_SCTABLE_SIZE] = {};
    for (const TARGET_INFO& t : p.aTargetInfo) {
        EXPECT_EQ(std::memcmp(t.abySCTable, zero, sizeof(zero)), 0) << "code tables are not read back";
        EXPECT_EQ(t.byLocDGID & t.byDefDGID, CONFIG_DGID_NONE);
        EXPECT_EQ(t.dwCurrentIP + static_cast<DWORD>(t.bChanged), 0u);
    }
}

// A record in which every field differs from its default, memory fields and
// code tables included. Texts use the full field width, commas and '='.
void FillRecord(CONFIG_PARAM* p)
{
    std::memset(p, 1, sizeof(*p));
    SetText(p->szPassWord, "0123456789abcdef");
    for (int i = 0; i < CONFIG_MAX_TARGET; ++i) {
        TARGET_INFO& t = p->aTargetInfo[i];
        t.bEnable = i % 2;
        SetText(t.szCallSign, i == 0 ? "JA1ABC/P12" : Numbered("CS", i));
        SetText(t.szRadioID, i == 0 ? "AB,=1" : Numbered("R", i));
        SetText(t.szMemo,
                i == 0 ? std::string(" memo, with = and commas ") + std::string(39, 'm') : Numbered("memo ", i));
    }
    FillText(p->szServID, p->szCity, p->szState, p->szCountry, p->szSignature, p->szMailAddr, p->szLastUpdate,
             p->szHostName, p->szHostUrl, p->szNtpServer);
    p->dwVersion = 0x01040400;
    SetText(p->szProgram, "KOVA-LAN");
}

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board_SetRoot(m_root.path().c_str()));
        ASSERT_TRUE(std::filesystem::create_directories(m_root.file("var/local")));
        CONFIG_Init();
    }
    void TearDown() override { Board_SetRoot(nullptr); }

    std::string IniPath() const { return m_root.file("var/local/kovalan.ini"); }
    std::string BakPath() const { return m_root.file("var/local/kovalan.bak"); }
    static void WriteText(const std::string& path, const std::string& text)
    {
        testsupport::WriteFileBytes(path, std::vector<BYTE>(text.begin(), text.end()));
    }
    // Loads the main file holding text; what the file stores.
    std::string LoadText(const std::string& text)
    {
        WriteText(IniPath(), text);
        CONFIG_PARAM p;
        EXPECT_TRUE(CONFIG_Load(kIni, &p));
        ExpectMemoryFieldsAtDefaults(p);
        return Stored(p);
    }
    // Saves rec as the main file and its backup; returns the text.
    std::string SaveRecord(const CONFIG_PARAM& rec)
    {
        CONFIG_PARAM scratch;
        CONFIG_Load(kIni, &scratch);  // remembers the name
        EXPECT_TRUE(CONFIG_Save(&rec));
        return ReadFileText(IniPath());
    }

    TempDir m_root;
};

TEST_F(ConfigFile, FullRecordSavedAndLoadedGivesTheSameStoredFieldsEvenOddValues)
{
    CONFIG_PARAM rec;
    FillRecord(&rec);
    rec.aTargetInfo[7] = TARGET_INFO{};  // an empty entry is not written
    rec.aTargetInfo[8] = TARGET_INFO{};  // one with only a code table is
    rec.aTargetInfo[8].abySCTable[15] = 0x5A;
    // Values the text form could lose.
    rec.bLockEnable = static_cast<BOOL>(0x80000000u);  // must not read back as 0 (lock off)
    rec.nSettingPort = static_cast<int>(4294967295u);
    rec.bLogEnable = 7;  // flags are stored as they are, not reduced to 1
    SetText(rec.szPassWord, " pass word ");
    SetText(rec.aTargetInfo[3].szMemo, " \"\" ");
    const std::string text = SaveRecord(rec);
    EXPECT_EQ(ReadFileText(BakPath()), text);
    EXPECT_EQ(text.find("Target7="), std::string::npos);
    EXPECT_NE(text.find("\nTarget8=0,0.0.0.0,0000000000000000000000000000005A,\"\",\"\",\"\"\n"), std::string::npos);
    EXPECT_NE(text.find("\nTarget1=1,1.1.1.1,01010101010101010101010101010101,\"CS1\",\"R1\",\"memo 1\"\n"),
              std::string::npos);

    SetText(rec.aTargetInfo[3].szMemo, "  ");  // quotes are removed on reading
    // Code tables (learnt from the peers) and memory-only fields come back as defaults.
    EXPECT_EQ(LoadText(text), Stored(rec));
}

TEST_F(ConfigFile, PackagedDefaultSettingsAreWhatTheDefaultsSaveAs)
{
    CONFIG_PARAM rec;
    CONFIG_Load(kIni, &rec);  // no file: the defaults, and the name to save under
    SetText(rec.szProgram, "KOVA-LAN");
    ASSERT_TRUE(CONFIG_Save(&rec));
    EXPECT_EQ(ReadFileText(IniPath()), ReadFileText(KOVALAN_DEFAULT_INI));
}

TEST_F(ConfigFile, SaveNeedsARememberedNameAndReportsOnlyTheMainFile)
{
    EXPECT_FALSE(CONFIG_Save(nullptr));  // no load yet
    std::string longName = "/var/local/" + std::string(250, 'n') + ".ini";
    EXPECT_FALSE(CONFIG_Load(longName.c_str(), nullptr));  // a cut name would be another file
    EXPECT_FALSE(CONFIG_Save(nullptr));

    CONFIG_Load(kIni, nullptr);
    CONFIG_Init();  // forgets the name
    EXPECT_FALSE(CONFIG_Save(nullptr));
    EXPECT_FALSE(IsFileExist(IniPath().c_str()));

    CONFIG_Load(kIni, nullptr);
    ASSERT_EQ(mkdir(BakPath().c_str(), 0755), 0);  // the backup cannot be written
    EXPECT_TRUE(CONFIG_Save(nullptr));
    EXPECT_NE(ReadFileText(IniPath()).find("Program="), std::string::npos);
    ASSERT_EQ(rmdir(BakPath().c_str()), 0);
    ASSERT_EQ(unlink(IniPath().c_str()), 0);
    ASSERT_EQ(mkdir(IniPath().c_str(), 0755), 0);  // the main file cannot be written
    EXPECT_FALSE(CONFIG_Save(nullptr));
    EXPECT_TRUE(IsFileExist(BakPath().c_str()));
}

TEST_F(ConfigFile, HandEditedLinesFollowTheLoaderRules)
{
    EXPECT_EQ(LoadText("; a comment line\n"
                       "  rxudpport = 5000 ; the rest is a comment\n"
                       "TXUDPPORT=6000\r\n"
                       "SettingPort=\n"  // empty: 0
                       "CommPort=-1\n"   // no sign: ignored
                       "UsbPort=12x\n"   // bad: ignored
                       "LockEnable=2\n"  // stored as it is
                       "LogEnableDbg\n"  // no '=': ignored
                       "LogFlagDbg=00000105\n"
                       "logflagdbg=zz\n"  // bad: the earlier value stays
                       "PassWord=ABCDEFGHIJKLMNOPQ\n"
                       "Unknown=1\n"
                       "=\n"
                       "Version=0102\n"
                       "Program=KOVA-LAN\n"),
              "5000 6000 0 2 1000 ABCDEFGHIJKLMNOP|2 1 105 102 KOVA-LAN");
    // The later line wins; quotes keep the blank; the last line needs no line end.
    EXPECT_EQ(LoadText("PassWord=ab;cd\nPassWord= \"p w\" \nProgram=KOVA-LAN\n"),
              "21110 21110 21002 2 1000 p w|0 1 ffffffff 0 KOVA-LAN");
    EXPECT_EQ(LoadText("PassWord=ab;cd\nProgram=KOVA-LAN"), "21110 21110 21002 2 1000 ab|0 1 ffffffff 0 KOVA-LAN");

    const std::string x64(64, 'x');
    EXPECT_EQ(LoadText("target5=1,10.0.0.5,FF,\"CALL5\",\"R5\",\"memo, with commas\"\n"
                       "Target05=1,10.0.0.50,00,\"X\"\n"  // not Target5
                       "Target100=1,10.0.1.0,00\n"
                       "TargetX=1,10.0.1.1,00\n"
                       "Target1=1,10.0.0.1\n"                              // no code table: ignored
                       "Target2=1,10.0.0.2,,\n"                            // empty code table: ignored
                       "Target3=1,10.0.0.3,00\n"                           // three fields: empty texts
                       "Target4=1,10.0.0.4,,\"CALL4\",\"R4\",\"memo4\"\n"  // empty field: the rest moves up
                       "Target6=7,10.0.0.6,00,\"ABCDEFGHIJKL\",\"RADIO12\",\"" +
                       x64 + "xxxxxx\"\n"
                             "Target9=1,1.2.3.4,00,ab\"c,d\"e\n"
                             "Target10=1,10.0.0.10,00,\"ok\"\n"
                             "Target10=1,256.0.0.1,00,\"bad address\"\n"  // ignored: the earlier line stays
                             "Target11=x,10.0.0.11,00\n"
                             "Target12=1,10.0.0.12,00,\"a\",\"b\",\"c\",\"extra\"\n"
                             "Target99=0,0.0.0.0,00,\"last\"\n"
                             "Program=KOVA-LAN\n"),
              kDefaults + "KOVA-LAN\n3 1 10.0.0.3 ||\n4 1 10.0.0.4 R4|memo4|\n5 1 10.0.0.5 CALL5|R5|memo, with commas\n"
                          "6 1 10.0.0.6 ABCDEFGHIJ|RADIO|" + x64 + "\n9 1 1.2.3.4 abc,de||\n10 1 10.0.0.10 ok||\n"
                          "12 1 10.0.0.12 a|b|c\n99 0 0.0.0.0 last||");
}

TEST_F(ConfigFile, OverLongLineIsCutAndItsRestIsNotReadAsALine)
{
    // The first two lines hold 511 characters and then a line's worth more.
    EXPECT_EQ(LoadText("Junk" + std::string(507, 'x') + "RxUdpPort=4242\n" + "UsbPort=77" + std::string(501, ' ') +
                       "CommPort=9\n" + "PassWord=" + std::string(600, 'p') + "\n" + "TxUdpPort=7\n" +
                       "Program=KOVA-LAN\n"),
              "21110 7 21002 2 77 " + std::string(16, 'p') + "|0 1 ffffffff 0 KOVA-LAN");
}

// A start on the backup once left the main file broken, and a start on
// factory settings after both files failed said nothing.
TEST_F(ConfigFile, BrokenMainFileIsRewrittenFromAPassingBackupAndNoFallBackIsSilent)
{
    const std::string goodBak = "TxUdpPort=2222 ; kept as it is\nProgram=KOVA-LAN\n";
    const std::string onBackup = "[W] settings file /var/local/kovalan.ini failed its check: started on its backup\n"
                                 "[W] settings file rewritten from the backup\n";
    const std::string lost = "[W] !!! settings file /var/local/kovalan.ini and its backup failed their check !!!\n"
                             "[W] !!! started on FACTORY SETTINGS: targets and PassWord lost !!!\n";
    struct Case {
        std::string main, bak;  // "-": no file
        std::string stored, lines;
        CONFIG_SOURCE source;
    };
    const Case cases[] = {
        {"RxUdpPort=1111\n", goodBak, "21110 2222 21002 2 1000 tarnwick|0 1 ffffffff 0 KOVA-LAN", onBackup,
         CONFIG_SOURCE::BACKUP},  // no Program line
        {"RxUdpPort=1111\nProgram=kova-lan\n", goodBak, "21110 2222 21002 2 1000 tarnwick|0 1 ffffffff 0 KOVA-LAN",
         onBackup, CONFIG_SOURCE::BACKUP},  // wrong case
        {"Program=KOVA-LAN\nProgram=\n", goodBak, "21110 2222 21002 2 1000 tarnwick|0 1 ffffffff 0 KOVA-LAN",
         onBackup, CONFIG_SOURCE::BACKUP},  // a later line overrides
        {"-", goodBak, "21110 2222 21002 2 1000 tarnwick|0 1 ffffffff 0 KOVA-LAN", onBackup,
         CONFIG_SOURCE::BACKUP},  // a first save cut before the main file
        // A backup without the name: its values, and the loud start.
        {"Program=KOVA-LAN2\n", "TxUdpPort=3333\n", "21110 3333 21002 2 1000 tarnwick|0 1 ffffffff 0 ", lost,
         CONFIG_SOURCE::NONE_VALID},
        {"RxUdpPort=1111\n", "-", kDefaults, lost, CONFIG_SOURCE::NONE_VALID},
        {"-", "-", kDefaults, "[I] no settings file: started on factory settings\n", CONFIG_SOURCE::NO_FILE},
        {"Program=KOVA-LAN\n", "RxUdpPort=1\n", "21110 21110 21002 2 1000 tarnwick|0 1 ffffffff 0 KOVA-LAN", "",
         CONFIG_SOURCE::MAIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.main + "/" + c.bak);
        unlink(IniPath().c_str());
        unlink(BakPath().c_str());
        c.main == "-" ? void() : WriteText(IniPath(), c.main);
        c.bak == "-" ? void() : WriteText(BakPath(), c.bak);
        CONFIG_PARAM p;
        EXPECT_EQ(CONFIG_Load(kIni, &p), c.source == CONFIG_SOURCE::BACKUP || c.source == CONFIG_SOURCE::MAIN);
        EXPECT_EQ(Stored(p), c.stored);
        EXPECT_EQ(CONFIG_GetLoadSource(), c.source);
        EXPECT_EQ(IsFileExist(IniPath().c_str()) ? ReadFileText(IniPath()) : "-",
                  c.source == CONFIG_SOURCE::BACKUP ? c.bak : c.main);
        testsupport::DebugCapture capture;
        CONFIG_ReportLoad();
        std::string text = capture.text(), lines;
        for (size_t at = 0; (at = text.find('[', at)) != std::string::npos; at = text.find('\n', at) + 1) {
            lines += text.substr(at, text.find('\n', at) + 1 - at);  // without the time stamps
        }
        EXPECT_EQ(lines, c.lines);
    }
}

// A cut anywhere in a save, also one right after a start on the backup, leaves
// the old or the new settings, never factory settings.
TEST_F(ConfigFile, PowerCutInASaveNeverLeavesNoValidCopy)
{
    CONFIG_PARAM older;
    FillRecord(&older);  // 100 targets: files of many sectors
    CONFIG_PARAM newer = older;
    newer.nRxUdpPort = 40000;
    SetText(newer.aTargetInfo[99].szMemo, "newer");
    const std::string folder = m_root.file("var/local");
    struct Case {
        const char* title;
        int mainCut;  // bytes of the main file left before the save; -1: whole
        bool first;   // no files before
    };
    for (const Case c : {Case{"save", -1, false}, Case{"start on backup, then save", 100, false},
                         Case{"first save", -1, true}}) {
        powercut::Put(folder, {});
        const std::string olderText = c.first ? "" : SaveRecord(older);
        if (c.mainCut >= 0) {
            WriteText(IniPath(), olderText.substr(0, size_t(c.mainCut)));
        }
        CONFIG_PARAM scratch;
        powercut::Recorder rec(folder);
        CONFIG_Load(kIni, &scratch);
        EXPECT_TRUE(CONFIG_Save(&newer));
        rec.Stop();
        const std::string oldStored = powercut::Stored(c.first ? scratch : older);
        const auto outcomes = powercut::Run(c.title, rec, [&](const powercut::Cut&) {
            return powercut::SettingsOutcome(folder, oldStored, powercut::Stored(newer));
        });
        EXPECT_EQ(outcomes.count("new from main file"), 1u);
    }
}

TEST_F(ConfigFile, FactoryResetChangesExactlyTheUserFacingFields)
{
    CONFIG_PARAM* live = CONFIG_Get();
    FillRecord(live);
    // Byte for byte, padding included: no stale characters are left behind a text's end.
    CONFIG_PARAM want;
    std::memcpy(&want, live, sizeof(want));
    std::memset(want.aTargetInfo, 0, sizeof(want.aTargetInfo));  // DG-IDs 0 here, not "not set"
    SetText(want.szPassWord, "tarnwick");
    FillText<0>(want.szServID, want.szCity, want.szState, want.szCountry, want.szSignature, want.szMailAddr,
                want.szLastUpdate);
    want.bLockEnable = want.bListServer = want.bySearchResp = 0;
    want.nRxUdpPort = want.nTxUdpPort = 21110;

    CONFIG_Reset(nullptr);
    EXPECT_EQ(std::memcmp(live, &want, sizeof(want)), 0);
}

}  // namespace
