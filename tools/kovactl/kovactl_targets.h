// kovactl_targets: the `targets` view. It reads the 100 target entries with
// one "getdest 0 99" and each entry's link state with "status n", parses
// the entry lines, and prints them as a table or as a JSON array.
//
// Threads: one caller at a time; no state of its own.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "kovactl_link.h"
#include "kovactl_reply.h"

inline constexpr int CTL_TARGET_COUNT = 100;

struct CtlTarget {
    int nIndex = -1;
    bool bEnable = false;
    std::string target;  // dotted address
    std::string sctbl;   // code table, 32 hex digits
    std::string callsign;
    std::string radioid;
    std::string memo;
    std::string currentip;  // only in ListServer mode, else empty
    std::string locDgid;    // two hex digits
    std::string defDgid;
    std::string status;  // the unit's answer to "status n" (a state word)
};

// Parses one "getdest n key=value..." line; false when it is not one.
bool CtlParseDestLine(const std::string& line, CtlTarget* target);
// Reads all entries and their link states. *targets is filled when the
// entries were read, even if the unit refused the state of some (their status
// is then its answer, and the result names the first refusal); else it is left
// empty and the result holds the failing step's outcome and message. With
// configuredOnly, only the entries in use (enabled, an address or a memo) are
// kept and asked for their state.
CtlResult CtlReadTargets(const CtlLink& link, const CtlTimeouts& timeouts, bool configuredOnly,
                         std::vector<CtlTarget>* targets);
// True for an entry in use: enabled, with an address, or with a memo.
bool CtlIsConfigured(const CtlTarget& target);
// One row per entry under a heading.
void CtlPrintTargetTable(const std::vector<CtlTarget>& targets, std::ostream& out);
// A JSON array with one object per entry.
void CtlPrintTargetJson(const std::vector<CtlTarget>& targets, std::ostream& out);
