// kovactl_session: see the header. Messages go to the error stream with a
// "kovactl: " lead; replies and results go to the output stream.

#include "kovactl_session.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "kovactl_commands.h"
#include "kovactl_json.h"
#include "kovactl_log.h"
#include "kovactl_targets.h"

namespace {

constexpr int64_t EDIT_LIFE_MS = 60000;  // the unit drops a working copy this long after its last edit
constexpr int64_t EDIT_WARN_MS = 50000;  // a person is warned this long after the last edit
constexpr size_t TARGET_COUNT = 100;

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

std::string Unquoted(const std::string& text)
{
    return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
}

std::string Number(const std::string& decimal)
{
    return std::to_string(std::stoul(decimal));
}

// The key=value words of a line from index `from` on, keys in lower case.
std::vector<std::pair<std::string, std::string>> Pairs(const std::vector<std::string>& words, size_t from)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t i = from; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq != std::string::npos) {
            pairs.emplace_back(Lower(words[i].substr(0, eq)), Unquoted(words[i].substr(eq + 1)));
        }
    }
    return pairs;
}

CtlEdit Exact(const std::string& key, const std::string& read, const std::string& value)
{
    CtlEdit e;
    e.key = key;
    e.readCommand = read;
    e.expected = {value};
    return e;
}

bool SetdestEdit(const std::vector<std::string>& w, CtlEdit* edit)
{
    const std::string n = Number(w[1]);
    std::string enable = "0";
    std::string target = "0.0.0.0";
    std::string memo;
    std::vector<std::string> texts;
    for (const auto& [key, value] : Pairs(w, 3)) {
        if (key == "enable") {
            enable = value;
        } else if (key == "target") {
            target = CtlCanonicalAddress(value);
        } else if (key == "memo") {
            memo = value;
        } else {
            texts.push_back(" " + key + "=\"" + value + "\"");
        }
    }
    *edit = Exact("entry " + n, "getdest " + n + " " + n, "");
    edit->bContains = true;
    edit->expected = {" enable=" + enable, " target=" + target, " memo=\"" + memo + "\""};
    edit->expected.insert(edit->expected.end(), texts.begin(), texts.end());
    return true;
}

bool NetparamEdit(const std::vector<std::string>& w, CtlEdit* edit)
{
    std::vector<std::string> plain;
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i][0] == '-' || w[i][0] == '/') {
            if (w[i][1] == 't') {
                return false;  // applied at once, never committed
            }
        } else if (plain.size() < 3) {
            plain.push_back(CtlCanonicalAddress(w[i]));
        }
    }
    if (plain.empty()) {
        return false;  // -r alone stages the current parameters: nothing to compare
    }
    *edit = Exact("netparam", "netparam", "");
    edit->bSettles = true;
    if (plain[0] == "0.0.0.0") {
        edit->expected = {"dhcp"};
        return true;
    }
    static const char* const NAMES[] = {"address=", " netmask=", " gateway="};
    edit->bContains = true;
    edit->expected.clear();
    for (size_t i = 0; i < plain.size(); ++i) {
        if (i < 2 || plain[i] != "0.0.0.0") {
            edit->expected.push_back(NAMES[i] + plain[i]);
        }
    }
    return true;
}

bool Matches(const CtlEdit& e, const std::string& line)
{
    if (!e.bContains) {
        return line == e.expected.front();
    }
    return std::all_of(e.expected.begin(), e.expected.end(),
                       [&](const std::string& part) { return line.find(part) != std::string::npos; });
}

std::string Joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& p : parts) {
        text += (text.empty() ? "" : " ") + (p.empty() || p[0] != ' ' ? p : p.substr(1));
    }
    return text;
}

}  // namespace

bool CtlEditFor(const std::vector<std::string>& w, CtlEdit* edit)
{
    const CtlCommand* c = w.empty() ? nullptr : CtlFindCommand(w[0]);
    const CtlForm* f = c == nullptr ? nullptr : CtlFindForm(*c, w.size() - 1);
    if (f == nullptr || f->effect != CtlEffect::EDIT) {
        return false;
    }
    const std::string word = c->word;
    bool made = true;
    if (word == "target") {
        *edit = Exact("target " + Number(w[1]), "target " + Number(w[1]), CtlCanonicalAddress(w[2]));
    } else if (word == "enable") {
        *edit = Exact("enable " + Number(w[1]), "enable " + Number(w[1]), Number(w[2]) == "0" ? "0" : "1");
    } else if (word == "udpport" || word == "settingport") {
        *edit = Exact(word, word, Number(w[1]));
    } else if (word == "enableall") {
        *edit = Exact(word, word, w[1].substr(0, TARGET_COUNT));
    } else if (word == "ntp") {
        *edit = Exact(word, word, "ntp " + Number(w[1]) + " \"" + Unquoted(w[2]) + "\"");
    } else if (word == "logflag") {
        std::string enable = "0";
        std::string flag = "FFFFFFFF";
        for (const auto& [key, value] : Pairs(w, 1)) {
            if (key == "enable") {
                enable = value;
            } else if (key == "flag") {
                char hex[9];
                std::snprintf(hex, sizeof hex, "%08lX", std::stoul(value, nullptr, 16));
                flag = hex;
            }
        }
        *edit = Exact(word, word, "enable=" + enable + " flag=" + flag);
    } else if (word == "setdest") {
        made = SetdestEdit(w, edit);
    } else {
        made = NetparamEdit(w, edit);
    }
    return made;
}

CtlSession::CtlSession(const CtlLink& link, CtlSessionOptions options, std::ostream& out, std::ostream& err)
    : m_link(link), m_options(std::move(options)), m_out(out), m_err(err)
{
}

int64_t CtlSession::Now() const
{
    if (m_options.nowMs) {
        return m_options.nowMs();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool CtlSession::Offline(const std::string& text, int* status, bool* quit)
{
    std::string line;
    std::string why;
    if (!CtlPrepareLine(text, &line, &why)) {
        *status = Refuse(text, why);
        return true;
    }
    std::vector<std::string> words = CtlSplitWords(line);
    const std::string first = words.empty() ? "" : Lower(words[0]);
    *status = 0;
    if (first.empty() || first == "quit" || first == "exit") {
        *quit = !first.empty();
        return true;
    }
    if (first == "help") {
        m_out << CtlHelpText(words.size() > 1 ? words[1] : "") << std::flush;
        return true;
    }
    if (first == "commit" || first == "targets" || first == "log") {
        return false;
    }
    // The PassWord from a prompt, file or the environment fills in a lock or chkpass typed without it.
    const bool needsPassword = (first == "lock" && words.size() == 2) || (first == "chkpass" && words.size() == 1);
    if (needsPassword && !m_options.password.empty()) {
        words.push_back(m_options.password);
        line += " " + m_options.password;
    }
    if (std::string bad = CtlCheckWords(words); !bad.empty()) {
        if (needsPassword) {
            bad += "\n(or give the PassWord with --password-file, --ask-password or KOVACTL_PASSWORD)";
        }
        *status = Refuse(line, bad);
        return true;
    }
    m_line = line;
    m_words = words;
    return false;
}

int CtlSession::Run(const std::string& text, bool* quit)
{
    int status = 0;
    if (Offline(text, &status, quit)) {
        return status;
    }
    WarnIfExpiring();
    std::string line;
    std::string why;
    CtlPrepareLine(text, &line, &why);
    const std::vector<std::string> words = CtlSplitWords(line);
    const std::string first = Lower(words[0]);
    if (first == "commit") {
        return words.size() == 1 ? Commit() : Refuse(line, "commit takes no words");
    }
    if (first == "targets") {
        return Targets(words);
    }
    if (first == "log") {
        return Log(words);
    }
    if (first == "vers" && !m_edits.empty() && !ConfirmVers()) {
        return 1;
    }
    return Send(m_words, m_line);
}

bool CtlSession::ConfirmVers()
{
    if (m_options.bInteractive && !m_bVersAsked) {
        m_bVersAsked = true;
        m_err << "kovactl: vers drops the " << m_edits.size()
              << " uncommitted edit(s) of this session; commit first, or type vers again to drop them\n";
        return false;
    }
    m_err << "kovactl: vers dropped " << m_edits.size() << " uncommitted edit(s)\n";
    return true;
}

void CtlSession::WarnIfExpiring()
{
    if (m_edits.empty() || m_bWarned) {
        return;
    }
    const int64_t age = Now() - m_lastEditMs;
    if (age > EDIT_LIFE_MS) {
        m_bWarned = true;
        m_err << "kovactl: warning: " << age / 1000 << " s since the last edit: the unit has most likely dropped the "
              << m_edits.size() << " uncommitted edit(s); commit reads them back and tells\n";
    } else if (age > EDIT_WARN_MS && m_options.bInteractive) {
        m_bWarned = true;
        m_err << "kovactl: warning: the last edit was " << age / 1000
              << " s ago; the unit drops uncommitted edits 60 s after the last one: commit now\n";
    }
}

void CtlSession::Remember(const CtlEdit& edit)
{
    m_edits.erase(std::remove_if(m_edits.begin(), m_edits.end(), [&](const CtlEdit& e) { return e.key == edit.key; }),
                  m_edits.end());
    m_edits.push_back(edit);
    m_lastEditMs = Now();
    m_bWarned = false;
}

int CtlSession::Refuse(const std::string& line, const std::string& why)
{
    if (m_options.bJson) {
        m_out << "{\"command\": " << CtlJsonString(line)
              << ", \"reply\": [], \"outcome\": \"invalid\", \"error\": " << CtlJsonString(why) << "}\n"
              << std::flush;
    }
    m_err << "kovactl: " << why << "\n";
    return 1;
}

void CtlSession::Print(const std::string& line, const CtlResult& r, const std::string& reason)
{
    if (m_options.bJson) {
        m_out << "{\"command\": " << CtlJsonString(line) << ", \"reply\": " << CtlJsonStringArray(r.lines)
              << ", \"outcome\": " << CtlJsonString(CtlOutcomeName(r.outcome));
        if (!r.error.empty()) {
            m_out << ", \"error\": " << CtlJsonString(r.error);
        }
        if (!reason.empty()) {
            m_out << ", \"reason\": " << CtlJsonString(reason);
        }
        m_out << "}\n";
    } else {
        for (const std::string& l : r.lines) {
            m_out << l << "\n";
        }
    }
    m_out.flush();
    if (!r.error.empty()) {
        m_err << "kovactl: " << r.error << "\n";
    }
    if (!reason.empty()) {
        m_err << "kovactl: " << reason << "\n";
    }
}

int CtlSession::Send(const std::vector<std::string>& words, const std::string& line)
{
    const CtlResult r = CtlTransact(m_link, line, m_options.timeouts);
    const bool refused = r.outcome == CtlOutcome::NG || r.outcome == CtlOutcome::ERROR;
    const std::string first = Lower(words[0]);
    std::string reason = refused ? CtlExplainRefusal(words, r, m_options.bPasswordGiven) : "";
    CtlEdit edit;
    if ((r.outcome == CtlOutcome::OK || r.outcome == CtlOutcome::NO_REPLY) && CtlEditFor(words, &edit)) {
        if (!m_edits.empty() && Now() - m_lastEditMs > EDIT_LIFE_MS) {
            reason = "the earlier edits were most likely dropped: more than 60 s passed since the last one";
        }
        edit.sent = line;
        Remember(edit);
    } else if (r.outcome == CtlOutcome::VALUE && first == "vers") {
        m_edits.clear();
        m_bVersAsked = false;
    } else if (r.outcome == CtlOutcome::OK && first == "update") {
        m_edits.clear();
    }
    Print(line, r, reason);
    return CtlExitStatus(r.outcome);
}

CtlResult CtlSession::ReadBack(const CtlEdit& edit)
{
    constexpr int SETTLE_STEP_MS = 200;
    for (int waited = 0;; waited += SETTLE_STEP_MS) {
        CtlResult r = CtlTransact(m_link, edit.readCommand, m_options.timeouts);
        if (r.outcome != CtlOutcome::VALUE || Matches(edit, r.lines.front()) || !edit.bSettles ||
            waited >= m_options.timeouts.replyMs) {
            return r;
        }
        poll(nullptr, 0, SETTLE_STEP_MS);
    }
}

int CtlSession::Commit()
{
    const size_t count = m_edits.size();
    if (count == 0) {
        m_err << "kovactl: commit: no edits were sent in this session; committing what the unit holds, unchecked\n";
    }
    for (const char* step : {"save", "update"}) {
        const CtlResult r = CtlTransact(m_link, step, m_options.timeouts);
        if (r.outcome != CtlOutcome::OK) {
            const bool refused = r.outcome == CtlOutcome::NG || r.outcome == CtlOutcome::ERROR;
            Print(step, r, refused ? CtlExplainRefusal({step}, r, m_options.bPasswordGiven) : "");
            return refused ? 1 : CtlExitStatus(r.outcome);
        }
    }
    std::vector<std::string> lost;
    std::string lostJson;
    for (const CtlEdit& e : m_edits) {
        const CtlResult r = ReadBack(e);
        if (r.outcome != CtlOutcome::VALUE) {
            Print(e.readCommand, r,
                  r.outcome == CtlOutcome::NG
                      ? CtlExplainRefusal(CtlSplitWords(e.readCommand), r, m_options.bPasswordGiven)
                      : "");
            return CtlExitStatus(r.outcome) == 0 ? 1 : CtlExitStatus(r.outcome);
        }
        if (!Matches(e, r.lines.front())) {
            lost.push_back("commit: " + e.sent + ": not committed: the unit holds " + r.lines.front() +
                           " (the edit expired 60 s after the last one, or vers dropped it; send it again)");
            lostJson += std::string(lostJson.empty() ? "" : ", ") + "{\"edit\": " + CtlJsonString(e.sent) +
                        ", \"expected\": " + CtlJsonString(Joined(e.expected)) +
                        ", \"unit\": " + CtlJsonString(r.lines.front()) + "}";
        }
    }
    m_edits.clear();
    if (m_options.bJson) {
        m_out << "{\"command\": \"commit\", \"outcome\": " << (lost.empty() ? "\"ok\"" : "\"lost\"")
              << ", \"edits\": " << count << ", \"lost\": [" << lostJson << "]}\n";
    } else if (lost.empty() && count == 0) {
        m_out << "committed\n";
    } else if (lost.empty()) {
        m_out << "committed: " << count << " edit(s) saved, live and read back\n";
    }
    m_out.flush();
    for (const std::string& l : lost) {
        m_err << "kovactl: " << l << "\n";
    }
    return lost.empty() ? 0 : 1;
}

int CtlSession::Targets(const std::vector<std::string>& words)
{
    const bool configured = words.size() == 2 && words[1] == "--configured";
    if (words.size() > 2 || (words.size() == 2 && !configured)) {
        return Refuse(Joined(words), "targets takes only --configured (the entries in use)");
    }
    std::vector<CtlTarget> targets;
    const CtlResult r = CtlReadTargets(m_link, m_options.timeouts, configured, &targets);
    if (!targets.empty() || (configured && r.outcome == CtlOutcome::VALUE)) {
        if (m_options.bJson) {
            CtlPrintTargetJson(targets, m_out);
        } else {
            CtlPrintTargetTable(targets, m_out);
        }
        m_out.flush();
    }
    if (r.outcome != CtlOutcome::VALUE) {
        m_err << "kovactl: " << r.error << "\n";
        return CtlExitStatus(r.outcome);
    }
    return 0;
}

int CtlSession::Log(const std::vector<std::string>& words)
{
    bool json = m_options.bJson;
    bool follow = false;
    bool raw = false;
    std::string since;
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--json") {
            json = true;
        } else if (words[i] == "--follow") {
            follow = true;
        } else if (words[i] == "--raw") {
            raw = true;
        } else if (words[i] == "--since" && i + 1 < words.size() && CtlParseLogTime(Unquoted(words[i + 1]), &since)) {
            ++i;
        } else {
            return Refuse(Joined(words),
                          "log takes --json, --raw, --follow and --since TIME (YYYY-MM-DD[ hh:mm[:ss]], quoted when "
                          "it has a blank)");
        }
    }
    std::vector<CtlLogMessage> seen;
    for (bool firstPoll = true;; firstPoll = false) {
        const CtlResult r = CtlTransact(m_link, "log", m_options.timeouts);
        if (r.outcome != CtlOutcome::VALUE || raw) {
            const bool refused = r.outcome == CtlOutcome::NG || r.outcome == CtlOutcome::ERROR;
            Print("log", r, refused ? CtlExplainRefusal({"log"}, r, m_options.bPasswordGiven) : "");
            return CtlExitStatus(r.outcome);
        }
        std::vector<CtlLogMessage> now;
        std::string why;
        if (!CtlDecodeLog(r.lines, &now, &why)) {
            m_err << "kovactl: log: " << why << "\n";
            return 1;
        }
        for (const CtlLogMessage& m : firstPoll ? now : CtlNewLogMessages(seen, now)) {
            if (m.time >= since) {
                m_out << (json ? CtlLogJson(m) : CtlLogLine(m)) << "\n";
            }
        }
        m_out.flush();
        seen = std::move(now);
        if (!follow) {
            return 0;
        }
        for (int waited = 0; waited < m_options.followIntervalMs; waited += 100) {
            if (m_options.stop != nullptr && m_options.stop->load()) {
                return 0;
            }
            poll(nullptr, 0, 100);
        }
    }
}
