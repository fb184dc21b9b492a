// cli_convention: what the PC tools share on their command lines: the exit
// statuses every tool gives and the one project version that --version prints.
#pragma once

inline constexpr int KOVA_EXIT_OK = 0;
inline constexpr int KOVA_EXIT_FAILED = 1;       // refused or failed: a check, a request or an operation
inline constexpr int KOVA_EXIT_UNREACHABLE = 2;  // the unit, a list server or a device cannot be reached
inline constexpr int KOVA_EXIT_USAGE = 64;       // the command line is wrong

// The project version, given by the build.
inline constexpr const char* KOVA_VERSION = KOVA_PROJECT_VERSION;
