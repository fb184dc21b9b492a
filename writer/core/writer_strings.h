// writer_strings: the writer's string table (the texts its message boxes,
// menu and open dialog show), shared by the Windows program and kovafw so
// that both say the same thing about a package. Stateless; any thread.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t IDS_ABOUTBOX = 101;
inline constexpr std::uint32_t IDS_COM_INIT_FAILED = 102;
inline constexpr std::uint32_t IDS_LIBRARY_INIT_FAILED = 103;
inline constexpr std::uint32_t IDS_START_FAILED = 104;
inline constexpr std::uint32_t IDS_UPDATE_COMPLETED = 105;
inline constexpr std::uint32_t IDS_UPDATE_FAILED = 106;
inline constexpr std::uint32_t IDS_FOLDER_INIT_FAILED = 107;
inline constexpr std::uint32_t IDS_FILE_LOAD_ERROR = 108;
inline constexpr std::uint32_t IDS_DEFAULT_EXTENSION = 109;
inline constexpr std::uint32_t IDS_FILE_FILTER = 110;
inline constexpr std::uint32_t IDS_FILE_READ_ERROR = 111;
inline constexpr std::uint32_t IDS_FILE_WRITE_ERROR = 112;
inline constexpr std::uint32_t IDS_CHECKSUM_ERROR = 113;
inline constexpr std::uint32_t IDS_NOT_FIRMWARE = 114;

// The text of a string id; null for an id not in the table.
const char* WriterString(std::uint32_t id);

// The message shown for an extractor status (IDS_FILE_READ_ERROR ...
// IDS_NOT_FIRMWARE); 0 for success or an unknown status.
std::uint32_t FirmStatusStringId(std::uint32_t status);
