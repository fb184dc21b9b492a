// kovactl_log: the unit's ring log made readable. The `log` reply lists
// 64-byte records newest first, each as hexadecimal bytes; a text longer than
// one record goes on in continuation records that carry no time. This module
// turns such a reply into whole messages, oldest first, with their time and
// category, and prints them as text lines or JSON objects.
//
// Threads: stateless; any thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

struct CtlLogMessage {
    std::string time;     // "YYYY-MM-DD hh:mm:ss"
    char category = '-';  // 'I' information, 'W' warning, 'T' trace, '-' other
    std::string text;     // without its "[I] "/"[W] " prefix and line end
};

// Decodes the reply lines of `log` (through "log Z"); false with *error on a
// line that is not a log record. A continuation whose first record was
// overwritten is dropped.
bool CtlDecodeLog(const std::vector<std::string>& lines, std::vector<CtlLogMessage>* messages, std::string* error);
// Parses "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss]" or with a T between into the
// form of CtlLogMessage::time; false when it is none of these.
bool CtlParseLogTime(const std::string& text, std::string* time);
// "2026-12-08 00:02:12 [I] state ready"
std::string CtlLogLine(const CtlLogMessage& m);
// {"time": "2026-12-08T00:02:12", "category": "info", "text": "state ready"}
std::string CtlLogJson(const CtlLogMessage& m);
// The messages after those already seen (a previous poll's list): the tail of
// now that follows the last message of before. All of now when it is not found.
std::vector<CtlLogMessage> CtlNewLogMessages(const std::vector<CtlLogMessage>& before,
                                             const std::vector<CtlLogMessage>& now);
