// demo: `kovasim demo`, two simulated units linked over loopback. It makes
// two boards, starts a unit and a simulated radio on each, links the units
// (each one's target 1 is 127.0.0.1, and each sends to the port the other
// receives on), lets radio A transmit one voice transmission and radio B
// answer with one; then radio A records a short transmission into a slot
// and has unit A play it back on channel A. It prints a timeline of what the
// radios sent and heard, what the units relayed (from their own output), the
// radio-to-radio latency of every frame, the unit's answers to the recording
// and the play request, each played-back frame's offset beside its recorded
// one, and what `status 1` and the LEDs showed before, during and after the
// exchange. Everything it started and made is gone when it returns.
//
// Runs on the calling thread (which must be the one that outlives the unit
// processes); a sender thread per transmission and the LED watcher run
// beside it.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

namespace kovasim {

struct DemoOptions {
    std::string binary;    // the daemon
    int voiceFrames = 6;   // voice frames between identification and end
    int spacingMs = 20;    // between frames, as a radio sends them
    int code = 5;          // code number of the frames, admitted by both radios
    bool verbose = false;  // every line of the units' output in the timeline
    std::string keepDir;   // copy both board roots here at the end ("" = no)
    int slow = 1;          // multiplies every wait (sanitizer builds)
};

// Runs the demo; 0 when every frame arrived in order both ways and every
// recorded frame came back in order, else 1.
// `stop` (set by a signal) ends it early, cleaning up as usual.
int RunDemo(const DemoOptions& options, std::ostream& out, const std::atomic<bool>& stop);

}  // namespace kovasim
