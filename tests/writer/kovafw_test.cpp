#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "kovafw_cli.h"
#include "writer_test_support.h"

using namespace writertest;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

const auto Has = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };

ToolRun Kovafw(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = KovafwMain(args, out, err);
    return {status, out.str(), err.str()};
}

class KovafwTest : public ::testing::Test {
protected:
    std::string P(const std::string& name) const { return (m_root / name).native(); }
    ToolRun Verify(const Bytes& package)
    {
        WriteBytes(P("check.bin"), package);
        return Kovafw({"verify", P("check.bin")});
    }
    TempDir m_root;
};

}  // namespace

TEST_F(KovafwTest, PackedPackageUnpacksToTheSameFilesAndSumsItsEntryArea)
{
    std::filesystem::create_directory(P("in"));
    const std::vector<Member> members = {{"u-boot.imx", Pattern(5000, 1)}, {"zImage", Pattern(4096, 2)}, {"empty", {}}};
    std::vector<std::string> args = {"pack", "--kind", "2", "-o", P("fw.bin")};
    for (const Member& m : members) {
        WriteBytes(P("in/" + m.name), m.data);
        args.push_back(P("in/" + m.name));
    }
    ToolRun pack = Kovafw(args);
    ASSERT_EQ(std::make_tuple(pack.status, Has(pack.out, "list eMMC-TQZ-Server-Linux")), std::make_tuple(0, true))
        << pack.out << pack.err;

    // The test's own builder puts zeros in every open byte and the sum of the
    // entry area in the checksum field: the packed bytes must be the same.
    EXPECT_EQ(ReadBytes(P("fw.bin")), BuildPackage(members, 2));

    EXPECT_EQ(Kovafw({"verify", P("fw.bin")}).status, 0);
    ToolRun extract = Kovafw({"extract", P("fw.bin"), P("out/firm")});
    ASSERT_EQ(std::make_tuple(extract.status, Has(extract.out, "3 members unpacked")), std::make_tuple(0, true))
        << extract.err;
    for (const Member& m : members) {
        EXPECT_EQ(ReadBytes(P("out/firm/" + m.name)), m.data) << m.name;
    }
}

TEST_F(KovafwTest, VerifyFailsForEveryBrokenInconsistentOrUnsafePackage)
{
    const Bytes good = BuildPackage({{"a", Pattern(50, 3)}, {"b", Pattern(60, 4)}}, 1);
    ToolRun ok = Verify(good);
    ASSERT_EQ(std::make_tuple(ok.status, Has(ok.out, "ok, 2 entries")), std::make_tuple(0, true)) << ok.out << ok.err;

    const Bytes a = EntryBytes("a", Pattern(50, 3));
    // A total ending inside entry a with a checksum over a: the writer takes it, but no packer writes it.
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(good.begin(), good.end() - 1), "ends inside the data of entry 2 (59 of 60 bytes)"},
        {Edited(good, {{16 + 72, good[16 + 72] ^ 1}}), "checksum mismatch"},
        {Concat({good, {0}}), "1 bytes follow the entry area"},
        {HeaderBytes(80, SumBytes(a), 1, a), "the total length 80 ends inside entry 1"},
        {BuildPackage({{"a", {1}}, {"a", {2}}}), "entries 1 and 2 are both named \"a\""},
        {BuildPackage({{"a", {1}}, {"../a", {2}}}), "contains a path separator"},
        {Edited(good, {{0, 'Z'}}), "not a firmware package"},
        {Bytes(10, 0), "shorter than the 16-byte header"},
    };
    for (const auto& [bytes, expected] : cases) {
        ToolRun r = Verify(bytes);
        EXPECT_EQ(std::make_tuple(r.status, Has(r.err, expected), r.out), std::make_tuple(1, true, "")) << r.err;
    }
    EXPECT_EQ(Kovafw({"verify", P("missing.bin")}).status, 1);
}

TEST_F(KovafwTest, InfoShowsKindListEntriesTheChecksumStateAndTheSha256)
{
    const Bytes pkg = BuildPackage({{"rootfs.tar.bz2", Pattern(1234, 5)}, {"tab\there", {1}}}, 3);
    WriteBytes(P("fw.bin"), pkg);
    ToolRun r = Kovafw({"info", P("fw.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    // The digest was taken of the same package with another implementation.
    for (const char* want : {"image kind    3 (server unit, application)", "list          eMMC-TQZ-Server-App",
                             "        1234  rootfs.tar.bz2", "tab\\x09here", "computed: match",
                             "\nsha256        e65b1b1fb95ddff50e0b5706220c7322476ee2d95744fa695f2c24e7a14797a0\n",
                             "does not catch swapped"}) {
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    }

    WriteBytes(P("fw.bin"), Edited(pkg, {{14, 9}, {pkg.size() - 1, pkg.back() ^ 1}}));
    r = Kovafw({"info", P("fw.bin")});
    EXPECT_EQ(std::make_tuple(r.status, Has(r.out, "not recognised, treated as 0"), Has(r.out, "eMMC-TQZ-Link-Linux"),
                              Has(r.out, "MISMATCH"), Has(r.err, "WARNING: Checksum error. File might be broken.")),
              std::make_tuple(1, true, true, true, true))
        << r.out << r.err;
}

TEST_F(KovafwTest, ExtractStopsAtAnUnsafeNameWithTheWritersMessage)
{
    WriteBytes(P("fw.bin"), BuildPackage({{"first", {1}}, {"C:boot", {2}}, {"last", {3}}}));
    ToolRun r = Kovafw({"extract", P("fw.bin"), P("out")});
    EXPECT_EQ(std::make_tuple(r.status, Has(r.err, "\"C:boot\" contains a colon"),
                              Has(r.err, "WARNING: File write error"), ListFolder(P("out"))),
              std::make_tuple(1, true, true, std::vector<std::string>{"first"}))
        << r.err;
}

TEST_F(KovafwTest, PackRefusesWhatTheWriterWouldRefuseAndLeavesNoPackage)
{
    std::filesystem::create_directories(P("one"));
    std::filesystem::create_directories(P("two"));
    WriteBytes(P("one/same"), {1});
    WriteBytes(P("two/same"), {2});
    WriteBytes(P("CON"), {3});
    WriteBytes(P(std::string(65, 'n')), {4});
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{P("one/same"), P("two/same")}, "already in the package"},
        {{P("CON")}, "is a Windows device name"},
        {{P(std::string(65, 'n'))}, "longer than 64 bytes"},
        {{P("missing")}, "missing"},
        {{P("one")}, "not a regular file"},
    };
    for (const auto& [files, expected] : cases) {
        std::vector<std::string> args = {"pack", "--kind=0", "--output=" + P("fw.bin")};
        args.insert(args.end(), files.begin(), files.end());
        ToolRun r = Kovafw(args);
        EXPECT_EQ(std::make_tuple(r.status, Has(r.err, expected)), std::make_tuple(1, true)) << r.err;
    }
    // The package named as one of its own members, by another path: the member stays as it was.
    ToolRun self = Kovafw({"pack", "--kind=0", "-o", P("two/../one/same"), P("one/same")});
    EXPECT_EQ(std::make_tuple(self.status, Has(self.err, "refusing to overwrite"), ReadBytes(P("one/same"))),
              std::make_tuple(1, true, Bytes{1}))
        << self.err;
    EXPECT_EQ(ListFolder(m_root.path()), (std::vector<std::string>{"CON", std::string(65, 'n'), "one", "two"}));
}

TEST_F(KovafwTest, CommandLineMistakesExitWithTheUsageStatus)
{
    WriteBytes(P("f"), {1});
    const std::vector<std::vector<std::string>> mistakes = {
        {}, {"frobnicate"}, {"info"}, {"extract", P("fw.bin")}, {"pack", "-o", P("fw.bin"), P("f")},
        {"pack", "--kind", "4", "-o", P("fw.bin"), P("f")}, {"pack", "--kind", "1", P("f")},
        {"pack", "--kind", "1", "-o", P("fw.bin")}, {"pack", "--kind", "1", "--bogus", "-o", P("fw.bin"), P("f")},
        {"pack", "--kind"},
    };
    for (const auto& args : mistakes) {
        ToolRun r = Kovafw(args);
        EXPECT_EQ(std::make_tuple(r.status, Has(r.err, "Try 'kovafw --help'.")), std::make_tuple(64, true))
            << (args.empty() ? "(none)" : args[0]) << " " << r.err;
    }
    EXPECT_EQ(Kovafw({"pack", "--help"}).status, 0);
}
