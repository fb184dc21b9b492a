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

struct Op {
    FILE_OP_KIND kind;
    std::string path, path2;
    uint64_t offset;
    Bytes data;
};

inline Files Snapshot(const std::string& folder)
{
    Files files;
    DIR* d = opendir(folder.c_str());
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
        struct stat st;
        std::string path = folder + "/" + e->d_name;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            files[e->d_name] = testsupport::ReadFileBytes(path);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    return files;
}

// Makes the folder hold exactly these files.
inline void Put(const std::string& folder, const Files& files)
{
    for (const auto& [name, bytes] : Snapshot(folder)) {
        unlink((folder + "/" + name).c_str());
    }
    for (const auto& [name, bytes] : files) {
        testsupport::WriteFileBytes(folder + "/" + name, bytes);
    }
}

class Recorder {
public:
    explicit Recorder(std::string folder) : m_folder(std::move(folder)), m_before(Snapshot(m_folder))
    {
        SetFileTrace(&Recorder::OnOp, this);
    }
    ~Recorder() { Stop(); }
    void Stop() { SetFileTrace(nullptr, nullptr); }
    const std::string& folder() const { return m_folder; }
    const Files& before() const { return m_before; }
    const std::vector<Op>& ops() const { return m_ops; }

private:
    static void OnOp(void* ctx, const FILE_OP& op)
    {
        Recorder* r = static_cast<Recorder*>(ctx);
        const BYTE* data = op.data;
        r->m_ops.push_back({op.kind, r->Name(op.path), op.path2 != nullptr ? r->Name(op.path2) : "", op.offset,
                            Bytes(data, data + op.len)});
    }
    // A name inside the folder; the folder itself is "".
    std::string Name(const std::string& path) const
    {
        return path.compare(0, m_folder.size() + 1, m_folder + "/") == 0 ? path.substr(m_folder.size() + 1)
               : path == m_folder                                         ? ""
                                                                          : "../" + path;
    }

    std::string m_folder;
    Files m_before;
    std::vector<Op> m_ops;
};

// One state a cut can leave: the operations issued before it, and the files.
struct Cut {
    size_t issued;
    Files files;
};

// Pieces of a write split at sector boundaries.
inline size_t Pieces(const Op& w)
{
    constexpr uint64_t SECTOR = 512;
    return w.data.empty() ? 1 : size_t((w.offset + w.data.size() - 1) / SECTOR - w.offset / SECTOR + 1);
}
inline size_t TornLength(const Op& w, size_t pieces)
{
    constexpr uint64_t SECTOR = 512;
    return pieces >= Pieces(w) ? w.data.size() : size_t((w.offset / SECTOR + pieces) * SECTOR - w.offset);
}

// Every state a cut can leave (k operations issued; r of the renames not yet
// made durable kept; m of the unflushed writes kept, the m-th cut to t pieces).
inline std::vector<Cut> Explore(const Files& before, const std::vector<Op>& ops)
{
    // Inodes as the real sequence sees them.
    std::map<std::string, int> names;
    int inodes = 0;
    for (const auto& f : before) {
        names[f.first] = inodes++;
    }
    const std::map<std::string, int> startNames = names;
    std::vector<int> inode(ops.size(), -1);
    for (size_t i = 0; i < ops.size(); ++i) {
        const Op& op = ops[i];
        if (op.kind == FILE_OP_KIND::CREATE && names.count(op.path) == 0) {
            names[op.path] = inodes++;
        }
        if (op.kind == FILE_OP_KIND::RENAME) {
            names[op.path2] = names[op.path];
            names.erase(op.path);
        } else if (names.count(op.path) != 0) {
            inode[i] = names[op.path];
        }
    }
    std::vector<Cut> cuts;
    for (size_t k = 0; k <= ops.size(); ++k) {
        // What is durable at k, and what may or may not be.
        std::set<size_t> durable;
        std::vector<size_t> loose, looseRenames;
        for (size_t i = 0; i < k; ++i) {
            const FILE_OP_KIND kind = ops[i].kind;
            const FILE_OP_KIND flush = kind == FILE_OP_KIND::WRITE ? FILE_OP_KIND::SYNC : FILE_OP_KIND::SYNC_DIR;
            if (kind != FILE_OP_KIND::WRITE && kind != FILE_OP_KIND::RENAME) {
                continue;
            }
            bool flushed = false;
            for (size_t j = i + 1; j < k && !flushed; ++j) {
                const std::string folder = ops[i].path2.substr(0, ops[i].path2.find_last_of('/') + 1);
                flushed = ops[j].kind == flush &&
                          (kind == FILE_OP_KIND::WRITE ? inode[j] == inode[i] : ops[j].path == folder);
            }
            (flushed ? static_cast<void>(durable.insert(i))
                     : (kind == FILE_OP_KIND::WRITE ? loose : looseRenames).push_back(i));
        }
        for (size_t r = 0; r <= looseRenames.size(); ++r) {
            for (size_t m = 0; m <= loose.size(); ++m) {
                const size_t tears = m == 0 ? 1 : Pieces(ops[loose[m - 1]]);
                for (size_t t = 1; t <= tears; ++t) {
                    std::map<std::string, int> ns = startNames;
                    std::map<int, Bytes> content;
                    for (const auto& f : before) {
                        content[ns[f.first]] = f.second;
                    }
                    for (size_t i = 0; i < k; ++i) {
                        const Op& op = ops[i];
                        const auto pos = std::find(loose.begin(), loose.end(), i) - loose.begin();
                        const auto rpos = std::find(looseRenames.begin(), looseRenames.end(), i) - looseRenames.begin();
                        if (op.kind == FILE_OP_KIND::CREATE) {
                            ns[op.path] = inode[i];
                            content[inode[i]].clear();
                        } else if (op.kind == FILE_OP_KIND::RENAME && (durable.count(i) || size_t(rpos) < r)) {
                            ns[op.path2] = ns[op.path];
                            ns.erase(op.path);
                        } else if (op.kind == FILE_OP_KIND::WRITE && (durable.count(i) || size_t(pos) < m)) {
                            const size_t len = size_t(pos) + 1 == m ? TornLength(op, t) : op.data.size();
                            Bytes& c = content[inode[i]];
                            c.resize(std::max<size_t>(c.size(), op.offset + len));
                            std::copy(op.data.begin(), op.data.begin() + long(len), c.begin() + long(op.offset));
                        }
                    }
                    Files files;
                    for (const auto& [name, id] : ns) {
                        files[name] = content[id];
                    }
                    cuts.push_back({k, files});
                }
            }
        }
    }
    return cuts;
}

// Puts every state in the folder, asks check for its outcome and counts the
// outcomes; prints them under title. An outcome starting with "BAD" fails.
inline std::map<std::string, int> Run(const std::string& title, const Recorder& rec,
                                      const std::function<std::string(const Cut&)>& check)
{
    std::map<std::string, int> outcomes;
    std::set<Files> seen;
    const std::vector<Cut> cuts = Explore(rec.before(), rec.ops());
    for (const Cut& cut : cuts) {
        seen.insert(cut.files);
        Put(rec.folder(), cut.files);
        const std::string outcome = check(cut);
        ++outcomes[outcome];
        EXPECT_NE(outcome.rfind("BAD", 0), 0u) << title << ": cut after " << cut.issued << " of " << rec.ops().size();
    }
    std::cout << "[power cut] " << title << ": " << rec.ops().size() << " operations, " << cuts.size()
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
