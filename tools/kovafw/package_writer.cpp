// package_writer: see the header. Members are streamed through one 4096-byte
// buffer; the checksum is written into the header once every entry is out.

#include "package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>

#include "byte_fields.h"
#include "firm_extractor.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string SystemError()
{
    return std::strerror(errno);
}

struct PlannedMember {
    std::filesystem::path file;
    std::string name;
    std::uint32_t size = 0;
};

// Whether the output is one of the inputs (the same file by any path): the
// new package would replace a member it was made from.
bool OverwritesAnInput(const std::filesystem::path& output, const std::vector<std::filesystem::path>& files,
                       std::string& error)
{
    for (const std::filesystem::path& file : files) {
        std::error_code ec;
        if (std::filesystem::equivalent(output, file, ec)) {
            error = output.native() + ": is also a member file; refusing to overwrite it";
            return true;
        }
    }
    return false;
}

// Checks every input before anything is written.
bool PlanMembers(const std::vector<std::filesystem::path>& files, std::vector<PlannedMember>& plan,
                 std::uint32_t& totalLength, std::string& error)
{
    std::set<std::string> names;
    std::uint64_t total = 0;
    for (const std::filesystem::path& file : files) {
        const std::string name = file.filename().native();
        const FirmNameProblem problem = FirmCheckMemberName(name);
        if (problem != FirmNameProblem::None) {
            error = file.native() + ": member name \"" + name + "\" " + FirmNameProblemText(problem);
            return false;
        }
        if (name.size() > FIRM_NAME_SIZE) {
            error = file.native() + ": member name is longer than 64 bytes";
            return false;
        }
        if (!names.insert(name).second) {
            error = file.native() + ": a member named \"" + name + "\" is already in the package";
            return false;
        }
        std::error_code ec;
        const std::filesystem::file_status st = std::filesystem::status(file, ec);
        if (ec) {
            error = file.native() + ": " + ec.message();
            return false;
        }
        if (!std::filesystem::is_regular_file(st)) {
            error = file.native() + ": not a regular file";
            return false;
        }
        const std::uintmax_t size = std::filesystem::file_size(file, ec);
        if (ec) {
            error = file.native() + ": " + ec.message();
            return false;
        }
        total += FIRM_ENTRY_HEADER_SIZE + static_cast<std::uint64_t>(size);
        if (size > UINT32_MAX || total > UINT32_MAX) {
            error = file.native() + ": the entry area would exceed 4294967295 bytes";
            return false;
        }
        plan.push_back(PlannedMember{file, name, static_cast<std::uint32_t>(size)});
    }
    totalLength = static_cast<std::uint32_t>(total);
    return true;
}

bool WriteAll(std::FILE* out, const unsigned char* p, std::size_t n, std::uint32_t& sum)
{
    for (std::size_t i = 0; i < n; ++i) {
        sum += p[i];
    }
    return std::fwrite(p, 1, n, out) == n;
}

bool WriteMember(std::FILE* out, const PlannedMember& member, std::array<unsigned char, FIRM_BUFFER_SIZE>& buf,
                 std::uint32_t& sum, std::string& error)
{
    std::fill(buf.begin(), buf.end(), 0);
    PutBE32(buf.data() + FIRM_ENTRY_OFS_DATA_LENGTH, member.size);
    std::memcpy(buf.data() + FIRM_ENTRY_OFS_NAME, member.name.data(), member.name.size());
    if (!WriteAll(out, buf.data(), FIRM_ENTRY_HEADER_SIZE, sum)) {
        error = "cannot write the package: " + SystemError();
        return false;
    }
    FilePtr in(std::fopen(member.file.c_str(), "rb"));
    if (!in) {
        error = member.file.native() + ": " + SystemError();
        return false;
    }
    std::uint32_t remaining = member.size;
    while (remaining > 0) {
        const std::size_t want = std::min<std::size_t>(remaining, buf.size());
        if (std::fread(buf.data(), 1, want, in.get()) != want) {
            error = member.file.native() + ": became shorter while being packed";
            return false;
        }
        if (!WriteAll(out, buf.data(), want, sum)) {
            error = "cannot write the package: " + SystemError();
            return false;
        }
        remaining -= static_cast<std::uint32_t>(want);
    }
    if (std::fgetc(in.get()) != EOF) {
        error = member.file.native() + ": became longer while being packed";
        return false;
    }
    return true;
}

// Writes the whole package into an open temporary file.
bool WritePackage(std::FILE* out, std::uint8_t imageKind, const std::vector<PlannedMember>& plan,
                  std::uint32_t totalLength, std::uint32_t& checksum, std::string& error)
{
    std::array<unsigned char, FIRM_BUFFER_SIZE> buf{};
    std::memcpy(buf.data() + FIRM_HDR_OFS_MAGIC, FIRM_MAGIC, sizeof FIRM_MAGIC);
    PutBE32(buf.data() + FIRM_HDR_OFS_TOTAL_LENGTH, totalLength);
    buf[FIRM_HDR_OFS_IMAGE_KIND] = imageKind;
    std::uint32_t headerSum = 0;  // the header is not part of the checksum
    if (!WriteAll(out, buf.data(), FIRM_HEADER_SIZE, headerSum)) {
        error = "cannot write the package: " + SystemError();
        return false;
    }
    std::uint32_t sum = 0;
    for (const PlannedMember& member : plan) {
        if (!WriteMember(out, member, buf, sum, error)) {
            return false;
        }
    }
    PutBE32(buf.data(), sum);
    if (std::fseek(out, static_cast<long>(FIRM_HDR_OFS_CHECKSUM), SEEK_SET) != 0 ||
        std::fwrite(buf.data(), 1, 4, out) != 4 || std::fflush(out) != 0 || ::fsync(::fileno(out)) != 0) {
        error = "cannot write the package: " + SystemError();
        return false;
    }
    checksum = sum;
    return true;
}

}  // namespace

bool PackFirmPackage(const std::filesystem::path& output, std::uint8_t imageKind,
                     const std::vector<std::filesystem::path>& files, PackResult& result, std::string& error)
{
    std::vector<PlannedMember> plan;
    std::uint32_t totalLength = 0;
    if (OverwritesAnInput(output, files, error) || !PlanMembers(files, plan, totalLength, error)) {
        return false;
    }

    std::string tempName = output.native() + ".partXXXXXX";
    int fd = ::mkstemp(tempName.data());
    if (fd < 0) {
        error = tempName + ": " + SystemError();
        return false;
    }
    // mkstemp makes the file private; a package gets the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    std::FILE* out = ::fdopen(fd, "wb");
    if (out == nullptr) {
        error = tempName + ": " + SystemError();
        ::close(fd);
        ::unlink(tempName.c_str());
        return false;
    }

    std::uint32_t checksum = 0;
    bool ok = WritePackage(out, imageKind, plan, totalLength, checksum, error);
    if (std::fclose(out) != 0 && ok) {
        error = "cannot write the package: " + SystemError();
        ok = false;
    }
    if (ok && std::rename(tempName.c_str(), output.c_str()) != 0) {
        error = output.native() + ": " + SystemError();
        ok = false;
    }
    if (!ok) {
        ::unlink(tempName.c_str());
        return false;
    }

    result = PackResult();
    for (const PlannedMember& member : plan) {
        result.entries.push_back(PackedEntry{member.name, member.size});
    }
    result.dwTotalLength = totalLength;
    result.dwChecksum = checksum;
    return true;
}
