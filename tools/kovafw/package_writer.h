// package_writer: builds a firmware package from member files, for kovafw's
// pack command. The package is written to a temporary file next to the
// output and renamed into place only when complete, so a failed pack leaves
// no half package behind. The bytes the format leaves open are zeros.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct PackedEntry {
    std::string szName;
    std::uint32_t dwDataLength = 0;
};

struct PackResult {
    std::vector<PackedEntry> entries;
    std::uint32_t dwTotalLength = 0;
    std::uint32_t dwChecksum = 0;
};

// Packs files (each under its own file name) with the header's image kind
// byte. False with a one-line reason in error on any failure, and when the
// output is one of the files.
bool PackFirmPackage(const std::filesystem::path& output, std::uint8_t imageKind,
                     const std::vector<std::filesystem::path>& files, PackResult& result, std::string& error);
