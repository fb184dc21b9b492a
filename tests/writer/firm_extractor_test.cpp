// CFirmExtractor: unpacking packages as the writer does, the edge cases of
// the format, and the refusal of member names that would reach outside the
// destination folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "firm_extractor.h"
#include "writer_strings.h"
#include "writer_test_support.h"

using namespace writertest;

namespace {

// A temporary root holding the destination folder "firm" and a sibling
// "outside" that must stay empty.
class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directory(firm());
        std::filesystem::create_directory(outside());
    }
    std::filesystem::path firm() const { return m_root / "firm"; }
    std::filesystem::path outside() const { return m_root / "outside"; }
    std::filesystem::path package() const { return m_root / "package.bin"; }

    bool ExtractBytes(const Bytes& bytes)
    {
        WriteBytes(package(), bytes);
        return m_ex.Extract(package(), firm());
    }
    void ExpectNothingOutside()
    {
        EXPECT_TRUE(ListFolder(outside()).empty());
        EXPECT_EQ(ListFolder(m_root.path()), (std::vector<std::string>{"firm", "outside", "package.bin"}));
    }

    TempDir m_root;
    CFirmExtractor m_ex;
};

}  // namespace

TEST_F(ExtractTest, PackageUnpacksToTheSameFilesByteForByte)
{
    // Sizes around the 4096-byte buffer, and an empty member.
    const std::vector<Member> members = {
        {"u-boot.imx", Pattern(4097, 1)}, {"zImage", Pattern(10000, 2)}, {"empty", {}},
        {"one", Pattern(1, 3)},           {"block", Pattern(4096, 4)},
    };
    const Bytes pkg = BuildPackage(members, 1);
    ASSERT_TRUE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_OK);
    EXPECT_EQ(m_ex.kind, FIRM_KIND_LINK_APP);
    for (const Member& m : members) {
        EXPECT_EQ(ReadBytes(firm() / m.name), m.data) << m.name;
    }
    EXPECT_EQ(ListFolder(firm()), (std::vector<std::string>{"block", "empty", "one", "u-boot.imx", "zImage"}));
    EXPECT_EQ(m_ex.Facts().dwSum, SumBytes(pkg, 16, pkg.size()));

    // Check walks the same way and reports the same entries, writing nothing.
    std::filesystem::remove_all(firm());
    std::vector<FirmEntry> seen;
    CFirmExtractor checker;
    EXPECT_TRUE(checker.Check(package(), [&seen](const FirmEntry& e) { seen.push_back(e); }));
    ASSERT_EQ(seen.size(), members.size());
    EXPECT_EQ(seen[1].szName, "zImage");
    EXPECT_EQ(seen[1].dwDataLength, 10000u);
    EXPECT_EQ(seen[1].qwOffset, 16u + 72 + 4097);
    EXPECT_FALSE(std::filesystem::exists(firm()));
}

TEST_F(ExtractTest, ChecksumCoversEveryEntryByteButNotTheHeader)
{
    Bytes pkg = BuildPackage({{"a", Pattern(300, 5)}, {"b", Pattern(20, 6)}});
    pkg[12] = 0xFF;
    pkg[13] = 0xFF;
    pkg[15] = 0xFF;
    EXPECT_TRUE(ExtractBytes(pkg)) << "header bytes 12, 13 and 15 are not examined";

    // The open entry bytes 68-71 count: changing one breaks the sum.
    pkg[16 + 70] ^= 0x01;
    EXPECT_FALSE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_CHECKSUM_ERROR);
    EXPECT_STREQ(WriterString(FirmStatusStringId(m_ex.status)), "WARNING: Checksum error. File might be broken.");
    // The members were still written; only the verdict is false.
    EXPECT_EQ(ReadBytes(firm() / "b"), Pattern(20, 6));

    // A changed data byte, likewise.
    pkg[16 + 70] ^= 0x01;
    pkg.back() ^= 0x80;
    EXPECT_FALSE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_CHECKSUM_ERROR);
}

TEST_F(ExtractTest, FileShorterThanTheHeaderIsAReadErrorNotAWrongPackage)
{
    // One object for every run: no result of an earlier run may linger.
    ASSERT_TRUE(ExtractBytes(BuildPackage({{"x", {1}}}, 3)));
    EXPECT_EQ(m_ex.kind, FIRM_KIND_SERVER_APP);

    for (const Bytes& shortFile : {Bytes{}, Bytes{'T', 'Q', 'Z', 'L'}, Bytes(15, 'T')}) {
        Bytes bytes = shortFile;
        if (bytes.size() == 15) {
            bytes[1] = 'Q', bytes[2] = 'Z', bytes[3] = 'L';
        }
        EXPECT_FALSE(ExtractBytes(bytes));
        EXPECT_EQ(m_ex.status, FIRM_STATUS_READ_ERROR) << bytes.size() << " bytes";
        EXPECT_EQ(m_ex.kind, FIRM_KIND_UNKNOWN);
    }

    EXPECT_FALSE(m_ex.Extract(m_root / "missing.bin", firm()));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_READ_ERROR);
    EXPECT_FALSE(m_ex.Extract(outside(), firm())) << "a folder is not a readable package";
    EXPECT_EQ(m_ex.status, FIRM_STATUS_READ_ERROR);

    Bytes wrongMagic = HeaderBytes(0, 0, 1);
    wrongMagic[3] = 'M';
    EXPECT_FALSE(ExtractBytes(wrongMagic));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_NOT_PACKAGE);
    EXPECT_EQ(m_ex.kind, FIRM_KIND_UNKNOWN);
    EXPECT_STREQ(WriterString(FirmStatusStringId(m_ex.status)), "WARNING: This file is not a KOVA LAN-UNIT firmware");
}

TEST_F(ExtractTest, EmptyEntryAreaIsAcceptedOnlyWithChecksumZero)
{
    Bytes pkg = HeaderBytes(0, 0, 2);
    Bytes garbage = EntryBytes("never", {1, 2, 3});
    pkg.insert(pkg.end(), garbage.begin(), garbage.end());  // beyond the total: never read
    EXPECT_TRUE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.kind, FIRM_KIND_SERVER_OS);
    EXPECT_TRUE(ListFolder(firm()).empty());

    EXPECT_FALSE(ExtractBytes(HeaderBytes(0, 1, 2)));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_CHECKSUM_ERROR);
    EXPECT_EQ(m_ex.kind, FIRM_KIND_SERVER_OS) << "kind is valid whenever the magic matched";
}

TEST_F(ExtractTest, LastEntryRunningPastTheTotalLengthIsUnpackedWholeAndTheChecksumDecides)
{
    const Bytes a = EntryBytes("a", Pattern(10, 7));
    const Bytes b = EntryBytes("b", Pattern(5, 8));
    Bytes area = a;
    area.insert(area.end(), b.begin(), b.end());
    const std::uint32_t totalInsideA = 72 + 3;

    // Checksum over entry a only: it is what the walk reads.
    Bytes pkg = HeaderBytes(totalInsideA, SumBytes(a, 0, a.size()), 0);
    pkg.insert(pkg.end(), area.begin(), area.end());
    EXPECT_TRUE(ExtractBytes(pkg));
    EXPECT_EQ(ReadBytes(firm() / "a"), Pattern(10, 7));
    EXPECT_FALSE(std::filesystem::exists(firm() / "b"));

    // Checksum over both entries: b is never read, so the sums differ.
    std::filesystem::remove(firm() / "a");
    pkg = HeaderBytes(totalInsideA, SumBytes(area, 0, area.size()), 0);
    pkg.insert(pkg.end(), area.begin(), area.end());
    EXPECT_FALSE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_CHECKSUM_ERROR);
    EXPECT_EQ(ReadBytes(firm() / "a"), Pattern(10, 7));
    EXPECT_FALSE(std::filesystem::exists(firm() / "b"));
}

TEST_F(ExtractTest, EntryRunningPastTheEndOfTheFileIsAReadErrorAfterAPartialMember)
{
    const Bytes a = EntryBytes("a", Pattern(100, 9));
    const Bytes data = Pattern(10000, 10);
    const Bytes b = EntryBytes("b", data);
    Bytes area = a;
    area.insert(area.end(), b.begin(), b.end());
    Bytes pkg = WithHeader(area);
    pkg.resize(pkg.size() - 5000);  // b's data stops halfway

    EXPECT_FALSE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_READ_ERROR);
    EXPECT_EQ(ReadBytes(firm() / "a"), Pattern(100, 9));
    EXPECT_EQ(ReadBytes(firm() / "b"), Bytes(data.begin(), data.begin() + 5000)) << "every byte present is kept";

    // Cut inside the second entry header: nothing is made for it.
    std::filesystem::remove(firm() / "b");
    pkg = WithHeader(area);
    pkg.resize(16 + a.size() + 30);
    EXPECT_FALSE(ExtractBytes(pkg));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_READ_ERROR);
    EXPECT_EQ(ListFolder(firm()), (std::vector<std::string>{"a"}));
}

TEST_F(ExtractTest, SixtyFourByteNameWithoutTerminatorGivesA64CharacterFileName)
{
    const std::string longName(64, 'n');
    std::string padded("abc\0zzz", 7);  // the name ends at its first NUL
    ASSERT_TRUE(ExtractBytes(BuildPackage({{longName, {1}}, {padded, {2}}})));
    EXPECT_EQ(ListFolder(firm()), (std::vector<std::string>{"abc", longName}));
}

TEST(FirmKinds, ImageKindsFourTo255SelectTheSameListAsKindZero)
{
    const char* expected[4] = {"eMMC-TQZ-Link-Linux", "eMMC-TQZ-Link-App", "eMMC-TQZ-Server-Linux",
                               "eMMC-TQZ-Server-App"};
    for (unsigned byte = 0; byte <= 255; ++byte) {
        const std::uint32_t kind = FirmKindFromImageKind(static_cast<std::uint8_t>(byte));
        EXPECT_EQ(kind, byte <= 3 ? byte + 1 : 0u) << byte;
        EXPECT_STREQ(FirmListNameForKind(kind), expected[byte <= 3 ? byte : 0]) << byte;
    }
    // The extractor's kind 0 ("not recognised") and 1 share the first list.
    EXPECT_EQ(FirmListKind(FIRM_KIND_UNKNOWN), 0u);
    EXPECT_EQ(FirmListKind(FIRM_KIND_LINK_OS), 0u);
    EXPECT_EQ(FirmListKind(FIRM_KIND_SERVER_APP), 3u);
}

TEST_F(ExtractTest, UnsafeMemberNamesAreRefusedBeforeWritingWithTheWriteError)
{
    std::vector<std::string> unsafe = {
        "",        "/etc-passwd", "\\abs",    "C:evil",          "c:",       "name:stream",    ".",       "..",
        "...",     " ",           ". .",      "../outside/evil", "sub/evil", "..\\outside\\x", "a\\b",    "CON",
        "nul.txt", "Com1",        "LPT9.log", "AUX .x",          "prn",      "LPT0",           "com\xB9",
    };
    // An absolute name pointing at the sibling, when the path fits in 64 bytes.
    const std::string absolute = (outside() / "evil").native();
    if (absolute.size() <= 64) {
        unsafe.push_back(absolute);
    }
    for (const std::string& name : unsafe) {
        SCOPED_TRACE("name \"" + name + "\"");
        std::filesystem::remove_all(firm());
        std::filesystem::create_directory(firm());
        std::vector<FirmEntry> seen;
        WriteBytes(package(), BuildPackage({{"before", {1}}, {name, {2, 3}}, {"after", {4}}}));
        EXPECT_FALSE(m_ex.Extract(package(), firm(), [&seen](const FirmEntry& e) { seen.push_back(e); }));
        EXPECT_EQ(m_ex.status, FIRM_STATUS_WRITE_ERROR);
        EXPECT_STREQ(WriterString(FirmStatusStringId(m_ex.status)), "WARNING: File write error");
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_FALSE(seen[1].bSafe);
        EXPECT_EQ(ListFolder(firm()), (std::vector<std::string>{"before"}));
        ExpectNothingOutside();

        // Check gives the same verdict.
        EXPECT_FALSE(m_ex.Check(package()));
        EXPECT_EQ(m_ex.status, FIRM_STATUS_WRITE_ERROR);
    }

    // Names that only look like the refused ones are ordinary members.
    const std::vector<std::string> fine = {"..a",     "a..b", ".hidden", "file.", "COM10",
                                           "CONSOLE", "com",  "NULL",    "LPT10", "rootfs.tar.bz2"};
    std::vector<Member> members;
    for (const std::string& name : fine) {
        members.push_back({name, {7}});
    }
    EXPECT_TRUE(ExtractBytes(BuildPackage(members))) << m_ex.status;
    EXPECT_EQ(ListFolder(firm()).size(), fine.size() + 1);  // and "before"
}

TEST_F(ExtractTest, ExistingMemberIsTruncatedButALinkInItsPlaceIsNotFollowed)
{
    WriteBytes(firm() / "a", Pattern(100, 11));
    ASSERT_TRUE(ExtractBytes(BuildPackage({{"a", {1, 2, 3}}})));
    EXPECT_EQ(ReadBytes(firm() / "a"), (Bytes{1, 2, 3}));

    // A symbolic link left in the folder must not carry the write outside.
    std::filesystem::remove_all(outside());
    std::filesystem::create_directory(outside());
    WriteBytes(outside() / "target", {9, 9});
    std::filesystem::create_symlink(outside() / "target", firm() / "b");
    EXPECT_FALSE(ExtractBytes(BuildPackage({{"b", {1}}})));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_WRITE_ERROR);
    EXPECT_EQ(ReadBytes(outside() / "target"), (Bytes{9, 9}));

    // So must a FIFO: it is refused, not waited on.
    std::filesystem::remove(firm() / "b");
    ASSERT_EQ(::mkfifo((firm() / "b").c_str(), 0600), 0);
    EXPECT_FALSE(ExtractBytes(BuildPackage({{"b", {1}}})));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_WRITE_ERROR);
}

TEST_F(ExtractTest, MissingDestinationFolderIsAWriteError)
{
    WriteBytes(package(), BuildPackage({{"a", {1}}}));
    EXPECT_FALSE(m_ex.Extract(package(), m_root / "no-such-folder"));
    EXPECT_EQ(m_ex.status, FIRM_STATUS_WRITE_ERROR);
    EXPECT_FALSE(std::filesystem::exists(m_root / "no-such-folder"));
}
