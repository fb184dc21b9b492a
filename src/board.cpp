// board: path mapping and command running for the board and for a simulated
// board (see board.h). The root is written once at start-up; the command log
// lock keeps lines of different threads whole and in order.
#include "board.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "helpers.h"
#include "sub.h"

extern char** environ;

namespace {

char s_szRoot[BOARD_PATH_MAX] = "";
std::mutex s_mtxCommandLog;

// Creates the folders of the command log below the root when a test or an
// operator made a root without them.
void MakeCommandLogFolder()
{
    char path[BOARD_PATH_MAX];
    if (Board_MapPath("/var", path, sizeof(path))) {
        MakeDirectory(path);
    }
    if (Board_MapPath("/var/log", path, sizeof(path))) {
        MakeDirectory(path);
    }
}

BOOL AppendCommandLog(const char* pszLine)
{
    char path[BOARD_PATH_MAX];
    if (!Board_MapPath(BOARD_COMMAND_LOG, path, sizeof(path))) {
        return FALSE;
    }
    std::string line(pszLine);
    line.push_back('\n');

    std::lock_guard<std::mutex> lock(s_mtxCommandLog);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        MakeCommandLogFolder();
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        return FALSE;
    }
    // One write per line, so concurrent readers never see half a line.
    ssize_t written = write(fd, line.data(), line.size());
    close(fd);
    return written == static_cast<ssize_t>(line.size());
}

int ExitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return -1;
}

// Runs the simulated board's stand-in with the command line as its argument.
int RunCommandHook(const char* pszHook, const char* pszCommand)
{
    std::vector<std::string> envStrings;
    for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
        if (std::strncmp(*env, "KOVALAN_ROOT=", 13) != 0) {
            envStrings.emplace_back(*env);
        }
    }
    envStrings.push_back(std::string("KOVALAN_ROOT=") + s_szRoot);
    std::vector<char*> envp;
    for (std::string& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);

    std::string hook(pszHook);
    std::string command(pszCommand);
    char* argv[] = {hook.data(), command.data(), nullptr};

    pid_t pid = 0;
    if (posix_spawn(&pid, pszHook, nullptr, nullptr, argv, envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return ExitStatusOf(status);
}

}  // namespace

BOOL Board_SetRoot(const char* pszRoot)
{
    if (pszRoot == nullptr) {
        s_szRoot[0] = '\0';
        return TRUE;
    }
    size_t len = std::strlen(pszRoot);
    // Leave room for the longest board path below it.
    if (len >= sizeof(s_szRoot) - 128) {
        return FALSE;
    }
    // A trailing slash would double the separator of every mapped path.
    while (len > 1 && pszRoot[len - 1] == '/') {
        --len;
    }
    std::memcpy(s_szRoot, pszRoot, len);
    s_szRoot[len] = '\0';
    return TRUE;
}

const char* Board_GetRoot()
{
    return s_szRoot;
}

BOOL Board_IsSimulated()
{
    return s_szRoot[0] != '\0';
}

BOOL Board_MapPath(const char* pszPath, char* pszOut, int nOutSize)
{
    if (pszPath == nullptr || pszOut == nullptr || nOutSize < 1) {
        return FALSE;
    }
    const char* root = (Board_IsSimulated() && pszPath[0] == '/') ? s_szRoot : "";
    int n = _snprintf(pszOut, static_cast<size_t>(nOutSize), "%s%s", root, pszPath);
    if (static_cast<size_t>(n) != std::strlen(root) + std::strlen(pszPath)) {
        pszOut[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

int Board_RunCommand(const char* pszCommand)
{
    if (pszCommand == nullptr) {
        return -1;
    }
    if (!Board_IsSimulated()) {
        int status = system(pszCommand);
        return status < 0 ? -1 : ExitStatusOf(status);
    }
    if (!AppendCommandLog(pszCommand)) {
        return -1;
    }
    char hook[BOARD_PATH_MAX];
    if (!Board_MapPath(BOARD_COMMAND_HOOK, hook, sizeof(hook)) || access(hook, X_OK) != 0) {
        // Nothing stands in for the command: it is taken as done.
        return 0;
    }
    return RunCommandHook(hook, pszCommand);
}

BOOL Board_RecordCommand(const char* pszLine)
{
    if (!Board_IsSimulated() || pszLine == nullptr) {
        return FALSE;
    }
    return AppendCommandLog(pszLine);
}
