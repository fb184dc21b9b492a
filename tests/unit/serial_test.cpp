// Serial channels and their port driver over pseudo-terminals linked into a
// simulated board. A device that accepts nothing is a terminal whose output is stopped.
#include "serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board.h"
#include "commlib.h"
#include "pty_link.h"
#include "test_support.h"

namespace {

using sim::PtyLink;
using testsupport::CountOf;
using testsupport::DebugCapture;
using testsupport::WaitUntil;

// A stream in which a lost, repeated or moved stretch shows.
std::string Pattern(size_t start, size_t count)
{
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        size_t k = start + i;
        out[i] = static_cast<char>(k ^ (k >> 8) ^ (k >> 16));
    }
    return out;
}

const auto Text = [](const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); };

// A channel's owner: records what its callback is told and, unless told not
// to, drains the ring as the system's callbacks do.
struct Owner {
    static void Callback(int channel, DWORD event, LPVOID param)
    {
        Owner* self = static_cast<Owner*>(param);
        char buf[700];
        for (int n; event == SERIAL_EVENT_RECEIVE && self->drain &&
                    (n = Serial_Receive(channel, reinterpret_cast<BYTE*>(buf), sizeof(buf))) > 0;) {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->bytes.append(buf, static_cast<size_t>(n));
        }
        self->failures += event == SERIAL_EVENT_DISC ? 1 : 0;
    }
    std::string Bytes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }

    bool drain = true;
    std::mutex mutex;
    std::string bytes;
    std::atomic<int> failures{0};
};

std::mutex s_writeMutex;
std::vector<int> s_writeSizes;  // the length of every device write begun

void RecordWrite(int, int len)
{
    std::lock_guard<std::mutex> lock(s_writeMutex);
    s_writeSizes.push_back(len);
}

std::vector<int> Writes(bool clear = false)
{
    std::lock_guard<std::mutex> lock(s_writeMutex);
    std::vector<int> sizes = s_writeSizes;
    s_writeSizes.resize(clear ? 0 : sizes.size());
    return sizes;
}

class SerialChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WinEmu_Init());
        CommLib_SetWriteObserverForTest(RecordWrite);
        ASSERT_TRUE(Board_SetRoot(m_root.path().c_str()));
        Serial_Construct();
        ASSERT_TRUE(Serial_Init());
    }
    void TearDown() override
    {
        Serial_Destruct();
        CommLib_SetWriteObserverForTest(nullptr);
        Board_SetRoot(nullptr);
        if (m_flowFd >= 0) {
            close(m_flowFd);
        }
        Writes(true);
    }

    static BOOL Open(int channel, int device, long baud = 38400, int bits = 8, int stop = 1, char parity = 'N')
    {
        SERIAL_OPEN_PARAM param{device, baud, bits, stop, parity};
        return Serial_Open(channel, &param);
    }
    static int Send(int channel, const std::string& bytes)
    {
        return Serial_Send(channel, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    void SetDeviceTaking(const PtyLink& link, bool taking)
    {
        if (m_flowFd < 0) {
            m_flowFd = open(link.slavePath().c_str(), O_RDWR | O_NOCTTY);
        }
        ASSERT_GE(m_flowFd, 0);
        ASSERT_EQ(tcflow(m_flowFd, taking ? TCOON : TCOOFF), 0);
    }

    testsupport::TempDir m_root;
    int m_flowFd = -1;
};

TEST_F(SerialChannel, DeviceNumbersOpenTheUartAndGadgetTtysBelowTheBoardRoot)
{
    PtyLink uart(m_root.path(), "ttymxc0"), gadget(m_root.path(), "ttyGS0");
    Owner radio, usb;
    Serial_SetCallback(0, Owner::Callback, &radio);
    Serial_SetCallback(1, Owner::Callback, &usb);
    ASSERT_TRUE(Open(0, 1) && Open(1, 1000));

    ASSERT_TRUE(uart.Write("to the radio") && gadget.Write("to the PC"));
    EXPECT_TRUE(WaitUntil([&] { return radio.Bytes() == "to the radio" && usb.Bytes() == "to the PC"; }));
    EXPECT_EQ(Send(1, "ok"), 2);
    EXPECT_EQ(Text(gadget.ReadExactly(2, 2000)) + "|" + Text(uart.ReadAvailable(50)), "ok|");
    Serial_Close(0);
    Serial_Close(1);
    EXPECT_EQ(radio.failures + usb.failures, 0) << "a deliberate close is no device failure";
    EXPECT_FALSE(Open(0, 2) || Serial_IsOpened(0));  // ttymxc1 is not there
}

// A pseudo-terminal always keeps 8 bits without parity (the kernel clears
// CSIZE and PARENB on it): only the speed, the stop bits and the parity's
// sense can be read back here.
TEST_F(SerialChannel, LineSettingsFollowTheOpenParametersInRawMode)
{
    PtyLink uart(m_root.path(), "ttymxc0");
    const struct {
        long baud;
        int bits, stop;
        char parity;
        speed_t speed;
        tcflag_t frame;  // CSTOPB and PARODD
    } cases[] = {
        {38400, 8, 1, 'N', B38400, 0}, {31250, 8, 1, 'N', B1200, 0}, {115200, 7, 2, 'e', B115200, CSTOPB},
        {230400, 8, 3, 'o', B230400, PARODD}, {2400, 8, 1, 'O', B2400, PARODD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_TRUE(Open(0, 1, c.baud, c.bits, c.stop, c.parity));
        termios a{};
        ASSERT_TRUE(uart.SlaveAttributes(&a));
        EXPECT_EQ(
            std::make_tuple(cfgetospeed(&a), cfgetispeed(&a), a.c_cflag & (CSTOPB | PARODD | CREAD | CLOCAL | CRTSCTS),
                            a.c_iflag & (IGNPAR | IXON | IXOFF | ICRNL), a.c_oflag & OPOST,
                            a.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), a.c_cc[VMIN], a.c_cc[VTIME]),
            std::make_tuple(c.speed, c.speed, c.frame | CREAD | CLOCAL, tcflag_t(IGNPAR), tcflag_t(0), tcflag_t(0),
                            cc_t(1), cc_t(0)));
        Serial_Close(0);
    }
}

TEST_F(SerialChannel, TransmitRingTakesWhatFitsClosesWhileStuckAndStreamsInOrderInBlocksOfAtMost1434)
{
    PtyLink uart(m_root.path(), "ttymxc0");
    SetDeviceTaking(uart, false);
    ASSERT_TRUE(Open(0, 1));
    EXPECT_EQ(Send(0, Pattern(0, 100000)), SERIAL_TX_BUFF_SIZE);
    ASSERT_TRUE(WaitUntil([] { return Writes().size() == 1; }));  // the transmit thread hangs in it
    const int taken = Send(0, Pattern(0, 3000));
    EXPECT_EQ(std::make_tuple(taken, Serial_GetOutQueueSize(0), Serial_GetOutRemainSize(0)),
              std::make_tuple(SERIAL_BLOCK_SIZE, SERIAL_TX_BUFF_SIZE, 0));
    EXPECT_EQ(Send(0, "x"), 0);

    auto closing = std::async(std::launch::async, [] { Serial_Close(0); });
    bool hung = closing.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
    SetDeviceTaking(uart, true);  // lets a hung close finish, so that the test can end
    closing.wait();
    EXPECT_FALSE(hung) << "Serial_Close hangs while the device accepts nothing";
    EXPECT_FALSE(Serial_IsOpened(0));
    uart.ReadAvailable(0);
    Writes(true);

    // Reopened, with the far end reading while the ring wraps many times.
    ASSERT_TRUE(Open(0, 1));
    const size_t total = 6 * SERIAL_TX_BUFF_SIZE + 777;
    auto reader = std::async(std::launch::async, [&] { return uart.ReadExactly(total, 20000); });
    for (size_t sent = 0; sent < total;) {
        int n = Send(0, Pattern(sent, std::min<size_t>(total - sent, 3001)));
        sent += static_cast<size_t>(n);
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::string got = Text(reader.get());
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == Pattern(0, total)) << "the stream arrived out of order";
    const std::vector<int> sizes = Writes();
    EXPECT_EQ(static_cast<size_t>(std::accumulate(sizes.begin(), sizes.end(), 0)), total);
    EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end(), [](int n) { return n > 0 && n <= SERIAL_BLOCK_SIZE; }));
}

TEST_F(SerialChannel, PulledCableRaisesTheFailureEventOnceAndThePluggedOneReopens)
{
    PtyLink gadget(m_root.path(), "ttyGS0");
    Owner usb;
    Serial_SetCallback(1, Owner::Callback, &usb);
    ASSERT_TRUE(Open(1, 1000, 9600));
    gadget.Pull();
    ASSERT_TRUE(WaitUntil([&] { return usb.failures > 0; }));
    EXPECT_TRUE(Serial_IsOpened(1)) << "the channel stays open until its owner closes it";
    Serial_Close(1);  // joins the receive thread: no later event can come
    EXPECT_EQ(usb.failures, 1);
    EXPECT_FALSE(Open(1, 1000, 9600)) << "nothing to open while the cable is out";

    ASSERT_TRUE(gadget.Plug() && Open(1, 1000, 9600) && gadget.Write("back")) << gadget.error();
    EXPECT_TRUE(WaitUntil([&] { return usb.Bytes() == "back"; }));
    EXPECT_EQ(Send(1, "again"), 5);
    EXPECT_EQ((std::tuple{Text(gadget.ReadExactly(5, 2000)), usb.failures.load()}), std::make_tuple("again", 1));
}

// Bytes of a burst still on their way when the ring was found full may land
// after it was emptied; bytes the driver could not pass on show as its
// overflow warning.
TEST_F(SerialChannel, FullReceiveRingKeepsItsBytesDropsNewOnesAndWarnsOncePerBurst)
{
    PtyLink uart(m_root.path(), "ttymxc0");
    Owner idle;
    idle.drain = false;  // a callback that never empties the ring
    Serial_SetCallback(0, Owner::Callback, &idle);
    DebugCapture capture;
    ASSERT_TRUE(Open(0, 1));
    std::string buf(SERIAL_RX_BUFF_SIZE + 100, '\0');
    auto receiveAll = [&] {
        return Serial_Receive(0, reinterpret_cast<BYTE*>(buf.data()), static_cast<int>(buf.size()));
    };
    for (int burst = 0; burst < 2; ++burst) {
        SCOPED_TRACE(burst);
        ASSERT_TRUE(uart.Write(Pattern(1000, SERIAL_RX_BUFF_SIZE + 3000)));
        ASSERT_TRUE(WaitUntil([] { return Serial_GetInQueueSize(0) == SERIAL_RX_BUFF_SIZE; }));
        ASSERT_EQ(receiveAll(), SERIAL_RX_BUFF_SIZE);
        EXPECT_TRUE(buf.substr(0, SERIAL_RX_BUFF_SIZE) == Pattern(1000, SERIAL_RX_BUFF_SIZE))
            << "the bytes already queued must survive the overflow";
        ASSERT_TRUE(uart.Write("next"));  // an emptied ring takes bytes again
        std::string tail;
        EXPECT_TRUE(WaitUntil([&] {
            tail.append(buf, 0, static_cast<size_t>(receiveAll()));
            return tail.size() >= 4 && tail.compare(tail.size() - 4, 4, "next") == 0;
        }));
    }
    Serial_Close(0);
    // The driver's own ring must keep draining: no overflow warning of its own.
    std::string printed = capture.text();
    EXPECT_EQ(std::make_tuple(CountOf(printed, "WARNING: rx buffer full channel 0, dropping new bytes\n"),
                              CountOf(printed, "WARNING: buffer overflow port")),
              std::make_tuple(2u, 0u))
        << printed;
}

class CommLib : public SerialChannel {
protected:
    void TearDown() override
    {
        for (int slot = 0; slot < COMM_PORT_MAX; ++slot) {
            DestroyCommPort(slot);
        }
        SerialChannel::TearDown();
    }
    static int Create(int device) { return CreateCommPort(device, 38400, 8, 'N', 1, FALSE, FALSE, FALSE); }
};

TEST_F(CommLib, TwoSlotsAreServedAndAThirdIsRefusedUntilOneIsFree)
{
    PtyLink a(m_root.path(), "ttymxc0"), b(m_root.path(), "ttymxc1"), c(m_root.path(), "ttyGS0");
    const int first = Create(1), second = Create(2), third = Create(1000);
    const bool freed = DestroyCommPort(0);
    EXPECT_EQ(std::make_tuple(first, second, third, freed, Create(1000)), std::make_tuple(0, 1, -1, true, 0));
    EXPECT_TRUE(WriteCommBlock(0, "gs", 2));
    EXPECT_EQ(Text(c.ReadExactly(2, 2000)), "gs");
}

}  // namespace
