// kovafw_cli: the commands of kovafw, the firmware package tool: info,
// verify, extract and pack. Kept apart from main() so that tests run the
// commands in process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli_convention.h"

// Exit statuses.
inline constexpr int KOVAFW_EXIT_OK = KOVA_EXIT_OK;
inline constexpr int KOVAFW_EXIT_FAILURE = KOVA_EXIT_FAILED;  // a bad package, or a file that cannot be read or written
inline constexpr int KOVAFW_EXIT_USAGE = KOVA_EXIT_USAGE;

// Runs one command line (without the program name); results go to out,
// errors to err.
int KovafwMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
