// Interception and the exception thread. Every path an unhandled exception
// can take (an event barrier, a processor fault, abort, terminate, a worker
// thread's escaped exception) ends in a request on one pipe; the exception
// thread takes the requests in order and runs the handlers, the report and
// the actions. A faulting thread only writes the pipe and waits.
#include "zel_except.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "platform/exceptions.h"
#include "platform/clock.h"
#include "zel_except_internal.h"
#include "zel_exception.h"
#include "zel_report.h"

namespace zelExcept {

namespace internal {
bool WaitPumping(int fd);
void CreateMainThreadCaller();
void DestroyMainThreadCaller();
void AbandonMainThreadCalls();
void AskMainThreadAgain();
void SetClipboardText(const std::string& text);
bool PostToMainThread(std::function<void()> call);
}  // namespace internal

using namespace internal;

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochOffset = 11644473600LL;

struct TRequestData {
    pid_t Tid = 0;
    bool Frozen = false;
    bool CanContinue = false;
    bool OsException = false;
    bool HasObject = false;
    std::uint64_t Address = 0;
    bool HasRegs = false;
    // The main thread waits for this request without running its event
    // loop: nothing it serves (our own SMTP server) answers meanwhile.
    bool MainBlocked = false;
    zelCapture::TRegisters Regs;
    char ClassName[160] = {};
    char Message[1024] = {};
    int PresetCount = 0;
    std::uint64_t Preset[kMaxFrames] = {};
};

enum TRequestKind : int { rqException = 1, rqTrace = 2, rqStop = 3 };

// Written whole to the pipe (far below PIPE_BUF, so never interleaved).
struct TRequest {
    int Kind = 0;
    int DoneFd = -1;      // eventfd the requester waits on
    int CapturedFd = -1;  // eventfd set once the snapshots are taken
    int TraceLength = 0;
    pid_t TraceRequester = 0;
    TRequestData* Data = nullptr;
};

std::atomic<bool> g_active{false};
bool g_started = false;
bool g_intercepting = false;
pid_t g_mainTid = 0;
std::atomic<pid_t> g_exceptTid{0};
int g_pipe[2] = {-1, -1};
pthread_t g_exceptThread{};
pthread_t g_watchThread{};
pthread_t g_freezeThread{};
bool g_freezeRunning = false;
bool g_threadsRunning = false;
platform::SystemTime g_startTime{};

// What the exception thread and the watchdog use is never destroyed: an
// exit() from a library (the display's, when its X server goes away) runs
// the exit handlers while they still run, and destroying a condition
// variable that a thread waits on blocks for ever.
std::vector<std::string>& g_args = *new std::vector<std::string>;
std::vector<char*>& g_argv = *new std::vector<char*>;

std::mutex g_historyLock;
THistory g_history{};

struct THandlerEntry {
    THandlerKey Key;
    TActionHandler Handler;
    TSyncMode Mode = smExceptionThread;
};
std::mutex g_handlersLock;
std::vector<THandlerEntry>& g_handlers = *new std::vector<THandlerEntry>;

// A main thread held in its fault handler waits for a request of its own;
// while the exception thread serves another one, nothing that one asks of
// the main thread (a dialog, a handler call, the mail to our own server)
// can ever come.
std::atomic<const TRequestData*> g_mainFault{nullptr};
std::atomic<const TRequestData*> g_serving{nullptr};
std::atomic<bool> g_mainHeld{false};

thread_local bool t_inMainHandlers = false;
thread_local bool t_inFault = false;
thread_local TRequestData t_faultData;
thread_local int t_pendingDone = -1;

// The reporting watchdog.
std::mutex& g_watchLock = *new std::mutex;
std::condition_variable& g_watchWake = *new std::condition_variable;
bool g_processing = false;
bool g_watchStop = false;
std::uint64_t g_watchRound = 0;
int g_watchPaused = 0;
std::atomic<int> g_boundMs{60000};
std::atomic<int> g_endedByFault{0};
std::atomic<void (*)(int)> g_unplannedExit{nullptr};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction g_previousFault[sizeof kFaultSignals / sizeof kFaultSignals[0]];
struct sigaction g_previousTrace {};
int g_traceSignal = 0;
std::terminate_handler g_previousTerminate = nullptr;

// ---------------------------------------------------------------------
// Small helpers that work in a signal handler
// ---------------------------------------------------------------------

void Append(char* out, std::size_t size, const char* text) {
    std::size_t used = std::strlen(out);
    while (*text != '\0' && used + 1 < size) out[used++] = *text++;
    out[used] = '\0';
}

void AppendHex(char* out, std::size_t size, std::uint64_t value) {
    char digits[17];
    for (int i = 15; i >= 0; --i) {
        digits[i] = "0123456789abcdef"[value & 15];
        value >>= 4;
    }
    digits[16] = '\0';
    Append(out, size, digits);
}

void AppendDecimal(char* out, std::size_t size, std::uint64_t value) {
    char text[21];
    char* first = text + sizeof text - 1;
    *first = '\0';
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(out, size, first);
}

// Blocks (SIG_BLOCK) or unblocks (SIG_UNBLOCK) the trace signal for the
// calling thread; the threads it starts inherit that.
void MaskTraceSignal(int how) {
    if (g_traceSignal == 0) return;
    sigset_t traceSet;
    sigemptyset(&traceSet);
    sigaddset(&traceSet, g_traceSignal);
    pthread_sigmask(how, &traceSet, nullptr);
}

void WriteStderr(const char* text) { (void)!::write(2, text, std::strlen(text)); }

bool WriteRequest(const TRequest& request) {
    if (g_pipe[1] < 0) return false;
    for (;;) {
        const ssize_t n = ::write(g_pipe[1], &request, sizeof request);
        if (n == static_cast<ssize_t>(sizeof request)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

void WaitEvent(int fd) {
    eventfd_t value = 0;
    while (eventfd_read(fd, &value) != 0 && errno == EINTR) {
    }
}

std::int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(platform::Now().time_since_epoch()).count() + kEpochOffset;
}

std::string Demangle(const char* name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string out = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return out;
}

void CopyText(char* out, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// ---------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------

[[noreturn]] void CloseApplication() { _exit(1); }

// The hand-over block a restart leaves for the new process.
struct TRestartBlock {
    std::int32_t OldPid;
    std::int32_t Reserved;
    std::int64_t History[10];
};

std::string RestartBlockName(pid_t pid) {
    char name[64];
    std::snprintf(name, sizeof name, "/zelExceptRestart$%x", static_cast<unsigned>(pid));
    return name;
}

// The file the program runs from, so that the new process bears the
// program's name (one started through /proc/self/exe is called "exe");
// that link itself when the file was removed or replaced since the start.
std::string ProgramFile() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    struct stat named {}, running {};
    if (n <= 0) return "/proc/self/exe";
    path[n] = '\0';
    if (stat(path, &named) != 0 || stat("/proc/self/exe", &running) != 0 || named.st_dev != running.st_dev ||
        named.st_ino != running.st_ino)
        return "/proc/self/exe";
    return path;
}

// Starts the program anew with its command line and hands it the
// exception history; this process ends with exit code 2. The new process
// waits at a gate until the hand-over block exists, and this one stays
// its parent until it has taken the block.
[[noreturn]] void RestartApplication() {
    const std::string file = ProgramFile();
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0) CloseApplication();
    const pid_t child = fork();
    if (child < 0) CloseApplication();
    if (child == 0) {
        char go = 0;
        (void)!::read(gate[0], &go, 1);
        execv(file.c_str(), g_argv.data());
        _exit(127);
    }
    const std::string name = RestartBlockName(child);
    const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool handed = false;
    if (fd >= 0) {
        TRestartBlock block{};
        block.OldPid = static_cast<std::int32_t>(getpid());
        const THistory history = History();
        std::memcpy(block.History, history.data(), sizeof block.History);
        // The umask may have taken bits the new process checks for.
        handed = fchmod(fd, 0600) == 0 && ftruncate(fd, sizeof block) == 0 &&
                 ::write(fd, &block, sizeof block) == sizeof block;
        if (!handed) shm_unlink(name.c_str());
        close(fd);
    }
    (void)!::write(gate[1], "x", 1);
    // The new process takes the block only from its parent.
    for (int i = 0; handed && i < 1000; ++i) {
        const int probe = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
        if (probe < 0) break;
        close(probe);
        usleep(5000);
    }
    _exit(2);
}

// Takes over from the process that restarted into this one: its exception
// history, once it has ended. Anyone can make a block of that name for a
// pid to come, so only our own, left by our parent, counts; the wait for
// the parent's end is bounded.
void TakeOverRestart() {
    const std::string name = RestartBlockName(getpid());
    const int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        if (errno != ENOENT) WriteStderr(("Tarnwick: restart block " + name + " ignored: cannot be opened\n").c_str());
        return;
    }
    TRestartBlock block{};
    struct stat info {};
    const char* problem = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = "not a plain block";
    else if (info.st_uid != geteuid())
        problem = "made by another user";
    else if ((info.st_mode & 07777) != 0600)
        problem = "open to other users";
    else if (info.st_size != static_cast<off_t>(sizeof block) || ::read(fd, &block, sizeof block) != sizeof block)
        problem = "of the wrong size";
    else if (block.OldPid != getppid())
        problem = "not left by our parent";
    close(fd);
    if (problem != nullptr) {
        // One of ours that is stale goes; another user's is not ours to remove.
        if (info.st_uid == geteuid() && S_ISREG(info.st_mode)) shm_unlink(name.c_str());
        WriteStderr(("Tarnwick: restart block " + name + " ignored: " + problem + "\n").c_str());
        return;
    }
    shm_unlink(name.c_str());
    // The old process is our parent until it has gone.
    for (int i = 0; i < 2000 && getppid() == block.OldPid; ++i) usleep(5000);
    std::lock_guard<std::mutex> lock(g_historyLock);
    std::memcpy(g_history.data(), block.History, sizeof block.History);
}

void PushHistory(std::int64_t now) {
    std::lock_guard<std::mutex> lock(g_historyLock);
    for (std::size_t i = g_history.size() - 1; i > 0; --i) g_history[i] = g_history[i - 1];
    g_history[0] = now;
}

// ---------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------

void CallHandler(const THandlerEntry& entry, TAction action, const THandlerInfo& info, std::string& report,
                 std::string& screenshot, bool& handled) {
    try {
        entry.Handler(action, info, report, screenshot, handled);
    } catch (...) {
        // A failing handler is skipped; the others still run.
    }
}

// Calls the action handlers of `action`; true when one of them set
// handled. Sync mode 0 runs here; 1 and 2 in the main thread, or (2 only)
// here when the main thread does not answer.
bool FireActionHandlers(TAction action, const THandlerInfo& info, std::string& report, std::string& screenshot) {
    std::vector<THandlerEntry> list;
    {
        std::lock_guard<std::mutex> lock(g_handlersLock);
        list = g_handlers;
    }
    bool handled = false;
    for (const THandlerEntry& entry : list) {
        if (entry.Mode != smExceptionThread) continue;
        CallHandler(entry, action, info, report, screenshot, handled);
        if (handled) return true;
    }
    bool wantsMain = false;
    for (const THandlerEntry& entry : list) wantsMain = wantsMain || entry.Mode != smExceptionThread;
    if (!wantsMain) return false;
    bool reached = false;
    if (!info.Frozen) {
        reached = CallInMainThread([&] {
            t_inMainHandlers = true;
            for (const THandlerEntry& entry : list) {
                if (entry.Mode == smExceptionThread) continue;
                CallHandler(entry, action, info, report, screenshot, handled);
                if (handled) break;
            }
            t_inMainHandlers = false;
        });
    }
    if (!reached) {
        for (const THandlerEntry& entry : list) {
            if (entry.Mode != smMainOrExceptionThread) continue;
            CallHandler(entry, action, info, report, screenshot, handled);
            if (handled) break;
        }
    }
    return handled;
}

bool ClassWithoutReport(const std::string& list, const std::string& className) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (!item.empty() && strcasecmp(item.c_str(), className.c_str()) == 0) return true;
        start = end + 1;
    }
    return false;
}

// The mail route is our own SMTP server, which runs on the main thread.
bool MailGoesToOwnServer(const TSettingsBlock& settings) {
    const bool ownHost =
        settings.SmtpHost == "127.0.0.1" || settings.SmtpHost == "localhost" || settings.SmtpHost == "::1";
    return settings.RouteSmtpServer && ownHost && !settings.RouteDirectMx && !settings.RouteMailto;
}

// ---------------------------------------------------------------------
// The exception thread
// ---------------------------------------------------------------------

void ProcessException(TRequestData& data, int capturedFd) {
    const TSettingsBlock settings = SettingsCopy();
    // A main thread that missed the probe of an earlier exception may be
    // free again; within this one, a missed probe is not asked again.
    AskMainThreadAgain();
    TExceptionRecord record;
    record.Frozen = data.Frozen;
    record.HasObject = data.HasObject;
    record.ClassName = data.ClassName;
    record.Message = data.Message;
    record.OsException = data.OsException;
    record.Address = data.Address;
    record.ThreadId = data.Frozen ? MainTid() : data.Tid;
    record.CanContinue = data.CanContinue;

    std::vector<zelStackTrace::TPresetItem> preset;
    for (int i = 0; i < data.PresetCount; ++i) preset.push_back({true, data.Preset[i]});
    const std::vector<TThreadSnapshot> threads =
        TakeSnapshots(record.ThreadId, data.HasRegs ? &data.Regs : nullptr, preset, settings.AllThreads);
    if (capturedFd >= 0) eventfd_write(capturedFd, 1);

    PushHistory(NowSeconds());
    THandlerInfo info;
    info.Frozen = data.Frozen;
    info.ExceptionAddress = data.Address;
    info.ThreadId = record.ThreadId;
    if (data.HasObject) info.ClassName = record.ClassName;
    const bool canContinue = data.CanContinue;
    std::string report, screenshot;
    auto fire = [&](TAction action, std::string& text) { return FireActionHandlers(action, info, text, screenshot); };

    const THistory history = History();
    const std::int64_t now = NowSeconds();
    // The dialog gives the focus and the countdown to what the rules would do.
    record.AutoCloseApplies = RuleApplies(settings.AutoClose, history, now);
    record.AutoRestartApplies = RuleApplies(settings.AutoRestart, history, now);

    if (!ClassWithoutReport(settings.ClassesWithoutReport, record.ClassName))
        report = CreateBugReport(record, threads, settings.ShowDialog);
    // A report that nobody will read by mail or on the screen is saved, so
    // that it is not lost; the stderr line says where.
    bool kept = false;
    if (settings.AutoSave && !fire(actSave, report)) kept = SaveBugReport(report, true);
    if (settings.AutoMail && !fire(actMail, report)) {
        // Our own server cannot take the mail while the main thread is
        // held: waiting out its time-outs would only delay the save.
        const bool mainHeld = data.MainBlocked || MainThreadHeld();
        if (!(mainHeld && MailGoesToOwnServer(settings))) kept = MailBugReport(report, true) || kept;
    }
    auto keepUnread = [&] {
        if (kept || report.empty()) return;
        kept = true;
        if (!SaveBugReport(report, true)) return;
        const std::string line = "Tarnwick: crash report saved to " + ReportFilePath(settings) + "\n";
        WriteStderr(line.c_str());
    };
    if (settings.ShowDialog) {
        // The dialog's buttons have offered their action to the handlers.
        bool shown = false;
        const TAction chosen = ShowExceptionDialog(record, report, fire, &shown);
        kept = kept || shown;
        keepUnread();
        if (chosen == actRestart) RestartApplication();
        if (chosen == actClose) CloseApplication();
        if (canContinue) return;
    }
    keepUnread();

    if (record.AutoCloseApplies) {
        fire(actClose, report);
        CloseApplication();
    }
    if (record.AutoRestartApplies) {
        fire(actRestart, report);
        RestartApplication();
    }
    if (canContinue) {
        fire(actContinue, report);
        return;
    }
    fire(actClose, report);
    CloseApplication();
}

void WatchBegin() {
    std::lock_guard<std::mutex> lock(g_watchLock);
    g_processing = true;
    ++g_watchRound;
    g_watchWake.notify_all();
}

void WatchEnd() {
    std::lock_guard<std::mutex> lock(g_watchLock);
    g_processing = false;
    g_watchWake.notify_all();
}

// Ends the process when one exception takes longer than the bound: a
// report that hangs (a dead mail server, a frozen main thread) must not
// keep a broken program alive for ever.
void* WatchThread(void*) {
    SetThreadName(CurrentTid(), "-");
    std::unique_lock<std::mutex> lock(g_watchLock);
    while (!g_watchStop) {
        if (!g_processing) {
            g_watchWake.wait(lock);
            continue;
        }
        const std::uint64_t round = g_watchRound;
        // Only the library's own work counts: the time a dialog waits for
        // a person is left out.
        auto remaining = std::chrono::steady_clock::duration(std::chrono::milliseconds(g_boundMs.load()));
        while (!g_watchStop && g_processing && g_watchRound == round) {
            if (g_watchPaused > 0) {
                g_watchWake.wait(lock);
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            g_watchWake.wait_for(lock, remaining);
            if (g_watchPaused > 0) continue;
            remaining -= std::chrono::steady_clock::now() - start;
            if (remaining.count() <= 0) break;
        }
        if (!g_watchStop && g_processing && g_watchRound == round && g_watchPaused == 0) {
            WriteStderr("Tarnwick: the crash report did not finish in time; ending.\n");
            _exit(1);
        }
    }
    return nullptr;
}

// Frozen main thread: a probe every tenth of the interval; ten missed in
// a row make a frozen report (the program goes on), and the next round
// waits half as long again.
void* FreezeThread(void*) {
    SetThreadName(CurrentTid(), "-");
    const int interval = SettingsCopy().FreezeInterval;
    auto pause = std::chrono::milliseconds(std::max(1, interval / 10));
    int misses = 0;
    std::unique_lock<std::mutex> lock(g_watchLock);
    while (!g_watchStop) {
        if (g_processing) {
            misses = 0;
            g_watchWake.wait_for(lock, pause);
            continue;
        }
        auto answered = std::make_shared<std::atomic<bool>>(false);
        lock.unlock();
        PostToMainThread([answered] { *answered = true; });
        lock.lock();
        g_watchWake.wait_for(lock, pause, [] { return g_watchStop; });
        if (g_watchStop) break;
        if (answered->load()) {
            misses = 0;
            continue;
        }
        if (++misses < 10) continue;
        misses = 0;
        lock.unlock();
        TRequestData data;
        data.Tid = MainTid();
        data.Frozen = true;
        data.MainBlocked = true;
        data.CanContinue = true;
        CopyText(data.Message, sizeof data.Message, SettingsCopy().FrozenText);
        TRequest request;
        request.Kind = rqException;
        request.Data = &data;
        request.DoneFd = eventfd(0, EFD_CLOEXEC);
        if (request.DoneFd >= 0 && WriteRequest(request)) WaitEvent(request.DoneFd);
        if (request.DoneFd >= 0) close(request.DoneFd);
        pause += pause / 2;
        lock.lock();
    }
    return nullptr;
}

void* ExceptionThread(void*) {
    g_exceptTid = CurrentTid();
    SetThreadName(CurrentTid(), "-");
    InstallAltStack();
    MaskTraceSignal(SIG_UNBLOCK);
    TRequest request;
    for (;;) {
        std::size_t got = 0;
        while (got < sizeof request) {
            const ssize_t n = ::read(g_pipe[0], reinterpret_cast<char*>(&request) + got, sizeof request - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return nullptr;
            got += static_cast<std::size_t>(n);
        }
        if (request.Kind == rqStop) break;
        if (request.Kind == rqTrace) {
            zelTraceProcess(request.TraceLength);
            if (request.TraceRequester > 0) {
                sigval value{};
                sigqueue(request.TraceRequester, g_traceSignal, value);
            }
            continue;
        }
        if (request.Kind != rqException || request.Data == nullptr) continue;
        WatchBegin();
        g_serving = request.Data;
        ProcessException(*request.Data, request.CapturedFd);
        g_serving = nullptr;
        WatchEnd();
        // A faulting worker ends itself once answered.
        if (request.Data->OsException && request.Data->CanContinue) RemoveThread(request.Data->Tid);
        if (request.DoneFd >= 0) eventfd_write(request.DoneFd, 1);
    }
    RemoveAltStack();
    return nullptr;
}

// ---------------------------------------------------------------------
// Interception
// ---------------------------------------------------------------------

void DescribeSignal(TRequestData& data, int signal, const siginfo_t* info) {
    const std::uint64_t where = data.Address;
    const std::uint64_t target = reinterpret_cast<std::uint64_t>(info != nullptr ? info->si_addr : nullptr);
    char* message = data.Message;
    const std::size_t size = sizeof data.Message;
    message[0] = '\0';
    const char* name = "SIGSEGV";
    // Async-signal-safe: fixed buffers, no allocation.
    auto access = [&](const char* what) {
        Append(message, size, what);
        AppendHex(message, size, where);
        Append(message, size, ". Access of address ");
        AppendHex(message, size, target);
    };
    const bool sent = info != nullptr && (info->si_code == SI_USER || info->si_code == SI_QUEUE ||
                                          info->si_code == SI_TKILL);
    // abort() sends SIGABRT to its own process: that is no sender to name.
    if (sent && !(signal == SIGABRT && info->si_pid == getpid())) {
        // si_addr is no address here but the sender's pid and uid.
        switch (signal) {
        case SIGSEGV: break;
        case SIGBUS: name = "SIGBUS"; break;
        case SIGFPE: name = "SIGFPE"; break;
        case SIGILL: name = "SIGILL"; break;
        default: name = "SIGABRT"; break;
        }
        Append(message, size, "Signal ");
        Append(message, size, name);
        Append(message, size, " sent by process ");
        AppendDecimal(message, size, static_cast<std::uint64_t>(info->si_pid));
        data.ClassName[0] = '\0';
        Append(data.ClassName, sizeof data.ClassName, name);
        return;
    }
    switch (signal) {
    case SIGSEGV:
        // A fault just below the stack pointer is the guard page.
        if (target + 65536 >= data.Regs.Rsp && target <= data.Regs.Rsp + 4096) {
            Append(message, size, "Stack overflow");
            break;
        }
        access("Access violation at address ");
        break;
    case SIGBUS:
        name = "SIGBUS";
        access("Bus error at address ");
        break;
    case SIGFPE:
        name = "SIGFPE";
        Append(message, size, info != nullptr && info->si_code == FPE_INTDIV ? "Division by zero"
                              : info != nullptr && info->si_code == FPE_INTOVF ? "Integer overflow"
                                                                               : "Floating point error");
        break;
    case SIGILL:
        name = "SIGILL";
        Append(message, size, info != nullptr && info->si_code == ILL_PRVOPC ? "Privileged instruction"
                                                                               : "Illegal instruction");
        break;
    default:
        name = "SIGABRT";
        Append(message, size, "Abnormal program termination");
        break;
    }
    data.ClassName[0] = '\0';
    Append(data.ClassName, sizeof data.ClassName, name);
}

// Processor faults and abort. Never returns into the fault: the main
// thread inside an event jumps back to the event's barrier; a worker ends
// itself; anything else ends the process.
void OnFault(int signal, siginfo_t* info, void* context) {
    const pid_t tid = CurrentTid();
    const bool isMain = tid == g_mainTid;
    if (!g_active.load() || tid == g_exceptTid.load() || t_inFault || (isMain && t_inMainHandlers)) {
        WriteStderr("Tarnwick: fault inside the crash reporter; ending.\n");
        _exit(1);
    }
    t_inFault = true;
    const auto* uc = static_cast<const ucontext_t*>(context);
    TRequestData& data = t_faultData;
    data = TRequestData{};
    data.Tid = tid;
    data.OsException = signal != SIGABRT;
    data.HasObject = true;
    data.HasRegs = true;
    data.Regs = zelCapture::RegistersFromContext(*uc);
    data.Address = data.Regs.Rip;
    DescribeSignal(data, signal, info);
    platform::FaultBarrier* barrier = isMain && signal != SIGABRT ? platform::CurrentFaultBarrier() : nullptr;
    // A worker may go on without its thread; the main thread may not.
    data.CanContinue = !isMain && signal != SIGABRT;
    data.MainBlocked = isMain && barrier == nullptr;
    if (isMain) g_mainFault = &data;
    // This thread never returns to its own code: whoever waits for it to
    // finish (a thread pool at exit) would wait for ever.
    if (!isMain) ++g_endedByFault;

    TRequest request;
    request.Kind = rqException;
    request.Data = &data;
    request.DoneFd = eventfd(0, EFD_CLOEXEC);
    if (barrier != nullptr) request.CapturedFd = eventfd(0, EFD_CLOEXEC);
    if (request.DoneFd < 0 || !WriteRequest(request)) _exit(1);
    if (barrier != nullptr && request.CapturedFd >= 0) {
        WaitEvent(request.CapturedFd);
        close(request.CapturedFd);
        // The rest is served from the barrier, with the event loop running.
        t_pendingDone = request.DoneFd;
        t_inFault = false;
        g_mainFault = nullptr;
        sigprocmask(SIG_SETMASK, &uc->uc_sigmask, nullptr);
        siglongjmp(barrier->jump, 1);
    }
    WaitEvent(request.DoneFd);
    close(request.DoneFd);
    // The exception thread has struck the worker off its list.
    if (data.CanContinue) syscall(SYS_exit, 0);
    _exit(1);
}

void OnFaultReturn() {
    const int done = t_pendingDone;
    t_pendingDone = -1;
    if (done < 0) return;
    if (WaitPumping(done)) {
        // A fault can never continue: the exception thread ends the
        // process; this is only reached if it did not.
        _exit(1);
    }
}

void OnTraceSignal(int, siginfo_t* info, void*) {
    const int savedErrno = errno;
    TRequest request;
    request.Kind = rqTrace;
    request.TraceLength = info->si_value.sival_int;
    request.TraceRequester = info->si_pid;
    WriteRequest(request);
    errno = savedErrno;
}

void OnTerminate() {
    HandleException(std::current_exception(), false);
    _exit(1);
}

void OnBarrierException(std::exception_ptr error) { HandleException(error, true); }

void InstallInterception() {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    // Not deferred: a fault inside the handler itself must reach it again
    // (and end the process with exit code 1) rather than be blocked, which
    // would kill the process by the signal.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i)
        sigaction(kFaultSignals[i], &action, &g_previousFault[i]);
    g_previousTerminate = std::set_terminate(OnTerminate);
    platform::SetCrashHooks({OnBarrierException, OnFaultReturn});

    g_traceSignal = SIGRTMIN + 5;
    struct sigaction trace {};
    trace.sa_sigaction = OnTraceSignal;
    trace.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&trace.sa_mask);
    sigaction(g_traceSignal, &trace, &g_previousTrace);
    // Only the exception thread takes the trace signal (it unblocks it; every
    // other thread inherits the block from this one). Taken by the main
    // thread, the snapshot of that thread would show the signal's handler
    // on the alternate stack instead of where the thread really is.
    MaskTraceSignal(SIG_BLOCK);
    InstallCaptureSignal();
}

void RemoveInterception() {
    RemoveCaptureSignal();
    if (g_traceSignal != 0) sigaction(g_traceSignal, &g_previousTrace, nullptr);
    MaskTraceSignal(SIG_UNBLOCK);
    g_traceSignal = 0;
    platform::SetCrashHooks({});
    std::set_terminate(g_previousTerminate);
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i)
        sigaction(kFaultSignals[i], &g_previousFault[i], nullptr);
}

}  // namespace

// ---------------------------------------------------------------------
// Interface
// ---------------------------------------------------------------------

namespace internal {

pid_t MainTid() { return g_mainTid; }
pid_t ExceptionTid() { return g_exceptTid.load(); }

void ThreadFunctionFailed() { HandleException(std::current_exception(), true); }

void WatchPause() {
    std::lock_guard<std::mutex> lock(g_watchLock);
    ++g_watchPaused;
    g_watchWake.notify_all();
}

bool MainThreadHeld() {
    const TRequestData* fault = g_mainFault.load();
    if (fault != nullptr && fault != g_serving.load()) g_mainHeld = true;
    return g_mainHeld.load();
}

void WatchResume() {
    std::lock_guard<std::mutex> lock(g_watchLock);
    if (g_watchPaused > 0) --g_watchPaused;
    g_watchWake.notify_all();
}

}  // namespace internal

void RegisterExceptionHandler(const THandlerKey& key, TActionHandler handler, TSyncMode mode) {
    std::lock_guard<std::mutex> lock(g_handlersLock);
    for (THandlerEntry& entry : g_handlers) {
        if (entry.Key == key) {
            entry.Handler = std::move(handler);
            entry.Mode = mode;
            return;
        }
    }
    g_handlers.push_back({key, std::move(handler), mode});
}

bool UnregisterExceptionHandler(const THandlerKey& key) {
    std::lock_guard<std::mutex> lock(g_handlersLock);
    bool found = false;
    for (std::size_t i = 0; i < g_handlers.size();) {
        if (g_handlers[i].Key == key) {
            // The last entry takes the freed place.
            g_handlers[i] = std::move(g_handlers.back());
            g_handlers.pop_back();
            found = true;
        } else {
            ++i;
        }
    }
    return found;
}

THistory History() {
    std::lock_guard<std::mutex> lock(g_historyLock);
    return g_history;
}

bool RuleApplies(int seconds, const THistory& history, std::int64_t now) {
    if (seconds <= 0) return false;
    if (seconds == 1) return true;
    for (std::int64_t time : history)
        if (time == 0 || now - time > seconds) return false;
    return true;
}

void SetReportingBound(int milliseconds) { g_boundMs = milliseconds; }

int ThreadsEndedByFault() { return g_endedByFault.load(); }

namespace {
struct TExitBound {
    int Seconds;
    int Code;
};

void* ExitBoundThread(void* raw) {
    // Plain values only: the exit handlers may destroy anything else
    // while this thread waits.
    const TExitBound bound = *static_cast<TExitBound*>(raw);
    delete static_cast<TExitBound*>(raw);
    timespec left{bound.Seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    WriteStderr("Tarnwick: the program did not end in time; ending now.\n");
    _exit(bound.Code);
}
}  // namespace

void BoundExit(int seconds, int code) {
    static std::atomic<bool> armed{false};
    if (armed.exchange(true)) return;
    auto* bound = new TExitBound{seconds, code};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (pthread_create(&thread, &attr, ExitBoundThread, bound) != 0) delete bound;
    pthread_attr_destroy(&attr);
}

void SetUnplannedExitHandler(void (*handler)(int code)) { g_unplannedExit = handler; }

std::chrono::system_clock::time_point ProgramStartTime() { return g_startTime; }

bool Active() { return g_active.load(); }

std::size_t TraceCopyLength(std::size_t reportSize, int length, std::size_t mapSize) {
    if (length < 1 || mapSize == 0) return 0;
    std::size_t n = reportSize;
    if (n >= static_cast<std::size_t>(length)) n = static_cast<std::size_t>(length) - 1;
    return std::min(n, mapSize - 1);
}

void Startup(int argc, char** argv) {
    if (g_started) return;
    g_started = true;
    g_args.assign(argv, argv + argc);
    for (std::string& arg : g_args) g_argv.push_back(arg.data());
    g_argv.push_back(nullptr);
    TakeOverRestart();
    g_mainTid = CurrentTid();

    TSettingsBlock settings;
    {
        std::lock_guard<std::mutex> lock(SettingsLock());
        Settings().MainThreadId = g_mainTid;
        UnscrambleSmtpPassword(Settings());
        settings = Settings();
    }
    // The freeze watchdog alone can make the library active, without
    // intercepting anything.
    g_intercepting = settings.Enabled1 && settings.Enabled2;
    if (!g_intercepting && settings.FreezeInterval < 1) return;
    g_startTime = platform::Now();

    std::uint64_t low = 0, high = 0;
    if (zelCapture::StackBounds(pthread_self(), low, high)) {
        TThreadEntry entry;
        entry.StackLow = low;
        entry.StackHigh = high;
        UpdateThread(g_mainTid, entry);
        SetStackTopOfThisThread(high);
    }
    InstallAltStack();
    LinkThreadHooks();
    LinkThrowHooks();
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return;
    CreateMainThreadCaller();
    if (g_intercepting) {
        InstallInterception();
        g_hooksOn = true;
    }
    g_active = true;
    g_threadsRunning = pthread_create(&g_exceptThread, nullptr, ExceptionThread, nullptr) == 0 &&
                       pthread_create(&g_watchThread, nullptr, WatchThread, nullptr) == 0;
    if (g_threadsRunning && settings.FreezeInterval >= 1)
        g_freezeRunning = pthread_create(&g_freezeThread, nullptr, FreezeThread, nullptr) == 0;
}

void Finalize() {
    if (!g_active.exchange(false)) return;
    // The event loop has ended: a report waiting for the main thread must
    // not hold the threads joined below.
    AbandonMainThreadCalls();
    if (g_intercepting) RemoveInterception();
    g_intercepting = false;
    g_hooksOn = false;
    TRequest stop;
    stop.Kind = rqStop;
    WriteRequest(stop);
    if (g_threadsRunning) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 500 * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        // A thread still busy after that is left to the process's end.
        if (pthread_timedjoin_np(g_exceptThread, nullptr, &deadline) == 0) {
            close(g_pipe[0]);
            g_pipe[0] = -1;
        } else {
            pthread_detach(g_exceptThread);
        }
        {
            std::lock_guard<std::mutex> lock(g_watchLock);
            g_watchStop = true;
            g_watchWake.notify_all();
        }
        pthread_join(g_watchThread, nullptr);
        if (g_freezeRunning) pthread_join(g_freezeThread, nullptr);
        g_freezeRunning = false;
    }
    close(g_pipe[1]);
    g_pipe[1] = -1;
    DestroyMainThreadCaller();
    {
        std::lock_guard<std::mutex> lock(g_handlersLock);
        g_handlers.clear();
    }
    SetThreadName(g_mainTid, "");
    RemoveAltStack();
}

void HandleException(std::exception_ptr error, bool canContinue) {
    if (!g_active.load()) return;
    const pid_t tid = CurrentTid();
    if (tid == g_exceptTid.load() || (tid == g_mainTid && t_inMainHandlers)) return;
    if (!error) error = std::current_exception();

    auto* data = new TRequestData;
    data->Tid = tid;
    data->CanContinue = canContinue;
    data->HasObject = error != nullptr;
    std::string className = "Unknown", message;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            className = Demangle(typeid(e).name());
            message = e.what();
        } catch (...) {
            const std::type_info* type = abi::__cxa_current_exception_type();
            className = type != nullptr ? Demangle(type->name()) : "Unknown";
        }
        if (message.empty()) message = className;
        const TThrowSite& site = CurrentThrowSite();
        data->PresetCount = site.Count;
        std::copy(site.Frames, site.Frames + site.Count, data->Preset);
        if (site.Count > 0) data->Address = site.Frames[0];
    }
    CopyText(data->ClassName, sizeof data->ClassName, className);
    CopyText(data->Message, sizeof data->Message, message);

    TRequest request;
    request.Kind = rqException;
    request.Data = data;
    request.DoneFd = eventfd(0, EFD_CLOEXEC);
    if (request.DoneFd < 0) {
        // Without an event to wait on, the report is made right here.
        ProcessException(*data, -1);
        delete data;
        return;
    }
    if (!WriteRequest(request)) {
        close(request.DoneFd);
        delete data;
        return;
    }
    bool finished = true;
    if (tid == g_mainTid)
        finished = WaitPumping(request.DoneFd);
    else
        WaitEvent(request.DoneFd);
    // A wait the program's quit cut short leaves both to the exception
    // thread, which is still using them.
    if (!finished) return;
    close(request.DoneFd);
    delete data;
}

}  // namespace zelExcept

extern "C" __attribute__((visibility("default"), used)) int zelTraceProcess(int length) {
    using namespace zelExcept;
    using namespace zelExcept::internal;
    const pid_t tid = CurrentTid();
    TThreadEntry before;
    const bool named = FindThread(tid, before) && !before.Name.empty();
    SetThreadName(tid, "-");

    TExceptionRecord record;
    record.Frozen = true;
    record.ThreadId = MainTid();
    record.CanContinue = true;
    const TSettingsBlock settings = SettingsCopy();
    record.Message = settings.FrozenText;
    const std::string report = CreateBugReport(record, TakeSnapshots(MainTid(), nullptr, {}, true));

    if (!report.empty()) {
        if (length >= 1) {
            const int fd = shm_open("/zelTraceProcessMap", O_RDWR | O_CLOEXEC, 0);
            struct stat info {};
            if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
                const std::size_t mapSize = static_cast<std::size_t>(info.st_size);
                void* view = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (view != MAP_FAILED) {
                    const std::size_t n = TraceCopyLength(report.size(), length, mapSize);
                    std::memcpy(view, report.data(), n);
                    static_cast<char*>(view)[n] = '\0';
                    munmap(view, mapSize);
                }
            }
            if (fd >= 0) close(fd);
        } else {
            SetClipboardText(report);
        }
    }
    SetThreadName(tid, named ? before.Name : "");
    return 0;
}

// exit() called while the library is active comes from inside the run: a
// library's last word (the X display's, when its server goes away). The
// exit handlers would destroy statics under threads that still use them,
// and a destructor could wait for one for ever; so they are skipped. The
// program's handler flushes what is batched, within the bound of an
// orderly exit. A return from main() never comes here.
extern "C" void exit(int code) noexcept {
    using namespace zelExcept;
    if (Active()) {
        BoundExit(10, code);
        if (const auto handler = g_unplannedExit.load()) handler(code);
        std::fflush(nullptr);
        _exit(code);
    }
    static const auto next = reinterpret_cast<void (*)(int)>(dlsym(RTLD_NEXT, "exit"));
    if (next != nullptr) next(code);
    _exit(code);
}
