// NetLab: anonymous network namespaces joined by a bridge (see net_lab.h).
// Namespaces are made on short-lived threads and held by descriptors; `ip`
// runs in a forked child that enters a lab namespace before exec, and gives
// up rather than run anywhere else.
#include "net_lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "unit_process.h"

namespace sim {

namespace {

const char* const IP_CANDIDATES[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
const char* const BRIDGE = "br0";
constexpr int NO_NAMESPACE_EXIT = 126;  // the child could not enter the lab namespace

std::string FindIp()
{
    for (const char* path : IP_CANDIDATES) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// A new network namespace, held by the returned descriptor; -1 with *why on failure.
int MakeNamespace(std::string* why)
{
    int fd = -1;
    std::string failure;
    std::thread maker([&] {
        // Only this thread moves; it ends right after, leaving the descriptor as the holder.
        if (unshare(CLONE_NEWNET) != 0) {
            failure = std::string("cannot make a network namespace: ") + std::strerror(errno) +
                      " (the lab needs root, or CAP_SYS_ADMIN and CAP_NET_ADMIN)";
            return;
        }
        fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failure = std::string("cannot hold the new namespace: ") + std::strerror(errno);
        }
    });
    maker.join();
    if (fd < 0) {
        *why = failure;
    }
    return fd;
}

std::string Joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "" : " ") + w;
    }
    return text;
}

}  // namespace

NetLab::NetLab(int members)
{
    if (!Build(members)) {
        for (int fd : m_members) {
            close(fd);
        }
        m_members.clear();
        if (m_hub >= 0) {
            close(m_hub);
            m_hub = -1;
        }
    }
}

NetLab::~NetLab()
{
    // The last reference to each namespace goes; the kernel removes its links
    // (the veth pairs with their bridge ports) and addresses with it.
    for (int fd : m_members) {
        close(fd);
    }
    if (m_hub >= 0) {
        close(m_hub);
    }
}

bool NetLab::Build(int members)
{
    if (members < 1 || members > MAX_MEMBERS) {
        m_why = "a lab has 1 to " + std::to_string(MAX_MEMBERS) + " members";
        return false;
    }
    m_ip = FindIp();
    if (m_ip.empty()) {
        m_why = "no `ip` program (iproute2) in /usr/sbin, /sbin, /usr/bin or /bin";
        return false;
    }
    if ((m_hub = MakeNamespace(&m_why)) < 0) {
        return false;
    }
    for (int i = 0; i < members; ++i) {
        int fd = MakeNamespace(&m_why);
        if (fd < 0) {
            return false;
        }
        m_members.push_back(fd);
    }
    std::vector<std::pair<int, std::vector<std::string>>> steps = {
        {HUB, {"link", "set", "lo", "up"}},
        {HUB, {"link", "add", BRIDGE, "type", "bridge"}},
        {HUB, {"link", "set", BRIDGE, "up"}},
    };
    for (int i = 0; i < members; ++i) {
        std::string port = "port" + std::to_string(i);
        steps.push_back(
            {HUB, {"link", "add", port, "type", "veth", "peer", "name", "eth0", "netns", NamespacePath(i)}});
        steps.push_back({HUB, {"link", "set", port, "master", BRIDGE, "up"}});
        steps.push_back({i, {"link", "set", "lo", "up"}});
        steps.push_back({i, {"addr", "add", Address(i) + "/24", "dev", "eth0"}});
        steps.push_back({i, {"link", "set", "eth0", "up"}});
    }
    for (const auto& [where, args] : steps) {
        std::string output;
        if (!Ip(where, args, &output)) {
            m_why = "ip " + Joined(args) + " failed: " + output;
            return false;
        }
    }
    return true;
}

std::string NetLab::Address(int member)
{
    return "10.77.0." + std::to_string(member + 1);
}

int NetLab::Fd(int member) const
{
    if (member == HUB) {
        return m_hub;
    }
    return member >= 0 && member < size() ? m_members[static_cast<size_t>(member)] : -1;
}

std::string NetLab::PathOf(int fd) const
{
    // Through the process id, so that a child (ip, say) can open it too.
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

std::string NetLab::NamespacePath(int member) const
{
    int fd = Fd(member);
    return fd >= 0 ? PathOf(fd) : "";
}

void NetLab::Place(UnitOptions* options, int member) const
{
    options->netns.clear();
    options->newNetns = false;
    options->netnsPath = NamespacePath(member);
}

bool NetLab::RunIn(int member, const std::function<void()>& fn, std::string* why) const
{
    int fd = Fd(member);
    std::string failure = fd < 0 ? "no lab member " + std::to_string(member) : "";
    if (fd >= 0) {
        std::thread runner([&] {
            if (setns(fd, CLONE_NEWNET) != 0) {
                failure = std::string("cannot enter the member's namespace: ") + std::strerror(errno);
                return;
            }
            fn();
        });
        runner.join();
    }
    if (!failure.empty() && why) {
        *why = failure;
    }
    return failure.empty();
}

bool NetLab::Ip(int member, const std::vector<std::string>& args, std::string* output) const
{
    int fd = Fd(member);
    int out[2];
    if (fd < 0 || m_ip.empty() || pipe2(out, O_CLOEXEC) != 0) {
        if (output) {
            *output = fd < 0 ? "no such lab member" : "cannot run ip";
        }
        return false;
    }
    std::vector<std::string> words{m_ip};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setns(fd, CLONE_NEWNET) != 0) {
            _exit(NO_NAMESPACE_EXIT);  // never run in the host's namespace
        }
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[1024];
    for (ssize_t n; (n = read(out[0], buf, sizeof(buf))) != 0;) {
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    bool ok = pid > 0;
    while (ok && waitpid(pid, &status, 0) < 0) {
        ok = errno == EINTR;
    }
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == NO_NAMESPACE_EXIT && text.empty()) {
        text = "could not enter the lab namespace";
    }
    if (output) {
        *output = text;
    }
    return ok;
}

}  // namespace sim
