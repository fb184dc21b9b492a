// kovactl_commands: what kovactl knows of the unit's commands, in one table:
// each command word, the forms it takes (by the words after it), the kind and
// range of every argument, whether the unit's lock applies, and what a form
// does (reads, edits the session's working copy, acts at once, commits).
// The table drives the checks made before a line is sent, the `help` text,
// the words offered for completion, and the likely reasons given when the
// unit refuses a line it was sent.
//
// Threads: the table is constant; every function is stateless.
#pragma once

#include <string>
#include <vector>

#include "kovactl_reply.h"

enum class CtlArg {
    INDEX,      // a target number, 0 to 99
    ADDRESS,    // a dotted address a.b.c.d
    PORT,       // 1 to 65535
    FLAG,       // 0 or 1
    STEP,       // factset's step, 0 or 1
    REPLYFLAG,  // setdest's reply flag: 0 silences the OK
    DIGITS,     // enableall: 100 characters 0 or 1
    MAC,        // six hex fields joined by colons
    PASSWORD,   // 1 to 16 characters, no blanks or quotes
    TEXT,       // free text up to a length (quoted when it has blanks)
    DESTKEY,    // setdest's key=value words
    LOGKEY,     // logflag's enable=E and flag=F
    NETWORD,    // netparam's -t/-r options and addresses
};

enum class CtlEffect {
    READ,     // reads a value
    EDIT,     // changes the session's working copy: live only after commit
    NOW,      // acts at once (lock, PassWord, reset, MAC, links, reboot)
    COMMIT,   // save or update
    SESSION,  // vers: drops the session's edits
};

struct CtlArgRule {
    CtlArg kind;
    const char* name;      // as usage shows it: N, A.B.C.D, ...
    size_t maxLength = 0;  // TEXT only
};

struct CtlForm {
    std::vector<CtlArgRule> args;  // the words after the command word
    bool bMore = false;            // the last kind repeats (setdest keys, netparam words)
    CtlEffect effect = CtlEffect::READ;
    const char* summary;
};

struct CtlCommand {
    const char* word;
    bool bLocked;   // the lock check applies (NG until chkpass when the lock is on)
    bool bRetired;  // a directory command the unit always refuses
    std::vector<CtlForm> forms;
};

// The unit's 36 command words (and none of kovactl's own).
const std::vector<CtlCommand>& CtlCommandTable();
// The row of a command word (any case); null when the unit has no such word.
const CtlCommand* CtlFindCommand(const std::string& word);
// The form of a command that takes this many words after it; null if none.
const CtlForm* CtlFindForm(const CtlCommand& command, size_t argCount);
// "target N [A.B.C.D]"-style lines, one per form.
std::string CtlUsage(const CtlCommand& command);
// Checks a line's words against the table before it is sent; "" when the unit
// should take it, else what is wrong and what is allowed (several lines).
std::string CtlCheckWords(const std::vector<std::string>& words);
// The likely reasons for a refusal the unit gave to a line kovactl had found
// well-formed. passwordGiven: kovactl sent chkpass with a PassWord this session.
std::string CtlExplainRefusal(const std::vector<std::string>& words, const CtlResult& result, bool passwordGiven);
// The help text: every command with its forms, or one command's.
std::string CtlHelpText(const std::string& word);
// Candidates for the next word of a line whose completed words are given.
std::vector<std::string> CtlCompletions(const std::vector<std::string>& words);
// True for a dotted address a.b.c.d with each number 0 to 255.
bool CtlIsAddress(const std::string& text);
// The address printed as the unit prints it (leading zeros dropped).
std::string CtlCanonicalAddress(const std::string& text);
