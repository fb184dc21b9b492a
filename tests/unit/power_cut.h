// Power-cut explorer. A Recorder watches, through the file trace of the sub
// module, the creations, writes, flushes and renames that one piece of work
// makes in a folder. Explore then rebuilds the folder as a power cut would
// leave it after every prefix of that sequence, under a deliberately harsh
// model of the device:
// - names (creation, truncation) change in order and at once; a rename is
//   kept only once its folder was flushed, else it may be lost, the latest
//   renames first;
// - written data is kept once its file was flushed; of the writes not yet
//   flushed any prefix reaches the device, the last one torn at any 512-byte
//   sector boundary.
// Run reads each state back through a test's check, which names the outcome;
// the outcomes are counted and printed. The model is written from the
// operations alone and knows nothing of the formats it rebuilds.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "sub.h"
#include "test_support.h"

namespace powercut {

using Bytes = std::vector<BYTE>;
using Files = std::map<std::string, Bytes>;  // file name in the folder -> contents
using Kind = FILE_OP_KIND;

struct Op {
    Kind kind;
    std::string path, path2;  // names in the folder; the folder itself is ""
    uint64_t offset;
    Bytes data;
};

inline Files Snapshot(const std::string& folder)
{
    Files files;
    DIR* d = opendir(folder.c_str());
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
        struct stat st;
        if (stat((folder + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            files[e->d_name] = testsupport::ReadFileBytes(folder + "/" + e->d_name);
        }
    }
    d != nullptr ? void(closedir(d)) : void();
    return files;
}

// Makes the folder hold exactly these files.
inline void Put(const std::string& folder, const Files& files)
{
    for (const auto& f : Snapshot(folder)) {
        unlink((folder + "/" + f.first).c_str());
    }
    for (const auto& [name, bytes] : files) {
        testsupport::WriteFileBytes(folder + "/" + name, bytes);
    }
}

// Takes the folder's files, then records the operations until Stop.
struct Recorder {
    explicit Recorder(const std::string& dir) : folder(dir), before(Snapshot(dir)) { SetFileTrace(&OnOp, this); }
    ~Recorder() { Stop(); }
    void Stop() { SetFileTrace(nullptr, nullptr); }
    static void OnOp(void* ctx, const FILE_OP& op)
    {
        Recorder* r = static_cast<Recorder*>(ctx);
        auto name = [r](const char* p) {
            return p == nullptr || p == r->folder ? "" : std::string(p).substr(r->folder.size() + 1);
        };
        r->ops.push_back({op.kind, name(op.path), name(op.path2), op.offset, Bytes(op.data, op.data + op.len)});
    }
    std::string folder;
    Files before;
    std::vector<Op> ops;
};

// One state a cut can leave: the operations issued before it, and the files.
struct Cut {
    size_t issued;
    Files files;
};

// Bytes of write w that reach the device when it is torn after t pieces of
// the given size, the first and last pieces ending at piece boundaries.
inline size_t Torn(const Op& w, size_t t, uint64_t piece)
{
    const uint64_t end = (w.offset / piece + t) * piece;
    return end >= w.offset + w.data.size() ? w.data.size() : size_t(end - w.offset);
}
inline size_t Pieces(const Op& w, uint64_t piece)
{
    size_t t = 1;
    while (Torn(w, t, piece) < w.data.size()) {
        ++t;
    }
    return t;
}

// Every state a cut can leave: k operations issued; of the renames not yet
// certain the first r kept; of the writes not yet certain the first m kept,
// the m-th torn after t pieces.
inline std::vector<Cut> Explore(const Files& before, const std::vector<Op>& ops, uint64_t piece)
{
    std::map<std::string, int> names;  // the inode each name has as the real sequence runs
    for (const auto& f : before) {
        names.emplace(f.first, int(names.size()));
    }
    const std::map<std::string, int> start = names;
    std::vector<int> inode(ops.size(), -1);
    for (size_t i = 0, next = names.size(); i < ops.size(); ++i) {
        if (ops[i].kind == Kind::CREATE && names.count(ops[i].path) == 0) {
            names[ops[i].path] = int(next++);
        }
        if (ops[i].kind == Kind::RENAME) {
            names[ops[i].path2] = names[ops[i].path];
            names.erase(ops[i].path);
        } else if (names.count(ops[i].path) != 0) {
            inode[i] = names[ops[i].path];
        }
    }
    std::vector<Cut> cuts;
    for (size_t k = 0; k <= ops.size(); ++k) {
        std::vector<size_t> writes, renames;  // not yet certain at k; the rest is certain
        for (size_t i = 0; i < k; ++i) {
            const bool write = ops[i].kind == Kind::WRITE;
            bool flushed = !write && ops[i].kind != Kind::RENAME;
            for (size_t j = i + 1; j < k && !flushed; ++j) {
                flushed = write ? ops[j].kind == Kind::SYNC && inode[j] == inode[i]
                                : ops[j].kind == Kind::SYNC_DIR && ops[j].path == "";
            }
            flushed ? void() : (write ? writes : renames).push_back(i);
        }
        auto rank = [](const std::vector<size_t>& v, size_t i) {
            return size_t(std::find(v.begin(), v.end(), i) - v.begin());
        };
        for (size_t r = 0; r <= renames.size(); ++r) {
            for (size_t m = 0; m <= writes.size(); ++m) {
                for (size_t t = 1; t <= (m == 0 ? 1 : Pieces(ops[writes[m - 1]], piece)); ++t) {
                    std::map<std::string, int> ns = start;
                    std::map<int, Bytes> content;
                    for (const auto& f : before) {
                        content[ns[f.first]] = f.second;
                    }
                    for (size_t i = 0; i < k; ++i) {
                        const Op& op = ops[i];
                        const size_t w = rank(writes, i), n = rank(renames, i);
                        if (op.kind == Kind::CREATE) {
                            ns[op.path] = inode[i];
                            content[inode[i]].clear();
                        } else if (op.kind == Kind::RENAME && (n < r || n == renames.size())) {
                            ns[op.path2] = ns[op.path];
                            ns.erase(op.path);
                        } else if (op.kind == Kind::WRITE && (w < m || w == writes.size())) {
                            const size_t len = w + 1 == m ? Torn(op, t, piece) : op.data.size();
                            Bytes& c = content[inode[i]];
                            c.resize(std::max<size_t>(c.size(), op.offset + len));
                            std::copy(op.data.begin(), op.data.begin() + long(len), c.begin() + long(op.offset));
                        }
                    }
                    cuts.push_back({k, {}});
                    for (const auto& [name, id] : ns) {
                        cuts.back().files[name] = content[id];
                    }
                }
            }
        }
    }
    return cuts;
}

// Puts every state in the folder, asks check for its outcome, counts and
// prints the outcomes under title; an outcome starting with "BAD" fails.
// Writes are torn at 512-byte sectors unless piece says otherwise.
inline std::map<std::string, int> Run(const std::string& title, const Recorder& rec, const std::function<std::string(const Cut&)>& check,
                uint64_t piece = 512)
{
    std::map<std::string, int> outcomes;
    std::set<Files> seen;
    const std::vector<Cut> cuts = Explore(rec.before, rec.ops, piece);
    for (const Cut& cut : cuts) {
        seen.insert(cut.files);
        Put(rec.folder, cut.files);
        const std::string outcome = check(cut);
        ++outcomes[outcome];
        EXPECT_NE(outcome.rfind("BAD", 0), 0u) << title << ": cut after " << cut.issued << " of " << rec.ops.size();
    }
    std::cout << "[power cut] " << title << ": " << rec.ops.size() << " operations, " << cuts.size()
              << " cut points, " << seen.size() << " distinct file states:";
    for (const auto& [outcome, n] : outcomes) {
        std::cout << " " << outcome << " x" << n << ";";
    }
    std::cout << std::endl;
    return outcomes;
}

// The fields the ini file keeps, as text, to tell settings apart.
inline std::string Stored(const CONFIG_PARAM& p)
{
    std::string s = std::to_string(p.nRxUdpPort) + " " + std::to_string(p.nTxUdpPort) + " " +
                    std::to_string(p.nSettingPort) + " " + p.szPassWord + "|" + std::to_string(p.bLockEnable) + " " +
                    std::to_string(p.dwLogFlag) + " " + p.szProgram;
    for (const TARGET_INFO& t : p.aTargetInfo) {
        s += "," + std::to_string(t.bEnable) + " " + std::to_string(t.dwTargetIP) + t.szCallSign + "|" + t.szMemo;
    }
    return s;
}

// Restarts the settings reader on the folder's files: "old" or "new" settings
// and the file they came from; anything else is bad.
inline std::string SettingsOutcome(const std::string& folder, const std::string& oldStored,
                                   const std::string& newStored)
{
    CONFIG_Init();
    CONFIG_PARAM p;
    CONFIG_Load("/var/local/kovalan.ini", &p);
    const CONFIG_SOURCE source = CONFIG_GetLoadSource();
    if (source == CONFIG_SOURCE::NONE_VALID) {
        return "BAD factory settings (warned)";
    }
    const std::string which = Stored(p) == oldStored ? "old" : Stored(p) == newStored ? "new" : "BAD other";
    if (source == CONFIG_SOURCE::MAIN) {
        return which + " from main file";
    }
    if (source == CONFIG_SOURCE::NO_FILE) {
        return which == "old" ? "no file yet" : "BAD silent defaults";
    }
    const Files after = Snapshot(folder);
    const bool mended = after.count("kovalan.ini") != 0 && after.at("kovalan.ini") == after.at("kovalan.bak");
    return which + (mended ? " from backup, main file rewritten" : " BAD main file left broken");
}

}  // namespace powercut
