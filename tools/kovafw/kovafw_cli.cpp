// kovafw_cli: see the header. Every command reads packages through the
// writer's own extractor, so kovafw's verdict on a package is the writer's;
// verify adds the consistency checks that the writer does not make.

#include "kovafw_cli.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>

#include "firm_extractor.h"
#include "package_writer.h"
#include "sha256.h"
#include "writer_strings.h"

namespace {

constexpr const char* HELP_TEXT = R"(Usage: kovafw [OPTIONS] COMMAND [ARGS...]
Checks, lists, unpacks and builds the firmware packages that
KOVALanZozeZaderi flashes, reading them exactly as it does.

Commands:
  info PKG                      kind, list, members, checksum and SHA-256
  verify PKG                    exit 0 only for a whole, consistent, safe package
  extract PKG DIR               unpack the members into DIR
  pack --kind N -o PKG FILE...  build PKG (image kind 0-3) from the FILEs

Options:
  --kind N, -o PKG, --output PKG  for pack
  -h, --help                      show this help
  --version                       show the version

Exit status: 0 success, 1 a bad package or a file that cannot be read or
written, 64 a wrong command line.
See kovafw(1).
)";

// A member name for a terminal: control bytes and backslashes escaped.
std::string Printable(const std::string& name)
{
    if (name.empty()) {
        return "\"\"";
    }
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Hex32(std::uint32_t value)
{
    char buf[11];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

std::string SizeColumn(std::uint64_t value)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%12llu", static_cast<unsigned long long>(value));
    return buf;
}

int UsageError(std::ostream& err, const std::string& what)
{
    err << "kovafw: " << what << "\nTry 'kovafw --help'.\n";
    return KOVAFW_EXIT_USAGE;
}

// Everything one pass over a package found out.
struct Inspection {
    CFirmExtractor extractor;
    bool bOk = false;
    std::vector<FirmEntry> entries;
    bool bHaveSize = false;
    std::uint64_t qwFileSize = 0;
};

void Inspect(const std::string& pkg, Inspection& in)
{
    in.bOk = in.extractor.Check(pkg, [&in](const FirmEntry& e) { in.entries.push_back(e); });
    std::error_code ec;
    in.qwFileSize = std::filesystem::file_size(pkg, ec);
    in.bHaveSize = !ec;
}

// Where a package that stopped with a read error ran out.
std::string ReadStopDetail(const FirmRunFacts& f, const std::vector<FirmEntry>& entries)
{
    if (!entries.empty()) {
        const FirmEntry& e = entries.back();
        const std::uint64_t dataStart = e.qwOffset + FIRM_ENTRY_HEADER_SIZE;
        const std::uint64_t readTo = FIRM_HEADER_SIZE + f.qwConsumed;
        if (readTo < dataStart + e.dwDataLength) {
            return "the file ends inside the data of entry " + std::to_string(entries.size()) + " (" +
                   std::to_string(readTo - dataStart) + " of " + std::to_string(e.dwDataLength) + " bytes)";
        }
    }
    return "the file ends inside the header of entry " + std::to_string(entries.size() + 1);
}

// The one line that says why the writer's walk stopped.
std::string StatusDetail(const std::string& pkg, const CFirmExtractor& ex, const std::vector<FirmEntry>& entries,
                         const std::string* folder)
{
    const FirmRunFacts& f = ex.Facts();
    std::string detail;
    switch (ex.status) {
        case FIRM_STATUS_READ_ERROR: {
            std::error_code ec;
            const std::uintmax_t size = std::filesystem::file_size(pkg, ec);
            if (!f.bMagicMatched) {
                detail = ec                        ? "cannot be read: " + ec.message()
                         : size < FIRM_HEADER_SIZE ? "shorter than the 16-byte header"
                                                   : "cannot be read";
            } else {
                detail = ReadStopDetail(f, entries);
            }
            break;
        }
        case FIRM_STATUS_WRITE_ERROR:
            if (!entries.empty() && !entries.back().bSafe) {
                const FirmEntry& e = entries.back();
                detail = "entry " + std::to_string(entries.size()) + ": member name \"" + Printable(e.szName) + "\" " +
                         FirmNameProblemText(FirmCheckMemberName(e.szName));
            } else if (!entries.empty() && folder != nullptr) {
                detail = "entry " + std::to_string(entries.size()) + ": cannot write " + *folder + "/" +
                         Printable(entries.back().szName);
            } else {
                detail = "cannot write";
            }
            break;
        case FIRM_STATUS_CHECKSUM_ERROR:
            detail = "checksum mismatch: stored " + Hex32(f.dwChecksum) + ", computed " + Hex32(f.dwSum);
            break;
        case FIRM_STATUS_NOT_PACKAGE:
            detail = "not a firmware package (it does not begin with \"TQZL\")";
            break;
        default:
            detail = "failed";
            break;
    }
    const char* text = WriterString(FirmStatusStringId(ex.status));
    return detail + "; status " + std::to_string(ex.status) + ", the writer shows \"" + (text != nullptr ? text : "?") +
           "\"";
}

// The consistency problems of a package whose walk reached its end.
std::vector<std::string> ConsistencyProblems(const Inspection& in)
{
    std::vector<std::string> problems;
    const FirmRunFacts& f = in.extractor.Facts();
    if (f.qwConsumed != f.dwTotalLength) {
        problems.push_back("the total length " + std::to_string(f.dwTotalLength) + " ends inside entry " +
                           std::to_string(f.dwEntries) + "; the entries take " + std::to_string(f.qwConsumed) +
                           " bytes");
    }
    const std::uint64_t end = FIRM_HEADER_SIZE + f.qwConsumed;
    if (in.bHaveSize && in.qwFileSize > end) {
        problems.push_back(std::to_string(in.qwFileSize - end) + " bytes follow the entry area");
    }
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < in.entries.size(); ++i) {
        auto [it, added] = seen.emplace(in.entries[i].szName, i + 1);
        if (!added) {
            problems.push_back("entries " + std::to_string(it->second) + " and " + std::to_string(i + 1) +
                               " are both named \"" + Printable(in.entries[i].szName) + "\"");
        }
    }
    return problems;
}

bool WalkReachedEnd(const CFirmExtractor& ex)
{
    return ex.status == FIRM_STATUS_OK || ex.status == FIRM_STATUS_CHECKSUM_ERROR;
}

int CmdInfo(const std::string& pkg, std::ostream& out, std::ostream& err)
{
    Inspection in;
    Inspect(pkg, in);
    const CFirmExtractor& ex = in.extractor;
    const FirmRunFacts& f = ex.Facts();
    if (!f.bMagicMatched) {
        err << "kovafw: " << pkg << ": " << StatusDetail(pkg, ex, in.entries, nullptr) << "\n";
        return KOVAFW_EXIT_FAILURE;
    }
    out << "package       " << pkg;
    if (in.bHaveSize) {
        out << " (" << in.qwFileSize << " bytes)";
    }
    out << "\n";
    out << "image kind    " << static_cast<unsigned>(f.byImageKind) << " (" << FirmImageKindText(f.byImageKind);
    if (ex.kind == FIRM_KIND_UNKNOWN) {
        out << ", treated as 0";
    }
    out << ")\n";
    out << "list          " << FirmListNameForKind(ex.kind) << "\n";
    out << "total length  " << f.dwTotalLength << " bytes of entries\n";
    out << "entries       " << in.entries.size() << "\n";
    for (const FirmEntry& e : in.entries) {
        out << SizeColumn(e.dwDataLength) << "  " << Printable(e.szName);
        if (!e.bSafe) {
            out << "  (refused: the name " << FirmNameProblemText(FirmCheckMemberName(e.szName)) << ")";
        }
        out << "\n";
    }
    out << "checksum      " << Hex32(f.dwChecksum) << " stored, ";
    if (WalkReachedEnd(ex)) {
        out << Hex32(f.dwSum) << " computed: " << (f.dwSum == f.dwChecksum ? "match" : "MISMATCH") << "\n";
    } else {
        out << "not computed (the walk stopped early)\n";
    }
    std::string sha;
    if (Sha256OfFile(pkg, sha)) {
        out << "sha256        " << sha << "\n";
    }
    out << "note          the checksum is a sum of the bytes: it does not catch swapped or\n"
           "              reordered bytes; compare the SHA-256 with the one published\n";
    if (!in.bOk) {
        err << "kovafw: " << pkg << ": " << StatusDetail(pkg, ex, in.entries, nullptr) << "\n";
        return KOVAFW_EXIT_FAILURE;
    }
    return KOVAFW_EXIT_OK;
}

int CmdVerify(const std::string& pkg, std::ostream& out, std::ostream& err)
{
    Inspection in;
    Inspect(pkg, in);
    const CFirmExtractor& ex = in.extractor;
    std::vector<std::string> problems;
    if (!in.bOk) {
        problems.push_back(StatusDetail(pkg, ex, in.entries, nullptr));
    }
    if (WalkReachedEnd(ex)) {
        for (std::string& p : ConsistencyProblems(in)) {
            problems.push_back(std::move(p));
        }
    }
    for (const std::string& p : problems) {
        err << "kovafw: " << pkg << ": " << p << "\n";
    }
    if (!problems.empty()) {
        return KOVAFW_EXIT_FAILURE;
    }
    const FirmRunFacts& f = ex.Facts();
    if (ex.kind == FIRM_KIND_UNKNOWN) {
        err << "kovafw: " << pkg << ": note: image kind " << static_cast<unsigned>(f.byImageKind)
            << " is not one of 0-3; the writer treats it as 0\n";
    }
    out << pkg << ": ok, " << in.entries.size() << " entries, image kind " << static_cast<unsigned>(f.byImageKind)
        << " (" << FirmImageKindText(f.byImageKind) << "), list " << FirmListNameForKind(ex.kind) << "\n";
    return KOVAFW_EXIT_OK;
}

int CmdExtract(const std::string& pkg, const std::string& dir, std::ostream& out, std::ostream& err)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        err << "kovafw: " << dir << ": cannot make the folder" << (ec ? ": " + ec.message() : "") << "\n";
        return KOVAFW_EXIT_FAILURE;
    }
    CFirmExtractor ex;
    std::vector<FirmEntry> entries;
    const bool ok = ex.Extract(pkg, dir, [&](const FirmEntry& e) {
        entries.push_back(e);
        if (e.bSafe) {
            out << SizeColumn(e.dwDataLength) << "  " << Printable(e.szName) << "\n";
        }
    });
    if (!ok) {
        err << "kovafw: " << pkg << ": " << StatusDetail(pkg, ex, entries, &dir) << "\n";
        const bool anyWritten = std::any_of(entries.begin(), entries.end(), [](const FirmEntry& e) { return e.bSafe; });
        if (anyWritten) {
            err << "kovafw: members written before the problem stay in " << dir << "\n";
        }
        return KOVAFW_EXIT_FAILURE;
    }
    out << entries.size() << " members unpacked into " << dir << "\n";
    return KOVAFW_EXIT_OK;
}

int CmdPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::string kindText;
    std::string output;
    std::vector<std::filesystem::path> files;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) -> bool {
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
            files.emplace_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--kind") {
            if (!value(kindText)) {
                return UsageError(err, "--kind needs a value");
            }
        } else if (a.rfind("--kind=", 0) == 0) {
            kindText = a.substr(7);
        } else if (a == "-o" || a == "--output") {
            if (!value(output)) {
                return UsageError(err, a + " needs a value");
            }
        } else if (a.rfind("--output=", 0) == 0) {
            output = a.substr(9);
        } else {
            return UsageError(err, "pack: unknown option " + a);
        }
    }
    if (kindText.empty()) {
        return UsageError(err, "pack: --kind N is required");
    }
    if (kindText.size() != 1 || kindText[0] < '0' || kindText[0] > '3') {
        return UsageError(err, "pack: --kind must be 0, 1, 2 or 3, not " + kindText);
    }
    if (output.empty()) {
        return UsageError(err, "pack: -o PKG is required");
    }
    if (files.empty()) {
        return UsageError(err, "pack: no member files given");
    }
    const auto imageKind = static_cast<std::uint8_t>(kindText[0] - '0');
    PackResult result;
    std::string error;
    if (!PackFirmPackage(output, imageKind, files, result, error)) {
        err << "kovafw: " << error << "\n";
        return KOVAFW_EXIT_FAILURE;
    }
    for (const PackedEntry& e : result.entries) {
        out << SizeColumn(e.dwDataLength) << "  " << Printable(e.szName) << "\n";
    }
    out << output << ": " << result.entries.size() << " members, " << result.dwTotalLength
        << " bytes of entries, checksum " << Hex32(result.dwChecksum) << ", image kind "
        << static_cast<unsigned>(imageKind) << " (" << FirmImageKindText(imageKind) << "), list "
        << FirmListNameForKind(FirmKindFromImageKind(imageKind)) << "\n";
    return KOVAFW_EXIT_OK;
}

}  // namespace

int KovafwMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        return UsageError(err, "no command given");
    }
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        out << HELP_TEXT;
        return KOVAFW_EXIT_OK;
    }
    if (cmd == "--version") {
        out << "kovafw " << KOVA_VERSION << "\n";
        return KOVAFW_EXIT_OK;
    }
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            out << HELP_TEXT;
            return KOVAFW_EXIT_OK;
        }
    }
    if (cmd == "info" || cmd == "verify") {
        if (args.size() != 2) {
            return UsageError(err, cmd + " takes one package");
        }
        return cmd == "info" ? CmdInfo(args[1], out, err) : CmdVerify(args[1], out, err);
    }
    if (cmd == "extract") {
        if (args.size() != 3) {
            return UsageError(err, "extract takes a package and a folder");
        }
        return CmdExtract(args[1], args[2], out, err);
    }
    if (cmd == "pack") {
        return CmdPack(args, out, err);
    }
    return UsageError(err, "unknown command " + cmd);
}
