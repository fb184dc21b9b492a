// Shared helpers of the writer's tests: temporary folders that clean up after
// themselves, whole-file reads and writes, and a package builder written
// apart from the code under test, so that a fault shared by both cannot hide.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace writertest {

using Bytes = std::vector<unsigned char>;

// A fresh folder below $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
// The names in a folder, sorted; empty for a missing folder.
std::vector<std::string> ListFolder(const std::filesystem::path& folder);
// n bytes of a repeatable pattern that differs with the seed.
Bytes Pattern(std::size_t n, unsigned seed);

void AppendBE32(Bytes& out, std::uint32_t value);
std::uint32_t SumBytes(const Bytes& bytes, std::size_t from, std::size_t to);

// One entry: the data length (unless given, the data's size), the 64-byte
// name field (NUL-padded; longer names are cut), 4 zero bytes, the data.
Bytes EntryBytes(const std::string& name, const Bytes& data, std::int64_t dataLength = -1);
Bytes HeaderBytes(std::uint32_t totalLength, std::uint32_t checksum, std::uint8_t imageKind);

struct Member {
    std::string name;
    Bytes data;
};

// A whole, consistent package of the members.
Bytes BuildPackage(const std::vector<Member>& members, std::uint8_t imageKind = 0);
// Header for an entry area put together by the test, with the right sum and length.
Bytes WithHeader(const Bytes& entryArea, std::uint8_t imageKind = 0);

}  // namespace writertest
