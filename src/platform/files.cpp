// Whole-file reading, crash-safe writing and copying, listings by mask.
#include "platform/files.h"

#include "platform/env.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool LessNoCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]), y = Lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // names that differ only in case keep a fixed order
}

std::string WithSlash(const std::string& dir) {
    if (dir.empty() || dir.back() == '/') return dir;
    return dir + '/';
}

bool IsRegular(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Iterative wildcard match with backtracking to the last "*".
bool Match(const char* n, const char* m) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n) {
        if (*m == '*') {
            star = m++;
            resume = n;
        } else if (*m == '?' || (*m && Lower(*m) == Lower(*n))) {
            ++m;
            ++n;
        } else if (star) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*m == '*') ++m;
    return *m == '\0';
}

}  // namespace

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool WriteAll(int fd, const std::string& data) { return WriteAll(fd, data.data(), data.size()); }

std::vector<std::string> TextLines(const std::string& data) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        std::string line = data.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

bool ReadFile(const std::string& path, std::string& data) {
    data.clear();
    return Env::Current()->ReadFile(path, data).ok();
}

bool SyncPath(const std::string& path) {
    if (FolderExists(path)) return Env::Current()->SyncFolder(path).ok();
    // A plain file: nothing of the engine syncs one by name, so this stays
    // outside the Env.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteFileAtomic(const std::string& path, const std::string& data) {
    // A name that may not be on disk is not a write that succeeded.
    return Env::Current()->WriteFileAtomic(path, data).ok();
}

std::string ResolveNoCase(const std::string& folder, const std::string& relative) {
    std::string base = folder.empty() ? std::string("./") : WithSlash(folder);
    std::string resolved;
    size_t pos = 0;
    while (pos <= relative.size()) {
        size_t slash = relative.find('/', pos);
        std::string part = relative.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        std::string chosen = part;
        if (!part.empty() && part != "." && part != "..") {
            std::string dir = base + resolved;
            struct stat st {};
            if (::lstat((dir + part).c_str(), &st) != 0) {
                if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
                    while (dirent* e = ::readdir(d)) {
                        if (EqualNoCase(e->d_name, part)) {
                            chosen = e->d_name;
                            break;
                        }
                    }
                    ::closedir(d);
                }
            }
        }
        resolved += chosen;
        if (slash == std::string::npos) break;
        resolved += '/';
        pos = slash + 1;
    }
    return base + resolved;
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    if (mask == "*" || mask == "*.*") return true;
    return Match(name.c_str(), mask.c_str());
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) {
    std::vector<std::string> out;
    const std::string dir = WithSlash(folder);
    DIR* d = ::opendir(folder.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || !MatchesMask(name, mask)) continue;
        if (e->d_type == DT_REG || ((e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) && IsRegular(dir + name)))
            out.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), LessNoCase);
    return out;
}

bool DeleteFiles(const std::string& folder, const std::string& mask) {
    bool allGone = true;
    const std::string dir = WithSlash(folder);
    for (const auto& name : ListFiles(folder, mask)) {
        const FsStatus s = Env::Current()->Unlink(dir + name);
        if (!s.ok() && s.error != ENOENT) allGone = false;
    }
    return allGone;
}

bool CopyFileKeepDate(const std::string& src, const std::string& dst) {
    return Env::Current()->CopyFile(src, dst).ok();
}

bool FileExists(const std::string& path) { return IsRegular(path); }

bool FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSize(const std::string& path, std::int64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<std::int64_t>(st.st_size);
    return true;
}

bool GetFileTime(const std::string& path, std::chrono::system_clock::time_point& time) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    using namespace std::chrono;
    time = system_clock::time_point(duration_cast<system_clock::duration>(
        seconds(st.st_mtim.tv_sec) + nanoseconds(st.st_mtim.tv_nsec)));
    return true;
}

bool SetFileTime(const std::string& path, std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto ns = duration_cast<nanoseconds>(time.time_since_epoch()).count();
    long long secs = ns / 1000000000LL;
    long long rem = ns % 1000000000LL;
    if (rem < 0) {
        rem += 1000000000LL;
        --secs;
    }
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(secs);
    times[1].tv_nsec = static_cast<long>(rem);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

int OpenPrivate(const std::string& path, int flags) {
    // Only a file this call creates is set: another's file, or one the user
    // opened up on purpose, is not ours to change here.
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, kPrivateFileMode);
    if (fd >= 0) {
        ::fchmod(fd, kPrivateFileMode);
        return fd;
    }
    if (errno != EEXIST || (flags & O_EXCL)) return -1;
    return ::open(path.c_str(), flags & ~O_CREAT);
}

bool MakePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), kPrivateFolderMode) != 0) return false;
    ::chmod(path.c_str(), kPrivateFolderMode);
    return true;
}

namespace {

std::string ModeText(unsigned mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
    return buf;
}

void Tighten(const std::string& path, std::vector<std::string>& changed, int depth) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return;
    const unsigned mode = st.st_mode & 07777;
    const unsigned tight = mode & ~07077u;
    if (tight != mode && ::chmod(path.c_str(), tight) == 0)
        changed.push_back(path + ": " + ModeText(mode) + " -> " + ModeText(tight));
    // Deep trees are not the program's: a bound keeps a loop of bind
    // mounts from going on for ever.
    if (!S_ISDIR(st.st_mode) || depth >= 8) return;
    DIR* d = ::opendir(path.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    ::closedir(d);
    for (const auto& name : names) Tighten(WithSlash(path) + name, changed, depth + 1);
}

}  // namespace

void TightenModes(const std::string& path, std::vector<std::string>& changed) { Tighten(path, changed, 0); }

bool CreateFolder(const std::string& path, std::string* error) {
    if (path.empty()) {
        if (error) *error = "empty folder name";
        return false;
    }
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t slash = path.find('/', pos);
        partial = path.substr(0, slash == std::string::npos ? path.size() : slash);
        pos = slash == std::string::npos ? slash : slash + 1;
        if (partial.empty() || partial.back() == '/') continue;
        if (!MakePrivateFolder(partial) && errno != EEXIST) {
            if (error) *error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!FolderExists(path)) {
        if (error) *error = "cannot create " + path + ": a file of that name is in the way";
        return false;
    }
    return true;
}

}  // namespace platform
