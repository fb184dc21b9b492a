// mfg_records: see the header.

#include "mfg_records.h"

#include <algorithm>

#include "byte_fields.h"

bool MfgReadOperationInfo(std::span<const unsigned char> buffer, MfgOperationInfo& out)
{
    if (buffer.size() < MFG_OPINFO_SIZE) {
        return false;
    }
    out.dwOperationId = GetLE32(buffer.data() + MFG_OPINFO_OFS_OPERATION_ID);
    out.bConnected = GetLE32(buffer.data() + MFG_OPINFO_OFS_CONNECTED) != 0;
    return true;
}

std::vector<MfgPhase> MfgReadPhases(std::span<const unsigned char> records, std::uint32_t reportedCount)
{
    const std::size_t fit = std::min<std::size_t>(records.size() / MFG_PHASE_RECORD_SIZE, MFG_PHASE_MAX_RECORDS);
    const std::size_t count = std::min<std::size_t>(reportedCount, fit);
    std::vector<MfgPhase> phases(count);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* rec = records.data() + i * MFG_PHASE_RECORD_SIZE;
        phases[i].dwVendor = GetLE32(rec + MFG_PHASE_OFS_VENDOR);
        phases[i].dwProduct = GetLE32(rec + MFG_PHASE_OFS_PRODUCT);
        phases[i].dwCommands = GetLE32(rec + MFG_PHASE_OFS_COMMANDS);
    }
    return phases;
}

bool MfgReadDeviceState(std::span<const unsigned char> record, std::uint32_t& state)
{
    if (record.size() < MFG_DEVICE_RECORD_MIN_SIZE) {
        return false;
    }
    state = GetLE32(record.data() + MFG_DEVICE_OFS_STATE);
    return true;
}

MfgPresence MfgDevicePresence(std::uint32_t state)
{
    switch (state) {
        case 0:
        case 1:
        case 4:
            return MfgPresence::Present;
        case 2:
        case 3:
        case 5:
            return MfgPresence::Absent;
        default:
            return MfgPresence::Unknown;
    }
}

bool MfgReadProgress(std::span<const unsigned char> record, MfgProgress& out)
{
    if (record.size() < MFG_PROGRESS_RECORD_MIN_SIZE) {
        return false;
    }
    const unsigned char* p = record.data();
    out.text.clear();
    for (std::size_t i = 0; i < MFG_PROGRESS_TEXT_UNITS; ++i) {
        char16_t unit = static_cast<char16_t>(GetLE16(p + MFG_PROGRESS_OFS_TEXT + 2 * i));
        if (unit == u'\0') {
            break;
        }
        out.text.push_back(unit);
    }
    out.dwDone = GetLE32(p + MFG_PROGRESS_OFS_DONE);
    out.dwStatus = GetLE32(p + MFG_PROGRESS_OFS_STATUS);
    out.dwPhase = GetLE32(p + MFG_PROGRESS_OFS_PHASE);
    return true;
}

bool MfgIsLoaderPhase(const MfgPhase& phase)
{
    return phase.dwVendor == MFG_LOADER_VENDOR && phase.dwProduct == MFG_LOADER_PRODUCT;
}

bool MfgIsUpdaterPhase(const MfgPhase& phase)
{
    return phase.dwVendor == MFG_UPDATER_VENDOR;
}

std::uint64_t MfgTotalCommands(const std::vector<MfgPhase>& phases)
{
    std::uint64_t total = 0;
    for (const MfgPhase& phase : phases) {
        if (MfgIsLoaderPhase(phase) || MfgIsUpdaterPhase(phase)) {
            total += phase.dwCommands;
        }
    }
    return total;
}

std::uint64_t MfgCommandsDone(const std::vector<MfgPhase>& phases, std::uint32_t phaseIndex, std::uint32_t doneInPhase)
{
    auto firstCount = [&phases](bool (*matches)(const MfgPhase&)) -> std::uint64_t {
        auto it = std::find_if(phases.begin(), phases.end(), matches);
        return it == phases.end() ? 0 : it->dwCommands;
    };
    std::uint64_t done = doneInPhase;
    if (phaseIndex > 0) {
        done += firstCount(MfgIsLoaderPhase);
    }
    if (phaseIndex > 1) {
        // Counted in one step rather than phase by phase: the index comes
        // from the library and is not trusted to be small.
        done += static_cast<std::uint64_t>(phaseIndex - 1) * firstCount(MfgIsUpdaterPhase);
    }
    return done;
}

std::uint32_t MfgProgressPercent(std::uint64_t done, std::uint64_t total)
{
    if (total == 0) {
        return 0;
    }
    if (done >= total) {
        return 100;
    }
    // Below the total, done * 100 cannot overflow: the total is a sum of at
    // most eight 32-bit counts.
    return static_cast<std::uint32_t>(done * 100 / total);
}
