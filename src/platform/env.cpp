// The POSIX file system behind Env, and the fault-injecting double.
#include "platform/env.h"

#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string FsStatus::Text() const { return ok() ? std::string("ok") : std::string(std::strerror(error)); }

WritableFile::~WritableFile() = default;
SequentialFile::~SequentialFile() = default;
Env::~Env() = default;

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string TempBeside(const std::string& path) {
    // Nine digits: a name with fewer is a caller's own.
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    return path + ".tmp" + std::to_string(100000000 + rng() % 900000000ULL);
}

namespace {

FsStatus Errno() { return FsStatus{errno != 0 ? errno : EIO}; }

class PosixFile : public WritableFile {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    FsStatus Append(std::string_view data) override {
        const char* p = data.data();
        size_t n = data.size();
        while (n > 0) {
            ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return Errno();
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return {};
    }
    void StartSync() override {
        if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    FsStatus Sync() override { return ::fsync(fd_) == 0 ? FsStatus{} : Errno(); }
    FsStatus Close() override {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? Errno() : FsStatus{};
    }

private:
    int fd_;
};

class PosixSequentialFile : public SequentialFile {
public:
    explicit PosixSequentialFile(int fd) : fd_(fd) {}
    ~PosixSequentialFile() override { ::close(fd_); }
    FsStatus Read(size_t n, std::string& data) override {
        data.resize(n);
        for (;;) {
            ssize_t r = ::read(fd_, data.data(), n);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                data.clear();
                return Errno();
            }
            data.resize(static_cast<size_t>(r));
            return {};
        }
    }

private:
    int fd_;
};

class PosixEnv : public Env {
public:
    FsStatus NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>& file) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Errno();
        file = std::make_unique<PosixSequentialFile>(fd);
        return {};
    }
    FsStatus NewWritableFile(const std::string& path, CreateMode mode, std::unique_ptr<WritableFile>& file) override {
        int flags = O_WRONLY | O_CLOEXEC;
        if (mode == CreateMode::Truncate) flags |= O_TRUNC;
        if (mode == CreateMode::Exclusive) flags |= O_EXCL;
        if (mode == CreateMode::Append) flags |= O_APPEND;
        int fd = OpenPrivate(path, flags);
        if (fd < 0) return Errno();
        file = std::make_unique<PosixFile>(fd);
        return {};
    }
    FsStatus ReadFile(const std::string& path, std::string& data) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Errno();
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r < 0) {
                if (errno == EINTR) continue;
                FsStatus s = Errno();
                ::close(fd);
                return s;
            }
            if (r == 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        ::close(fd);
        data.swap(out);
        return {};
    }
    FsStatus Rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 ? FsStatus{} : Errno();
    }
    FsStatus Link(const std::string& from, const std::string& to) override {
        return ::link(from.c_str(), to.c_str()) == 0 ? FsStatus{} : Errno();
    }
    FsStatus Unlink(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 ? FsStatus{} : Errno();
    }
    FsStatus SyncFolder(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return Errno();
        FsStatus s = ::fsync(fd) == 0 ? FsStatus{} : Errno();
        ::close(fd);
        return s;
    }
    FsStatus ListFolder(const std::string& path, std::vector<std::string>& names) override {
        DIR* d = ::opendir(path.c_str());
        if (!d) return Errno();
        names.clear();
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            names.emplace_back(e->d_name);
        }
        ::closedir(d);
        return {};
    }
    FsStatus CreateFolder(const std::string& path) override {
        if (MakePrivateFolder(path)) return {};
        struct stat st {};
        if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
        return Errno();
    }
    bool SameFile(const std::string& a, const std::string& b) override {
        struct stat sa {}, sb {};
        return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
               sa.st_ino == sb.st_ino;
    }
};

}  // namespace

Env* Env::Default() {
    static PosixEnv env;
    return &env;
}

namespace {
std::atomic<Env*> current{nullptr};
}  // namespace

Env* Env::Current() {
    Env* env = current.load(std::memory_order_acquire);
    return env ? env : Default();
}

ScopedEnv::ScopedEnv(Env* env) : previous_(current.exchange(env, std::memory_order_acq_rel)) {}

ScopedEnv::~ScopedEnv() { current.store(previous_, std::memory_order_release); }

FsStatus Env::WriteFileAtomic(const std::string& path, std::string_view data) {
    const std::string temp = TempBeside(path);
    std::unique_ptr<WritableFile> file;
    FsStatus s = NewWritableFile(temp, CreateMode::Exclusive, file);
    if (!s.ok()) return s;
    s = file->Append(data);
    if (s.ok()) s = file->Sync();
    FsStatus closed = file->Close();
    if (s.ok()) s = closed;
    if (s.ok()) s = Rename(temp, path);
    if (!s.ok()) {
        Unlink(temp);
        return s;
    }
    return SyncFolder(FolderOf(path));
}

FsStatus Env::CopyFile(const std::string& from, const std::string& to) {
    const FsStatus s = CopyFileNameUnsynced(from, to);
    return s.ok() ? SyncFolder(FolderOf(to)) : s;
}

FsStatus Env::CopyFileNameUnsynced(const std::string& from, const std::string& to) {
    std::string temp;
    std::unique_ptr<WritableFile> out;
    FsStatus s = WriteCopyBeside(from, to, temp, out);
    if (!s.ok()) return s;
    s = out->Sync();
    FsStatus closed = out->Close();
    if (s.ok()) s = closed;
    if (s.ok()) s = Rename(temp, to);
    if (!s.ok()) Unlink(temp);
    return s;
}

FsStatus Env::WriteCopyBeside(const std::string& from, const std::string& to, std::string& temp,
                              std::unique_ptr<WritableFile>& file) {
    if (SameFile(from, to)) return FsStatus{EINVAL};
    std::unique_ptr<SequentialFile> in;
    FsStatus s = NewSequentialFile(from, in);
    if (!s.ok()) return s;
    struct stat st {};
    const bool dated = ::stat(from.c_str(), &st) == 0;
    temp = TempBeside(to);
    std::unique_ptr<WritableFile> out;
    s = NewWritableFile(temp, CreateMode::Exclusive, out);
    if (!s.ok()) return s;
    std::string piece;
    for (;;) {
        s = in->Read(1 << 16, piece);
        if (!s.ok() || piece.empty()) break;
        s = out->Append(piece);
        if (!s.ok()) break;
    }
    // The copy carries the original's date: mail lists sort and age by it.
    if (s.ok() && dated) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(AT_FDCWD, temp.c_str(), times, 0) != 0) s = Errno();
    }
    if (!s.ok()) {
        out->Close();
        Unlink(temp);
        return s;
    }
    out->StartSync();
    file = std::move(out);
    return {};
}

FaultInjectionEnv::FaultInjectionEnv(Env* base) : base_(base) {}

void FaultInjectionEnv::FailAt(Op op, int nth, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[op].push_back({calls_[op], Rule{nth, error}});
}

void FaultInjectionEnv::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

int FaultInjectionEnv::Calls(Op op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> FaultInjectionEnv::Journal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return journal_;
}

int FaultInjectionEnv::Enter(Op op) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int count = ++calls_[op];
    for (const auto& [setAt, rule] : rules_[op])
        if (rule.nth == 0 || count - setAt == rule.nth) return rule.error;
    return 0;
}

FsStatus FaultInjectionEnv::Failed(int error, const std::string& call) {
    Record("failed " + call);
    return FsStatus{error};
}

void FaultInjectionEnv::Record(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.push_back(std::move(entry));
}

namespace {

class FaultyFile : public WritableFile {
public:
    FaultyFile(FaultInjectionEnv& env, std::string path, std::unique_ptr<WritableFile> base)
        : env_(env), path_(std::move(path)), base_(std::move(base)) {}
    FsStatus Append(std::string_view data) override {
        if (int e = env_.Enter(FaultInjectionEnv::Op::Append)) return env_.Failed(e, "append " + path_);
        return base_->Append(data);
    }
    void StartSync() override { base_->StartSync(); }
    FsStatus Sync() override {
        if (int e = env_.Enter(FaultInjectionEnv::Op::Sync)) return env_.Failed(e, "sync " + path_);
        FsStatus s = base_->Sync();
        if (s.ok()) env_.Record("sync " + path_);
        return s;
    }
    FsStatus Close() override {
        FsStatus s = base_->Close();  // the descriptor goes either way
        if (int e = env_.Enter(FaultInjectionEnv::Op::Close)) return env_.Failed(e, "close " + path_);
        return s;
    }

private:
    FaultInjectionEnv& env_;
    std::string path_;
    std::unique_ptr<WritableFile> base_;
};

}  // namespace

FsStatus FaultInjectionEnv::NewWritableFile(const std::string& path, CreateMode mode,
                                            std::unique_ptr<WritableFile>& file) {
    if (int e = Enter(Op::Open)) return Failed(e, "open " + path);
    std::unique_ptr<WritableFile> base;
    FsStatus s = base_->NewWritableFile(path, mode, base);
    if (s.ok()) file = std::make_unique<FaultyFile>(*this, path, std::move(base));
    return s;
}

namespace {

class FaultySequentialFile : public SequentialFile {
public:
    FaultySequentialFile(FaultInjectionEnv& env, std::string path, std::unique_ptr<SequentialFile> base)
        : env_(env), path_(std::move(path)), base_(std::move(base)) {}
    FsStatus Read(size_t n, std::string& data) override {
        if (int e = env_.Enter(FaultInjectionEnv::Op::Read)) return env_.Failed(e, "read " + path_);
        return base_->Read(n, data);
    }

private:
    FaultInjectionEnv& env_;
    std::string path_;
    std::unique_ptr<SequentialFile> base_;
};

}  // namespace

FsStatus FaultInjectionEnv::NewSequentialFile(const std::string& path, std::unique_ptr<SequentialFile>& file) {
    if (int e = Enter(Op::Read)) return Failed(e, "read " + path);
    std::unique_ptr<SequentialFile> base;
    FsStatus s = base_->NewSequentialFile(path, base);
    if (s.ok()) file = std::make_unique<FaultySequentialFile>(*this, path, std::move(base));
    return s;
}

FsStatus FaultInjectionEnv::ReadFile(const std::string& path, std::string& data) {
    if (int e = Enter(Op::Read)) return Failed(e, "read " + path);
    return base_->ReadFile(path, data);
}

FsStatus FaultInjectionEnv::Rename(const std::string& from, const std::string& to) {
    if (int e = Enter(Op::Rename)) return Failed(e, "rename " + from + " -> " + to);
    FsStatus s = base_->Rename(from, to);
    if (s.ok()) Record("rename " + from + " -> " + to);
    return s;
}

FsStatus FaultInjectionEnv::Link(const std::string& from, const std::string& to) {
    if (int e = Enter(Op::Link)) return Failed(e, "link " + from + " -> " + to);
    FsStatus s = base_->Link(from, to);
    if (s.ok()) Record("link " + from + " -> " + to);
    return s;
}

FsStatus FaultInjectionEnv::Unlink(const std::string& path) {
    if (int e = Enter(Op::Unlink)) return Failed(e, "unlink " + path);
    FsStatus s = base_->Unlink(path);
    if (s.ok()) Record("unlink " + path);
    return s;
}

FsStatus FaultInjectionEnv::SyncFolder(const std::string& path) {
    if (int e = Enter(Op::SyncFolder)) return Failed(e, "syncfolder " + path);
    FsStatus s = base_->SyncFolder(path);
    if (s.ok()) Record("syncfolder " + path);
    return s;
}

FsStatus FaultInjectionEnv::ListFolder(const std::string& path, std::vector<std::string>& names) {
    if (int e = Enter(Op::List)) return Failed(e, "list " + path);
    return base_->ListFolder(path, names);
}

FsStatus FaultInjectionEnv::CreateFolder(const std::string& path) {
    if (int e = Enter(Op::CreateFolder)) return Failed(e, "createfolder " + path);
    return base_->CreateFolder(path);
}

}  // namespace platform
