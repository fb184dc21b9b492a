// The USB gadget serial port over a pseudo-terminal standing in for the PC.
#include "usbfunc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board.h"
#include "pty_link.h"
#include "serial.h"
#include "test_support.h"

namespace {

using sim::PtyLink;
using testsupport::TempDir;
using testsupport::WaitUntil;

constexpr int GADGET = 1000;  // device number of /dev/ttyGS0

std::vector<uint8_t> Pattern(size_t count)
{
    std::vector<uint8_t> out(count);
    for (size_t k = 0; k < count; ++k) {
        out[k] = static_cast<uint8_t>(k ^ (k >> 8) ^ (k >> 16));
    }
    return out;
}

// The port's owner, which reopens the port on a failure the way the unit does.
struct Owner {
    static void Callback(DWORD event, BYTE* data, int length, LPVOID param)
    {
        Owner* self = static_cast<Owner*>(param);
        if (event == USBFUNC_EVENT_DETACH) {
            USBFUNC_SetCallback(nullptr, nullptr);
            USBFUNC_Close();
            USBFUNC_SetCallback(Callback, self);
            BOOL reopened = USBFUNC_Open(GADGET);
            std::lock_guard<std::mutex> lock(self->mutex);
            self->detachThreads.push_back(std::this_thread::get_id());
            self->reopened = reopened != FALSE;
            return;
        }
        std::lock_guard<std::mutex> lock(self->mutex);
        if (event == USBFUNC_EVENT_RX) {
            self->largestBlock = std::max(self->largestBlock, length);
            self->bytes.insert(self->bytes.end(), data, data + length);
        }
    }
    size_t ByteCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }

    std::mutex mutex;
    std::vector<uint8_t> bytes;
    int largestBlock = 0;
    std::vector<std::thread::id> detachThreads;
    bool reopened = false;
};

class UsbPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WinEmu_Init());
        ASSERT_TRUE(Board_SetRoot(m_root.path().c_str()));
        Serial_Construct();
        ASSERT_TRUE(Serial_Init());
        USBFUNC_Construct();
        ASSERT_TRUE(m_host.plugged()) << m_host.error();
        USBFUNC_SetCallback(Owner::Callback, &m_owner);
        ASSERT_TRUE(USBFUNC_Open(GADGET));
    }
    void TearDown() override
    {
        SetHostReading(true);
        USBFUNC_SetCallback(nullptr, nullptr);
        USBFUNC_Destruct();
        Serial_Destruct();
        Board_SetRoot(nullptr);
        if (m_flowFd >= 0) {
            close(m_flowFd);
        }
    }
    // A stopped terminal takes no bytes: a device write blocks until restarted.
    void SetHostReading(bool reading)
    {
        if (m_flowFd < 0) {
            m_flowFd = open(m_host.slavePath().c_str(), O_RDWR | O_NOCTTY);
        }
        ASSERT_GE(m_flowFd, 0);
        ASSERT_EQ(tcflow(m_flowFd, reading ? TCOON : TCOOFF), 0);
    }

    std::future<BOOL> SendToStoppedHost(const std::vector<uint8_t>& bytes)
    {
        SetHostReading(false);
        return std::async(std::launch::async,
                          [&bytes] { return USBFUNC_Send(bytes.data(), static_cast<int>(bytes.size())); });
    }

    TempDir m_root;
    PtyLink m_host{m_root.path(), "ttyGS0"};
    Owner m_owner;
    int m_flowFd = -1;
};

TEST(UsbGadget, InitLoadsTheGadgetDriverWithTheUnitsIdentityThroughTheBoard)
{
    TempDir root;
    ASSERT_TRUE(Board_SetRoot(root.path().c_str()));
    EXPECT_TRUE(USBFUNC_Init());
    Board_SetRoot(nullptr);
    EXPECT_EQ(testsupport::ReadFileText(root.file("var/log/board-commands.log")),
              "modprobe g_serial.ko idVendor=0x1209 idProduct=0x0001 iProduct=\"KOVA-LAN\" "
              "iManufacturer=\"Varnoth Denki\"\n");
}

TEST_F(UsbPort, ReceivedBytesReachTheCallbackInOrderInBlocksOfAtMost256)
{
    std::vector<uint8_t> typed = Pattern(3000);
    ASSERT_TRUE(m_host.Write(typed) && WaitUntil([&] { return m_owner.ByteCount() >= typed.size(); }));
    {
        std::lock_guard<std::mutex> lock(m_owner.mutex);
        EXPECT_TRUE(m_owner.bytes == typed && m_owner.largestBlock <= USBFUNC_RX_BLOCK) << m_owner.largestBlock;
    }
    const std::vector<uint8_t> reply = {'O', 'K', '\r', '\n'};
    EXPECT_TRUE(USBFUNC_Send(reply.data(), 4));
    EXPECT_EQ(m_host.ReadExactly(4, 2000), reply);
}

// The clock moves in 100 ms steps until the send gives up: by then at least
// 10 s of ticks have passed since before it began, and not much more.
TEST_F(UsbPort, StalledHostMakesASendGiveUpAfterTenSecondsOfTicks)
{
    const std::vector<uint8_t> reply = Pattern(1000000);
    const DWORD before = GetTickCount();
    auto send = SendToStoppedHost(reply);
    for (DWORD moved = 0; send.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready && moved < 15000;
         moved += 100) {
        WinEmu_AdvanceTicksForTest(100);
    }
    ASSERT_EQ(send.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "still waiting after 15 s";
    EXPECT_EQ(std::make_tuple(send.get(), GetTickCount() - before >= 10000u), std::make_tuple(FALSE, true));
}

TEST_F(UsbPort, SendWaitingForSpaceCompletesOnceTheHostReadsAgain)
{
    const std::vector<uint8_t> reply = Pattern(400000);
    auto send = SendToStoppedHost(reply);
    ASSERT_TRUE(WaitUntil([] { return Serial_GetOutRemainSize(USB_SERIAL_PORT) == 0; }));
    SetHostReading(true);
    std::vector<uint8_t> got = m_host.ReadExactly(reply.size(), 20000);
    ASSERT_EQ(send.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(send.get() && got == reply) << "got " << got.size() << " bytes, not the reply in order";
}

TEST_F(UsbPort, PulledCableFailsSendsAndReachesTheOwnerOnceFromTheIdleStepThatReopensIt)
{
    m_host.Pull();
    const BYTE probe[] = {'?'};
    ASSERT_TRUE(WaitUntil([&] { return !USBFUNC_Send(probe, 1); })) << "sends go on after the cable went";

    ASSERT_TRUE(m_host.Plug()) << m_host.error();  // the PC enumerates the gadget again
    USBFUNC_OnIdle();
    USBFUNC_OnIdle();
    {
        std::lock_guard<std::mutex> lock(m_owner.mutex);  // told on the idle step's thread, not the receive thread
        EXPECT_EQ(std::make_tuple(m_owner.detachThreads, m_owner.reopened),
                  std::make_tuple(std::vector<std::thread::id>{std::this_thread::get_id()}, true));
    }
    ASSERT_TRUE(m_host.Write("vers\r") && WaitUntil([&] { return m_owner.ByteCount() >= 5; }));
    EXPECT_TRUE(USBFUNC_Send(probe, 1) && m_host.ReadExactly(1, 2000) == std::vector<uint8_t>({'?'}));

    // A closed port fails a send without touching the channel.
    USBFUNC_Close();
    testsupport::DebugCapture capture;
    EXPECT_EQ((std::tuple{USBFUNC_Send(probe, 0), USBFUNC_Send(probe, 1), capture.text().find("WARNING")}),
              std::make_tuple(TRUE, FALSE, std::string::npos));
}

}  // namespace
