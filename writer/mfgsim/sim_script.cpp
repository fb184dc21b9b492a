// sim_script: see the header. A hand-written reader: the tags the format
// knows, their attributes in double quotes, and the text of a step.

#include "sim_script.h"

#include <cstdlib>
#include <map>

namespace {

struct Tag {
    std::string name;
    bool end = false;  // an end tag, </name>
    std::map<std::string, std::string> attributes;
    bool selfClosing = false;
};

std::string Unescape(const std::string& s)
{
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        bool replaced = false;
        if (s[i] == '&') {
            for (const auto& [entity, c] : entities) {
                const std::string e(entity);
                if (s.compare(i, e.size(), e) == 0) {
                    out.push_back(c);
                    i += e.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            out.push_back(s[i++]);
        }
    }
    return out;
}

std::string Trim(const std::string& s)
{
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool ParseTag(const std::string& body, Tag& tag, std::string& error)
{
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) {
            ++i;
        }
    };
    auto readName = [&] {
        const std::size_t start = i;
        while (i < body.size() && body[i] != ' ' && body[i] != '\t' && body[i] != '\r' && body[i] != '\n' &&
               body[i] != '=' && body[i] != '/') {
            ++i;
        }
        return body.substr(start, i - start);
    };
    if (!body.empty() && body[0] == '/') {
        ++i;
        tag.name = readName();
        tag.end = true;
        return true;
    }
    tag.name = readName();
    for (;;) {
        skipBlanks();
        if (i >= body.size()) {
            return true;
        }
        if (body[i] == '/') {
            tag.selfClosing = true;
            return true;
        }
        const std::string attribute = readName();
        skipBlanks();
        if (attribute.empty() || i >= body.size() || body[i] != '=') {
            error = "attribute without a value in <" + tag.name + ">";
            return false;
        }
        ++i;
        skipBlanks();
        if (i >= body.size() || body[i] != '"') {
            error = "attribute value not in double quotes in <" + tag.name + ">";
            return false;
        }
        const std::size_t end = body.find('"', i + 1);
        if (end == std::string::npos) {
            error = "unterminated attribute value in <" + tag.name + ">";
            return false;
        }
        tag.attributes[attribute] = Unescape(body.substr(i + 1, end - i - 1));
        i = end + 1;
    }
}

bool ParseNumber(const std::string& text, std::uint32_t& out)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    out = static_cast<std::uint32_t>(value);
    return end != nullptr && *end == '\0';
}

}  // namespace

const SimList* SimScript::Find(const std::string& name) const
{
    for (const SimList& list : lists) {
        if (list.szName == name) {
            return &list;
        }
    }
    return nullptr;
}

bool SimParseScript(const std::string& text, SimScript& out, std::string& error)
{
    out.lists.clear();
    enum class Level { Top, Script, List, Phase, Step } level = Level::Top;
    std::string stepText;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find('<', i);
        if (open == std::string::npos) {
            break;
        }
        if (level == Level::Step) {
            stepText += text.substr(i, open - i);
        }
        if (text.compare(open, 4, "<!--") == 0) {
            const std::size_t end = text.find("-->", open + 4);
            if (end == std::string::npos) {
                error = "unterminated comment";
                return false;
            }
            i = end + 3;
            continue;
        }
        const std::size_t close = text.find('>', open);
        if (close == std::string::npos) {
            error = "unterminated tag";
            return false;
        }
        i = close + 1;
        if (text[open + 1] == '?') {
            continue;  // the XML declaration
        }
        Tag tag;
        if (!ParseTag(text.substr(open + 1, close - open - 1), tag, error)) {
            return false;
        }
        if (!tag.end && tag.name == "script" && level == Level::Top) {
            level = Level::Script;
        } else if (!tag.end && tag.name == "list" && level == Level::Script) {
            out.lists.push_back(SimList{tag.attributes["name"], {}});
            level = Level::List;
        } else if (!tag.end && tag.name == "phase" && level == Level::List) {
            SimPhase phase;
            phase.szName = tag.attributes["name"];
            if (!ParseNumber(tag.attributes["vendor"], phase.dwVendor) ||
                !ParseNumber(tag.attributes["product"], phase.dwProduct)) {
                error = "phase \"" + phase.szName + "\" without a vendor and product number";
                return false;
            }
            out.lists.back().phases.push_back(phase);
            level = tag.selfClosing ? Level::List : Level::Phase;
        } else if (!tag.end && tag.name == "step" && level == Level::Phase) {
            out.lists.back().phases.back().steps.push_back(SimStep{"", tag.attributes["file"]});
            stepText.clear();
            level = tag.selfClosing ? Level::Phase : Level::Step;
        } else if (tag.end && tag.name == "step" && level == Level::Step) {
            out.lists.back().phases.back().steps.back().szText = Trim(Unescape(stepText));
            level = Level::Phase;
        } else if (tag.end && tag.name == "phase" && level == Level::Phase) {
            level = Level::List;
        } else if (tag.end && tag.name == "list" && level == Level::List) {
            level = Level::Script;
        } else if (tag.end && tag.name == "script" && level == Level::Script) {
            level = Level::Top;
        } else {
            error = std::string(tag.end ? "unexpected </" : "unexpected <") + tag.name + ">";
            return false;
        }
    }
    if (level != Level::Top) {
        error = "the script ends inside an element";
        return false;
    }
    return true;
}
