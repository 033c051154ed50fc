// Makes finished messages durable off the event loop. Worker threads run
// the disk work of several messages at once; a folder sync asked for by
// concurrent messages is made once for all of them, and ports.dat is
// written once for every record staged before the write began. When a
// message's work is over, its outcome is posted back to the thread that
// owns the Committer, which may then promise the message to its sender.
// What a handler of an outcome holds (a session and its timers, say) never
// crosses to a worker: it stays with the owner, and only the outcome's
// number travels.
#pragma once

#include "platform/env.h"
#include "transport/message_rewrite.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace smtp {
class PortsFile;
}

namespace commit {

// fsync of folders, grouped: a caller's entries are covered by the first
// sync of the folder that starts after the call. While one sync runs, every
// caller that arrives waits for the next one, which one of them makes.
class FolderSyncs {
public:
    // Without an env, the engine's current one at each sync.
    explicit FolderSyncs(platform::Env* env) : env_(env) {}
    platform::FsStatus Sync(const std::string& folder);
    // Syncs made, against those asked for (tests and benchmarks watch them).
    std::uint64_t Made() const;
    std::uint64_t Asked() const;

private:
    struct Round {
        bool done = false;
        platform::FsStatus status;
    };
    struct Folder {
        std::shared_ptr<Round> running;  // under way
        std::shared_ptr<Round> next;     // gathering callers for after it
    };

    platform::Env* env_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Folder> folders_;
    std::uint64_t made_ = 0, asked_ = 0;
};

class Committer : public QObject {
public:
    // Runs on a worker thread; what it returns goes to its Done. It is let
    // go on the worker before its Done runs.
    using Work = std::function<platform::FsStatus(Committer&)>;
    // Runs, and is let go, on the owner's thread, never within Submit.
    using Done = std::function<void(platform::FsStatus)>;

    // Without an env, the engine's current one at each use.
    Committer(platform::Env* env, int threads, QObject* parent = nullptr);
    // Finishes the work already submitted; outcomes not yet delivered are
    // dropped with the object.
    ~Committer() override;

    // On the owner's thread.
    void Submit(Work work, Done done);
    // Waits, at most bound, until no work is queued or running; true when
    // none is. Work is submitted on the owner's thread only, so none starts
    // again before the caller returns to the event loop. The Done of work
    // finished meanwhile may still be on its way.
    bool WaitIdle(std::chrono::milliseconds bound);

    platform::Env& Env() { return env_ ? *env_ : *platform::Env::Current(); }
    platform::FsStatus SyncFolder(const std::string& folder) { return folders_.Sync(folder); }
    const FolderSyncs& Folders() const { return folders_; }

private:
    struct Job {
        std::uint64_t id = 0;
        Work work;
    };
    void Run();
    void Deliver(std::uint64_t id, platform::FsStatus status);

    platform::Env* env_;
    FolderSyncs folders_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    int running_ = 0;
    // Touched on the owner's thread only.
    std::map<std::uint64_t, Done> dones_;
    std::uint64_t lastId_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// What an accepted message leaves on disk. data was written by the session
// and is not yet synced. Before anything else it gets what the session
// decided for it: messageId (a whole header line) when its header has
// none, and the footer; with footerForAll false, the copies in
// copiesBeforeFooter are made from the text before the footer goes in,
// and keptText, when named, keeps that text for a reader after the
// commit (the caller removes it). Every path in copies gets a whole copy
// of the finished text under its name. With returnedStem, the finished
// text goes back to its sender instead, as a notice naming returnedFor,
// in the first free name of returnedStem, returnedStem1, ... with
// returnedSuffix. A staged ports.dat record (portsVersion > 0) must be on
// disk before data is renamed to queued, where the relay takes it;
// without queued, data is removed once the copies stand.
struct MessageFiles {
    std::string data;
    // The text itself when the session held it in memory: data is then made
    // here, exclusively (EEXIST when the name is taken).
    std::optional<std::string> heldText;
    std::string messageId;
    rewrite::Footer footer;
    bool footerForAll = true;
    std::vector<std::string> copiesBeforeFooter;
    std::string keptText;
    std::vector<std::string> copies;
    std::string returnedStem, returnedSuffix;
    std::vector<std::string> returnedFor;
    std::shared_ptr<smtp::PortsFile> ports;
    std::uint64_t portsVersion = 0;
    std::string queued;
    // The date queued bears (the copies keep the message's own).
    std::optional<std::chrono::system_clock::time_point> queuedDate;
};

// The disk work of one message, in the order a crash can stop it at any
// step: no name shows a partial file, and once it returns ok every copy,
// its folder entry, the record and the queued name are on disk. A copy
// whose name is taken gets the next free one (a digit after the stem);
// named, when given, receives the names the copies got, those before the
// footer first. On failure the copies and a returned notice are taken
// back here; the caller removes keptText, the record, the queued name and
// data.
platform::FsStatus StoreMessage(Committer& committer, const MessageFiles& message,
                                std::vector<std::string>* named = nullptr);

// A fetched message bound for mailboxes. Each copy gets a new name,
// prefix + stem + suffix in its folder, with a digit after the stem when
// the name is taken: nothing is ever written over another file. The text
// is the file source followed by append, streamed, or content when there
// is no source.
struct MailboxCopies {
    struct Copy {
        std::string folder;  // with its trailing "/"
        std::string prefix;
        std::string path;    // the name made; empty until then
    };
    std::string source, append, content;
    std::string stem, suffix;
    std::vector<Copy> copies;
    // The copy that could not be made, when one could not.
    std::optional<std::size_t> failed;
};

// Makes every copy, then syncs each folder once: when it returns ok every
// copy and its name are on disk. On failure no copy is left. The copies are
// written by the store's writers, through the engine's current Env, which
// must be the committer's.
platform::FsStatus StoreMailboxCopies(Committer& committer, MailboxCopies& message);

}  // namespace commit
