// run: one unit on a board root, driven from the terminal (see run.h). One
// loop on the calling thread prints what arrived (unit lines, radio frames),
// reads standard input without blocking for longer than a poll interval,
// and watches the stop flag and the unit's life.
#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "board_root.h"
#include "console_port.h"
#include "relay_check.h"
#include "sim_unit.h"

namespace kovasim {

namespace {

constexpr int POLL_MS = 100;
constexpr int DEFAULT_CODE = 5;
constexpr int DEFAULT_VOICE_FRAMES = 6;
constexpr int MAX_VOICE_FRAMES = 60;
constexpr const char* LOCK_FILE = "/var/run/kovasim.lock";

constexpr const char* KEYS_HELP =
    "  a line of text     goes to the unit's console; the reply is printed\n"
    "  !tx [N]            the radio transmits: header, identification, N voice frames (6), end\n"
    "  !id                the radio identifies itself again (after a unit restart)\n"
    "  !help              this list\n"
    "  Ctrl-C             stops the unit and ends kovasim\n";

// Holds the root's lock file while it lives.
class RootLock {
   public:
    explicit RootLock(const std::string& root) : m_path(root + LOCK_FILE)
    {
        m_fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0 && flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            close(m_fd);
            m_fd = -1;
            m_busy = true;
        }
    }
    ~RootLock()
    {
        if (m_fd >= 0) {
            unlink(m_path.c_str());
            close(m_fd);
        }
    }
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
    bool held() const { return m_fd >= 0; }
    bool busy() const { return m_busy; }

   private:
    std::string m_path;
    int m_fd = -1;
    bool m_busy = false;
};

class Session {
   public:
    Session(const RunOptions& options, SimUnit& unit, std::ostream& out) : m_options(options), m_unit(unit), m_out(out)
    {
    }
    void Identify();
    // One pass: print what came, take typed lines. False once the unit has ended.
    bool Pass();

   private:
    void PrintUnitLines();
    void PrintRadioFrames();
    void ReadInput();
    void Handle(const std::string& line);
    void Transmit(int voiceFrames);

    const RunOptions& m_options;
    SimUnit& m_unit;
    std::ostream& m_out;
    size_t m_nextLine = 0;
    size_t m_nextFrame = 0;
    bool m_inputOpen = true;
    std::string m_input;
    uint16_t m_counter = 0x0100;
};

void Session::Identify()
{
    sim::radio::CodeTable table;
    for (int n = 0; n < 128; ++n) {
        if (m_options.code < 0 || n == m_options.code) {
            table.Admit(n);
        }
    }
    std::string why;
    if (!m_unit.Identify(table, &why)) {
        m_out << "kovasim: " << why << " (type !id to try again)\n";
    }
}

void Session::PrintUnitLines()
{
    if (!m_unit.process().WaitForLine("", 0, m_nextLine)) {
        return;
    }
    std::vector<sim::UnitLine> lines = m_unit.process().Lines();
    for (; m_nextLine < lines.size(); ++m_nextLine) {
        m_out << lines[m_nextLine].text << "\n";
    }
}

void Session::PrintRadioFrames()
{
    std::vector<sim::radio::Frame> frames = m_unit.radio().FramesSince(m_nextFrame);
    m_nextFrame += frames.size();
    for (const sim::radio::Frame& f : frames) {
        if (f.command == 'C' && f.ok()) {
            continue;  // the unit's keep-alive, once a second
        }
        m_out << "radio: got " << f.command;
        if (f.command == 'F' || f.command == 'f') {
            m_out << " " << DescribeVoice(f.param);
        } else {
            m_out << " \"" << f.param << "\"";
        }
        m_out << (f.ok() ? "" : " (bad length field or checksum)") << "\n";
    }
}

void Session::Transmit(int voiceFrames)
{
    sim::Transmission t;
    t.code = m_options.code < 0 ? DEFAULT_CODE : m_options.code;
    t.counter = m_counter;
    t.voiceFrames = voiceFrames;
    m_counter = static_cast<uint16_t>(m_counter + 0x100);
    char counter[8];
    std::snprintf(counter, sizeof(counter), "%04X", t.counter);
    m_out << "radio: transmits code " << t.code << ", counter " << counter << ", " << voiceFrames << " voice frames\n";
    if (!m_unit.radio().SendTransmission(t)) {
        m_out << "radio: the transmission could not be written\n";
    }
}

void Session::Handle(const std::string& line)
{
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "!help") {
        m_out << KEYS_HELP;
    } else if (word == "!id") {
        Identify();
    } else if (word == "!tx") {
        int frames = DEFAULT_VOICE_FRAMES;
        std::string count;
        if (words >> count) {
            frames =
                count.find_first_not_of("0123456789") == std::string::npos && count.size() <= 3 ? std::stoi(count) : -1;
        }
        if (frames < 0 || frames > MAX_VOICE_FRAMES) {
            m_out << "kovasim: !tx takes 0 to " << MAX_VOICE_FRAMES << " voice frames\n";
            return;
        }
        Transmit(frames);
    } else if (!word.empty() && word[0] == '!') {
        m_out << "kovasim: unknown " << word << "; !help lists what there is\n";
    } else if (!m_unit.hasConsole()) {
        m_out << "kovasim: this unit has no console (UsbPort=0)\n";
    } else if (!m_options.consolePath.empty()) {
        m_out << "kovasim: the console is offered at " << m_options.consolePath << ": kovactl -d "
              << m_options.consolePath << " " << line << "\n";
    } else {
        for (const std::string& reply : m_unit.Converse(line)) {
            m_out << "console: " << reply << "\n";
        }
    }
}

void Session::ReadInput()
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (!m_inputOpen) {
        poll(nullptr, 0, POLL_MS);
        return;
    }
    if (poll(&p, 1, POLL_MS) <= 0) {
        return;
    }
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
    if (n <= 0) {
        m_inputOpen = n < 0 && (errno == EINTR || errno == EAGAIN);
        return;
    }
    m_input.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = m_input.find('\n')) != std::string::npos;) {
        std::string line = m_input.substr(0, nl);
        m_input.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Handle(line);
    }
}

bool Session::Pass()
{
    PrintUnitLines();
    PrintRadioFrames();
    m_out.flush();
    if (!m_unit.process().running()) {
        PrintUnitLines();
        return false;
    }
    ReadInput();
    return true;
}

// With a console path: the console relayed to a terminal there, for kovactl.
bool OfferConsole(const RunOptions& options, SimUnit& unit, std::ostream& out, std::ostream& err,
                  std::unique_ptr<ConsolePort>* console)
{
    if (options.consolePath.empty()) {
        return true;
    }
    if (!unit.hasConsole()) {
        err << "kovasim run: the root's UsbPort is 0: the unit has no console to offer\n";
        return false;
    }
    *console = std::make_unique<ConsolePort>(*unit.consoleLink(), options.consolePath);
    if (!(*console)->ok()) {
        err << "kovasim run: " << (*console)->error() << "\n";
        return false;
    }
    out << "kovasim run: the console is at " << options.consolePath << " (kovactl -d " << options.consolePath
        << ")\n";
    return true;
}

}  // namespace

int RunUnit(const RunOptions& options, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop)
{
    RootPorts ports;
    std::string why;
    if (!ReadRootPorts(options.root, &ports, &why)) {
        err << "kovasim run: " << why << "\n";
        return 1;
    }
    if (ports.commPort <= 0) {
        err << "kovasim run: the root's CommPort is " << ports.commPort << ": the unit has no radio line\n";
        return 1;
    }
    RootLock lock(options.root);
    if (!lock.held()) {
        err << "kovasim run: " << (lock.busy() ? "another kovasim runs a unit on " : "cannot make a lock file in ")
            << options.root << "\n";
        return 1;
    }
    SimUnitSetup setup;
    setup.name = "unit";
    setup.root = options.root;
    setup.binary = options.binary;
    setup.radioDevice = DeviceName(ports.commPort);
    setup.consoleDevice = DeviceName(ports.usbPort);
    setup.slow = options.slow;
    SimUnit unit(setup);
    out << "kovasim run: unit on " << options.root << ", radio on dev/" << setup.radioDevice << ", console on "
        << (setup.consoleDevice.empty() ? "(none)" : "dev/" + setup.consoleDevice) << ", receives on UDP "
        << ports.rxPort << ", sends to " << ports.txPort << "\n"
        << KEYS_HELP;
    if (!unit.Start(&why)) {
        err << "kovasim run: " << why << "\n" << unit.OutputTail(20);
        return 1;
    }
    std::unique_ptr<ConsolePort> console;
    if (!OfferConsole(options, unit, out, err, &console)) {
        return 1;
    }
    Session session(options, unit, out);
    session.Identify();
    while (!stop && session.Pass()) {
    }
    // A Ctrl-C on the terminal reaches the unit too, which may already be gone.
    bool requested = stop.load();
    sim::UnitExit exit = unit.process().running() ? unit.Stop() : unit.process().WaitExit(0);
    session.Pass();
    out << "kovasim run: the unit " << (requested ? "was stopped" : "ended by itself") << ": "
        << (exit.exited ? DescribeExit(exit) : "still running, killed") << "\n";
    return CleanExit(exit) && requested ? 0 : 1;
}

}  // namespace kovasim
