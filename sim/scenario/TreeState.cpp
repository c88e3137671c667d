#include "TreeState.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// FNV-1a: enough to see that bytes changed.
uint64_t Digest(int fd, uint64_t* size) {
    uint64_t h = 14695981039346656037ull;
    unsigned char buf[65536];
    ssize_t n;
    *size = 0;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        for (ssize_t i = 0; i < n; i++) h = (h ^ buf[i]) * 1099511628211ull;
        *size += (uint64_t)n;
    }
    return h;
}

char Kind(mode_t m) {
    return S_ISREG(m)    ? 'f'
           : S_ISDIR(m)  ? 'd'
           : S_ISLNK(m)  ? 'l'
           : S_ISCHR(m)  ? 'c'
           : S_ISBLK(m)  ? 'b'
           : S_ISFIFO(m) ? 'p'
                         : 's';
}

void Walk(const std::string& path, dev_t dev, TreeState* out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    TreeEntry e;
    e.kind = Kind(st.st_mode);
    e.mode = st.st_mode & 07777;
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    if (e.kind == 'l') {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof(target));
        if (n > 0) e.link.assign(target, (size_t)n);
    } else if (e.kind == 'f') {
        // Never waits on whatever may have taken the file's place meanwhile.
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat fst;
        if (fd >= 0 && fstat(fd, &fst) == 0 && S_ISREG(fst.st_mode)) e.digest = Digest(fd, &e.size);
        if (fd >= 0) close(fd);
    }
    (*out)[path] = e;
    if (e.kind != 'd' || st.st_dev != dev) return;
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (struct dirent* de = readdir(d))
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) names.push_back(de->d_name);
        closedir(d);
    }
    for (const std::string& n : names) Walk(path == "/" ? "/" + n : path + "/" + n, dev, out);
}

}  // namespace

TreeState ReadTreeState(const std::vector<std::string>& roots) {
    TreeState s;
    for (const std::string& r : roots) {
        struct stat st;
        if (lstat(r.c_str(), &st) == 0) Walk(r, st.st_dev, &s);
    }
    return s;
}

std::vector<std::string> TreeChanges(const TreeState& before, const TreeState& after, const TreeIgnore& ignore) {
    std::vector<std::string> out;
    auto b = before.begin(), a = after.begin();
    while (b != before.end() || a != after.end()) {
        if (a == after.end() || (b != before.end() && b->first < a->first)) {
            if (!ignore(b->first, &b->second, nullptr)) out.push_back("-" + b->first);
            ++b;
        } else if (b == before.end() || a->first < b->first) {
            if (!ignore(a->first, nullptr, &a->second)) out.push_back("+" + a->first);
            ++a;
        } else {
            if (b->second != a->second && !ignore(a->first, &b->second, &a->second)) out.push_back("~" + a->first);
            ++b;
            ++a;
        }
    }
    return out;
}

}  // namespace sim
