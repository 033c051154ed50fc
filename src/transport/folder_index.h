// Kept listings of the busy store folders (in, out, Spam1, Spam2). Counting a
// mailbox or picking the next queued message must not list and stat a whole
// folder per connection: with thousands of queued messages that was most of
// the server's time. A FolderIndex lists its folder once and then follows
// the kernel's change notes (inotify) for it, so every writer is seen,
// whether it is this program's store, a web page, the browser or a person
// in a shell. Pending notes are taken in before every answer, so an answer
// is as fresh as a listing made at that moment.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace smtp {

struct FileCount {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    bool operator==(const FileCount&) const = default;
};

class FolderIndex {
public:
    explicit FolderIndex(std::string folderPath);
    ~FolderIndex();
    FolderIndex(const FolderIndex&) = delete;
    FolderIndex& operator=(const FolderIndex&) = delete;

    const std::string& Path() const { return path_; }

    // Regular files whose name ends with suffix (any case), e.g. ".txt".
    FileCount CountSuffix(const std::string& suffix);
    // A user's mailbox files: <user>_<stamp>.dat as IsUserFile selects them.
    FileCount CountUser(const std::string& user);
    // The user's mailbox files with their sizes, by name in byte order (what
    // ListUserFiles lists).
    std::vector<std::pair<std::string, std::int64_t>> UserFiles(const std::string& user);
    // Whether some <anyone>_<stamp>.dat exists (stamp compared without case).
    bool HasStamp(const std::string& stamp);
    // Every regular file and its size, by name in byte order.
    const std::map<std::string, std::int64_t>& Files();
    // The names whose extension is ext (any case, e.g. ".txt"), in byte
    // order. Kept from the first call on, so that picking the next queued
    // message does not walk past every other file of the folder.
    const std::set<std::string>& NamesWithExt(const std::string& ext);

    // Drops what is kept and lists the folder anew.
    void Rescan();

private:
    void Refresh();
    void Update(const std::string& name);
    void Add(const std::string& name, std::int64_t size);
    void Remove(const std::string& name);
    void Close();

    std::string path_;
    int fd_ = -1;
    int wd_ = -1;
    bool valid_ = false;
    std::map<std::string, std::int64_t> files_;
    std::map<std::string, FileCount> byExt_;    // lower-case extension with its dot
    std::map<std::string, FileCount> byUser_;   // lower-case user of <user>_<stamp>.dat
    std::map<std::string, std::set<std::string>> userFiles_;  // same key, file names
    std::map<std::string, int> stamps_;         // lower-case <stamp> of <user>_<stamp>.dat
    std::map<std::string, std::set<std::string>> namesByExt_;  // only the extensions asked for
};

// The index of a store folder (FolderIn, FolderOut, ...) under the current
// ProgramDir; made on first use and kept for the process.
FolderIndex& KeptFolder(const std::string& folderName);

}  // namespace smtp
