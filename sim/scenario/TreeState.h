// What a few directory trees hold, entry by entry, so that a run can tell
// afterwards what changed in them. A tree is walked on its own file system
// only: a directory that is another mount is an entry, never entered.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct TreeEntry {
    char kind = '?';    // 'f' file, 'd' directory, 'l' link, 'c'/'b' device, 'p' FIFO, 's' socket
    unsigned mode = 0;  // permission bits
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t size = 0, digest = 0;  // a regular file's length and bytes
    std::string link;               // a link's target
    bool operator==(const TreeEntry& o) const {
        return kind == o.kind && mode == o.mode && uid == o.uid && gid == o.gid && size == o.size &&
               digest == o.digest && link == o.link;
    }
    bool operator!=(const TreeEntry& o) const { return !(*this == o); }
};

// By absolute path; the roots themselves included.
using TreeState = std::map<std::string, TreeEntry>;

TreeState ReadTreeState(const std::vector<std::string>& roots);

// Entries added ("+path"), removed ("-path") or changed ("~path") from before
// to after, in path order, but those ignore(path, before, after) passes over
// (either entry null when it is not there).
using TreeIgnore = std::function<bool(const std::string& path, const TreeEntry* before, const TreeEntry* after)>;
std::vector<std::string> TreeChanges(const TreeState& before, const TreeState& after, const TreeIgnore& ignore);

}  // namespace sim
