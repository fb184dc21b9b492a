// The USB gadget serial port over a pseudo-terminal standing in for the PC:
// the driver load command, received bytes, sending to a host that stops
// reading (on the test clock), and a pulled cable reported once, from the
// idle step, and reopened there.
#include "usbfunc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "pty_link.h"
#include "serial.h"
#include "test_support.h"

namespace {

using sim::PtyLink;
using testsupport::DebugCapture;
using testsupport::ReadFileText;
using testsupport::TempDir;

constexpr int GADGET = 1000;  // device number of /dev/ttyGS0

std::vector<uint8_t> Pattern(size_t count)
{
    std::vector<uint8_t> out(count);
    for (size_t k = 0; k < count; ++k) {
        out[k] = static_cast<uint8_t>(k ^ (k >> 8) ^ (k >> 16));
    }
    return out;
}

template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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
    size_t Detaches()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return detachThreads.size();
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
    }
    void TearDown() override
    {
        USBFUNC_SetCallback(nullptr, nullptr);
        USBFUNC_Destruct();
        Serial_Destruct();
        Board_SetRoot(nullptr);
    }
    bool OpenWithOwner()
    {
        USBFUNC_SetCallback(Owner::Callback, &m_owner);
        return USBFUNC_Open(GADGET) != FALSE;
    }
    // Fills the device and the ring with the start of data, then sends the
    // rest with USBFUNC_Send, which at once has to wait for space.
    std::future<BOOL> StartStalledSend(const std::vector<uint8_t>& data)
    {
        size_t sent = 0;
        for (int round = 0; round < 100 && Serial_GetOutRemainSize(USB_SERIAL_PORT) > 0; ++round) {
            for (int n = 1; n > 0 && sent < data.size(); sent += static_cast<size_t>(n)) {
                n = Serial_Send(USB_SERIAL_PORT, data.data() + sent, static_cast<int>(data.size() - sent));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(Serial_GetOutRemainSize(USB_SERIAL_PORT), 0) << "the host side never filled";
        auto send = std::async(std::launch::async, [&data, sent] {
            return USBFUNC_Send(data.data() + sent, static_cast<int>(data.size() - sent));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return send;
    }

    TempDir m_root;
    PtyLink m_host{m_root.path(), "ttyGS0"};
    Owner m_owner;
};

TEST_F(UsbPort, InitLoadsTheGadgetDriverWithTheUnitsIdentityThroughTheBoard)
{
    EXPECT_TRUE(USBFUNC_Init());
    EXPECT_EQ(ReadFileText(m_root.file("var/log/board-commands.log")),
              "modprobe g_serial.ko idVendor=0x1209 idProduct=0x0001 iProduct=\"KOVA-LAN\" "
              "iManufacturer=\"Varnoth Denki\"\n");
}

TEST_F(UsbPort, ReceivedBytesReachTheCallbackInOrderInBlocksOfAtMost256)
{
    ASSERT_TRUE(OpenWithOwner());
    std::vector<uint8_t> typed = Pattern(3000);
    ASSERT_TRUE(m_host.Write(typed));
    ASSERT_TRUE(WaitUntil([&] { return m_owner.ByteCount() >= typed.size(); }, 5000));
    std::lock_guard<std::mutex> lock(m_owner.mutex);
    EXPECT_TRUE(m_owner.bytes == typed);
    EXPECT_LE(m_owner.largestBlock, USBFUNC_RX_BLOCK);

    const char reply[] = "OK\r\n";
    EXPECT_TRUE(USBFUNC_Send(reinterpret_cast<const BYTE*>(reply), 4));
    std::vector<uint8_t> back = m_host.ReadExactly(4, 2000);
    EXPECT_EQ(std::string(back.begin(), back.end()), reply);
}

TEST_F(UsbPort, StalledHostMakesASendGiveUpAfterTenSecondsOfTicks)
{
    ASSERT_TRUE(OpenWithOwner());
    std::vector<uint8_t> reply = Pattern(1000000);
    std::future<BOOL> send = StartStalledSend(reply);

    WinEmu_AdvanceTicksForTest(9000);
    EXPECT_EQ(send.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "gave up before 10 s without space";
    WinEmu_AdvanceTicksForTest(1100);
    ASSERT_EQ(send.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "still waiting after 10 s";
    EXPECT_FALSE(send.get());
}

TEST_F(UsbPort, SendWaitingForSpaceCompletesOnceTheHostReadsAgain)
{
    ASSERT_TRUE(OpenWithOwner());
    std::vector<uint8_t> reply = Pattern(400000);
    std::future<BOOL> send = StartStalledSend(reply);
    std::vector<uint8_t> got = m_host.ReadExactly(reply.size(), 20000);
    ASSERT_EQ(send.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(send.get());
    EXPECT_TRUE(got == reply) << "got " << got.size() << " bytes, not the reply in order";
}

TEST_F(UsbPort, PulledCableFailsSendsAndReachesTheOwnerOnceFromTheIdleStep)
{
    ASSERT_TRUE(OpenWithOwner());
    m_host.Pull();
    const BYTE probe[] = {'?'};
    ASSERT_TRUE(WaitUntil([&] { return !USBFUNC_Send(probe, 1); }, 5000)) << "sends go on after the cable went";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_owner.Detaches(), 0u) << "the failure must not reach the owner on the receive thread";

    ASSERT_TRUE(m_host.Plug()) << m_host.error();  // the PC enumerates the gadget again
    USBFUNC_OnIdle();
    USBFUNC_OnIdle();
    ASSERT_EQ(m_owner.Detaches(), 1u);
    {
        std::lock_guard<std::mutex> lock(m_owner.mutex);
        EXPECT_EQ(m_owner.detachThreads[0], std::this_thread::get_id());
        EXPECT_TRUE(m_owner.reopened);
    }
    ASSERT_TRUE(m_host.Write("vers\r"));
    ASSERT_TRUE(WaitUntil([&] { return m_owner.ByteCount() >= 5; }, 5000));
    EXPECT_TRUE(USBFUNC_Send(probe, 1));
    EXPECT_EQ(m_host.ReadExactly(1, 2000), std::vector<uint8_t>({'?'}));
}

TEST_F(UsbPort, SendOnAClosedPortFailsAtOnce)
{
    DebugCapture capture;
    const BYTE probe[] = {'?'};
    EXPECT_TRUE(USBFUNC_Send(probe, 0));
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(USBFUNC_Send(probe, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(capture.text().find("WARNING"), std::string::npos);
}

}  // namespace
