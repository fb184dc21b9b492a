// console: the local command console's keyboard and screen on a terminal.
// A key seen by CON_KbHit is kept in a one-key push-back until CON_GetChar
// takes it. Terminal attributes are changed only for the duration of a call
// and restored before it returns.
#include "console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int KEY_BACKSPACE = 8;
constexpr int KEY_TAB = 9;
constexpr int KEY_LINE_FEED = 10;
constexpr int KEY_RETURN = 13;
constexpr int NO_KEY = -1;

int s_nInFd = STDIN_FILENO;
int s_nOutFd = STDOUT_FILENO;
int s_nPushedKey = NO_KEY;

void WriteBytes(const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(s_nOutFd, data, length);
        if (n <= 0) {
            return;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

// Reads one key with canonical mode and echo off; non-blocking when asked.
int ReadRawKey(bool nonBlocking)
{
    struct termios saved;
    bool isTerminal = tcgetattr(s_nInFd, &saved) == 0;
    if (isTerminal) {
        struct termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(s_nInFd, TCSANOW, &raw);
    }
    int savedFlags = fcntl(s_nInFd, F_GETFL);
    if (nonBlocking && savedFlags >= 0) {
        fcntl(s_nInFd, F_SETFL, savedFlags | O_NONBLOCK);
    }
    unsigned char key = 0;
    ssize_t n = read(s_nInFd, &key, 1);
    if (nonBlocking && savedFlags >= 0) {
        fcntl(s_nInFd, F_SETFL, savedFlags);
    }
    if (isTerminal) {
        tcsetattr(s_nInFd, TCSANOW, &saved);
    }
    return n == 1 ? key : NO_KEY;
}

}  // namespace

BOOL CON_Init()
{
    return TRUE;
}

BOOL CON_KbHit()
{
    if (s_nPushedKey != NO_KEY) {
        return TRUE;
    }
    s_nPushedKey = ReadRawKey(true);
    return s_nPushedKey != NO_KEY ? TRUE : FALSE;
}

int CON_GetChar()
{
    if (s_nPushedKey != NO_KEY) {
        int key = s_nPushedKey;
        s_nPushedKey = NO_KEY;
        return key;
    }
    return ReadRawKey(false);
}

void CON_Gets(char* buf, int size)
{
    if (size < 1) {
        return;
    }
    int length = 0;
    for (;;) {
        int key = CON_GetChar();
        if (key == NO_KEY || key == KEY_LINE_FEED) {
            break;
        }
        if (length < size - 1) {
            buf[length++] = static_cast<char>(key);
        }
    }
    buf[length] = '\0';
    // Whatever else was typed ahead is discarded.
    s_nPushedKey = NO_KEY;
    tcflush(s_nInFd, TCIFLUSH);
}

void CON_Puts(const char* text)
{
    WriteBytes(text, std::strlen(text));
}

int CON_PutChar(int ch)
{
    char c = static_cast<char>(ch);
    WriteBytes(&c, 1);
    return ch;
}

BOOL CON_AsyncGets(char* buf, int size, int* pos)
{
    if (!CON_KbHit()) {
        return FALSE;
    }
    int key = CON_GetChar();
    if (key == KEY_BACKSPACE) {
        if (*pos > 0) {
            WriteBytes("\b \b", 3);
            --*pos;
        }
        return FALSE;
    }
    if (key == KEY_TAB) {
        key = ' ';
    }
    if (key == KEY_LINE_FEED || key == KEY_RETURN) {
        CON_PutChar('\n');
        buf[*pos] = '\0';
        *pos = 0;
        return TRUE;
    }
    if (key < 32 || key > 127 || *pos >= size - 1) {
        return FALSE;
    }
    CON_PutChar(key);
    buf[(*pos)++] = static_cast<char>(key);
    return FALSE;
}

void CON_SetDescriptorsForTest(int inFd, int outFd)
{
    s_nInFd = inFd >= 0 ? inFd : STDIN_FILENO;
    s_nOutFd = outFd >= 0 ? outFd : STDOUT_FILENO;
    s_nPushedKey = NO_KEY;
}
