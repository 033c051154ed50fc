// Group commit of finished messages; see committer.h.
#include "transport/committer.h"

#include "platform/files.h"
#include "transport/ports_file.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <cerrno>
#include <set>


namespace commit {
platform::FsStatus FolderSyncs::Sync(const std::string& folder) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++asked_;
    Folder& f = folders_[folder];
    std::shared_ptr<Round> mine;
    if (!f.running && !f.next) {
        mine = std::make_shared<Round>();
    } else {
        // The sync under way may have started before our entry was made.
        if (!f.next) f.next = std::make_shared<Round>();
        mine = f.next;
        changed_.wait(lock, [&] { return mine->done || (!f.running && f.next == mine); });
        if (mine->done) return mine->status;
        f.next.reset();
    }
    f.running = mine;
    ++made_;
    lock.unlock();
    platform::FsStatus status = (env_ ? env_ : platform::Env::Current())->SyncFolder(folder);
    lock.lock();
    mine->status = status;
    mine->done = true;
    f.running.reset();
    changed_.notify_all();
    return status;
}

std::uint64_t FolderSyncs::Made() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
}

std::uint64_t FolderSyncs::Asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

Committer::Committer(platform::Env* env, int threads, QObject* parent)
    : QObject(parent), env_(env), folders_(env) {
    for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { Run(); });
}

Committer::~Committer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void Committer::Submit(Work work, Done done) {
    const std::uint64_t id = ++lastId_;
    dones_.emplace(id, std::move(done));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{id, std::move(work)});
    }
    wake_.notify_one();
}

bool Committer::WaitIdle(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, bound, [this] { return jobs_.empty() && running_ == 0; });
}

void Committer::Deliver(std::uint64_t id, platform::FsStatus status) {
    auto it = dones_.find(id);
    if (it == dones_.end()) return;
    Done done = std::move(it->second);
    dones_.erase(it);
    done(status);
}

void Committer::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            // Work already taken is finished even when stopping: its files
            // are better whole than half made.
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            ++running_;
        }
        platform::FsStatus status;
        try {
            status = job.work(*this);
        } catch (...) {
            status = platform::FsStatus{EIO};
        }
        // Whatever the work shares with its Done is let go here, before the
        // owner can have finished with it: the last reference is then the
        // owner's. The call posted holds plain values only, since Qt may
        // destroy it on either thread.
        const std::uint64_t id = job.id;
        job.work = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
        }
        idle_.notify_all();
        QMetaObject::invokeMethod(this, [this, id, status] { Deliver(id, status); }, Qt::QueuedConnection);
    }
}

namespace {

// A copy written beside its name, waiting for its sync and its name.
struct PendingCopy {
    std::string temp, name;
    std::unique_ptr<platform::WritableFile> file;
    std::string made;  // the name it got, once it has one
};

// data gets the session's changes. Made in one rewrite, unless copies must
// be made, or the text kept, between the Message-ID and the footer; synced
// tells whether data was rewritten (a rewrite syncs it).
platform::FsStatus ChangeText(platform::Env& env, const MessageFiles& m, std::vector<PendingCopy>& copies,
                              bool& synced) {
    rewrite::Insertion id, footer;
    platform::FsStatus s;
    if (!m.messageId.empty()) s = rewrite::MessageIdInFile(env, m.data, m.messageId, id);
    if (s.ok() && !m.footer.Empty()) s = rewrite::FooterInFile(env, m.data, m.footer, true, footer);
    if (!s.ok()) return s;
    const bool between = !m.footerForAll && footer.Any() && (!m.copiesBeforeFooter.empty() || !m.keptText.empty());
    // Both go where they would one after the other: the Message-ID in the
    // header, the footer in the body after it.
    std::vector<rewrite::Insertion> now = {id};
    if (!between) now.push_back(footer);
    if (id.Any() || (!between && footer.Any())) {
        s = rewrite::WriteWithInsertions(env, m.data, m.data, now);
        if (!s.ok()) return s;
        synced = true;
    }
    for (const auto& name : m.copiesBeforeFooter) {
        // Synced and named with the other copies.
        PendingCopy c;
        c.name = name;
        s = env.WriteCopyBeside(m.data, name, c.temp, c.file);
        if (!s.ok()) return s;
        copies.push_back(std::move(c));
    }
    if (!m.keptText.empty()) {
        env.Unlink(m.keptText);  // a crash's leftover
        s = env.Link(m.data, m.keptText);
        if (!s.ok()) return s;
    }
    if (!between) return {};
    if (id.Any() && id.offset <= footer.offset) footer.offset += static_cast<std::int64_t>(id.text.size());
    s = rewrite::WriteWithInsertions(env, m.data, m.data, {footer});
    if (s.ok()) synced = true;
    return s;
}

// Gives the synced file temp the first free name of stem + suffix, stem +
// "1" + suffix, ...: a link never takes a name already there, so no file
// ever replaces another. temp keeps its own name as well.
platform::FsStatus LinkFreeName(platform::Env& env, const std::string& temp, const std::string& stem,
                                const std::string& suffix, std::string& name) {
    for (int n = 0; n < 1000; ++n) {
        const std::string candidate = stem + (n ? std::to_string(n) : std::string()) + suffix;
        const platform::FsStatus s = env.Link(temp, candidate);
        if (s.ok()) {
            name = candidate;
            return s;
        }
        if (s.error != EEXIST) return s;
    }
    return platform::FsStatus{EEXIST};
}

// The finished text as a notice to its sender, synced, under the first
// free name; the name's folder is synced with the others.
platform::FsStatus ReturnToSender(platform::Env& env, const MessageFiles& m, std::string& name) {
    std::string text;
    platform::FsStatus s = env.ReadFile(m.data, text);
    if (!s.ok()) return s;
    const std::string notice = smtp::BuildReturnNotice(text, m.returnedFor);
    const std::string temp = platform::TempBeside(m.returnedStem);
    std::unique_ptr<platform::WritableFile> file;
    s = env.NewWritableFile(temp, platform::CreateMode::Exclusive, file);
    if (!s.ok()) return s;
    s = file->Append(notice);
    if (s.ok()) s = file->Sync();
    const platform::FsStatus closed = file->Close();
    if (s.ok()) s = closed;
    if (s.ok()) s = LinkFreeName(env, temp, m.returnedStem, m.returnedSuffix, name);
    env.Unlink(temp);
    return s;
}

}  // namespace

platform::FsStatus StoreMessage(Committer& committer, const MessageFiles& message, std::vector<std::string>* named) {
    platform::Env& env = committer.Env();
    // Every file is written first and its writing started, then each is
    // synced: the disk takes them together, and the first sync mostly
    // covers the others. A rewritten text is synced already.
    std::unique_ptr<platform::WritableFile> data;
    std::vector<PendingCopy> copies;
    std::string returned;
    auto fail = [&](platform::FsStatus status) {
        for (auto& c : copies) {
            if (c.file) c.file->Close();
            if (!c.temp.empty()) env.Unlink(c.temp);
            if (!c.made.empty()) env.Unlink(c.made);
        }
        if (data) data->Close();
        if (!returned.empty()) env.Unlink(returned);
        return status;
    };
    platform::FsStatus s;
    if (message.heldText) {
        s = env.NewWritableFile(message.data, platform::CreateMode::Exclusive, data);
        if (!s.ok()) return s;
        s = data->Append(*message.heldText);
        if (!s.ok()) return fail(s);
    }
    bool rewritten = false;
    s = ChangeText(env, message, copies, rewritten);
    if (!s.ok()) return fail(s);
    if (rewritten) {
        // The rewritten text is synced under the name; the first one goes.
        if (data) {
            s = data->Close();
            data.reset();
            if (!s.ok()) return fail(s);
        }
    } else {
        if (!data) {
            s = env.NewWritableFile(message.data, platform::CreateMode::Append, data);
            if (!s.ok()) return fail(s);
        }
        data->StartSync();
    }
    for (const auto& name : message.copies) {
        PendingCopy c;
        c.name = name;
        s = env.WriteCopyBeside(message.data, name, c.temp, c.file);
        if (!s.ok()) return fail(s);
        copies.push_back(std::move(c));
    }
    // A record whose message never got its name is dropped at start-up, so
    // it may reach the disk first.
    if (message.ports && message.portsVersion > 0 && !message.ports->Flush(message.portsVersion))
        return fail(platform::FsStatus{EIO});
    platform::FsStatus closed;
    if (data) {
        s = data->Sync();
        closed = data->Close();
        data.reset();
        if (s.ok()) s = closed;
        if (!s.ok()) return fail(s);
    }
    for (auto& c : copies) {
        s = c.file->Sync();
        closed = c.file->Close();
        c.file.reset();
        if (s.ok()) s = closed;
        if (!s.ok()) return fail(s);
    }

    // Names last, when what they name is on disk; then the folders, once
    // every name is made, so that the first folder sync mostly covers the
    // others. A name that is taken (a returned notice of the same id in
    // the sender's own mailbox, say) is kept, and the copy takes the next.
    std::set<std::string> folders;
    for (auto& c : copies) {
        const size_t slash = c.name.find_last_of('/');
        const size_t dot = c.name.find_last_of('.');
        const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : c.name.size();
        s = LinkFreeName(env, c.temp, c.name.substr(0, cut), c.name.substr(cut), c.made);
        if (!s.ok()) return fail(s);
        env.Unlink(c.temp);
        c.temp.clear();
        folders.insert(platform::FolderOf(c.made));
    }
    if (!message.returnedStem.empty()) {
        s = ReturnToSender(env, message, returned);
        if (!s.ok()) return fail(s);
        folders.insert(platform::FolderOf(returned));
    }
    if (!message.queued.empty()) {
        if (message.queuedDate && !platform::SetFileTime(message.data, *message.queuedDate))
            return fail(platform::FsStatus{errno ? errno : EIO});
        // The relay may take it from here.
        s = env.Rename(message.data, message.queued);
        if (!s.ok()) return fail(s);
    }
    for (const auto& folder : folders) {
        s = committer.SyncFolder(folder);
        if (!s.ok()) return fail(s);
    }
    auto report = [&] {
        if (!named) return;
        named->clear();
        for (const auto& c : copies) named->push_back(c.made);
    };
    if (message.queued.empty()) {
        // Nothing is promised by this name: a leftover is swept at start-up.
        env.Unlink(message.data);
        report();
        return {};
    }
    s = committer.SyncFolder(platform::FolderOf(message.queued));
    if (!s.ok()) return fail(s);
    report();
    return s;
}

platform::FsStatus StoreMailboxCopies(Committer& committer, MailboxCopies& message) {
    platform::Env& env = committer.Env();
    auto takeBack = [&] {
        for (auto& copy : message.copies) {
            if (!copy.path.empty()) env.Unlink(copy.path);
            copy.path.clear();
        }
    };
    std::set<std::string> folders;
    for (std::size_t i = 0; i < message.copies.size(); ++i) {
        auto& copy = message.copies[i];
        copy.path = message.source.empty()
                        ? smtp::WriteNewFileUnsynced(copy.folder, copy.prefix, message.stem, message.suffix,
                                                     message.content)
                        : smtp::CopyToNewFileUnsynced(message.source, copy.folder, copy.prefix, message.stem,
                                                      message.suffix, message.append);
        if (copy.path.empty()) {
            message.failed = i;
            takeBack();
            return platform::FsStatus{EIO};
        }
        folders.insert(platform::FolderOf(copy.path));
    }
    for (const auto& folder : folders) {
        const platform::FsStatus s = committer.SyncFolder(folder);
        if (!s.ok()) {
            // Which name is missing from the disk cannot be told: none stays.
            for (std::size_t i = 0; i < message.copies.size() && !message.failed; ++i)
                if (platform::FolderOf(message.copies[i].path) == folder) message.failed = i;
            takeBack();
            return s;
        }
    }
    return {};
}

}  // namespace commit
