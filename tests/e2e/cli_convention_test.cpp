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

struct Program {
    std::string name;
    std::string binary;
    std::string page;
};

// The first and the last line a program printed on one of its streams.
std::pair<std::string, std::string> FirstAndLast(const e2e::Finished& f, bool onStderr)
{
    std::pair<std::string, std::string> lines;
    for (const sim::UnitLine& l : f.lines) {
        if (l.stderrLine == onStderr) {
            if (lines.first.empty()) {
                lines.first = l.text;
            }
            lines.second = l.text;
        }
    }
    return lines;
}

TEST(CliConvention, HelpVersionAndAWrongCommandLineGiveTheSameShapeAndStatuses)
{
    const Program programs[] = {
        {"kovafw", KOVAFW_E2E_BINARY, "kovafw(1)"},
        {"kovadir", KOVADIR_E2E_BINARY, "kovadir(1)"},
        {"kovasim", KOVASIM_E2E_BINARY, "kovasim(1)"},
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        bool onStderr;
        std::string first;  // the first line begins so ("PROG" stands for the name)
        std::string last;   // the last line is this ("" for any)
    };
    const Case cases[] = {
        {{"--help"}, KOVA_EXIT_OK, false, "Usage: PROG [OPTIONS] ", "See PAGE."},
        {{"-h"}, KOVA_EXIT_OK, false, "Usage: PROG [OPTIONS] ", "See PAGE."},
        {{"--version"}, KOVA_EXIT_OK, false, std::string("PROG ") + KOVA_VERSION, ""},
        {{"--no-such-option"}, KOVA_EXIT_USAGE, true, "PROG: ", ""},
    };
    auto named = [](std::string text, const Program& p) {
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"PROG", p.name}, {"PAGE", p.page}}) {
            if (size_t at = text.find(from); at != std::string::npos) {
                text.replace(at, from.size(), to);
            }
        }
        return text;
    };
    for (const Program& p : programs) {
        for (const Case& c : cases) {
            const std::string what = p.name + " " + c.args[0];
            e2e::Finished f = e2e::RunToEnd(p.binary, c.args, 10000);
            EXPECT_TRUE(f.exit.exited) << what;
            EXPECT_EQ(f.exit.status, c.status) << what << "\n" << f.output;
            const auto [first, last] = FirstAndLast(f, c.onStderr);
            EXPECT_EQ(first.rfind(named(c.first, p), 0), 0u) << what << "\n" << f.output;
            if (!c.last.empty()) {
                EXPECT_EQ(last, named(c.last, p)) << what;
            }
        }
    }
}

}  // namespace
