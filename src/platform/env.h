// The one narrow interface between the mail engine and the file system.
// Everything that puts mail or tables on disk goes through an Env, so a
// test can hand the engine a FaultInjectionEnv and see what it does when a
// write, an fsync or a rename fails at any given step.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The folder holding path, without a trailing "/" ("." for a bare name):
// what SyncFolder takes after a name was made or removed in it.
std::string FolderOf(const std::string& path);

// A fresh name beside path for a temp file ("<path>.tmp" and nine digits),
// of the kind start-up sweeps away as a crash's leftover.
std::string TempBeside(const std::string& path);

// The outcome of one call: 0, or the errno it failed with.
struct FsStatus {
    int error = 0;
    bool ok() const { return error == 0; }
    std::string Text() const;
};

class WritableFile {
public:
    virtual ~WritableFile();
    virtual FsStatus Append(std::string_view data) = 0;
    // Starts writing what was appended to the disk without waiting, so that
    // the Sync of this and of other files started alike share the disk's
    // work. Only a hint: Sync is still what makes the data durable.
    virtual void StartSync() {}
    virtual FsStatus Sync() = 0;
    virtual FsStatus Close() = 0;
};

// A file read front to back in pieces, so a message of any size is never
// held whole.
class SequentialFile {
public:
    virtual ~SequentialFile();
    // Up to n bytes into data; data empty at the end of the file.
    virtual FsStatus Read(size_t n, std::string& data) = 0;
};

enum class CreateMode {
    Truncate,   // create or empty
    Exclusive,  // create; fail with EEXIST when the name is taken
    Append,     // create or keep, write at the end
};

class Env {
public:
    virtual ~Env();

    virtual FsStatus NewWritableFile(const std::string& path, CreateMode mode,
                                     std::unique_ptr<WritableFile>& file) = 0;
    virtual FsStatus NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>& file) = 0;
    virtual FsStatus ReadFile(const std::string& path, std::string& data) = 0;
    virtual FsStatus Rename(const std::string& from, const std::string& to) = 0;
    virtual FsStatus Link(const std::string& from, const std::string& to) = 0;
    virtual FsStatus Unlink(const std::string& path) = 0;
    virtual FsStatus SyncFolder(const std::string& path) = 0;
    // Names of the entries of a folder, "." and ".." left out, unsorted.
    virtual FsStatus ListFolder(const std::string& path, std::vector<std::string>& names) = 0;
    virtual FsStatus CreateFolder(const std::string& path) = 0;
    // Whether two names are one file (same device and inode); false when
    // either does not exist.
    virtual bool SameFile(const std::string& a, const std::string& b) = 0;

    // A temp file beside path, synced, renamed over path, folder synced: a
    // crash at any moment leaves the old or the new whole file. On failure
    // the temp file is removed and path is as it was.
    FsStatus WriteFileAtomic(const std::string& path, std::string_view data);
    // The same for a copy of `from`, streamed, dated like `from`. A copy
    // onto the file itself fails (EINVAL): callers move messages by copy
    // and unlink, and must never unlink a source that was not copied
    // elsewhere. A missing source fails (ENOENT).
    FsStatus CopyFile(const std::string& from, const std::string& to);
    // CopyFile short of the folder sync, for callers that sync a folder
    // once for the names of several files.
    FsStatus CopyFileNameUnsynced(const std::string& from, const std::string& to);
    // The first half of that: the copy of from, with from's date, in a new
    // temp file beside to, its writing started; the caller syncs and closes
    // file, then renames temp to to (or removes it). On failure nothing is
    // left.
    FsStatus WriteCopyBeside(const std::string& from, const std::string& to, std::string& temp,
                             std::unique_ptr<WritableFile>& file);

    // The real file system.
    static Env* Default();
    // The Env the engine uses: Default() unless a ScopedEnv put another in.
    static Env* Current();
};

// Makes env the current Env for its lifetime, then puts back the one before
// (tests: a FaultInjectionEnv under a running server).
class ScopedEnv {
public:
    explicit ScopedEnv(Env* env);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    Env* previous_;
};

// Passes every call to a base Env, fails chosen calls, and keeps a journal
// of the calls that make data durable or visible, in order.
class FaultInjectionEnv : public Env {
public:
    enum class Op { Open, Append, Sync, Close, Read, Rename, Link, Unlink, SyncFolder, List, CreateFolder };

    explicit FaultInjectionEnv(Env* base = Env::Default());

    // The nth call of op from now on (1 = the next one) fails with error;
    // nth 0 fails every call until Clear.
    void FailAt(Op op, int nth, int error);
    void Clear();
    int Calls(Op op) const;
    // "sync PATH", "rename FROM -> TO", "link FROM -> TO", "unlink PATH",
    // "syncfolder PATH", one entry a call that succeeded; and "failed CALL"
    // for each injected failure ("failed append PATH", "failed open PATH").
    std::vector<std::string> Journal() const;

    FsStatus NewWritableFile(const std::string& path, CreateMode mode, std::unique_ptr<WritableFile>& file) override;
    FsStatus NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>& file) override;
    FsStatus ReadFile(const std::string& path, std::string& data) override;
    FsStatus Rename(const std::string& from, const std::string& to) override;
    FsStatus Link(const std::string& from, const std::string& to) override;
    FsStatus Unlink(const std::string& path) override;
    FsStatus SyncFolder(const std::string& path) override;
    FsStatus ListFolder(const std::string& path, std::vector<std::string>& names) override;
    FsStatus CreateFolder(const std::string& path) override;
    bool SameFile(const std::string& a, const std::string& b) override { return base_->SameFile(a, b); }

    // Counts a call of op; the errno it must fail with, or 0.
    int Enter(Op op);
    void Record(std::string entry);
    // Journals the injected failure of call; its status.
    FsStatus Failed(int error, const std::string& call);

private:
    struct Rule {
        int nth = 0;
        int error = 0;
    };

    Env* base_;
    mutable std::mutex mutex_;
    std::map<Op, int> calls_;
    std::map<Op, std::vector<std::pair<int, Rule>>> rules_;  // (call count when set, rule)
    std::vector<std::string> journal_;
};

}  // namespace platform
