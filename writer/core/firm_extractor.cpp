// firm_extractor: see the header for the package layout and the name rule.
// The walk is written once and serves both Extract (writes the members) and
// Check (reads and sums only), so that the two can never disagree.

#include "firm_extractor.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "byte_fields.h"
#include "firm_platform.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t SumBytes(std::uint32_t sum, const unsigned char* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        sum += p[i];  // wraps modulo 2^32 by design
    }
    return sum;
}

}  // namespace

bool CFirmExtractor::Extract(const std::filesystem::path& package, const std::filesystem::path& folder,
                             const FirmEntryObserver& observer)
{
    return Run(package, &folder, observer);
}

bool CFirmExtractor::Check(const std::filesystem::path& package, const FirmEntryObserver& observer)
{
    return Run(package, nullptr, observer);
}

bool CFirmExtractor::Run(const std::filesystem::path& package, const std::filesystem::path* folder,
                         const FirmEntryObserver& observer)
{
    status = FIRM_STATUS_OK;
    kind = FIRM_KIND_UNKNOWN;
    m_facts = FirmRunFacts();
    unsigned char* buf = m_buffer.data();

    FilePtr pkg(firm_platform::OpenForReading(package));
    if (!pkg || std::fread(buf, 1, FIRM_HEADER_SIZE, pkg.get()) != FIRM_HEADER_SIZE) {
        status = FIRM_STATUS_READ_ERROR;
        return false;
    }
    if (std::memcmp(buf + FIRM_HDR_OFS_MAGIC, FIRM_MAGIC, sizeof FIRM_MAGIC) != 0) {
        status = FIRM_STATUS_NOT_PACKAGE;
        return false;
    }
    m_facts.bMagicMatched = true;
    m_facts.byImageKind = buf[FIRM_HDR_OFS_IMAGE_KIND];
    kind = FirmKindFromImageKind(m_facts.byImageKind);
    m_facts.dwTotalLength = GetBE32(buf + FIRM_HDR_OFS_TOTAL_LENGTH);
    m_facts.dwChecksum = GetBE32(buf + FIRM_HDR_OFS_CHECKSUM);

    // consumed is 64-bit: a huge data length must not wrap it back below the
    // total and keep the walk going.
    std::uint64_t& consumed = m_facts.qwConsumed;
    std::uint32_t& sum = m_facts.dwSum;
    while (consumed < m_facts.dwTotalLength) {
        const std::uint64_t entryOffset = FIRM_HEADER_SIZE + consumed;
        if (std::fread(buf, 1, FIRM_ENTRY_HEADER_SIZE, pkg.get()) != FIRM_ENTRY_HEADER_SIZE) {
            status = FIRM_STATUS_READ_ERROR;
            return false;
        }
        consumed += FIRM_ENTRY_HEADER_SIZE;
        sum = SumBytes(sum, buf, FIRM_ENTRY_HEADER_SIZE);
        ++m_facts.dwEntries;

        const std::uint32_t dataLength = GetBE32(buf + FIRM_ENTRY_OFS_DATA_LENGTH);
        char name[FIRM_NAME_BUFFER_SIZE] = {};
        std::memcpy(name, buf + FIRM_ENTRY_OFS_NAME, FIRM_NAME_SIZE);
        const firm_platform::NativeName nativeName = firm_platform::ToNativeName(name);
        const bool safe =
            FirmCheckMemberName<firm_platform::NativeName::value_type>(nativeName) == FirmNameProblem::None;
        if (observer) {
            observer(FirmEntry{name, dataLength, entryOffset, safe});
        }
        if (!safe) {
            status = FIRM_STATUS_WRITE_ERROR;
            return false;
        }

        FilePtr out;
        if (folder != nullptr) {
            out.reset(firm_platform::CreateForWriting(firm_platform::MemberPath(*folder, nativeName)));
            if (!out) {
                status = FIRM_STATUS_WRITE_ERROR;
                return false;
            }
        }
        std::uint32_t remaining = dataLength;
        while (remaining > 0) {
            const std::size_t want = std::min<std::size_t>(remaining, FIRM_BUFFER_SIZE);
            const std::size_t got = std::fread(buf, 1, want, pkg.get());
            consumed += got;
            sum = SumBytes(sum, buf, got);
            // What did arrive is kept, so a cut-off member holds every byte
            // the package had for it.
            if (out && got > 0 && std::fwrite(buf, 1, got, out.get()) != got) {
                status = FIRM_STATUS_WRITE_ERROR;
                return false;
            }
            if (got != want) {
                status = FIRM_STATUS_READ_ERROR;
                return false;
            }
            remaining -= static_cast<std::uint32_t>(got);
        }
        // Closing flushes the last bytes; a failure there is a write error too.
        if (out && std::fclose(out.release()) != 0) {
            status = FIRM_STATUS_WRITE_ERROR;
            return false;
        }
    }

    if (sum != m_facts.dwChecksum) {
        status = FIRM_STATUS_CHECKSUM_ERROR;
        return false;
    }
    return true;
}

// ---- Kinds and lists ---------------------------------------------------------------

std::uint32_t FirmKindFromImageKind(std::uint8_t imageKind)
{
    return imageKind <= 3 ? static_cast<std::uint32_t>(imageKind) + 1 : FIRM_KIND_UNKNOWN;
}

std::uint32_t FirmListKind(std::uint32_t kind)
{
    switch (kind) {
        case FIRM_KIND_LINK_APP:
            return 1;
        case FIRM_KIND_SERVER_OS:
            return 2;
        case FIRM_KIND_SERVER_APP:
            return 3;
        default:
            return 0;
    }
}

const char* FirmListName(std::uint32_t listKind)
{
    switch (listKind) {
        case 1:
            return "eMMC-TQZ-Link-App";
        case 2:
            return "eMMC-TQZ-Server-Linux";
        case 3:
            return "eMMC-TQZ-Server-App";
        default:
            return "eMMC-TQZ-Link-Linux";
    }
}

const char* FirmImageKindText(std::uint8_t imageKind)
{
    switch (imageKind) {
        case 0:
            return "link unit, operating system";
        case 1:
            return "link unit, application";
        case 2:
            return "server unit, operating system";
        case 3:
            return "server unit, application";
        default:
            return "not recognised";
    }
}

const char* FirmNameProblemText(FirmNameProblem problem)
{
    switch (problem) {
        case FirmNameProblem::None:
            return "allowed";
        case FirmNameProblem::Empty:
            return "is empty";
        case FirmNameProblem::Separator:
            return "contains a path separator";
        case FirmNameProblem::Colon:
            return "contains a colon (a drive letter or a stream)";
        case FirmNameProblem::OnlyDots:
            return "is made of dots and blanks only";
        case FirmNameProblem::DeviceName:
            return "is a Windows device name";
    }
    return "not allowed";
}
