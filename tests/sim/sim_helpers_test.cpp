// The test-only helpers: the network lab (two members reach each other over
// the bridge, and nothing of the lab shows in the host's namespace; units
// placed in members are shown by peer_e2e_test's lab) and the movable unit clock: the preload library, loaded here the way a unit
// loads it (its shift file named in the environment at load time), moves the
// raw monotonic clock by what the test advances, at once and only forward,
// and leaves every other clock alone.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "net_lab.h"
#include "peer_sim.h"
#include "unit_clock.h"

namespace {

using ClockGetTime = int (*)(clockid_t, timespec*);

// The name this build's calls of clock_gettime reach (the 64-bit entry point where time_t was widened).
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr const char* CLOCK_GETTIME_NAME = "__clock_gettime64";
#else
constexpr const char* CLOCK_GETTIME_NAME = "clock_gettime";
#endif

int64_t Ms(const timespec& ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The preload's reading of a clock minus this process's own, in ms.
int64_t Lead(ClockGetTime shifted, clockid_t id)
{
    timespec own{};
    timespec moved{};
    clock_gettime(id, &own);
    EXPECT_EQ(shifted(id, &moved), 0);
    EXPECT_GE(moved.tv_nsec, 0);
    EXPECT_LT(moved.tv_nsec, 1000000000L);
    return Ms(moved) - Ms(own);
}

TEST(UnitClock, MovesOnlyTheRawMonotonicClockAndOnlyByWhatWasAdvanced)
{
    sim::UnitClock clock;
    ASSERT_TRUE(clock.ok()) << clock.why();
    setenv("KOVALAN_TICK_SHIFT_FILE", clock.shiftFile().c_str(), 1);
    void* preload = dlopen(sim::UnitClock::PreloadPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    unsetenv("KOVALAN_TICK_SHIFT_FILE");
    ASSERT_NE(preload, nullptr) << dlerror();
    void* symbol = dlsym(preload, CLOCK_GETTIME_NAME);
    ASSERT_NE(symbol, nullptr);
    ClockGetTime shifted;
    std::memcpy(&shifted, &symbol, sizeof(shifted));

    EXPECT_NEAR(Lead(shifted, CLOCK_MONOTONIC_RAW), 0, 20) << "no shift before an advance";
    // 999 ms past whole seconds, so that nearly every reading carries into the seconds.
    clock.Advance(30999);
    clock.Advance(60000);
    EXPECT_EQ(clock.shiftMs(), 90999);
    for (int i = 0; i < 50; ++i) {
        EXPECT_NEAR(Lead(shifted, CLOCK_MONOTONIC_RAW), 90999, 20);
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    for (clockid_t other : {CLOCK_MONOTONIC, CLOCK_REALTIME, CLOCK_BOOTTIME}) {
        EXPECT_NEAR(Lead(shifted, other), 0, 20) << "clock " << other;
    }
    dlclose(preload);
}

using namespace sim;

// Names of the host's network interfaces and named namespaces.
std::set<std::string> Listing(const char* dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// errno of a bind to address in the calling thread's namespace (0: it worked).
int BindError(const std::string& address)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    int err = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? 0 : errno;
    close(fd);
    return err;
}

TEST(NetLab, MembersReachEachOtherOverTheBridgeAndTheHostSeesNothingOfIt)
{
    std::set<std::string> hostLinks = Listing("/sys/class/net");
    std::set<std::string> hostNamespaces = Listing("/run/netns");
    {
        NetLab lab(2);
        if (!lab.ok()) {
            GTEST_SKIP() << "no network lab here: " << lab.why();
        }
        EXPECT_EQ(BindError(NetLab::Address(0)), EADDRNOTAVAIL) << "lab addresses exist only inside the lab";
        EXPECT_EQ(Listing("/sys/class/net"), hostLinks);
        EXPECT_EQ(Listing("/run/netns"), hostNamespaces);

        PeerSim a;
        PeerSim b;
        unsigned eth0 = 0;
        int foreign = 0;
        ASSERT_TRUE(lab.RunIn(0, [&] {
            eth0 = if_nametoindex("eth0");
            foreign = BindError(NetLab::Address(1));
            a.Open(NetLab::Address(0), peer::DEFAULT_PORT);
        }));
        ASSERT_TRUE(lab.RunIn(1, [&] { b.Open(NetLab::Address(1), peer::DEFAULT_PORT); }));
        EXPECT_NE(eth0, 0u);
        EXPECT_EQ(foreign, EADDRNOTAVAIL) << "a member holds its own address only";
        ASSERT_EQ(a.error(), "");
        ASSERT_EQ(b.error(), "");
        b.SetDestination(NetLab::Address(0), peer::DEFAULT_PORT);
        b.SetAutoAck(true);
        a.SetDestination(NetLab::Address(1), peer::DEFAULT_PORT);
        ASSERT_TRUE(a.SendConnectRequest());
        auto ack = a.WaitFor(peer::TYPE_CONNECT_ACK, 2000);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->fromAddress, NetLab::Address(1));
    }
    EXPECT_EQ(Listing("/sys/class/net"), hostLinks);
    EXPECT_EQ(Listing("/run/netns"), hostNamespaces);
}

}  // namespace
