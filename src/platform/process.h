// Where the program lives and that it runs only once per home: the program
// directory every file name is built on, and the lock that keeps a second
// copy of the program from working on the same folder tree.
#pragma once

#include <string>

namespace platform {

// $TARNWICK_HOME when it is set and not empty (made absolute), else the
// folder of the running executable; always with a trailing "/". The shell
// stores the result in ProgramDir.
std::string ResolveProgramDir();

// The folder of the running executable, with a trailing "/".
std::string ExecutableDir();

// An exclusive lock (flock) on "tarnwick.lock" in a program directory,
// held while the object lives. The lock file itself is left in place; the
// lock goes with the process, so a crash never leaves a stale lock.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this object now holds the lock; false when another holder
    // (another process, or another InstanceLock) has it or the file cannot
    // be opened (see ErrorText).
    bool Acquire(const std::string& programDir);
    void Release();
    bool Held() const { return fd_ >= 0; }
    // Empty when the only reason for failure is another running copy.
    const std::string& ErrorText() const { return error_; }

    static constexpr const char* FileName = "tarnwick.lock";

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace platform
