// The package builder is written apart from the code under test, so that a fault shared by both cannot hide.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace writertest {

using Bytes = std::vector<unsigned char>;

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kova-writer-XXXXXX").native();
        m_path = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("cannot make a temporary folder");
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

inline Bytes BE32(std::uint32_t v)
{
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

// The bytes with the given ones replaced: {offset, new value}.
inline Bytes Edited(Bytes bytes, std::initializer_list<std::pair<std::size_t, int>> edits)
{
    for (auto [at, value] : edits) {
        bytes.at(at) = static_cast<unsigned char>(value);
    }
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline std::uint32_t SumBytes(const Bytes& bytes, std::size_t from = 0)
{
    return std::accumulate(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), std::uint32_t{0});
}

// One entry: the data length, the 64-byte name field (NUL-padded; longer
// names are cut), 4 zero bytes, the data.
inline Bytes EntryBytes(const std::string& name, const Bytes& data)
{
    Bytes field(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(name.size(), 64)));
    field.resize(64, 0);
    return Concat({BE32(static_cast<std::uint32_t>(data.size())), field, BE32(0), data});
}

inline Bytes HeaderBytes(std::uint32_t totalLength, std::uint32_t checksum, std::uint8_t imageKind,
                         const Bytes& area = {})
{
    return Concat({{'T', 'Q', 'Z', 'L'}, BE32(totalLength), BE32(checksum), {0, 0, imageKind, 0}, area});
}

inline Bytes WithHeader(const Bytes& entryArea, std::uint8_t imageKind = 0)
{
    return HeaderBytes(static_cast<std::uint32_t>(entryArea.size()), SumBytes(entryArea), imageKind, entryArea);
}

struct Member {
    std::string name;
    Bytes data;
};

inline Bytes BuildPackage(const std::vector<Member>& members, std::uint8_t imageKind = 0)
{
    Bytes area;
    for (const Member& m : members) {
        area = Concat({area, EntryBytes(m.name, m.data)});
    }
    return WithHeader(area, imageKind);
}

}  // namespace writertest
