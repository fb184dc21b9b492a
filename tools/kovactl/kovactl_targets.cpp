// kovactl_targets: see the header. An entry line is a row of key=value
// words; texts are in double quotes. The unit removes quotes from the texts it
// is given, but a call sign or radio identifier learnt from a peer is stored
// as it came, so a text ends at a quote that is followed by a blank or the
// end of the line.

#include "kovactl_targets.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "kovactl_json.h"

namespace {

constexpr char DEST_PREFIX[] = "getdest ";

// The quote that closes a text starting at pos: the first one at the end of
// the line or before a blank. A call sign learnt from a peer may hold a quote
// of its own; it stays part of the text.
size_t ClosingQuote(const std::string& text, size_t pos)
{
    for (size_t q = text.find('"', pos); q != std::string::npos; q = text.find('"', q + 1)) {
        if (q + 1 == text.size() || text[q + 1] == ' ') {
            return q;
        }
    }
    return std::string::npos;
}

// Splits "key=value key="text with blanks" ..." into a map; false on a malformed word.
bool ParsePairs(const std::string& text, size_t pos, std::map<std::string, std::string>* pairs)
{
    while (pos < text.size()) {
        if (text[pos] == ' ') {
            ++pos;
            continue;
        }
        const size_t eq = text.find('=', pos);
        if (eq == std::string::npos || eq == pos || text.find(' ', pos) < eq) {
            return false;
        }
        std::string key = text.substr(pos, eq - pos);
        size_t end;
        std::string value;
        if (eq + 1 < text.size() && text[eq + 1] == '"') {
            end = ClosingQuote(text, eq + 2);
            if (end == std::string::npos) {
                return false;
            }
            value = text.substr(eq + 2, end - eq - 2);
            ++end;
        } else {
            end = text.find(' ', eq + 1);
            end = end == std::string::npos ? text.size() : end;
            value = text.substr(eq + 1, end - eq - 1);
        }
        (*pairs)[key] = value;
        pos = end;
    }
    return true;
}

std::string Get(const std::map<std::string, std::string>& pairs, const char* key)
{
    auto it = pairs.find(key);
    return it == pairs.end() ? "" : it->second;
}

CtlResult Failure(CtlOutcome outcome, std::string error)
{
    CtlResult r;
    r.outcome = outcome;
    r.error = std::move(error);
    return r;
}

// A failed step's result, with a message that names the command.
CtlResult StepFailure(const std::string& command, CtlResult r)
{
    if (r.outcome == CtlOutcome::NG) {
        r.error = command + ": the unit answered NG (is the lock on? give the PassWord with -p, --password-file or KOVACTL_PASSWORD)";
    } else if (r.outcome == CtlOutcome::ERROR) {
        r.error = command + ": the unit answered \"" + r.lines.front() + "\"";
    } else if (r.outcome == CtlOutcome::VALUE || r.outcome == CtlOutcome::OK || r.outcome == CtlOutcome::NO_REPLY) {
        r.outcome = CtlOutcome::ERROR;
        r.error = command + ": unexpected reply";
    } else {
        r.error = command + ": " + r.error;
    }
    return r;
}

}  // namespace

bool CtlParseDestLine(const std::string& line, CtlTarget* target)
{
    if (line.compare(0, sizeof(DEST_PREFIX) - 1, DEST_PREFIX) != 0) {
        return false;
    }
    size_t pos = sizeof(DEST_PREFIX) - 1;
    size_t digits = 0;
    int index = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 3) {
        index = index * 10 + (line[pos++] - '0');
        ++digits;
    }
    std::map<std::string, std::string> pairs;
    if (digits == 0 || (pos < line.size() && line[pos] != ' ') || !ParsePairs(line, pos, &pairs)) {
        return false;
    }
    const std::string enable = Get(pairs, "enable");
    if ((enable != "0" && enable != "1") || Get(pairs, "target").empty()) {
        return false;
    }
    target->nIndex = index;
    target->bEnable = enable == "1";
    target->target = Get(pairs, "target");
    target->sctbl = Get(pairs, "sctbl");
    target->callsign = Get(pairs, "callsign");
    target->radioid = Get(pairs, "radioid");
    target->memo = Get(pairs, "memo");
    target->currentip = Get(pairs, "currentip");
    target->locDgid = Get(pairs, "loc_dgid");
    target->defDgid = Get(pairs, "def_dgid");
    return true;
}

namespace {

// "word n". Appended rather than added to a literal: GCC 12 at -O3 warns
// falsely (-Wrestrict) on a literal plus a temporary string.
std::string CommandWithIndex(const char* word, int n)
{
    std::string command = word;
    command += ' ';
    command += std::to_string(n);
    return command;
}

// Reads and checks the 100 entry lines into *targets (left empty on failure).
CtlResult ReadEntries(const CtlLink& link, const CtlTimeouts& timeouts, std::vector<CtlTarget>* targets)
{
    const std::string listing = CommandWithIndex("getdest 0", CTL_TARGET_COUNT - 1);
    CtlResult r = CtlTransact(link, listing, timeouts);
    if (r.outcome != CtlOutcome::VALUE) {
        return StepFailure(listing, std::move(r));
    }
    if (r.lines.size() != CTL_TARGET_COUNT) {
        return Failure(CtlOutcome::ERROR, listing + ": " + std::to_string(r.lines.size()) + " lines instead of " +
                                              std::to_string(CTL_TARGET_COUNT));
    }
    std::vector<CtlTarget> read(CTL_TARGET_COUNT);
    for (size_t i = 0; i < r.lines.size(); ++i) {
        if (!CtlParseDestLine(r.lines[i], &read[i]) || read[i].nIndex != static_cast<int>(i)) {
            return Failure(CtlOutcome::ERROR, listing + ": unexpected line: " + r.lines[i]);
        }
    }
    *targets = std::move(read);
    return r;
}

}  // namespace

bool CtlIsConfigured(const CtlTarget& target)
{
    return target.bEnable || target.target != "0.0.0.0" || !target.memo.empty();
}

CtlResult CtlReadTargets(const CtlLink& link, const CtlTimeouts& timeouts, bool configuredOnly,
                         std::vector<CtlTarget>* targets)
{
    targets->clear();
    std::vector<CtlTarget> read;
    CtlResult r = ReadEntries(link, timeouts, &read);
    if (r.outcome != CtlOutcome::VALUE) {
        return r;
    }
    if (configuredOnly) {
        read.erase(std::remove_if(read.begin(), read.end(), [](const CtlTarget& t) { return !CtlIsConfigured(t); }),
                   read.end());
    }
    CtlResult refused;
    refused.outcome = CtlOutcome::VALUE;
    for (CtlTarget& t : read) {
        const std::string command = CommandWithIndex("status", t.nIndex);
        CtlResult s = CtlTransact(link, command, timeouts);
        if (s.outcome == CtlOutcome::NG || s.outcome == CtlOutcome::ERROR) {
            // The unit gave no state for this entry: the table shows its answer.
            t.status = s.lines.front();
            if (refused.outcome == CtlOutcome::VALUE) {
                refused = StepFailure(command, std::move(s));
            }
            continue;
        }
        if (s.outcome != CtlOutcome::VALUE) {
            return StepFailure(command, std::move(s));
        }
        t.status = s.lines.front();
    }
    *targets = std::move(read);
    return refused;
}

void CtlPrintTargetTable(const std::vector<CtlTarget>& targets, std::ostream& out)
{
    bool listServer = false;
    for (const CtlTarget& t : targets) {
        listServer = listServer || !t.currentip.empty();
    }
    char row[256];
    std::snprintf(row, sizeof row, "%3s  %-3s  %-15s  %-15s  %-10s  %-7s  %s", "No", "En", "Target", "Status",
                  "Callsign", "RadioID", listServer ? "Current IP       Memo" : "Memo");
    out << row << "\n";
    for (const CtlTarget& t : targets) {
        char current[24] = "";
        if (listServer) {
            std::snprintf(current, sizeof current, "%-15s  ", t.currentip.c_str());
        }
        std::snprintf(row, sizeof row, "%3d  %-3s  %-15s  %-15s  %-10s  %-7s  %s", t.nIndex, t.bEnable ? "on" : "off",
                      t.target.c_str(), t.status.c_str(), t.callsign.c_str(), t.radioid.c_str(), current);
        out << row << t.memo << "\n";
    }
}

void CtlPrintTargetJson(const std::vector<CtlTarget>& targets, std::ostream& out)
{
    out << "[\n";
    for (size_t i = 0; i < targets.size(); ++i) {
        const CtlTarget& t = targets[i];
        out << "  {\"index\": " << t.nIndex << ", \"enable\": " << (t.bEnable ? "true" : "false")
            << ", \"target\": " << CtlJsonString(t.target) << ", \"status\": " << CtlJsonString(t.status)
            << ", \"callsign\": " << CtlJsonString(t.callsign) << ", \"radioid\": " << CtlJsonString(t.radioid)
            << ", \"memo\": " << CtlJsonString(t.memo) << ", \"sctbl\": " << CtlJsonString(t.sctbl);
        if (!t.currentip.empty()) {
            out << ", \"currentip\": " << CtlJsonString(t.currentip);
        }
        out << ", \"loc_dgid\": " << CtlJsonString(t.locDgid) << ", \"def_dgid\": " << CtlJsonString(t.defDgid) << "}"
            << (i + 1 < targets.size() ? "," : "") << "\n";
    }
    out << "]\n";
}
