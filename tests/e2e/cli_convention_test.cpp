// The PC tools as processes keep one command-line convention: --help and -h
// print the usage line first and the manual page last and exit 0, --version
// prints "PROG VERSION" of the one project version, and a wrong command line
// exits 64 with the program's name first on standard error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_convention.h"
#include "e2e_support.h"

namespace {

TEST(CliConvention, HelpVersionAndAWrongCommandLineGiveTheSameShapeAndStatuses)
{
    const std::pair<std::string, std::string> programs[] = {
        {"kovafw", KOVAFW_E2E_BINARY}, {"kovadir", KOVADIR_E2E_BINARY}, {"kovasim", KOVASIM_E2E_BINARY},
        {"kovactl", KOVACTL_E2E_BINARY}};
    struct Case {
        std::string arg;
        int status;
        std::string first;  // the first line on the stream begins so, after the name
        std::string last;   // the last line on it, after the name ("" for any)
    };
    const Case cases[] = {
        {"--help", KOVA_EXIT_OK, "Usage: ", "(1)."},
        {"-h", KOVA_EXIT_OK, "Usage: ", "(1)."},
        {"--version", KOVA_EXIT_OK, std::string(" ") + KOVA_VERSION, ""},
        {"--no-such-option", KOVA_EXIT_USAGE, ": ", ""},
    };
    for (const auto& [name, binary] : programs) {
        for (const Case& c : cases) {
            e2e::Finished f = e2e::RunToEnd(binary, {c.arg}, 10000);
            EXPECT_EQ(f.exit.status, c.status) << name << " " << c.arg << "\n" << f.output;
            std::vector<std::string> lines;  // standard error for a wrong command line, else standard output
            for (const sim::UnitLine& l : f.lines) {
                if (l.stderrLine == (c.status == KOVA_EXIT_USAGE)) {
                    lines.push_back(l.text);
                }
            }
            ASSERT_FALSE(lines.empty()) << name << " " << c.arg;
            const std::string first = c.first == "Usage: " ? "Usage: " + name + " [OPTIONS] " : name + c.first;
            EXPECT_EQ(lines.front().rfind(first, 0), 0u) << name << " " << c.arg << "\n" << f.output;
            EXPECT_TRUE(c.last.empty() || lines.back() == "See " + name + c.last) << name << " " << lines.back();
        }
    }
}

}  // namespace
