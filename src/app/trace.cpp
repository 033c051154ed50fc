// tarnwick-trace PID [LENGTH]: asks a running Tarnwick for a report of
// its threads and prints it. The report comes through the shared memory
// "/zelTraceProcessMap" of LENGTH bytes (cut to LENGTH - 1 characters);
// a LENGTH below 1 puts it on that program's clipboard instead.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr char kMapName[] = "/zelTraceProcessMap";
constexpr int kDefaultLength = 1 << 20;
constexpr int kAnswerSeconds = 30;

int Usage() {
    std::fprintf(stderr, "usage: tarnwick-trace PID [LENGTH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return Usage();
    char* end = nullptr;
    const long pid = std::strtol(argv[1], &end, 10);
    if (*end != '\0' || pid <= 0) return Usage();
    long length = kDefaultLength;
    if (argc == 3) {
        length = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || length > (1L << 30) || length < -(1L << 30)) return Usage();
    }
    const int signal = SIGRTMIN + 5;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    // Blocked before asking, so the answer cannot come too early.
    sigprocmask(SIG_BLOCK, &set, nullptr);

    int fd = -1;
    if (length >= 1) {
        shm_unlink(kMapName);
        fd = shm_open(kMapName, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, length) != 0) {
            std::fprintf(stderr, "tarnwick-trace: cannot create %s: %s\n", kMapName, std::strerror(errno));
            return 1;
        }
    }
    sigval value{};
    value.sival_int = static_cast<int>(length);
    if (sigqueue(static_cast<pid_t>(pid), signal, value) != 0) {
        std::fprintf(stderr, "tarnwick-trace: cannot reach %ld: %s\n", pid, std::strerror(errno));
        if (fd >= 0) shm_unlink(kMapName);
        return 1;
    }
    const time_t deadline = std::time(nullptr) + kAnswerSeconds;
    bool answered = false;
    while (!answered) {
        const time_t left = deadline - std::time(nullptr);
        if (left <= 0) break;
        timespec wait{left, 0};
        siginfo_t info{};
        if (sigtimedwait(&set, &info, &wait) == signal && info.si_pid == pid) answered = true;
    }
    if (!answered) {
        std::fprintf(stderr, "tarnwick-trace: no answer from %ld\n", pid);
        if (fd >= 0) shm_unlink(kMapName);
        return 1;
    }
    if (fd >= 0) {
        void* view = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
        if (view != MAP_FAILED) {
            const char* text = static_cast<const char*>(view);
            std::fwrite(text, 1, strnlen(text, static_cast<std::size_t>(length)), stdout);
            munmap(view, static_cast<std::size_t>(length));
        }
        close(fd);
        shm_unlink(kMapName);
    }
    return 0;
}
