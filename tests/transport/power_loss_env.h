// An Env that knows what a power loss would leave. It passes every call to
// the real file system and keeps, beside it, the state the disk is sure to
// hold: a file's bytes as of its last fsync, and a folder's names as of its
// last folder sync (a create, rename, link or unlink in a folder is durable
// only then). At a chosen step the machine "goes off": that call and every
// later one that would change the disk fail, and RestoreInto writes out, in
// a fresh folder, what the disk would hold after the restart.
#pragma once

#include "platform/env.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace twtest {

class PowerLossEnv : public platform::Env {
public:
    // Every regular file under root counts as durable as it is now.
    explicit PowerLossEnv(const std::string& root, platform::Env* base = platform::Env::Default())
        : root_(Normal(root)), base_(base) {
        namespace fs = std::filesystem;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            if (!e.is_regular_file()) continue;
            const std::string path = Normal(e.path().string());
            const int id = ++lastId_;
            live_[path] = id;
            names_[path] = id;
            data_[id] = Slurp(path);
        }
    }

    // The nth step from now (1 = the next) is the first that never happens.
    void CrashAt(int nth) {
        std::lock_guard<std::mutex> lock(mutex_);
        crashAt_ = steps_ + nth;
    }
    int Steps() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return steps_;
    }
    bool Crashed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return crashed_;
    }

    // The disk after the restart, as a copy under target (relative names
    // kept): the synced names, each with its synced bytes.
    void RestoreInto(const std::string& target) const {
        namespace fs = std::filesystem;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& e : fs::recursive_directory_iterator(root_))
            if (e.is_directory()) fs::create_directories(target + "/" + Relative(e.path().string()));
        // Names of one file stay links to one file, as on a real disk.
        std::map<int, std::string> first;
        for (const auto& [path, id] : names_) {
            const std::string to = target + "/" + Relative(path);
            if (auto f = first.find(id); f != first.end()) {
                fs::create_hard_link(f->second, to);
                continue;
            }
            first[id] = to;
            auto it = data_.find(id);
            std::ofstream(to, std::ios::binary) << (it == data_.end() ? std::string() : it->second);
        }
    }

    platform::FsStatus NewWritableFile(const std::string& path, platform::CreateMode mode,
                                       std::unique_ptr<platform::WritableFile>& file) override {
        if (!Step()) return platform::FsStatus{EIO};
        std::unique_ptr<platform::WritableFile> real;
        platform::FsStatus s = base_->NewWritableFile(path, mode, real);
        if (!s.ok()) return s;
        const std::string p = Normal(path);
        std::string start;
        if (mode == platform::CreateMode::Append) start = Slurp(p);
        int id;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = live_.find(p);
            id = it != live_.end() ? it->second : (live_[p] = ++lastId_);
        }
        file = std::make_unique<File>(*this, id, std::move(start), std::move(real));
        return s;
    }
    platform::FsStatus NewSequentialFile(const std::string& path,
                                         std::unique_ptr<platform::SequentialFile>& file) override {
        return base_->NewSequentialFile(path, file);
    }
    platform::FsStatus ReadFile(const std::string& path, std::string& data) override {
        return base_->ReadFile(path, data);
    }
    platform::FsStatus Rename(const std::string& from, const std::string& to) override {
        if (!Step()) return platform::FsStatus{EIO};
        platform::FsStatus s = base_->Rename(from, to);
        if (s.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            const int id = IdOf(Normal(from));
            live_.erase(Normal(from));
            live_[Normal(to)] = id;
        }
        return s;
    }
    platform::FsStatus Link(const std::string& from, const std::string& to) override {
        if (!Step()) return platform::FsStatus{EIO};
        platform::FsStatus s = base_->Link(from, to);
        if (s.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            live_[Normal(to)] = IdOf(Normal(from));
        }
        return s;
    }
    platform::FsStatus Unlink(const std::string& path) override {
        if (!Step()) return platform::FsStatus{EIO};
        platform::FsStatus s = base_->Unlink(path);
        if (s.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            live_.erase(Normal(path));
        }
        return s;
    }
    platform::FsStatus SyncFolder(const std::string& path) override {
        if (!Step()) return platform::FsStatus{EIO};
        platform::FsStatus s = base_->SyncFolder(path);
        if (s.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string folder = Normal(path);
            for (auto it = names_.begin(); it != names_.end();)
                it = platform::FolderOf(it->first) == folder ? names_.erase(it) : std::next(it);
            for (const auto& [p, id] : live_)
                if (platform::FolderOf(p) == folder) names_[p] = id;
        }
        return s;
    }
    platform::FsStatus ListFolder(const std::string& path, std::vector<std::string>& names) override {
        return base_->ListFolder(path, names);
    }
    platform::FsStatus CreateFolder(const std::string& path) override {
        if (!Step()) return platform::FsStatus{EIO};
        return base_->CreateFolder(path);
    }
    bool SameFile(const std::string& a, const std::string& b) override { return base_->SameFile(a, b); }

private:
    class File : public platform::WritableFile {
    public:
        File(PowerLossEnv& env, int id, std::string start, std::unique_ptr<platform::WritableFile> real)
            : env_(env), id_(id), bytes_(std::move(start)), real_(std::move(real)) {}
        platform::FsStatus Append(std::string_view data) override {
            if (!env_.Step()) return platform::FsStatus{EIO};
            platform::FsStatus s = real_->Append(data);
            if (s.ok()) bytes_.append(data);
            return s;
        }
        platform::FsStatus Sync() override {
            if (!env_.Step()) return platform::FsStatus{EIO};
            platform::FsStatus s = real_->Sync();
            if (s.ok()) {
                std::lock_guard<std::mutex> lock(env_.mutex_);
                env_.data_[id_] = bytes_;
            }
            return s;
        }
        platform::FsStatus Close() override { return real_->Close(); }

    private:
        PowerLossEnv& env_;
        int id_;
        std::string bytes_;
        std::unique_ptr<platform::WritableFile> real_;
    };

    // Counts a step that changes the disk; false once the power is off.
    bool Step() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (crashed_) return false;
        if (++steps_ >= crashAt_) {
            crashed_ = true;
            return false;
        }
        return true;
    }
    // A file made behind this Env's back has no synced bytes.
    int IdOf(const std::string& path) {
        auto it = live_.find(path);
        return it != live_.end() ? it->second : ++lastId_;
    }
    static std::string Normal(std::string path) {
        for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }
    std::string Relative(const std::string& path) const { return Normal(path).substr(root_.size() + 1); }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string root_;
    platform::Env* base_;
    mutable std::mutex mutex_;
    std::map<std::string, int> live_;   // path -> file, as the folders are now
    std::map<std::string, int> names_;  // path -> file, as the disk holds them
    std::map<int, std::string> data_;   // file -> its synced bytes
    int lastId_ = 0;
    int steps_ = 0;
    int crashAt_ = 1 << 30;
    bool crashed_ = false;
};

}  // namespace twtest
