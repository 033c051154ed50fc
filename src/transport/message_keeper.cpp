// Mailbox copies, queue record and queued file of a received message.
#include "transport/message_keeper.h"

#include "platform/files.h"
#include "transport/store.h"

namespace smtp {
MessageKeeper::MessageKeeper(platform::Env& env, std::string id, std::string spool)
    : env_(env), id_(std::move(id)), spool_(std::move(spool)) {}

bool MessageKeeper::Copy(const std::string& target) {
    const bool existed = platform::FileExists(target);
    // CopyFile syncs the data before the name and the folder after it.
    const platform::FsStatus s = env_.CopyFile(spool_, target);
    if (s.ok()) {
        copies_.push_back(target);
        return true;
    }
    // The copy may be in place with only its folder sync failed: a copy no
    // one was told of must not stay for a POP3 client to fetch.
    if (!existed && !env_.SameFile(spool_, target)) env_.Unlink(target);
    return false;
}

bool MessageKeeper::Record(const std::vector<std::pair<std::string, std::string>>& values) {
    return WritePortsSection(id_, values);
}

bool MessageKeeper::Queue(std::chrono::system_clock::time_point date) {
    platform::SetFileTime(spool_, date);
    const std::string queued = StoreFolder(FolderOut) + id_ + StateQueued;
    if (!env_.Rename(spool_, queued).ok()) return false;
    queued_ = queued;
    return env_.SyncFolder(platform::FolderOf(queued)).ok();
}

bool MessageKeeper::DropSpool() {
    WritePortsValue(id_, std::nullopt);
    return env_.Unlink(spool_).ok();
}

void MessageKeeper::Undo() {
    for (const auto& c : copies_) env_.Unlink(c);
    copies_.clear();
    WritePortsValue(id_, std::nullopt);
    if (!queued_.empty()) env_.Unlink(queued_);
    queued_.clear();
}

}  // namespace smtp
