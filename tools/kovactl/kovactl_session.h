// kovactl_session: one conversation with a unit, line by line. It checks
// each line against the command table before sending it, explains the
// unit's refusals, keeps kovactl's own words (commit, targets, log, help,
// quit), and remembers the edits sent since the last commit: the unit keeps
// them in a working copy that it drops 60 s after the last edit or at `vers`,
// and then still answers save and update with OK. `commit` therefore reads
// every edit back after the update and reports those that did not arrive.
//
// Threads: one caller at a time; the stop flag may be set from a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "kovactl_link.h"
#include "kovactl_reply.h"

struct CtlSessionOptions {
    bool bJson = false;
    bool bInteractive = false;    // a person types: warnings and confirmations apply
    bool bPasswordGiven = false;  // chkpass was sent with a PassWord
    std::string password;         // filled into `lock 0|1` and `chkpass` typed without it
    CtlTimeouts timeouts;
    int followIntervalMs = 2000;              // log --follow: time between polls
    std::function<int64_t()> nowMs;           // kovactl's clock (steady milliseconds when empty)
    const std::atomic<bool>* stop = nullptr;  // ends log --follow
};

// An edit sent in this session and how to read it back.
struct CtlEdit {
    std::string key;                    // "target 5": a later edit of the same key replaces it
    std::string sent;                   // the line as sent
    std::string readCommand;            // "target 5"
    std::vector<std::string> expected;  // the read-back line equals [0], or contains each when bContains
    bool bContains = false;
    bool bSettles = false;  // the unit core applies it after the update: read again for a while
};

// The edit a line makes when the unit accepts it; false for lines that edit nothing.
bool CtlEditFor(const std::vector<std::string>& words, CtlEdit* edit);

class CtlSession {
   public:
    CtlSession(const CtlLink& link, CtlSessionOptions options, std::ostream& out, std::ostream& err);
    // Runs one typed line; the exit status it earns (0, 1 or 2). *quit is set
    // when the line ends the session (quit, exit).
    int Run(const std::string& text, bool* quit);
    // Handles a line that needs no unit (help, quit, a line refused before
    // sending); false when the line must go to the unit (or is a local word
    // that talks to it).
    bool Offline(const std::string& text, int* status, bool* quit);
    size_t PendingEdits() const { return m_edits.size(); }

   private:
    int Send(const std::vector<std::string>& words, const std::string& line);
    int Commit();
    CtlResult ReadBack(const CtlEdit& edit);
    int Targets(const std::vector<std::string>& words);
    int Log(const std::vector<std::string>& words);
    int Refuse(const std::string& line, const std::string& why);
    void Remember(const CtlEdit& edit);
    void WarnIfExpiring();
    bool ConfirmVers();
    void Print(const std::string& line, const CtlResult& r, const std::string& reason);
    int64_t Now() const;

    const CtlLink& m_link;
    CtlSessionOptions m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<CtlEdit> m_edits;
    int64_t m_lastEditMs = 0;
    bool m_bWarned = false;
    bool m_bVersAsked = false;
    std::string m_line;  // the checked line Offline left for Run
    std::vector<std::string> m_words;
};
