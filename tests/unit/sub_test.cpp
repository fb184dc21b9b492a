// Directory creation, existence, flushing to the device and file extension
// changes. The additive checksum is checked through the log file's golden
// bytes.
#include "sub.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "test_support.h"

namespace {

TEST(Directories, ExistingDirectoryIsSuccessButAFileInTheWayIsNot)
{
    testsupport::TempDir dir;
    std::string data = dir.file("data");
    std::string file = dir.file("plain");
    testsupport::WriteFileBytes(file, {1});
    EXPECT_FALSE(IsFileExist(data.c_str()));
    EXPECT_TRUE(MakeDirectory(data.c_str()));
    EXPECT_TRUE(MakeDirectory(data.c_str()));
    EXPECT_TRUE(IsFileExist(data.c_str()));
    EXPECT_TRUE(IsFileExist(file.c_str()));
    EXPECT_FALSE(MakeDirectory(file.c_str()));
    EXPECT_FALSE(MakeDirectory(dir.file("missing/child").c_str()));  // parents are not made
}

TEST(FileFlush, DataIsInTheFileBeforeCloseAndUnsyncableStreamFails)
{
    testsupport::TempDir dir;
    FILE* fp = fopen(dir.file("rec").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fputs("abc", fp);
    EXPECT_TRUE(FlushFile(fp));
    EXPECT_EQ(testsupport::ReadFileText(dir.file("rec")), "abc");
    fclose(fp);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* pipeOut = fdopen(fds[1], "w");
    fputc('x', pipeOut);
    EXPECT_FALSE(FlushFile(pipeOut));  // the write succeeds, the data sync cannot
    fclose(pipeOut);
    close(fds[0]);
}

// Regression: the cut point was looked for in the copy already cut to fit,
// so a dot of a directory name could become it.
TEST(FileExtension, CutResultIsAPrefixOfTheFullNameNotADirectoryRename)
{
    struct {
        char out[8];
        char canary;
    } guarded;
    guarded.canary = 'Z';
    ChangeFileExt(guarded.out, sizeof(guarded.out), "/a.d/kovalan.ini", ".bak");
    EXPECT_STREQ(guarded.out, "/a.d/ko");
    ChangeFileExt(guarded.out, sizeof(guarded.out), "abc.ini", ".journal");
    EXPECT_STREQ(guarded.out, "abc.jou");
    EXPECT_EQ(guarded.canary, 'Z');

    char out[64];
    ChangeFileExt(out, sizeof(out), "/var/local/kovalan", ".lbk");
    EXPECT_STREQ(out, "/var/local/kovalan.lbk");
    ChangeFileExt(out, sizeof(out), "rec.001.dat", ".idx");
    EXPECT_STREQ(out, "rec.001.idx");
}

}  // namespace
