// firm_platform: the only place where the writer's core differs between the
// Windows program and the Linux build (the Linux build is the tested one).
// It turns a member name from the package into the file system's own form,
// joins it to the destination folder with the platform's separator, and opens
// files. Everything else in writer/core is plain standard C++.
//
// Windows: names are converted from the system's ANSI code page to UTF-16,
// the separator is "\", files are opened with their wide names.
// Linux: names are taken as the bytes they are, the separator is "/", and a
// member file is never opened through a symbolic link or as anything but a
// regular file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace firm_platform {

#ifdef _WIN32
using NativeName = std::wstring;
#else
using NativeName = std::string;
#endif

// A NUL-terminated member name from the package in the file system's form;
// empty when it cannot be converted.
NativeName ToNativeName(const char* packageName);

// The member file's path: the folder, one separator, the name.
std::filesystem::path MemberPath(const std::filesystem::path& folder, const NativeName& name);

// Opens a file for binary reading; null on failure.
std::FILE* OpenForReading(const std::filesystem::path& path);

// Creates or truncates a regular file for binary writing; null on failure.
std::FILE* CreateForWriting(const std::filesystem::path& path);

}  // namespace firm_platform
