// kovactl_json: see the header. The unit sends printable ASCII; any other
// byte (line noise on a serial port) is escaped as the code point of the
// same value, so the output is valid JSON whatever arrived.

#include "kovactl_json.h"

#include <cstdio>

std::string CtlJsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u >= 0x7F) {
            char esc[7];
            std::snprintf(esc, sizeof esc, "\\u%04X", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string CtlJsonStringArray(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + CtlJsonString(items[i]);
    }
    return out + "]";
}
