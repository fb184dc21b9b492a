// Helpers of the writer's tests; see the header.

#include "writer_test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace writertest {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kova-writer-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

Bytes ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.native());
    }
}

std::vector<std::string> ListFolder(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().native());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes Pattern(std::size_t n, unsigned seed)
{
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 23);
    }
    return out;
}

void AppendBE32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

std::uint32_t SumBytes(const Bytes& bytes, std::size_t from, std::size_t to)
{
    std::uint32_t sum = 0;
    for (std::size_t i = from; i < to && i < bytes.size(); ++i) {
        sum += bytes[i];
    }
    return sum;
}

Bytes EntryBytes(const std::string& name, const Bytes& data, std::int64_t dataLength)
{
    Bytes out;
    AppendBE32(out, static_cast<std::uint32_t>(dataLength < 0 ? static_cast<std::int64_t>(data.size()) : dataLength));
    for (std::size_t i = 0; i < 64; ++i) {
        out.push_back(i < name.size() ? static_cast<unsigned char>(name[i]) : 0);
    }
    AppendBE32(out, 0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes HeaderBytes(std::uint32_t totalLength, std::uint32_t checksum, std::uint8_t imageKind)
{
    Bytes out = {'T', 'Q', 'Z', 'L'};
    AppendBE32(out, totalLength);
    AppendBE32(out, checksum);
    out.insert(out.end(), {0, 0, imageKind, 0});
    return out;
}

Bytes WithHeader(const Bytes& entryArea, std::uint8_t imageKind)
{
    Bytes out = HeaderBytes(static_cast<std::uint32_t>(entryArea.size()), SumBytes(entryArea, 0, entryArea.size()),
                            imageKind);
    out.insert(out.end(), entryArea.begin(), entryArea.end());
    return out;
}

Bytes BuildPackage(const std::vector<Member>& members, std::uint8_t imageKind)
{
    Bytes area;
    for (const Member& m : members) {
        Bytes e = EntryBytes(m.name, m.data);
        area.insert(area.end(), e.begin(), e.end());
    }
    return WithHeader(area, imageKind);
}

}  // namespace writertest
