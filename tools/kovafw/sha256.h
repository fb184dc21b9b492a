// sha256: the SHA-256 digest of a file, for kovafw's info. A package's own
// checksum is a plain byte sum; the digest is what tells two packages apart
// and what a release names for a package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
   public:
    Sha256();
    void Add(const std::uint8_t* data, std::size_t size);
    // The digest of everything added; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();

   private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_used = 0;
    std::uint64_t m_total = 0;
};

// The lower-case hex digest of a file; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string& hex);
