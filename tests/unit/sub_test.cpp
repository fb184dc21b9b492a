// Directory creation, existence, flushing to the device and file extension changes.
#include "sub.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(Directories, ExistingDirectoryIsSuccessButAFileInTheWayIsNot)
{
    testsupport::TempDir dir;
    std::string data = dir.file("data");
    std::string file = dir.file("plain");
    testsupport::WriteFileBytes(file, {1});
    // Parents are not made.
    EXPECT_EQ((std::vector<bool>{IsFileExist(data.c_str()) != FALSE, MakeDirectory(data.c_str()) != FALSE,
                                 MakeDirectory(data.c_str()) != FALSE, IsFileExist(data.c_str()) != FALSE,
                                 IsFileExist(file.c_str()) != FALSE, MakeDirectory(file.c_str()) != FALSE,
                                 MakeDirectory(dir.file("missing/child").c_str()) != FALSE}),
              (std::vector<bool>{false, true, true, true, true, false, false}));
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
    // The character just past the given size must stay untouched.
    const auto change = [](const char* name, const char* ext, int size) {
        char out[66] = {};
        std::memset(out, 'Z', 65);
        ChangeFileExt(out, size, name, ext);
        return std::string(out) + out[size];
    };
    EXPECT_EQ((std::vector<std::string>{change("/a.d/kovalan.ini", ".bak", 8), change("abc.ini", ".journal", 8),
                                        change("/var/local/kovalan", ".lbk", 64), change("rec.001.dat", ".idx", 64)}),
              (std::vector<std::string>{"/a.d/koZ", "abc.jouZ", "/var/local/kovalan.lbkZ", "rec.001.idxZ"}));
}

}  // namespace
