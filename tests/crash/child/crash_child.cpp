// A small program with the crash library that the crash tests start and
// make fail in one way each. It logs to HOME/log.txt what a test needs to
// see: its start (with the exception history it took over), every action
// handler call (code and thread), and whether its event loop went on.
//
//   crash_child HOME MODE [options]
// MODE: throw-event segv-event fpe-event abort-event terminate-event
//       overflow-event freeze-event segv-outside segv-worker throw-worker
//       serve finalize thread-at-exit
// options: --dialog (show the dialog instead of mailing) --autosave
//   --restart=N --close=N (seconds rules) --times=K (fail only while the
//   history holds fewer than K entries) --repeat=K (failures in one run)
//   --step=S (the clock moves S seconds per failure) --bound=MS
//   --freeze=MS (the freeze watchdog's interval)
//   --handler-mode=0|1|2 --register-twice --throwing-handler
//   --sleepy-handler --faulty-handler
#include "crash/zel_dialog.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "crash/zel_except.h"
#include "platform/application.h"
#include "platform/clock.h"

namespace {

std::string g_log;
int g_failures = 0;
int g_step = 0;
std::atomic<pid_t> g_workerTid{0};
std::atomic<int> g_done{0};
volatile int g_depthLimit = 1 << 30;

void Log(const std::string& line) {
    const std::string text = line + "\n";
    const int fd = ::open(g_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

pid_t Tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The sanitizers stop a plain null store before it faults; a page without
// access faults for real.
void StoreToProtectedPage() {
    static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char*>(page) = 1;
}

// In assembly, so that the sanitizer's division check does not come first.
int Divide(int a, int b) {
    int quotient;
    asm volatile("cltd; idivl %2" : "=a"(quotient) : "a"(a), "r"(b) : "edx", "cc");
    return quotient;
}

__attribute__((noinline)) int Recurse(int depth) {
    volatile char buffer[2048];
    buffer[0] = static_cast<char>(depth);
    if (depth > g_depthLimit) return 0;
    return Recurse(depth + 1) + buffer[0];
}

void* SegvWorker(void*) {
    g_workerTid = Tid();
    StoreToProtectedPage();
    return nullptr;
}

void* ThrowWorker(void*) {
    g_workerTid = Tid();
    throw std::runtime_error("worker failure");
}

__attribute__((noinline)) void ThrowIt() { throw std::runtime_error("child failure"); }

void Fail(const std::string& mode) {
    ++g_failures;
    if (mode == "throw-event") ThrowIt();
    if (mode == "segv-event") StoreToProtectedPage();
    if (mode == "fpe-event") Log("quotient " + std::to_string(Divide(7, g_failures - g_failures)));
    if (mode == "abort-event") std::abort();
    if (mode == "terminate-event") std::terminate();
    if (mode == "freeze-event") {
        // Long enough for the freeze watchdog, then the loop goes on.
        // (the crash reporter's capture signal may cut a sleep short)
        timespec left{1, 0};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        ++g_done;
    }
    if (mode == "overflow-event") Log("depth " + std::to_string(Recurse(0)));
}

// The descriptors this process was started with.
std::string OpenDescriptors() {
    std::string list;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return list;
    const int own = dirfd(dir);
    while (dirent* item = readdir(dir)) {
        const int fd = std::atoi(item->d_name);
        if (item->d_name[0] == '.' || fd == own) continue;
        list += " " + std::to_string(fd);
    }
    closedir(dir);
    return list;
}

bool WorkerGone(pid_t tid) { return tid != 0 && ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0; }

// A thread that never takes the capture signal: its stack is read from
// where the kernel saw it last.
void* Blocker(void*) {
    pthread_setname_np(pthread_self(), "blocker");
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGRTMIN + 4);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) pause();
    return nullptr;
}

void* Sleeper(void* name) {
    if (name != nullptr) {
        pthread_setname_np(pthread_self(), static_cast<const char*>(name));
    } else {
        zelExcept::SetThreadName(Tid(), "-");
        Log("hidden " + std::to_string(Tid()));
    }
    for (;;) pause();
    return nullptr;
}

// A thread started through the crash library's pthread_create that ends
// while the exit handlers run: the gate is opened by a global's destructor,
// which the exit handlers run after those of every static made in main.
std::atomic<bool> g_exitGate{false};
struct TExitLate {
    pthread_t Thread{};
    bool Started = false;
    ~TExitLate() {
        if (!Started) return;
        g_exitGate = true;
        pthread_join(Thread, nullptr);
    }
} g_exitLate;

void* LateThread(void*) {
    while (!g_exitGate) usleep(1000);
    return nullptr;
}

int IntOption(int argc, char** argv, const char* name, int fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 3; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return std::atoi(argv[i] + n + 1);
    return fallback;
}

bool Flag(int argc, char** argv, const char* name) {
    for (int i = 3; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    g_log = std::string(argv[1]) + "/log.txt";
    const std::string mode = argv[2];
    const std::string descriptors = OpenDescriptors();
    g_step = IntOption(argc, argv, "--step", 0);
    // A fixed clock that moves only by the failures.
    platform::SetClockForTesting([] {
        return platform::SystemTime(std::chrono::seconds(1700000000 + g_step * g_failures));
    });
    {
        std::lock_guard<std::mutex> lock(zelExcept::SettingsLock());
        zelExcept::TSettingsBlock& s = zelExcept::Settings();
        s.ShowDialog = Flag(argc, argv, "--dialog");
        s.AutoMail = !s.ShowDialog;
        s.AutoSave = Flag(argc, argv, "--autosave");
        s.AutoRestart = IntOption(argc, argv, "--restart", 0);
        s.AutoClose = IntOption(argc, argv, "--close", 0);
        s.FreezeInterval = IntOption(argc, argv, "--freeze", 0);
    }
    zelExcept::SetReportingBound(IntOption(argc, argv, "--bound", 60000));
    zelExcept::InstallExceptionWindows();
    if (mode == "finalize") {
        // Finalisation gives back the handlers that were there before.
        const int watched[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGRTMIN + 4, SIGRTMIN + 5};
        struct sigaction before[7], after[7];
        for (int i = 0; i < 7; ++i) sigaction(watched[i], nullptr, &before[i]);
        const std::terminate_handler terminateBefore = std::get_terminate();
        zelExcept::Startup(argc, argv);
        const bool changed = zelExcept::Active() && std::get_terminate() != terminateBefore;
        zelExcept::Finalize();
        bool same = std::get_terminate() == terminateBefore && !zelExcept::Active();
        for (int i = 0; i < 7; ++i) {
            sigaction(watched[i], nullptr, &after[i]);
            same = same && after[i].sa_sigaction == before[i].sa_sigaction;
        }
        Log(std::string("installed ") + (changed ? "yes" : "no") + " restored " + (same ? "yes" : "no"));
        return 0;
    }
    zelExcept::Startup(argc, argv);

    int taken = 0;
    for (std::int64_t t : zelExcept::History()) taken += t != 0;
    Log("start pid=" + std::to_string(getpid()) + " history=" + std::to_string(taken));
    Log("fds" + descriptors);
    // The name the process list shows (a restarted copy's too).
    char name[32] = {};
    if (FILE* comm = std::fopen("/proc/self/comm", "r")) {
        if (std::fgets(name, sizeof name, comm)) name[std::strcspn(name, "\n")] = '\0';
        std::fclose(comm);
    }
    Log(std::string("name ") + name);

    const auto handlerMode = static_cast<zelExcept::TSyncMode>(IntOption(argc, argv, "--handler-mode", 2));
    static int owner = 0;
    if (Flag(argc, argv, "--throwing-handler"))
        zelExcept::RegisterExceptionHandler({&owner, "throwing"},
                                            [](zelExcept::TAction, const zelExcept::THandlerInfo&, std::string&,
                                               std::string&, bool&) { throw std::runtime_error("handler"); },
                                            zelExcept::smExceptionThread);
    if (Flag(argc, argv, "--sleepy-handler"))
        zelExcept::RegisterExceptionHandler({&owner, "sleepy"},
                                            [](zelExcept::TAction, const zelExcept::THandlerInfo&, std::string&,
                                               std::string&, bool&) { sleep(30); },
                                            zelExcept::smExceptionThread);
    if (Flag(argc, argv, "--faulty-handler"))
        zelExcept::RegisterExceptionHandler({&owner, "faulty"},
                                            [](zelExcept::TAction, const zelExcept::THandlerInfo&, std::string&,
                                               std::string&, bool&) { StoreToProtectedPage(); },
                                            zelExcept::smExceptionThread);
    const pid_t mainTid = Tid();
    auto logging = [mainTid](zelExcept::TAction action, const zelExcept::THandlerInfo& info, std::string&,
                             std::string&, bool&) {
        if (action == zelExcept::actMail && info.ClassName == "std::runtime_error") {
            // The address of a thrown exception is where it was thrown.
            const auto start = reinterpret_cast<std::uint64_t>(&ThrowIt);
            const bool inside = info.ExceptionAddress > start && info.ExceptionAddress < start + 1024;
            Log(std::string("site ") + (inside ? "throw" : "elsewhere"));
        }
        Log("handler " + std::to_string(static_cast<int>(action)) + (Tid() == mainTid ? " main" : " other") +
            " class=" + info.ClassName);
    };
    for (int i = Flag(argc, argv, "--register-twice") ? 2 : 1; i > 0; --i)
        zelExcept::RegisterExceptionHandler({&owner, "log"}, logging, handlerMode);

    if (taken >= IntOption(argc, argv, "--times", 1 << 30)) {
        Log("end");
        zelExcept::Finalize();
        return 0;
    }
    if (mode == "segv-outside") StoreToProtectedPage();
    if (mode == "thread-at-exit") {
        g_exitLate.Started = pthread_create(&g_exitLate.Thread, nullptr, LateThread, nullptr) == 0;
        Log("end");
        zelExcept::Finalize();
        return 0;
    }

    platform::Application app(argc, argv);
    // A listening port that a restarted copy must not inherit.
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    const int repeat = IntOption(argc, argv, "--repeat", 1);
    if (mode == "segv-worker" || mode == "throw-worker") {
        pthread_t worker;
        pthread_create(&worker, nullptr, mode == "segv-worker" ? SegvWorker : ThrowWorker, nullptr);
        pthread_detach(worker);
        auto* check = new QTimer(&app);
        QObject::connect(check, &QTimer::timeout, &app, [&app] {
            if (!WorkerGone(g_workerTid)) return;
            Log("worker-gone");
            Log("loop-on");
            app.quit();
        });
        check->start(50);
    } else if (mode == "serve") {
        static char named[] = "child-worker";
        pthread_t thread;
        pthread_create(&thread, nullptr, Sleeper, named);
        pthread_create(&thread, nullptr, Sleeper, nullptr);
        pthread_create(&thread, nullptr, Blocker, nullptr);
        // Commands on standard input: "clipboard" logs the clipboard.
        auto* input = new QSocketNotifier(0, QSocketNotifier::Read, &app);
        QObject::connect(input, &QSocketNotifier::activated, &app, [&app] {
            char buffer[256];
            const ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0) {
                app.quit();
                return;
            }
            if (std::string(buffer, static_cast<std::size_t>(n)).find("clipboard") != std::string::npos)
            {
                const QString text = QGuiApplication::clipboard()->text();
                Log("clipboard " + text.left(text.indexOf("\r\n")).toStdString());
            }
        });
        QTimer::singleShot(0, &app, [] { Log("ready"); });
    } else {
        // The application's own handler runs once the crash reporter is
        // done with an exception: only then comes the next failure.
        platform::Application::SetExceptionHandler([](std::exception_ptr, const std::string&) { ++g_done; });
        auto* pace = new QTimer(&app);
        QObject::connect(pace, &QTimer::timeout, &app, [&app, mode, repeat] {
            if (g_done < g_failures) return;
            if (g_failures < repeat) {
                Fail(mode);
                return;
            }
            Log("loop-on");
            app.quit();
        });
        pace->start(10);
    }
    const int result = app.exec();
    Log("end");
    zelExcept::Finalize();
    return result;
}
