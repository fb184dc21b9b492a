// mfg_records: the records the manufacturing-tool library fills for the
// writer, read field by field at their byte offsets, and the command counts
// that the writer's progress is computed from.
//
// The library's records live in the writer's memory, so their 32-bit words
// are least significant byte first; texts are UTF-16. Only the fields named
// here are read. Stateless; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Operation information buffer (allocated by the writer, filled by the library).
inline constexpr std::size_t MFG_OPINFO_SIZE = 1060;
inline constexpr std::size_t MFG_OPINFO_OFS_OPERATION_ID = 0;
inline constexpr std::size_t MFG_OPINFO_OFS_CONNECTED = 4;

// Phase records: an array of 8 that the writer allocates.
inline constexpr std::size_t MFG_PHASE_RECORD_SIZE = 536;
inline constexpr std::uint32_t MFG_PHASE_MAX_RECORDS = 8;
inline constexpr std::size_t MFG_PHASE_OFS_VENDOR = 524;
inline constexpr std::size_t MFG_PHASE_OFS_PRODUCT = 528;
inline constexpr std::size_t MFG_PHASE_OFS_COMMANDS = 532;
static_assert(MFG_PHASE_OFS_COMMANDS + 4 == MFG_PHASE_RECORD_SIZE);

// Device change record passed to the device-change callback.
inline constexpr std::size_t MFG_DEVICE_OFS_STATE = 532;
inline constexpr std::size_t MFG_DEVICE_RECORD_MIN_SIZE = MFG_DEVICE_OFS_STATE + 4;

// Progress record passed to the progress callback.
inline constexpr std::size_t MFG_PROGRESS_OFS_TEXT = 4;
inline constexpr std::size_t MFG_PROGRESS_TEXT_UNITS = 260;
inline constexpr std::size_t MFG_PROGRESS_OFS_DONE = 524;
inline constexpr std::size_t MFG_PROGRESS_OFS_STATUS = 528;
inline constexpr std::size_t MFG_PROGRESS_OFS_PHASE = 544;
inline constexpr std::size_t MFG_PROGRESS_RECORD_MIN_SIZE = MFG_PROGRESS_OFS_PHASE + 4;
static_assert(MFG_PROGRESS_OFS_TEXT + 2 * MFG_PROGRESS_TEXT_UNITS == MFG_PROGRESS_OFS_DONE);

// Progress record status.
inline constexpr std::uint32_t MFG_PROGRESS_COMMAND_DONE = 1;
inline constexpr std::uint32_t MFG_PROGRESS_RUN_FAILED = 2;

// The two kinds of phase the writer counts: the chip's boot-ROM loader and
// the updater firmware that it loads.
inline constexpr std::uint32_t MFG_LOADER_VENDOR = 0x15A2;
inline constexpr std::uint32_t MFG_LOADER_PRODUCT = 0x0061;
inline constexpr std::uint32_t MFG_UPDATER_VENDOR = 0x066F;

struct MfgOperationInfo {
    std::uint32_t dwOperationId = 0;
    bool bConnected = false;
};

struct MfgPhase {
    std::uint32_t dwVendor = 0;
    std::uint32_t dwProduct = 0;
    std::uint32_t dwCommands = 0;
};

struct MfgProgress {
    std::u16string text;         // up to 260 units, cut at the first NUL
    std::uint32_t dwDone = 0;    // commands done in the current phase
    std::uint32_t dwStatus = 0;  // MFG_PROGRESS_*
    std::uint32_t dwPhase = 0;   // current phase index
};

enum class MfgPresence { Present, Absent, Unknown };

// False when the buffer is shorter than MFG_OPINFO_SIZE.
bool MfgReadOperationInfo(std::span<const unsigned char> buffer, MfgOperationInfo& out);

// The phases the library reported: at most as many as the array holds,
// whatever count it gave.
std::vector<MfgPhase> MfgReadPhases(std::span<const unsigned char> records, std::uint32_t reportedCount);

// False when the record is too short for the state word.
bool MfgReadDeviceState(std::span<const unsigned char> record, std::uint32_t& state);

// States 0, 1 and 4: a board is present; 2, 3 and 5: none. Any other state
// says nothing about the board and leaves the writer's view as it was.
MfgPresence MfgDevicePresence(std::uint32_t state);

// False when the record is too short for its fields.
bool MfgReadProgress(std::span<const unsigned char> record, MfgProgress& out);

bool MfgIsLoaderPhase(const MfgPhase& phase);
bool MfgIsUpdaterPhase(const MfgPhase& phase);

// The run's total: the command counts of every loader and updater phase.
std::uint64_t MfgTotalCommands(const std::vector<MfgPhase>& phases);

// Commands done so far: for each phase before the current one, the count of
// the first record of its kind (phase 0 is the loader phase, every later one
// the updater phase), plus the commands done in the current phase.
std::uint64_t MfgCommandsDone(const std::vector<MfgPhase>& phases, std::uint32_t phaseIndex, std::uint32_t doneInPhase);

// done * 100 / total in integer division, at most 100; total must not be 0.
std::uint32_t MfgProgressPercent(std::uint64_t done, std::uint64_t total);
