// Shared helpers of the writer's tests: temporary folders that clean up after
// themselves, whole-file reads and writes, and a package builder written
// apart from the code under test, so that a fault shared by both cannot hide.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace writertest {

using Bytes = std::vector<unsigned char>;

// A fresh folder below $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kova-writer-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

inline Bytes ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.native());
    }
}

// The names in a folder, sorted; empty for a missing folder.
inline std::vector<std::string> ListFolder(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().native());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// n bytes of a repeatable pattern that differs with the seed.
inline Bytes Pattern(std::size_t n, unsigned seed)
{
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 23);
    }
    return out;
}

inline void AppendBE32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

// The sum of the bytes from the given offset to the end.
inline std::uint32_t SumBytes(const Bytes& bytes, std::size_t from = 0)
{
    std::uint32_t sum = 0;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        sum += bytes[i];
    }
    return sum;
}

// One entry: the data length, the 64-byte name field (NUL-padded; longer
// names are cut), 4 zero bytes, the data.
inline Bytes EntryBytes(const std::string& name, const Bytes& data)
{
    Bytes out;
    AppendBE32(out, static_cast<std::uint32_t>(data.size()));
    for (std::size_t i = 0; i < 64; ++i) {
        out.push_back(i < name.size() ? static_cast<unsigned char>(name[i]) : 0);
    }
    AppendBE32(out, 0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The 16-byte header, followed by the entry area if one is given.
inline Bytes HeaderBytes(std::uint32_t totalLength, std::uint32_t checksum, std::uint8_t imageKind,
                         const Bytes& area = {})
{
    Bytes out = {'T', 'Q', 'Z', 'L'};
    AppendBE32(out, totalLength);
    AppendBE32(out, checksum);
    out.insert(out.end(), {0, 0, imageKind, 0});
    out.insert(out.end(), area.begin(), area.end());
    return out;
}

// Header for an entry area put together by the test, with the right sum and length.
inline Bytes WithHeader(const Bytes& entryArea, std::uint8_t imageKind = 0)
{
    return HeaderBytes(static_cast<std::uint32_t>(entryArea.size()), SumBytes(entryArea), imageKind, entryArea);
}

struct Member {
    std::string name;
    Bytes data;
};

// A whole, consistent package of the members.
inline Bytes BuildPackage(const std::vector<Member>& members, std::uint8_t imageKind = 0)
{
    Bytes area;
    for (const Member& m : members) {
        Bytes e = EntryBytes(m.name, m.data);
        area.insert(area.end(), e.begin(), e.end());
    }
    return WithHeader(area, imageKind);
}

}  // namespace writertest
