// Kept folder listings fed by inotify; see folder_index.h.
#include "transport/folder_index.h"

#include "codecs/qev_util.h"
#include "transport/globals.h"
#include "transport/store.h"

#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace smtp {
namespace {

std::string ExtOf(const std::string& name) {
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? std::string() : qev_util::LowerCase(name.substr(dot));
}

// <user>_<stamp>.dat split as IsUserFile reads it; false for other names.
bool SplitMailboxName(const std::string& name, std::string& user, std::string& stamp) {
    const std::string suffix = MailboxSuffix;
    if (name.size() <= suffix.size() || qev_util::LowerCase(name.substr(name.size() - suffix.size())) != suffix) return false;
    size_t us = name.find_last_of('_', name.size() - suffix.size() - 1);
    if (us == std::string::npos || us == 0) return false;
    stamp = name.substr(us + 1, name.size() - suffix.size() - us - 1);
    if (stamp.empty()) return false;
    user = qev_util::LowerCase(name.substr(0, us));
    stamp = qev_util::LowerCase(stamp);
    return true;
}

void Adjust(std::map<std::string, FileCount>& counts, const std::string& key, std::int64_t n,
            std::int64_t bytes) {
    FileCount& c = counts[key];
    c.count += n;
    c.bytes += bytes;
    if (c.count == 0) counts.erase(key);
}

constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                              IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FolderIndex::FolderIndex(std::string folderPath) : path_(std::move(folderPath)) {
    if (!path_.empty() && path_.back() != '/') path_ += '/';
}

FolderIndex::~FolderIndex() { Close(); }

void FolderIndex::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    wd_ = -1;
    valid_ = false;
}

void FolderIndex::Add(const std::string& name, std::int64_t size) {
    files_[name] = size;
    const std::string ext = ExtOf(name);
    Adjust(byExt_, ext, 1, size);
    if (auto kept = namesByExt_.find(ext); kept != namesByExt_.end()) kept->second.insert(name);
    std::string user, stamp;
    if (SplitMailboxName(name, user, stamp)) {
        Adjust(byUser_, user, 1, size);
        userFiles_[user].insert(name);
        ++stamps_[stamp];
    }
}

void FolderIndex::Remove(const std::string& name) {
    auto it = files_.find(name);
    if (it == files_.end()) return;
    std::int64_t size = it->second;
    files_.erase(it);
    const std::string ext = ExtOf(name);
    Adjust(byExt_, ext, -1, -size);
    if (auto kept = namesByExt_.find(ext); kept != namesByExt_.end()) kept->second.erase(name);
    std::string user, stamp;
    if (SplitMailboxName(name, user, stamp)) {
        Adjust(byUser_, user, -1, -size);
        if (auto it = userFiles_.find(user); it != userFiles_.end() && it->second.erase(name) && it->second.empty())
            userFiles_.erase(it);
        if (--stamps_[stamp] <= 0) stamps_.erase(stamp);
    }
}

// Whatever the note said, the name's present state decides: notes arrive
// late and may be coalesced, a stat of the name never is.
void FolderIndex::Update(const std::string& name) {
    Remove(name);
    struct stat st {};
    if (::stat((path_ + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) Add(name, st.st_size);
}

void FolderIndex::Rescan() {
    Close();
    files_.clear();
    byExt_.clear();
    byUser_.clear();
    userFiles_.clear();
    stamps_.clear();
    // The extensions asked for stay asked for; the listing fills them again.
    for (auto& [ext, names] : namesByExt_) names.clear();
    // The watch goes first, so nothing that changes during the listing is
    // missed; a name seen twice is simply stat'ed twice.
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) {
        wd_ = ::inotify_add_watch(fd_, path_.c_str(), kWatched);
        if (wd_ < 0) Close();
    }
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            Update(name);
        }
        ::closedir(dir);
    }
    // Without a watch nothing can be kept: every answer lists anew.
    valid_ = fd_ >= 0;
}

void FolderIndex::Refresh() {
    if (!valid_) {
        Rescan();
        return;
    }
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: everything taken in
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                // Notes were lost or the folder itself went: only a new
                // listing can be trusted.
                Rescan();
                return;
            }
            if (ev->len > 0) Update(ev->name);
        }
    }
}

FileCount FolderIndex::CountSuffix(const std::string& suffix) {
    Refresh();
    auto it = byExt_.find(qev_util::LowerCase(suffix));
    return it == byExt_.end() ? FileCount{} : it->second;
}

FileCount FolderIndex::CountUser(const std::string& user) {
    Refresh();
    auto it = byUser_.find(qev_util::LowerCase(user));
    return it == byUser_.end() ? FileCount{} : it->second;
}

std::vector<std::pair<std::string, std::int64_t>> FolderIndex::UserFiles(const std::string& user) {
    Refresh();
    std::vector<std::pair<std::string, std::int64_t>> out;
    auto it = userFiles_.find(qev_util::LowerCase(user));
    if (it == userFiles_.end()) return out;
    for (const auto& name : it->second) out.emplace_back(name, files_[name]);
    return out;
}

bool FolderIndex::HasStamp(const std::string& stamp) {
    Refresh();
    return stamps_.count(qev_util::LowerCase(stamp)) > 0;
}

const std::map<std::string, std::int64_t>& FolderIndex::Files() {
    Refresh();
    return files_;
}

const std::set<std::string>& FolderIndex::NamesWithExt(const std::string& ext) {
    Refresh();
    const std::string key = qev_util::LowerCase(ext);
    auto kept = namesByExt_.find(key);
    if (kept == namesByExt_.end()) {
        kept = namesByExt_.emplace(key, std::set<std::string>()).first;
        for (const auto& [name, size] : files_)
            if (ExtOf(name) == key) kept->second.insert(name);
    }
    return kept->second;
}

FolderIndex& KeptFolder(const std::string& folderName) {
    static std::map<std::string, std::unique_ptr<FolderIndex>> kept;
    // A new ProgramDir (tests make one each) or a folder made again in
    // another letter case is another folder.
    const std::string path = StoreFolder(folderName);
    auto& slot = kept[qev_util::LowerCase(folderName)];
    if (!slot || slot->Path() != path) slot = std::make_unique<FolderIndex>(path);
    return *slot;
}

}  // namespace smtp
