// NetLab: several simulated units on one private Ethernet segment.
//
// Each member is a network namespace of its own with loopback up and an
// `eth0` (one end of a veth pair) holding 10.77.0.<member + 1>/24; the other
// ends are ports of a bridge that lives in one more namespace of the lab, the
// hub. The namespaces are anonymous: each is made by a short-lived thread
// (unshare) and held only by a descriptor of this process, so nothing appears
// under /run/netns, and when the lab (or the test process, however it ends)
// closes them the kernel removes them with every link inside. Links and
// addresses are set with iproute2's `ip`, run in a child that first enters a
// lab namespace; no command ever runs in the host's namespace, so the host's
// network is never touched.
//
// A unit runs inside a member through UnitOptions::netnsPath (Place); test
// code runs there through RunIn, on a thread that enters the member first:
// sockets made there (a PeerSim's, say) stay in the member afterwards, on any
// thread.
//
// Threads: build, use and destroy a lab on one test thread; RunIn and Ip may
// be called from any thread while the lab lives.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

struct UnitOptions;

class NetLab {
   public:
    static constexpr int MAX_MEMBERS = 200;

    // Builds a lab of `members` namespaces; ok() tells whether it stands.
    explicit NetLab(int members);
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    // False, with the reason in why(), where the lab could not be built (not
    // root, no CAP_NET_ADMIN, no `ip`, no veth or bridge support).
    bool ok() const { return m_why.empty(); }
    const std::string& why() const { return m_why; }
    int size() const { return static_cast<int>(m_members.size()); }

    // A member's own address, "10.77.0.<member + 1>".
    static std::string Address(int member);
    // A file naming the member's namespace, valid while the lab lives.
    std::string NamespacePath(int member) const;
    // Makes a unit started with these options run inside the member.
    void Place(UnitOptions* options, int member) const;
    // Runs fn on a new thread inside the member's namespace and waits for it;
    // false (fn not run, reason in *why) when the namespace cannot be entered.
    bool RunIn(int member, const std::function<void()>& fn, std::string* why = nullptr) const;
    // Runs `ip args...` inside the member (HUB: the bridge's namespace); true
    // on exit status 0; its output (both streams) in *output.
    static constexpr int HUB = -1;
    bool Ip(int member, const std::vector<std::string>& args, std::string* output = nullptr) const;

   private:
    bool Build(int members);
    int Fd(int member) const;
    std::string PathOf(int fd) const;

    std::string m_why;
    std::string m_ip;  // the ip program
    int m_hub = -1;
    std::vector<int> m_members;
};

}  // namespace sim
