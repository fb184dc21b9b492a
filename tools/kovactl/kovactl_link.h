// kovactl_link: the byte channel between kovactl and a unit: the PC end of
// the board's USB gadget serial port (a tty such as /dev/ttyACM0), or a TCP
// connection to the unit's setting port. It opens, sends whole buffers with a
// deadline, receives what is there within a wait, drops stale input, closes.
//
// Threads: one caller at a time per link; no state outside the CtlLink
// record, no locks.
#pragma once

#include <cstdint>
#include <string>

// The rate the unit opens its end of the USB gadget port with (8N1).
inline constexpr int CTL_DEFAULT_BAUD = 9600;
// The unit's setting port as the configuration defaults set it.
inline constexpr uint16_t CTL_DEFAULT_SETTING_PORT = 21002;

struct CtlLink {
    int fd = -1;
    bool bSerial = false;
    std::string name;  // the device path or "host:port", for messages
};

// Result of one receive.
enum class CtlRx { DATA, TIMEOUT, CLOSED };

// True for a baud rate kovactl can set (1200 to 230400, standard steps).
bool CtlIsSupportedBaud(int baud);
// Opens a serial device raw at baud, 8 data bits, no parity, 1 stop bit, no
// flow control, with pending input dropped; false with the reason in *error.
bool CtlOpenSerial(const std::string& path, int baud, CtlLink* link, std::string* error);
// Connects to host:port within timeoutMs; false with the reason in *error.
bool CtlOpenTcp(const std::string& host, uint16_t port, int timeoutMs, CtlLink* link, std::string* error);
// Closes the channel (no-op when not open).
void CtlClose(CtlLink* link);
// Sends every byte within timeoutMs; false with the reason in *error.
bool CtlSend(const CtlLink& link, const std::string& bytes, int timeoutMs, std::string* error);
// Waits up to waitMs for input and appends what is there to *out.
CtlRx CtlReceive(const CtlLink& link, std::string* out, int waitMs);
// Drops input that has already arrived (left over from an earlier reply).
void CtlDrain(const CtlLink& link);
