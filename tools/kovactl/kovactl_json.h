// kovactl_json: the JSON texts of kovactl's --json output: quoted strings
// and arrays of strings. Output only; kovactl reads no JSON.
//
// Threads: stateless; any thread.
#pragma once

#include <string>
#include <vector>

// A JSON string literal for text (quotes, backslashes and control bytes escaped).
std::string CtlJsonString(const std::string& text);
// A JSON array of string literals, on one line.
std::string CtlJsonStringArray(const std::vector<std::string>& items);
