// relay_check: judges one relayed radio transmission. Given the frames one
// radio sent (parameter areas with their send times) and the frames the far
// radio received, it says which of the frames that ought to arrive did,
// whether they came in order, intact and on the right channel, which did
// not, and what each one's radio-to-radio latency was. The same judge serves
// a played-back recording: the frames the radio recorded must come back as
// 'F' frames in order, and their spacing is set beside the recorded one.
//
// A unit holds a transmission's header until the identification frame
// arrives and, when the two carry the same counter, sends the
// identification in the header's place: the far radio hears the
// identification, the voice frames and the end, but not the header.
//
// Pure functions on the harness's frame codec; no threads, no state.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "radio_frame.h"

namespace kovasim {

using Clock = std::chrono::steady_clock;

// A frame as the sending radio wrote it.
struct SentFrame {
    char command = 'G';  // 'G' channel A, 'g' channel B
    std::string param;   // the voice-data area
    Clock::time_point sent{};
};

// The indexes of the sent frames that the far radio should hear, in order.
std::vector<size_t> FramesToRelay(const std::vector<SentFrame>& sent);

struct RelayedFrame {
    size_t sentIndex = 0;
    bool arrived = false;
    long latencyUs = -1;  // from the send to the last byte at the far radio
    Clock::time_point arrival{};
};

struct RelayReport {
    std::vector<RelayedFrame> frames;   // one per frame to relay, in sending order
    std::vector<std::string> problems;  // empty when everything arrived in order
    bool ok() const { return problems.empty(); }
    size_t arrivedCount() const;
};

// Compares what was sent with the frames the far radio got (in arrival
// order; frames other than 'F'/'f' are ignored).
RelayReport CheckRelay(const std::vector<SentFrame>& sent, const std::vector<sim::radio::Frame>& received);

// A played-back frame's time since the first frame that came back, beside
// the time between the two when they were recorded.
struct PlayedOffset {
    size_t sentIndex = 0;
    double playedMs = 0;
    double recordedMs = 0;
};

// One per arrived frame of the report, in recording order; none when
// nothing came back. `recorded` is what CheckRelay judged the report on.
std::vector<PlayedOffset> PlaybackOffsets(const std::vector<SentFrame>& recorded, const RelayReport& report);

// "identification I, counter 0100" for a voice-data area.
std::string DescribeVoice(const std::string& param);

}  // namespace kovasim
