// RadioSim: the repeater radio at the far end of the unit's serial line.
//
// It identifies itself ('V' version check, then its 'I' code table), sends
// status reports ('C', and 'P' which the unit always logs), keeps the line
// alive with a periodic 'C' report, transmits voice transmissions as 'G'/'g'
// frames (header, identification, voice, end), asks for recordings ('R') and
// playback ('L'/'l'), injects raw bytes for receiver tests, and collects every
// frame the unit sends with its arrival time and its validity.
//
// Works over any descriptor (a pseudo-terminal master, one end of a socket
// pair) or over a PtyLink, whose cable it can pull and plug again. It uses
// its own frame codec (radio_frame.h) and nothing of the daemon.
//
// Threads: a reader thread collects frames; a keep-alive thread sends the
// periodic report while it runs. Public methods may be called from any test
// thread; writes are serialised by m_writeLock so frames never interleave,
// and the collected frames are guarded by m_lock (m_writeLock is never taken
// while m_lock is held).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "radio_frame.h"

namespace sim {

class PtyLink;

// One radio transmission as the radio sends it to the unit.
struct Transmission {
    char command = 'G';         // 'G' channel A, 'g' channel B
    std::string group = "  ";   // "  " none, "**" all groups, "05" group 5
    int code = 0;               // code number (low 7 bits of FICH)
    uint16_t counter = 0x0100;  // counter of the header and identification frames; voice frames count on
    int voiceFrames = 5;        // '0'-'3' frames between identification and end
    size_t payloadSize = 40;    // payload bytes after each 15-character head
    int spacingMs = 20;         // pause between frames
    bool header = true;         // send the header frame before the identification
    char headerType = 'H';      // 'H' or 'h'
    char idType = 'I';          // 'I' or 'i'
};

// A recording request: the frames of one recording into a slot.
struct Recording {
    int slot = 1;
    int code = 0;
    uint16_t counter = 0x0200;
    int voiceFrames = 5;
    size_t payloadSize = 40;
    int spacingMs = 20;
};

class RadioSim {
public:
    using Frame = radio::Frame;
    using Predicate = std::function<bool(const Frame&)>;

    // Over a descriptor the caller owns and keeps open until Stop().
    explicit RadioSim(int fd);
    // Over a PtyLink's master; the link must outlive the simulator.
    explicit RadioSim(PtyLink& link);
    ~RadioSim();
    RadioSim(const RadioSim&) = delete;
    RadioSim& operator=(const RadioSim&) = delete;

    // Starts the reader thread (the constructors do this); false if the descriptor is closed.
    bool Start();
    // Stops the keep-alive and the reader; the collected frames stay.
    void Stop();

    // Pulls the PtyLink's cable (the reader stops first) and plugs a new one.
    void Pull();
    bool Plug();

    // --- Sending ---------------------------------------------------------------
    // Writes raw bytes in one go (garbage, partial frames, hand-made frames).
    bool SendRaw(const std::vector<uint8_t>& bytes);
    bool SendRaw(std::string_view bytes);
    // Writes bytes in pieces of chunk bytes with gapMs between pieces.
    bool SendChunked(const std::vector<uint8_t>& bytes, size_t chunk, int gapMs);
    // One well-formed frame.
    bool SendFrame(char command, std::string_view param);
    bool SendVersionCheck(const radio::RadioIdentity& identity = {});
    bool SendCodeTable(const radio::CodeTable& table = {});
    // 'C' report (status) or 'P' report (always logged by the unit).
    bool SendStatus(const radio::RadioStatus& status = {}, char command = 'C');
    // A play request: 'L' channel A, 'l' channel B.
    bool SendPlay(int slot, char command = 'L');

    // Identification: 'V', wait for its answer, 'I', wait for its answer.
    // True when both answers came within timeoutMs each.
    bool Identify(const radio::RadioIdentity& identity = {}, const radio::CodeTable& table = {}, int timeoutMs = 3000);

    // The parameter areas of a transmission / recording, in sending order.
    static std::vector<std::string> TransmissionParams(const Transmission& t);
    static std::vector<std::string> RecordingParams(const Recording& r);
    // Sends them with the configured spacing ('G'/'g' or 'R' frames).
    bool SendTransmission(const Transmission& t);
    bool SendRecording(const Recording& r);

    // Sends `status` as a 'C' report every intervalMs until StopKeepAlive.
    void StartKeepAlive(int intervalMs = 1000, const radio::RadioStatus& status = {});
    void StopKeepAlive();

    // --- Collecting --------------------------------------------------------------
    // Every frame the unit sent so far, in arrival order.
    std::vector<Frame> Frames() const;
    size_t FrameCount() const;
    // Frames from index `from` on.
    std::vector<Frame> FramesSince(size_t from) const;
    // Bytes that belonged to no frame.
    size_t StrayBytes() const;
    // Forgets collected frames and rewinds the wait cursor.
    void Clear();

    // The first frame at or after the wait cursor matching the predicate (or
    // command letter), waiting up to timeoutMs; the cursor moves past it.
    // nullopt when none came; the cursor then stays.
    std::optional<Frame> WaitFor(char command, int timeoutMs);
    std::optional<Frame> WaitFor(const Predicate& match, int timeoutMs);
    // Waits until at least count frames were collected in all.
    bool WaitForCount(size_t count, int timeoutMs);
    // Index of the next frame WaitFor will look at.
    size_t cursor() const;
    void SetCursor(size_t index);

private:
    void StopReader();
    void ReaderLoop(int fd, int wakeFd);
    void KeepAliveLoop(int intervalMs, radio::RadioStatus status);
    bool WriteAll(const uint8_t* data, size_t length);

    PtyLink* m_link = nullptr;
    std::mutex m_writeLock;
    int m_fd = -1;  // guarded by m_writeLock; -1 while the cable is pulled
    int m_wake[2] = {-1, -1};
    std::thread m_reader;

    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Frame> m_frames;
    radio::FrameCollector m_collector;
    size_t m_cursor = 0;

    std::mutex m_keepAliveLock;
    std::condition_variable m_keepAliveWake;
    bool m_keepAliveStop = false;
    std::thread m_keepAlive;
};

}  // namespace sim
