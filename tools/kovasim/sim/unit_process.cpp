// UnitProcess: the daemon as a child process (see unit_process.h). The child
// is prepared between fork and exec with async-signal-safe calls only; a
// close-on-exec pipe carries a failure at that stage back to Start. One
// reader thread per child collects its output; m_lock guards the lines.
#include "unit_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int REAP_POLL_MS = 2;

// What failed in the child before exec, sent back with errno.
enum ChildStage : int { STAGE_NETNS = 1, STAGE_LOOPBACK = 2, STAGE_EXEC = 3 };

int ElapsedMs(Clock::time_point since)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Child side: report a failure to the parent and end.
[[noreturn]] void ChildFail(int fd, int stage)
{
    int report[2] = {stage, errno};
    (void)!write(fd, report, sizeof(report));
    _exit(127);
}

// Child side: loopback up in a fresh namespace.
bool LoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::memcpy(request.ifr_name, "lo", 3);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// Child side: signals back to their defaults, none blocked (exec keeps both).
void ResetSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        sigaction(sig, &action, nullptr);  // fails harmlessly for SIGKILL, SIGSTOP and unused numbers
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The environment with the extra entries, which replace entries of the same name.
std::vector<std::string> MakeEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra) {
            replaced = replaced || x.substr(0, x.find('=')) == name;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

std::string StageText(int stage)
{
    switch (stage) {
        case STAGE_NETNS:
            return "entering the network namespace";
        case STAGE_LOOPBACK:
            return "bringing loopback up";
        default:
            return "exec";
    }
}

}  // namespace

bool UnitProcess::CanMakeNetns(std::string* why)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(unshare(CLONE_NEWNET) == 0 && LoopbackUp() ? 0 : 1);
    }
    int status = 0;
    bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok && why) {
        *why = "cannot make a network namespace here (needs CAP_SYS_ADMIN)";
    }
    return ok;
}

UnitProcess::~UnitProcess()
{
    Kill();
    StopReader();
}

bool UnitProcess::Start(const UnitOptions& o)
{
    if (m_pid > 0 && !m_reaped) {
        m_error = "already running";
        return false;
    }
    StopReader();
    if (o.binary.empty() || access(o.binary.c_str(), X_OK) != 0) {
        m_error = "not an executable: '" + o.binary + "'";
        return false;
    }
    std::vector<std::string> args{o.binary};
    if (!o.root.empty()) {
        args.insert(args.end(), {"--root", o.root});
    }
    args.insert(args.end(), o.args.begin(), o.args.end());
    std::vector<std::string> env = MakeEnvironment(o.env);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    int nsFd = -1;
    if (!o.netns.empty() || !o.netnsPath.empty()) {
        std::string path = o.netnsPath.empty() ? "/var/run/netns/" + o.netns : o.netnsPath;
        nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0) {
            m_error = "no network namespace '" + (o.netnsPath.empty() ? o.netns : path) + "': " + std::strerror(errno);
            return false;
        }
    }
    int out[2], err[2], report[2];
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0 ||
        pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0 || nullFd < 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;  // a handful of descriptors leak in a test that is failing anyway
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        ResetSignals();
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) {
            ChildFail(report[1], STAGE_NETNS);
        }
        if (o.newNetns && unshare(CLONE_NEWNET) != 0) {
            ChildFail(report[1], STAGE_NETNS);
        }
        if (o.newNetns && !LoopbackUp()) {
            ChildFail(report[1], STAGE_LOOPBACK);
        }
        dup2(nullFd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
#ifdef CLOSE_RANGE_CLOEXEC
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // nothing of the test leaks into the unit
#endif
        execve(argv[0], argv.data(), envp.data());
        ChildFail(report[1], STAGE_EXEC);
    }
    for (int fd : {out[1], err[1], report[1], nullFd, nsFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        for (int fd : {out[0], err[0], report[0]}) {
            close(fd);
        }
        return false;
    }
    int failure[2] = {0, 0};
    ssize_t n;
    do {
        n = read(report[0], failure, sizeof(failure));
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    m_pid = pid;
    m_reaped = false;
    m_exit = UnitExit{};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
        m_outputClosed = false;
    }
    m_reader = std::thread(&UnitProcess::ReaderLoop, this, out[0], err[0], m_wake[0]);
    if (n > 0) {
        m_error = StageText(failure[0]) + ": " + std::strerror(failure[1]);
        WaitExit(1000);
        return false;
    }
    m_error.clear();
    return true;
}

// --- Output ---------------------------------------------------------------------

void UnitProcess::ReaderLoop(int outFd, int errFd, int wakeFd)
{
    std::string partial[2];
    int fds[2] = {outFd, errFd};
    auto flush = [&](int stream, bool all) {
        std::lock_guard<std::mutex> guard(m_lock);
        size_t at = 0;
        for (size_t nl; (nl = partial[stream].find('\n', at)) != std::string::npos; at = nl + 1) {
            m_lines.push_back({partial[stream].substr(at, nl - at), stream == 1, Clock::now()});
        }
        partial[stream].erase(0, at);
        if (all && !partial[stream].empty()) {
            m_lines.push_back({partial[stream], stream == 1, Clock::now()});
            partial[stream].clear();
        }
        m_changed.notify_all();
    };
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (p[2].revents) {
            break;
        }
        for (int s = 0; s < 2; ++s) {
            if (fds[s] < 0 || !(p[s].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[s], buf, sizeof(buf));
            if (n > 0) {
                partial[s].append(buf, static_cast<size_t>(n));
                flush(s, false);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                flush(s, true);
                close(fds[s]);
                fds[s] = -1;
            }
        }
    }
    for (int s = 0; s < 2; ++s) {
        if (fds[s] >= 0) {
            flush(s, true);
            close(fds[s]);
        }
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_outputClosed = true;
    m_changed.notify_all();
}

void UnitProcess::StopReader()
{
    if (m_reader.joinable()) {
        char wake = 1;
        (void)!write(m_wake[1], &wake, 1);
        m_reader.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

std::vector<UnitLine> UnitProcess::Lines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::string UnitProcess::Output() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::string text;
    for (const UnitLine& line : m_lines) {
        text += line.text;
        text += '\n';
    }
    return text;
}

template <typename Match>
std::optional<size_t> UnitProcess::WaitForMatch(Match match, int timeoutMs, size_t from)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_lock);
    for (size_t i = from;;) {
        for (; i < m_lines.size(); ++i) {
            if (match(m_lines[i].text)) {
                return i;
            }
        }
        if (m_outputClosed) {
            return std::nullopt;
        }
        // A start index past the end (lines of an earlier run) waits for new lines too.
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout && i >= m_lines.size()) {
            return std::nullopt;
        }
    }
}

std::optional<size_t> UnitProcess::WaitForLine(const std::string& text, int timeoutMs, size_t from)
{
    return WaitForMatch([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeoutMs, from);
}

std::optional<size_t> UnitProcess::WaitForRegex(const std::regex& pattern, int timeoutMs, size_t from)
{
    return WaitForMatch([&](const std::string& line) { return std::regex_search(line, pattern); }, timeoutMs, from);
}

// --- Life ------------------------------------------------------------------------

void UnitProcess::Reap(int status)
{
    m_reaped = true;
    m_exit.exited = true;
    if (WIFEXITED(status)) {
        m_exit.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_exit.signal = WTERMSIG(status);
    }
}

bool UnitProcess::running()
{
    if (m_pid <= 0 || m_reaped) {
        return false;
    }
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        Reap(status);
    }
    return !m_reaped;
}

bool UnitProcess::Signal(int sig)
{
    return running() && kill(m_pid, sig) == 0;
}

UnitExit UnitProcess::WaitExit(int timeoutMs)
{
    auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(timeoutMs);
    while (running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(REAP_POLL_MS));
    }
    if (m_reaped) {
        // The child is gone; its last lines may still be in the pipe. Once the
        // reader has seen both streams close, every line it wrote is in m_lines.
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait_until(guard, deadline, [this] { return m_outputClosed; });
    }
    UnitExit result = m_exit;
    result.exited = m_reaped;
    result.elapsedMs = ElapsedMs(start);
    return result;
}

UnitExit UnitProcess::Stop(int sig, int timeoutMs)
{
    if (!Signal(sig)) {
        UnitExit result = m_exit;
        result.exited = m_reaped;
        return result;
    }
    return WaitExit(timeoutMs);
}

void UnitProcess::Kill()
{
    if (!running()) {
        return;
    }
    kill(m_pid, SIGKILL);
    int status = 0;
    pid_t r;
    do {
        r = waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r == m_pid) {
        Reap(status);
    }
}

}  // namespace sim
