// relay_check: see relay_check.h. Frames are matched by their whole
// parameter area, which the units pass on unchanged; the payload of every
// frame of a demo transmission differs, so a match names one sent frame.
#include "relay_check.h"

#include <cstdio>

namespace kovasim {

namespace {

char RelayCommand(char sentCommand)
{
    return sentCommand == 'g' ? 'f' : 'F';
}

std::string TypeName(char type)
{
    switch (type) {
        case 'H':
        case 'h':
            return "header";
        case 'I':
        case 'i':
            return "identification";
        case 'T':
            return "end";
        default:
            return type >= '0' && type <= '3' ? "voice" : "unknown type";
    }
}

// The sent frame with this area, or sent.size() when none.
size_t FindSent(const std::vector<SentFrame>& sent, const std::string& param)
{
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].param == param) {
            return i;
        }
    }
    return sent.size();
}

std::string Nth(size_t position, size_t count, const std::string& param)
{
    return "frame " + std::to_string(position + 1) + " of " + std::to_string(count) + " (" + DescribeVoice(param) + ")";
}

}  // namespace

std::string DescribeVoice(const std::string& param)
{
    auto voice = sim::radio::ParseVoiceParam(param);
    if (!voice) {
        return "unreadable voice area";
    }
    char counter[8];
    std::snprintf(counter, sizeof(counter), "%04X", voice->header.counter);
    return TypeName(voice->header.type) + " " + voice->header.type + ", counter " + counter;
}

std::vector<size_t> FramesToRelay(const std::vector<SentFrame>& sent)
{
    std::vector<size_t> out;
    for (size_t i = 0; i < sent.size(); ++i) {
        auto voice = sim::radio::ParseVoiceParam(sent[i].param);
        bool header = voice && (voice->header.type == 'H' || voice->header.type == 'h');
        if (header && i + 1 < sent.size()) {
            auto next = sim::radio::ParseVoiceParam(sent[i + 1].param);
            bool replaced = next && (next->header.type == 'I' || next->header.type == 'i') &&
                            next->header.counter == voice->header.counter;
            if (replaced) {
                continue;
            }
        }
        out.push_back(i);
    }
    return out;
}

size_t RelayReport::arrivedCount() const
{
    size_t n = 0;
    for (const RelayedFrame& f : frames) {
        n += f.arrived ? 1 : 0;
    }
    return n;
}

RelayReport CheckRelay(const std::vector<SentFrame>& sent, const std::vector<sim::radio::Frame>& received)
{
    RelayReport report;
    std::vector<size_t> wanted = FramesToRelay(sent);
    std::vector<size_t> positionOf(sent.size(), wanted.size());  // sent index -> position in wanted
    for (size_t p = 0; p < wanted.size(); ++p) {
        positionOf[wanted[p]] = p;
        report.frames.push_back({wanted[p], false, -1, {}});
    }
    size_t lastPosition = wanted.size();  // none yet
    for (const sim::radio::Frame& r : received) {
        if (r.command != 'F' && r.command != 'f') {
            continue;
        }
        size_t s = FindSent(sent, r.param);
        if (s == sent.size()) {
            report.problems.push_back(std::string("the far radio got an ") + r.command +
                                      " frame that was never sent (" + DescribeVoice(r.param) + ")");
            continue;
        }
        size_t p = positionOf[s];
        if (p == wanted.size()) {
            report.problems.push_back("the " + DescribeVoice(r.param) +
                                      " was relayed, though the identification takes its place");
            continue;
        }
        RelayedFrame& f = report.frames[p];
        std::string name = Nth(p, wanted.size(), r.param);
        if (f.arrived) {
            report.problems.push_back(name + " arrived twice");
            continue;
        }
        f.arrived = true;
        f.arrival = r.arrival;
        f.latencyUs =
            static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(r.arrival - sent[s].sent).count());
        if (!r.ok()) {
            report.problems.push_back(name + " arrived with a bad length field or checksum");
        }
        if (r.command != RelayCommand(sent[s].command)) {
            report.problems.push_back(name + " arrived as '" + r.command + "' instead of '" +
                                      RelayCommand(sent[s].command) + "'");
        }
        if (lastPosition != wanted.size() && p < lastPosition) {
            report.problems.push_back(name + " arrived out of order, after " +
                                      Nth(lastPosition, wanted.size(), sent[wanted[lastPosition]].param));
        }
        if (lastPosition == wanted.size() || p > lastPosition) {
            lastPosition = p;
        }
    }
    for (size_t p = 0; p < wanted.size(); ++p) {
        if (!report.frames[p].arrived) {
            report.problems.push_back(Nth(p, wanted.size(), sent[wanted[p]].param) + " never arrived");
        }
    }
    return report;
}

std::vector<PlayedOffset> PlaybackOffsets(const std::vector<SentFrame>& recorded, const RelayReport& report)
{
    std::vector<PlayedOffset> out;
    const RelayedFrame* first = nullptr;
    for (const RelayedFrame& f : report.frames) {
        if (!f.arrived) {
            continue;
        }
        first = first != nullptr ? first : &f;
        PlayedOffset o;
        o.sentIndex = f.sentIndex;
        o.playedMs = std::chrono::duration<double, std::milli>(f.arrival - first->arrival).count();
        o.recordedMs =
            std::chrono::duration<double, std::milli>(recorded[f.sentIndex].sent - recorded[first->sentIndex].sent)
                .count();
        out.push_back(o);
    }
    return out;
}

}  // namespace kovasim
