// The console's non-blocking line editor, driven through a pseudo-terminal.
#include "console.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <tuple>

namespace {

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A raw terminal, so the line discipline neither echoes nor holds keys
        // back: what the master reads is the editor's own echo.
        struct termios raw;
        cfmakeraw(&raw);
        ASSERT_EQ(openpty(&m_master, &m_slave, nullptr, &raw, nullptr), 0);
        CON_SetDescriptorsForTest(m_slave, m_slave);
    }
    void TearDown() override
    {
        CON_SetDescriptorsForTest(-1, -1);
        close(m_master);
        close(m_slave);
    }
    void Type(const std::string& keys)
    {
        ASSERT_EQ(write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        int waiting = 0;  // until the terminal holds every key
        for (int i = 0; i < 2500 && waiting < static_cast<int>(keys.size()); ++i) {
            ASSERT_EQ(ioctl(m_slave, FIONREAD, &waiting), 0);
            usleep(waiting < static_cast<int>(keys.size()) ? 2000 : 0);
        }
        ASSERT_EQ(waiting, static_cast<int>(keys.size()));
    }
    // Feeds every waiting key to the editor; the completed line or "" if none.
    std::string Poll(int size, bool* complete)
    {
        *complete = false;
        for (int i = 0; i < 64 && !*complete; ++i) {
            *complete = CON_AsyncGets(m_buf, size, &m_pos) != FALSE;
        }
        return *complete ? std::string(m_buf) : std::string();
    }
    std::string Echo()
    {
        std::string out;
        pollfd p{m_master, POLLIN, 0};
        for (char c; poll(&p, 1, 0) > 0 && read(m_master, &c, 1) == 1;) {
            out.push_back(c);
        }
        return out;
    }

    int m_master = -1;
    int m_slave = -1;
    char m_buf[64] = {};
    int m_pos = 0;
};

TEST_F(ConsoleTest, NoKeyReturnsAtOnceAndALineOfLimitedSizeKeepsItsFirstCharactersUntilEnter)
{
    bool complete = true;
    EXPECT_EQ((std::tuple{Poll(4, &complete), complete}), std::make_tuple("", false));
    Type("abcdef");
    EXPECT_EQ((std::tuple{Poll(4, &complete), m_pos}), std::make_tuple("", 3));
    Type("\r");
    EXPECT_EQ((std::tuple{Poll(4, &complete), complete, m_pos}), std::make_tuple("abc", true, 0));
}

TEST_F(ConsoleTest, BackspaceErasesTabIsASpaceAndControlKeysAreIgnored)
{
    bool complete = false;
    Type(std::string("\b") + "ab\bc\td\x1b" + "\n");
    EXPECT_EQ((std::tuple{Poll(32, &complete), complete}), std::make_tuple("ac d", true));
    EXPECT_NE(Echo().find("ab\b \bc d"), std::string::npos);
}

}  // namespace
