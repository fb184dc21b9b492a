// run: `kovasim run DIR`, one unit on a board root with a simulated radio on
// its serial line and the console on its USB port. The unit's output is
// printed as it comes, with the frames the unit sends to its radio; lines
// typed on standard input go to the unit's console (its replies are
// printed), and a few `!` lines drive the radio. SIGINT or SIGTERM stops the
// unit with SIGTERM and waits for its exit.
//
// Runs on the calling thread, which must outlive the unit process. A lock
// file in the root (var/run/kovasim.lock) keeps a second run off the same
// root.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

namespace kovasim {

struct RunOptions {
    std::string root;
    std::string binary;
    int code = -1;  // -1: the radio admits every code and transmits code 5; else only this code
    int slow = 1;
    std::string consolePath;  // offer the console here for kovactl -d (then typed lines do not go to it)
};

// 0 when the unit ran and stopped cleanly; 1 otherwise.
int RunUnit(const RunOptions& options, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop);

}  // namespace kovasim
