// kovadir_unit: see the header. The life cycle follows the daemon's order
// (socket layer, thread runtime, directory client; stop and destroy in
// reverse), and the receiver keeps to the unit core's rule: only datagrams
// that look like list server answers reach the client.
#include "kovadir_unit.h"

#include <sys/socket.h>

#include <netinet/in.h>

#include <chrono>

#include "debug.h"

namespace {

constexpr long RECEIVE_POLL_MS = 50;  // the receiver looks at its stop flag this often
constexpr int DATAGRAM_MAX = 1400;
constexpr int STATE_POLL_MS = 10;

// An error state that ends a wait for want: the list thread would only retry
// after a pause of 10 s or more, which the tool does not sit out.
bool IsFailureFor(LIST_STATE state, LIST_STATE want)
{
    switch (state) {
        case LIST_STATE_GET_SERVER_ERR:
            return want >= LIST_STATE_WAIT_ID;
        case LIST_STATE_SEARCH_ERR:
        case LIST_STATE_GET_LIST_ERR:
            return want >= LIST_STATE_GET_LIST;
        default:
            return false;
    }
}

}  // namespace

const char* DirStateName(LIST_STATE state)
{
    static const char* const s_apszNames[] = {"NONE",       "GET_SERVER", "GET_SERVER_ERR", "WAIT_ID", "SEARCH",
                                              "SEARCH_ERR", "GET_LIST",   "GET_LIST_ERR",   "READY",   "ONLINE"};
    int n = static_cast<int>(state);
    return n >= 0 && n < static_cast<int>(sizeof(s_apszNames) / sizeof(s_apszNames[0])) ? s_apszNames[n] : "?";
}

std::string DirSession::ListFileText() const
{
    const std::string hostPort = m_settings.host + ":" + std::to_string(m_settings.httpPort);
    // A full URL as the path is asked of the host as it is.
    return m_settings.path.compare(0, 1, "/") == 0 ? "http://" + hostPort + m_settings.path
                                                   : m_settings.path + " at " + hostPort;
}

bool DirSession::Start(const DirSettings& settings, std::string* why)
{
    m_settings = settings;
    Sock_Construct();
    WinEmu_Init();
    Sock_Init();
    m_bUp = true;
    if (settings.verbose) {
        m_bDebug = InitDebugPrint() != FALSE;
    }
    ListSrv_Construct();
    if (!ListSrv_Init()) {
        *why = "the directory client cannot be initialised";
        return false;
    }
    m_pSock = Sock_GetSocket(FALSE);
    if (m_pSock == nullptr || !Sock_Bind(m_pSock, static_cast<WORD>(settings.rxPort), 0)) {
        *why = "cannot open UDP port " + std::to_string(settings.rxPort) + " for the list servers' answers";
        return false;
    }
    sockaddr_in local{};
    socklen_t nLength = sizeof(local);
    getsockname(m_pSock->sock.load(), reinterpret_cast<sockaddr*>(&local), &nLength);
    m_nRxPort = ntohs(local.sin_port);
    m_bStop = false;
    m_receiver = std::thread([this] { ReceiveLoop(); });

    ListSrv_SetHostName(settings.host.c_str());
    ListSrv_SetHostUrl(settings.path.c_str());
    ListSrv_SetHttpPort(settings.httpPort);
    ListSrv_SetTcpPort(settings.tcpPort);
    ListSrv_SetTxUdpPort(settings.udpPort);
    ListSrv_SetRxUdpPort(m_nRxPort);
    for (size_t i = 0; i < settings.servers.size() && i < LISTSRV_SERVER_MAX; ++i) {
        ListSrv_SetDbgServAdrs(static_cast<int>(i), settings.servers[i]);
    }
    ListSrv_SetDbgPrimaryIP(settings.prefer);
    ListSrv_Lock();
    ListSrv_SetServID(settings.servId.c_str());
    ListSrv_Unlock();
    ListSrv_SetRadioID(settings.radioId.c_str());
    ListSrv_SetSeed(static_cast<DWORD>(std::chrono::steady_clock::now().time_since_epoch().count()));
    if (!ListSrv_Start()) {
        *why = "the directory client cannot be started";
        return false;
    }
    return true;
}

void DirSession::Stop()
{
    if (!m_bUp) {
        return;
    }
    ListSrv_Stop();
    m_bStop = true;
    if (m_receiver.joinable()) {
        m_receiver.join();
    }
    if (m_pSock != nullptr) {
        Sock_Disconnect(m_pSock);
        m_pSock = nullptr;
    }
    ListSrv_Destruct();
    if (m_bDebug) {
        FreeDebugPrint();
        m_bDebug = false;
    }
    Sock_Destruct();
    m_bUp = false;
}

void DirSession::ReceiveLoop()
{
    BYTE abyData[DATAGRAM_MAX];
    while (!m_bStop.load()) {
        if (Sock_WaitForReceive(m_pSock, RECEIVE_POLL_MS) != 1) {
            continue;
        }
        ULONG ulFrom = 0;
        int n = Sock_ReceiveFrom(m_pSock, abyData, sizeof(abyData), 0, &ulFrom, 0);
        char cCmd = 0;
        if (n < 1 || !ListSrv_IsListServerAnswer(abyData, n, &cCmd)) {
            continue;  // not a list server's answer: peer traffic for the unit core
        }
        if (cCmd == 'H') {
            ListSrv_OnRxHealthCheck(abyData, n, ulFrom);
        } else {
            ListSrv_OnRxPortCheck(abyData, n, ulFrom, m_nRxPort);
        }
    }
}

std::string DirSession::StateText(LIST_STATE state) const
{
    const std::string server = DirDotted(ListSrv_GetCurrentIP());
    switch (state) {
        case LIST_STATE_NONE:
            return "starting";
        case LIST_STATE_GET_SERVER:
            return m_settings.host.empty() ? "taking the list server addresses"
                                           : "fetching the list server addresses from " + ListFileText();
        case LIST_STATE_GET_SERVER_ERR:
            return m_settings.host.empty() ? "no list server address"
                                           : "no list server address from " + ListFileText() +
                                                 " (the list file cannot be had or holds none)";
        case LIST_STATE_WAIT_ID:
            return m_settings.servId.empty() && m_settings.radioId.empty() ? "waiting for the server ID and radio ID"
                   : m_settings.servId.empty()                             ? "waiting for the server ID"
                                                                           : "waiting for the radio ID";
        case LIST_STATE_SEARCH:
            return "searching for a list server";
        case LIST_STATE_SEARCH_ERR:
            return "no list server answers health checks on UDP port " + std::to_string(m_settings.udpPort);
        case LIST_STATE_GET_LIST:
            return "fetching the list from list server " + server;
        case LIST_STATE_GET_LIST_ERR:
            return "the list server did not answer the list request";
        case LIST_STATE_READY:
            return "waiting for list server " + server + " to answer a health check";
        default:
            return "online";
    }
}

bool DirSession::WaitForState(LIST_STATE want, int timeoutMs, std::string* why) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        LIST_STATE state = ListSrv_GetListState();
        if (state >= want) {
            return true;
        }
        if (IsFailureFor(state, want)) {
            *why = StateText(state);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *why = std::string("the directory did not get ready in time (state ") + DirStateName(state) + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(STATE_POLL_MS));
    }
}

LIST_STATE DirSession::WaitForOnline(int timeoutMs) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    LIST_STATE state = ListSrv_GetListState();
    while (state != LIST_STATE_ONLINE && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(STATE_POLL_MS));
        state = ListSrv_GetListState();
    }
    return state;
}

std::string DirDotted(DWORD dwAdrs)
{
    return std::to_string(dwAdrs >> 24) + "." + std::to_string((dwAdrs >> 16) & 0xFF) + "." +
           std::to_string((dwAdrs >> 8) & 0xFF) + "." + std::to_string(dwAdrs & 0xFF);
}
