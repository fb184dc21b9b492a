// SettingClient: the PC's setting tool talking to a unit's text command port,
// over the USB console (the PC end of a PtyLink standing for dev/ttyGS0) or
// over a TCP setting connection.
//
// The unit's line rules, on both routes: typed characters are not echoed; at
// every carriage return or line feed the unit sends "\r\n" back and then runs
// the line, whose reply lines each end in "\r\n". There is no prompt, so a
// reply ends where the caller says: after a number of lines, at a line that
// starts with a given text, or when the unit has been quiet for a while.
//
// Written on plain POSIX calls, independent of the daemon. No threads of its
// own; one test thread uses a client at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class PtyLink;

// When a reply counts as complete.
struct ReplyEnd {
    int lines = 0;           // this many "\r\n" lines after the echo (0: not used)
    std::string lastPrefix;  // or a line starting with this text (empty: not used)
    int quietMs = 150;       // otherwise: this long without a byte
    int timeoutMs = 3000;    // give up after this long in any case
};

struct SettingReply {
    std::string raw;                 // every byte that came after the line was sent
    std::string text;                // raw without the leading "\r\n" line-end echo
    std::vector<std::string> lines;  // the complete lines of text, without "\r\n"
    bool echoed = false;             // raw began with the "\r\n" echo
    bool complete = false;           // the ReplyEnd condition was met (a quiet end counts)
};

class SettingClient {
public:
    // The USB console through a PtyLink's master; the link may be pulled and
    // plugged again in between (the client always uses its current master).
    explicit SettingClient(PtyLink& usb);
    // A TCP setting connection to host (dotted IPv4) and port.
    SettingClient(const std::string& host, uint16_t port, int connectTimeoutMs = 2000);
    // Any stream descriptor; owned (closed at the end) when own is true.
    SettingClient(int fd, bool own);
    ~SettingClient();
    SettingClient(const SettingClient&) = delete;
    SettingClient& operator=(const SettingClient&) = delete;

    bool connected() const { return Fd() >= 0; }
    void Close();

    // Sends bytes as they are.
    bool Send(std::string_view bytes);
    // Sends line + terminator and collects the reply until `end`.
    SettingReply Command(std::string_view line, const ReplyEnd& end = {}, std::string_view terminator = "\r");
    // Collects bytes until `end` without sending anything (the echo counts as in Command).
    SettingReply Collect(const ReplyEnd& end);
    // Reads until the received text ends with suffix, or timeoutMs; what came.
    std::string ReadUntil(std::string_view suffix, int timeoutMs);
    // Reads until quietMs pass without a byte (or timeoutMs in all); what came.
    std::string ReadQuiet(int quietMs, int timeoutMs);
    // Drops whatever is waiting.
    void Drain();

    // Splits a reply into its result parts (exposed for tests of the rules).
    static SettingReply Split(const std::string& raw);

private:
    int Fd() const;
    // One read of what is available, waiting up to waitMs; false when the peer is gone.
    bool ReadSome(std::string* out, int waitMs);

    PtyLink* m_link = nullptr;
    int m_fd = -1;
    bool m_own = false;
    bool m_gone = false;
};

}  // namespace sim
