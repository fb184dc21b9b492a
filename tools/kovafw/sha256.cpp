// sha256: see the header.
#include "sha256.h"

#include <nettle/sha2.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

bool Sha256OfFile(const std::string& path, std::string& hex)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    sha256_ctx ctx;
    sha256_init(&ctx);
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        sha256_update(&ctx, static_cast<std::size_t>(in.gcount()), reinterpret_cast<const std::uint8_t*>(chunk));
    }
    if (in.bad()) {
        return false;
    }
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    hex.clear();
    for (std::uint8_t b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return true;
}
