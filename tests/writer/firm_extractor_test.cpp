#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
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
    void EmptyFirm()
    {
        std::filesystem::remove_all(firm());
        std::filesystem::create_directory(firm());
    }
    auto Outcome(bool ok) { return std::make_tuple(ok, m_ex.status, m_ex.kind, ListFolder(firm())); }
    auto Verdict(bool ok) const { return std::make_tuple(ok, m_ex.status); }

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
    EXPECT_EQ(Outcome(ExtractBytes(pkg)),
              std::make_tuple(true, FIRM_STATUS_OK, FIRM_KIND_LINK_APP,
                              std::vector<std::string>{"block", "empty", "one", "u-boot.imx", "zImage"}));
    for (const Member& m : members) {
        EXPECT_EQ(ReadBytes(firm() / m.name), m.data) << m.name;
    }
    EXPECT_EQ(m_ex.Facts().dwSum, SumBytes(pkg, 16));

    // Check walks the same way and reports the same entries, writing nothing.
    std::filesystem::remove_all(firm());
    std::vector<FirmEntry> seen;
    CFirmExtractor checker;
    EXPECT_TRUE(checker.Check(package(), [&seen](const FirmEntry& e) { seen.push_back(e); }));
    ASSERT_EQ(seen.size(), members.size());
    EXPECT_EQ(std::make_tuple(std::string(seen[1].szName), seen[1].dwDataLength, seen[1].qwOffset),
              std::make_tuple(std::string("zImage"), 10000u, std::uint64_t{16 + 72 + 4097}));
    EXPECT_FALSE(std::filesystem::exists(firm()));
}

// Packages that are damaged, cut short or not ours: the verdict, the kind
// (valid whenever the magic matched) and the members written. One extractor
// serves every row, so no result of an earlier run may linger.
TEST_F(ExtractTest, EachPackageGetsItsVerdictKindAndMembers)
{
    const Bytes a = EntryBytes("a", Pattern(10, 7)), b = EntryBytes("b", Pattern(10000, 8));
    const Bytes ab = Concat({a, b});
    const Bytes good = WithHeader(ab, 1);
    // Bytes 12, 13 and 15 of the header are not examined.
    const Bytes headerOnly = Edited(good, {{12, 0xFF}, {13, 0xFF}, {15, 0xFF}});
    const Bytes shortMagic = Edited(Bytes(15, 'T'), {{1, 'Q'}, {2, 'Z'}, {3, 'L'}});
    const std::vector<std::string> none, onlyA = {"a"}, both = {"a", "b"};
    const struct {
        const char* name;
        Bytes bytes;
        std::uint32_t status, kind;
        std::vector<std::string> files;
    } cases[] = {
        {"header bytes outside the sum", headerOnly, FIRM_STATUS_OK, FIRM_KIND_LINK_APP, both},
        {"open entry byte 70", Edited(good, {{16 + 70, good[16 + 70] ^ 1}}), FIRM_STATUS_CHECKSUM_ERROR,
         FIRM_KIND_LINK_APP, both},
        {"last data byte", Edited(good, {{good.size() - 1, good.back() ^ 0x80}}), FIRM_STATUS_CHECKSUM_ERROR,
         FIRM_KIND_LINK_APP, both},
        {"empty area, sum 0, bytes after it", HeaderBytes(0, 0, 2, a), FIRM_STATUS_OK, FIRM_KIND_SERVER_OS, none},
        {"empty area, sum 1", HeaderBytes(0, 1, 2), FIRM_STATUS_CHECKSUM_ERROR, FIRM_KIND_SERVER_OS, none},
        // A total ending inside entry a: a is unpacked whole, b never read.
        {"total inside a, sum of a", HeaderBytes(75, SumBytes(a), 0, ab), FIRM_STATUS_OK, FIRM_KIND_LINK_OS, onlyA},
        {"total inside a, sum of both", HeaderBytes(75, SumBytes(ab), 0, ab), FIRM_STATUS_CHECKSUM_ERROR,
         FIRM_KIND_LINK_OS, onlyA},
        {"cut inside b's data", Bytes(good.begin(), good.end() - 5000), FIRM_STATUS_READ_ERROR, FIRM_KIND_LINK_APP,
         both},
        {"cut inside b's header", Bytes(good.begin(), good.begin() + 16 + a.size() + 30), FIRM_STATUS_READ_ERROR,
         FIRM_KIND_LINK_APP, onlyA},
        {"empty file", {}, FIRM_STATUS_READ_ERROR, FIRM_KIND_UNKNOWN, none},
        {"15 bytes", shortMagic, FIRM_STATUS_READ_ERROR, FIRM_KIND_UNKNOWN, none},
        {"wrong magic", Edited(HeaderBytes(0, 0, 1), {{3, 'M'}}), FIRM_STATUS_NOT_PACKAGE, FIRM_KIND_UNKNOWN, none},
    };
    for (const auto& c : cases) {
        EmptyFirm();
        EXPECT_EQ(Outcome(ExtractBytes(c.bytes)),
                  std::make_tuple(c.status == FIRM_STATUS_OK, c.status, c.kind, c.files))
            << c.name;
    }
    // Every byte present of a member cut short is kept.
    EmptyFirm();
    ExtractBytes(Bytes(good.begin(), good.end() - 5000));
    EXPECT_EQ(ReadBytes(firm() / "a"), Pattern(10, 7));
    const Bytes bData = Pattern(10000, 8);
    EXPECT_EQ(ReadBytes(firm() / "b"), Bytes(bData.begin(), bData.begin() + 5000));

    EXPECT_EQ(Verdict(m_ex.Extract(m_root / "missing.bin", firm())), std::make_tuple(false, FIRM_STATUS_READ_ERROR));
    // A folder is not a readable package.
    EXPECT_EQ(Verdict(m_ex.Extract(outside(), firm())), std::make_tuple(false, FIRM_STATUS_READ_ERROR));
    EXPECT_EQ(Verdict(m_ex.Extract(package(), m_root / "no-such-folder")),
              std::make_tuple(false, FIRM_STATUS_WRITE_ERROR));
    EXPECT_FALSE(std::filesystem::exists(m_root / "no-such-folder"));
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
    EXPECT_EQ(std::make_tuple(FirmListKind(FIRM_KIND_UNKNOWN), FirmListKind(FIRM_KIND_LINK_OS),
                              FirmListKind(FIRM_KIND_SERVER_APP)),
              std::make_tuple(0u, 0u, 3u));
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
        EmptyFirm();
        std::vector<bool> safe;
        WriteBytes(package(), BuildPackage({{"before", {1}}, {name, {2, 3}}, {"after", {4}}}));
        const bool ok = m_ex.Extract(package(), firm(), [&safe](const FirmEntry& e) { safe.push_back(e.bSafe); });
        EXPECT_EQ(std::make_tuple(ok, m_ex.status, safe, ListFolder(firm()), ListFolder(outside()),
                                  ListFolder(m_root.path())),
                  std::make_tuple(false, FIRM_STATUS_WRITE_ERROR, std::vector<bool>{true, false},
                                  std::vector<std::string>{"before"}, std::vector<std::string>{},
                                  std::vector<std::string>{"firm", "outside", "package.bin"}));
        // Check gives the same verdict.
        EXPECT_EQ(Verdict(m_ex.Check(package())), std::make_tuple(false, FIRM_STATUS_WRITE_ERROR));
    }

    // Names that only look like the refused ones are ordinary members.
    const std::vector<Member> fine = {{"..a", {7}},   {"a..b", {7}},          {".hidden", {7}}, {"file.", {7}},
                                      {"COM10", {7}}, {"CONSOLE", {7}},       {"com", {7}},     {"NULL", {7}},
                                      {"LPT10", {7}}, {"rootfs.tar.bz2", {7}}};
    EXPECT_TRUE(ExtractBytes(BuildPackage(fine))) << m_ex.status;
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
    EXPECT_EQ(Verdict(ExtractBytes(BuildPackage({{"b", {1}}}))), std::make_tuple(false, FIRM_STATUS_WRITE_ERROR));
    EXPECT_EQ(ReadBytes(outside() / "target"), (Bytes{9, 9}));

    // So must a FIFO: it is refused, not waited on.
    std::filesystem::remove(firm() / "b");
    ASSERT_EQ(::mkfifo((firm() / "b").c_str(), 0600), 0);
    EXPECT_EQ(Verdict(ExtractBytes(BuildPackage({{"b", {1}}}))), std::make_tuple(false, FIRM_STATUS_WRITE_ERROR));
}
