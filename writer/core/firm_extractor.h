// firm_extractor: checks a firmware package and unpacks its member files into
// a folder (the writer's working folder, which the flashing script knows as
// "firm"). The writer only ever reads a package.
//
// A package is a 16-byte header and an entry area; numbers are unsigned
// 32-bit, most significant byte first.
//   header: 0 magic "TQZL" | 4 total length of the entry area | 8 checksum
//           (32-bit sum of every entry-area byte) | 12-13 open | 14 image kind
//           | 15 open
//   entry:  0 data length | 4 name, 64 bytes NUL-padded (64 bytes: no NUL)
//           | 68-71 open (summed) | 72 data
// Entries follow each other until the one in which the bytes read reach the
// total length; nothing after it is read.
//
// Member names are checked before a member is written: a name that is empty,
// "." or "..", holds a path separator ("/" or "\"), a colon (drive letters
// and alternate streams), is made only of dots and blanks, or is a Windows
// device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, with any extension) would
// reach outside the folder on one of the writer's platforms, and stops the
// run with the write-error status before anything is created for it.
//
// Data goes through one 4096-byte buffer, so a package of any size is
// unpacked without holding a member in memory. One object serves one run at a
// time; separate objects may run on separate threads.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

// ---- Package layout ----------------------------------------------------------

inline constexpr unsigned char FIRM_MAGIC[4] = {'T', 'Q', 'Z', 'L'};

inline constexpr std::size_t FIRM_HEADER_SIZE = 16;
inline constexpr std::size_t FIRM_HDR_OFS_MAGIC = 0;
inline constexpr std::size_t FIRM_HDR_OFS_TOTAL_LENGTH = 4;
inline constexpr std::size_t FIRM_HDR_OFS_CHECKSUM = 8;
inline constexpr std::size_t FIRM_HDR_OFS_IMAGE_KIND = 14;

inline constexpr std::size_t FIRM_ENTRY_HEADER_SIZE = 72;
inline constexpr std::size_t FIRM_ENTRY_OFS_DATA_LENGTH = 0;
inline constexpr std::size_t FIRM_ENTRY_OFS_NAME = 4;
inline constexpr std::size_t FIRM_NAME_SIZE = 64;
inline constexpr std::size_t FIRM_ENTRY_OFS_DATA = 72;

static_assert(FIRM_ENTRY_OFS_NAME + FIRM_NAME_SIZE + 4 == FIRM_ENTRY_HEADER_SIZE);
static_assert(FIRM_ENTRY_OFS_DATA == FIRM_ENTRY_HEADER_SIZE);

// The one buffer every byte of a package passes through.
inline constexpr std::size_t FIRM_BUFFER_SIZE = 4096;
// The zeroed buffer a name is copied into, so that it is always terminated.
inline constexpr std::size_t FIRM_NAME_BUFFER_SIZE = 260;
static_assert(FIRM_NAME_BUFFER_SIZE > FIRM_NAME_SIZE);

// ---- Results -----------------------------------------------------------------

// CFirmExtractor::status
inline constexpr std::uint32_t FIRM_STATUS_OK = 0;
inline constexpr std::uint32_t FIRM_STATUS_READ_ERROR = 1;
inline constexpr std::uint32_t FIRM_STATUS_WRITE_ERROR = 2;
inline constexpr std::uint32_t FIRM_STATUS_CHECKSUM_ERROR = 3;
inline constexpr std::uint32_t FIRM_STATUS_NOT_PACKAGE = 4;

// CFirmExtractor::kind: the header's image kind plus one, 0 when unknown.
inline constexpr std::uint32_t FIRM_KIND_UNKNOWN = 0;
inline constexpr std::uint32_t FIRM_KIND_LINK_OS = 1;
inline constexpr std::uint32_t FIRM_KIND_LINK_APP = 2;
inline constexpr std::uint32_t FIRM_KIND_SERVER_OS = 3;
inline constexpr std::uint32_t FIRM_KIND_SERVER_APP = 4;

// One entry as the extractor meets it, reported before its data is read.
struct FirmEntry {
    std::string szName;          // the name's bytes up to the first NUL
    std::uint32_t dwDataLength;  // data bytes announced by the entry
    std::uint64_t qwOffset;      // file offset of the entry's header
    bool bSafe;                  // the name passes the member name check
};

using FirmEntryObserver = std::function<void(const FirmEntry&)>;

// What a run saw, for reports; valid as far as the run got.
struct FirmRunFacts {
    bool bMagicMatched = false;
    std::uint8_t byImageKind = 0;     // header byte 14 as stored
    std::uint32_t dwTotalLength = 0;  // header: entry area length
    std::uint32_t dwChecksum = 0;     // header: stored checksum
    std::uint32_t dwSum = 0;          // sum over the entry bytes read
    std::uint64_t qwConsumed = 0;     // entry area bytes read
    std::uint32_t dwEntries = 0;      // entries whose header was read
};

class CFirmExtractor {
public:
    // After a run: FIRM_STATUS_* and FIRM_KIND_*. kind is valid whenever the
    // magic matched, and 0 otherwise.
    std::uint32_t status = FIRM_STATUS_OK;
    std::uint32_t kind = FIRM_KIND_UNKNOWN;

    // Unpacks the package into folder (which must exist). True only when the
    // whole entry area was unpacked and the checksum matched; otherwise
    // status says why. Members written before a failure stay in the folder.
    bool Extract(const std::filesystem::path& package, const std::filesystem::path& folder,
                 const FirmEntryObserver& observer = {});

    // The same walk and the same verdict as Extract, writing nothing.
    bool Check(const std::filesystem::path& package, const FirmEntryObserver& observer = {});

    const FirmRunFacts& Facts() const { return m_facts; }

private:
    bool Run(const std::filesystem::path& package, const std::filesystem::path* folder,
             const FirmEntryObserver& observer);

    FirmRunFacts m_facts;
    std::array<unsigned char, FIRM_BUFFER_SIZE> m_buffer{};
};

// ---- Kinds and lists -----------------------------------------------------------

// Header byte 14 to CFirmExtractor::kind (0..3 -> 1..4, anything else -> 0).
std::uint32_t FirmKindFromImageKind(std::uint8_t imageKind);

// CFirmExtractor::kind to the flashing script's list kind (2 -> 1, 3 -> 2,
// 4 -> 3, anything else -> 0).
std::uint32_t FirmListKind(std::uint32_t kind);

// A list kind to the flashing script's list name ("eMMC-TQZ-Link-Linux" for
// 0 and anything unknown).
const char* FirmListName(std::uint32_t listKind);

// CFirmExtractor::kind straight to its list name.
inline const char* FirmListNameForKind(std::uint32_t kind)
{
    return FirmListName(FirmListKind(kind));
}

// What the header's image kind byte stands for ("link unit, operating system"
// ... ; "not recognised" above 3).
const char* FirmImageKindText(std::uint8_t imageKind);

// ---- Member names ----------------------------------------------------------------

namespace firm_detail {

// A code unit as an unsigned number, whatever the signedness of Ch.
template <typename Ch>
std::uint32_t CodeUnit(Ch c)
{
    return static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Ch>>(c));
}

template <typename Ch>
bool EqualsAsciiNoCase(std::basic_string_view<Ch> s, std::string_view ascii)
{
    if (s.size() != ascii.size()) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = CodeUnit(s[i]);
        if (c >= 'a' && c <= 'z') {
            c -= 'a' - 'A';
        }
        if (c != CodeUnit(ascii[i])) {
            return false;
        }
    }
    return true;
}

template <typename Ch>
bool IsDeviceName(std::basic_string_view<Ch> name)
{
    // Windows takes a device name with any extension and with blanks before
    // it: "NUL", "nul.txt", "COM1 .log". The port names end in a digit or in
    // a superscript one, two or three (the same unit in the ANSI code page
    // and in UTF-16).
    std::basic_string_view<Ch> stem = name.substr(0, name.find(static_cast<Ch>('.')));
    while (!stem.empty() && stem.back() == static_cast<Ch>(' ')) {
        stem.remove_suffix(1);
    }
    for (std::string_view dev : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsAsciiNoCase(stem, dev)) {
            return true;
        }
    }
    if (stem.size() != 4) {
        return false;
    }
    const std::uint32_t last = CodeUnit(stem[3]);
    const bool portNumber = (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    const std::basic_string_view<Ch> prefix = stem.substr(0, 3);
    return portNumber && (EqualsAsciiNoCase(prefix, "COM") || EqualsAsciiNoCase(prefix, "LPT"));
}

}  // namespace firm_detail

// Why a member name (in the file system's form) would not name a file
// directly inside the destination folder on every platform of the writer.
enum class FirmNameProblem { None, Empty, Separator, Colon, OnlyDots, DeviceName };

template <typename Ch>
FirmNameProblem FirmCheckMemberName(std::basic_string_view<Ch> name)
{
    if (name.empty()) {
        return FirmNameProblem::Empty;
    }
    bool onlyDotsAndBlanks = true;
    for (Ch c : name) {
        if (c == static_cast<Ch>('/') || c == static_cast<Ch>('\\')) {
            return FirmNameProblem::Separator;
        }
        if (c == static_cast<Ch>(':')) {
            return FirmNameProblem::Colon;
        }
        if (c != static_cast<Ch>('.') && c != static_cast<Ch>(' ')) {
            onlyDotsAndBlanks = false;
        }
    }
    // ".", ".." and the names Windows shortens to them ("...", ". .").
    if (onlyDotsAndBlanks) {
        return FirmNameProblem::OnlyDots;
    }
    return firm_detail::IsDeviceName(name) ? FirmNameProblem::DeviceName : FirmNameProblem::None;
}

inline FirmNameProblem FirmCheckMemberName(std::string_view name)
{
    return FirmCheckMemberName<char>(name);
}

inline bool FirmIsSafeMemberName(std::string_view name)
{
    return FirmCheckMemberName(name) == FirmNameProblem::None;
}

// A short description of the problem ("contains a path separator", ...).
const char* FirmNameProblemText(FirmNameProblem problem);
