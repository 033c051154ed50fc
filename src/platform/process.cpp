// Program directory and single-instance lock.
#include "platform/process.h"

#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {
namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::string CurrentDir() {
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf)) return buf;
    return ".";
}

}  // namespace

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return WithSlash(CurrentDir());
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.find_last_of('/');
    if (slash == std::string::npos) return WithSlash(CurrentDir());
    return exe.substr(0, slash + 1);
}

std::string ResolveProgramDir() {
    const char* home = std::getenv("TARNWICK_HOME");
    if (!home || !*home) return ExecutableDir();
    std::string dir = home;
    if (dir.front() != '/') dir = WithSlash(CurrentDir()) + dir;
    // The canonical form when the folder exists, so that two spellings of
    // one home share one lock and one set of files.
    char real[PATH_MAX];
    if (::realpath(dir.c_str(), real)) dir = real;
    return WithSlash(dir);
}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::Acquire(const std::string& programDir) {
    Release();
    error_.clear();
    const std::string path = WithSlash(programDir) + FileName;
    int fd = OpenPrivate(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno != EWOULDBLOCK) error_ = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void InstanceLock::Release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
