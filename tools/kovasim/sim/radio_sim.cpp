// RadioSim: the simulated repeater radio (see radio_sim.h). Owns a reader
// thread and an optional keep-alive thread; m_writeLock serialises every
// write and guards the descriptor, m_lock guards the collected frames.
#include "radio_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "pty_link.h"

namespace sim {

namespace {

constexpr int WRITE_TIMEOUT_MS = 5000;
constexpr size_t READ_CHUNK = 4096;

bool PollFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int ret;
    do {
        ret = poll(&p, 1, timeoutMs);
    } while (ret < 0 && errno == EINTR);
    return ret > 0 && (p.revents & events) != 0;
}

void SleepMs(int ms)
{
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

}  // namespace

RadioSim::RadioSim(int fd) : m_fd(fd)
{
    Start();
}

RadioSim::RadioSim(PtyLink& link) : m_link(&link), m_fd(link.master())
{
    Start();
}

RadioSim::~RadioSim()
{
    Stop();
}

bool RadioSim::Start()
{
    if (m_reader.joinable()) {
        return true;
    }
    int fd;
    {
        std::lock_guard<std::mutex> guard(m_writeLock);
        fd = m_fd;
    }
    if (fd < 0 || pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    m_reader = std::thread(&RadioSim::ReaderLoop, this, fd, m_wake[0]);
    return true;
}

void RadioSim::Stop()
{
    StopKeepAlive();
    StopReader();
}

void RadioSim::StopReader()
{
    if (!m_reader.joinable()) {
        return;
    }
    char wake = 1;
    (void)!write(m_wake[1], &wake, 1);
    m_reader.join();
    close(m_wake[0]);
    close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
}

void RadioSim::Pull()
{
    StopReader();  // before the descriptor goes, so it is never read after close
    std::lock_guard<std::mutex> guard(m_writeLock);
    m_fd = -1;
    if (m_link) {
        m_link->Pull();
    }
}

bool RadioSim::Plug()
{
    if (!m_link || !m_link->Plug()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_writeLock);
        m_fd = m_link->master();
    }
    return Start();
}

// --- Reader ---------------------------------------------------------------------

void RadioSim::ReaderLoop(int fd, int wakeFd)
{
    uint8_t buf[READ_CHUNK];
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int ret = poll(p, 2, -1);
        if (ret < 0 && errno == EINTR) {
            continue;
        }
        if (ret < 0 || p[1].revents != 0) {
            return;
        }
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return;  // the other end is gone
        }
        std::vector<Frame> done;
        std::lock_guard<std::mutex> guard(m_lock);
        m_collector.Feed(buf, static_cast<size_t>(n), radio::Clock::now(), &done);
        if (!done.empty()) {
            for (Frame& f : done) {
                m_frames.push_back(std::move(f));
            }
            m_arrived.notify_all();
        }
    }
}

// --- Sending --------------------------------------------------------------------

bool RadioSim::WriteAll(const uint8_t* data, size_t length)
{
    // Caller holds m_writeLock.
    if (m_fd < 0) {
        return false;
    }
    auto deadline = radio::Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
    while (length > 0) {
        ssize_t n = write(m_fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - radio::Clock::now()).count();
        if (left <= 0 || !PollFor(m_fd, POLLOUT, static_cast<int>(left))) {
            return false;
        }
    }
    return true;
}

bool RadioSim::SendRaw(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> guard(m_writeLock);
    return WriteAll(bytes.data(), bytes.size());
}

bool RadioSim::SendRaw(std::string_view bytes)
{
    std::lock_guard<std::mutex> guard(m_writeLock);
    return WriteAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool RadioSim::SendChunked(const std::vector<uint8_t>& bytes, size_t chunk, int gapMs)
{
    // The whole sequence holds the write lock so no keep-alive frame lands inside it.
    std::lock_guard<std::mutex> guard(m_writeLock);
    chunk = chunk ? chunk : 1;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        if (at) {
            SleepMs(gapMs);
        }
        size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
        if (!WriteAll(bytes.data() + at, n)) {
            return false;
        }
    }
    return true;
}

bool RadioSim::SendFrame(char command, std::string_view param)
{
    return SendRaw(radio::Encode(command, param));
}

bool RadioSim::SendVersionCheck(const radio::RadioIdentity& identity)
{
    return SendFrame('V', radio::VersionCheckParam(identity));
}

bool RadioSim::SendCodeTable(const radio::CodeTable& table)
{
    return SendFrame('I', radio::CodeTableParam(table));
}

bool RadioSim::SendStatus(const radio::RadioStatus& status, char command)
{
    return SendFrame(command, radio::StatusParam(status));
}

bool RadioSim::SendPlay(int slot, char command)
{
    return SendFrame(command, radio::PlayParam(slot));
}

bool RadioSim::Identify(const radio::RadioIdentity& identity, const radio::CodeTable& table, int timeoutMs)
{
    return SendVersionCheck(identity) && WaitFor('V', timeoutMs) && SendCodeTable(table) && WaitFor('I', timeoutMs);
}

std::vector<std::string> RadioSim::TransmissionParams(const Transmission& t)
{
    std::vector<std::string> params;
    radio::VoiceHeader h;
    h.group = t.group;
    h.fich = static_cast<uint32_t>(t.code) & 0x7F;
    h.counter = t.counter;
    unsigned seed = t.counter;
    if (t.header) {
        h.type = t.headerType;
        params.push_back(radio::VoiceParam(h, radio::Payload(t.payloadSize, seed++)));
    }
    h.type = t.idType;  // same counter as the header: one transmission
    params.push_back(radio::VoiceParam(h, radio::Payload(t.payloadSize, seed++)));
    for (int i = 0; i < t.voiceFrames; ++i) {
        h.type = static_cast<char>('0' + i % 4);
        h.counter = static_cast<uint16_t>(h.counter + 1);
        params.push_back(radio::VoiceParam(h, radio::Payload(t.payloadSize, seed++)));
    }
    h.type = 'T';
    h.counter = static_cast<uint16_t>(h.counter + 1);
    params.push_back(radio::VoiceParam(h, radio::Payload(t.payloadSize, seed++)));
    return params;
}

std::vector<std::string> RadioSim::RecordingParams(const Recording& r)
{
    std::vector<std::string> params;
    uint32_t fich = static_cast<uint32_t>(r.code) & 0x7F;
    uint16_t counter = r.counter;
    unsigned seed = r.counter;
    params.push_back(radio::RecordParam('I', r.slot, counter, fich, radio::Payload(r.payloadSize, seed++)));
    for (int i = 0; i < r.voiceFrames; ++i) {
        counter = static_cast<uint16_t>(counter + 1);
        char type = static_cast<char>('0' + i % 4);
        params.push_back(radio::RecordParam(type, r.slot, counter, fich, radio::Payload(r.payloadSize, seed++)));
    }
    counter = static_cast<uint16_t>(counter + 1);
    params.push_back(radio::RecordParam('T', r.slot, counter, fich, radio::Payload(r.payloadSize, seed++)));
    return params;
}

bool RadioSim::SendTransmission(const Transmission& t)
{
    std::vector<std::string> params = TransmissionParams(t);
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) {
            SleepMs(t.spacingMs);
        }
        if (!SendFrame(t.command, params[i])) {
            return false;
        }
    }
    return true;
}

bool RadioSim::SendRecording(const Recording& r)
{
    std::vector<std::string> params = RecordingParams(r);
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) {
            SleepMs(r.spacingMs);
        }
        if (!SendFrame('R', params[i])) {
            return false;
        }
    }
    return true;
}

// --- Keep-alive -----------------------------------------------------------------

void RadioSim::StartKeepAlive(int intervalMs, const radio::RadioStatus& status)
{
    StopKeepAlive();
    {
        std::lock_guard<std::mutex> guard(m_keepAliveLock);
        m_keepAliveStop = false;
    }
    m_keepAlive = std::thread(&RadioSim::KeepAliveLoop, this, intervalMs, status);
}

void RadioSim::StopKeepAlive()
{
    if (!m_keepAlive.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_keepAliveLock);
        m_keepAliveStop = true;
    }
    m_keepAliveWake.notify_all();
    m_keepAlive.join();
}

void RadioSim::KeepAliveLoop(int intervalMs, radio::RadioStatus status)
{
    auto next = radio::Clock::now();
    std::unique_lock<std::mutex> lock(m_keepAliveLock);
    while (!m_keepAliveStop) {
        lock.unlock();
        SendStatus(status, 'C');  // fails quietly while the cable is pulled
        lock.lock();
        next += std::chrono::milliseconds(intervalMs);
        m_keepAliveWake.wait_until(lock, next, [this] { return m_keepAliveStop; });
    }
}

// --- Collecting -----------------------------------------------------------------

std::vector<RadioSim::Frame> RadioSim::Frames() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_frames;
}

size_t RadioSim::FrameCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_frames.size();
}

std::vector<RadioSim::Frame> RadioSim::FramesSince(size_t from) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (from >= m_frames.size()) {
        return {};
    }
    return std::vector<Frame>(m_frames.begin() + static_cast<long>(from), m_frames.end());
}

size_t RadioSim::StrayBytes() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_collector.strayBytes();
}

void RadioSim::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_frames.clear();
    m_cursor = 0;
}

std::optional<RadioSim::Frame> RadioSim::WaitFor(char command, int timeoutMs)
{
    return WaitFor([command](const Frame& f) { return f.command == command; }, timeoutMs);
}

std::optional<RadioSim::Frame> RadioSim::WaitFor(const Predicate& match, int timeoutMs)
{
    auto deadline = radio::Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_lock);
    size_t scanned = m_cursor;
    for (;;) {
        if (scanned > m_frames.size()) {
            scanned = m_cursor;  // cleared meanwhile
        }
        for (; scanned < m_frames.size(); ++scanned) {
            if (match(m_frames[scanned])) {
                m_cursor = scanned + 1;
                return m_frames[scanned];
            }
        }
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout && scanned == m_frames.size()) {
            return std::nullopt;
        }
    }
}

bool RadioSim::WaitForCount(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
}

size_t RadioSim::cursor() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cursor;
}

void RadioSim::SetCursor(size_t index)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_cursor = index;
}

}  // namespace sim
