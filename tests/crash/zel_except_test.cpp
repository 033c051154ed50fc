// The exception interception and the exception thread, seen from outside:
// crash_child is made to fail in one way each, and its log shows which
// action handlers ran in which order and thread, whether the loop went
// on, and how the process ended. tarnwick-trace asks a running child for
// its thread report.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "crash/zel_except.h"
#include "crash_test_util.h"

namespace {

using crashtest::ReadFile;
using crashtest::TempDir;

const std::string kChild = std::string(TW_BINARY_DIR) + "/crash_child";
const std::string kTrace = std::string(TW_BINARY_DIR) + "/tarnwick-trace";

// The sanitizers must leave the fault signals to the program; the child
// ends with _exit or is killed, so leak checking has nothing to say.
const char kAsanOptions[] =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
    "allow_user_segv_handler=1:detect_leaks=0";

struct TChild {
    pid_t Pid = -1;
    int Input = -1;  // the child's standard input
};

// `beforeExec` runs with the child's pid while the child waits to start
// the program.
TChild Start(const TempDir& home, const std::vector<std::string>& args, bool withInput = false,
             const std::function<void(pid_t)>& beforeExec = {}) {
    int pipeFds[2] = {-1, -1};
    if (withInput && pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    int gate[2] = {-1, -1};
    if (beforeExec && pipe2(gate, O_CLOEXEC) != 0) return {};
    TChild child;
    child.Pid = fork();
    if (child.Pid == 0) {
        if (beforeExec) {
            char go = 0;
            (void)!::read(gate[0], &go, 1);
        }
        if (withInput) dup2(pipeFds[0], 0);
        // What the child says on stderr (the sanitizers' reports too) is
        // kept for the test to read.
        const int err = ::open(home.File("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (err >= 0) dup2(err, 2);
        std::vector<std::string> env = {kAsanOptions, "QT_QPA_PLATFORM=offscreen",
                                        "TARNWICK_HOME=" + home.File(""), "XDG_RUNTIME_DIR=" + home.File("")};
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string dir = home.File("");
        dir.pop_back();
        std::vector<std::string> all = {kChild, dir};
        all.insert(all.end(), args.begin(), args.end());
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execve(kChild.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (withInput) {
        close(pipeFds[0]);
        child.Input = pipeFds[1];
    }
    if (beforeExec) {
        beforeExec(child.Pid);
        (void)!::write(gate[1], "x", 1);
        close(gate[0]);
        close(gate[1]);
    }
    return child;
}

// The exit code, or -1 when the child had to be killed.
int Wait(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The log lines that start with `prefix`.
std::vector<std::string> Picked(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Waits until the log holds `count` lines equal to `line` (a restarted
// child is not ours to wait for).
bool WaitForLine(const TempDir& home, const std::string& line, int count, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto lines = Lines(ReadFile(home.File("log.txt")));
        if (std::count(lines.begin(), lines.end(), line) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Kills what is left of the children the log names (restarted copies).
void KillLogged(const TempDir& home) {
    static const std::regex started("start pid=([0-9]+) .*");
    for (const std::string& line : Lines(ReadFile(home.File("log.txt")))) {
        std::smatch m;
        if (std::regex_match(line, m, started)) kill(std::stoi(m[1]), SIGKILL);
    }
}

struct TFailureCase {
    const char* Name;
    std::vector<std::string> Args;
    int ExitCode;
    std::vector<std::string> Handlers;  // "handler <code> <thread> class=..." in order
    bool LoopGoesOn;
};

void PrintTo(const TFailureCase& c, std::ostream* out) { *out << c.Name; }

class FailureTest : public ::testing::TestWithParam<TFailureCase> {};

TEST_P(FailureTest, HandlersExitAndLoop) {
    const TFailureCase& c = GetParam();
    TempDir home;
    ASSERT_TRUE(home.Ok());
    TChild child = Start(home, c.Args);
    const int code = Wait(child.Pid, 60);
    KillLogged(home);
    const auto lines = Lines(ReadFile(home.File("log.txt")));
    EXPECT_EQ(code, c.ExitCode) << ReadFile(home.File("log.txt"));
    EXPECT_EQ(Picked(lines, "handler "), c.Handlers);
    EXPECT_EQ(Has(lines, "loop-on"), c.LoopGoesOn);
    if (c.Args[0] == "throw-event" && !c.Handlers.empty() && c.Handlers[0].rfind("handler 0 ", 0) == 0) {
        EXPECT_EQ(Picked(lines, "site "), std::vector<std::string>{"site throw"});
    }
    if (c.Args[0].find("worker") != std::string::npos) {
        EXPECT_TRUE(Has(lines, "worker-gone"));
    }
}

const std::string kRuntime = " class=std::runtime_error";

INSTANTIATE_TEST_SUITE_P(
    Crash, FailureTest,
    ::testing::Values(
        // An escaped exception is mailed and the program goes on.
        TFailureCase{"ThrowInEvent", {"throw-event"}, 0, {"handler 0 main" + kRuntime, "handler 4 main" + kRuntime}, true},
        TFailureCase{"ThrowInEventSaves",
                     {"throw-event", "--autosave"},
                     0,
                     {"handler 1 main" + kRuntime, "handler 0 main" + kRuntime, "handler 4 main" + kRuntime},
                     true},
        // Faults in an event come back to its barrier: the report is served
        // with the loop running (the main thread answers), then the program closes.
        TFailureCase{"SegvInEvent", {"segv-event"}, 1, {"handler 0 main class=SIGSEGV", "handler 6 main class=SIGSEGV"}, false},
        TFailureCase{"DivisionByZero", {"fpe-event"}, 1, {"handler 0 main class=SIGFPE", "handler 6 main class=SIGFPE"}, false},
        TFailureCase{"StackOverflow", {"overflow-event"}, 1, {"handler 0 main class=SIGSEGV", "handler 6 main class=SIGSEGV"}, false},
        TFailureCase{"Terminate", {"terminate-event"}, 1, {"handler 0 main class=", "handler 6 main class="}, false},
        // abort keeps the main thread in its handler: the sync-2 handler runs
        // in the exception thread once the main thread does not answer.
        TFailureCase{"Abort", {"abort-event"}, 1, {"handler 0 other class=SIGABRT", "handler 6 other class=SIGABRT"}, false},
        TFailureCase{"SegvOutsideEvents", {"segv-outside"}, 1, {"handler 0 other class=SIGSEGV", "handler 6 other class=SIGSEGV"}, false},
        // A failing worker ends; the program goes on.
        TFailureCase{"SegvInWorker", {"segv-worker"}, 0, {"handler 0 main class=SIGSEGV", "handler 4 main class=SIGSEGV"}, true},
        TFailureCase{"ThrowInWorker", {"throw-worker"}, 0, {"handler 0 main" + kRuntime, "handler 4 main" + kRuntime}, true},
        // Sync modes: 0 in the exception thread, 1 in the main thread.
        TFailureCase{"HandlerInExceptionThread",
                     {"throw-event", "--handler-mode=0"},
                     0,
                     {"handler 0 other" + kRuntime, "handler 4 other" + kRuntime},
                     true},
        TFailureCase{"HandlerInMainThread",
                     {"throw-event", "--handler-mode=1"},
                     0,
                     {"handler 0 main" + kRuntime, "handler 4 main" + kRuntime},
                     true},
        // One entry per method; a raising handler is skipped.
        TFailureCase{"RegisteredTwiceThrowingHandler",
                     {"throw-event", "--register-twice", "--throwing-handler"},
                     0,
                     {"handler 0 main" + kRuntime, "handler 4 main" + kRuntime},
                     true},
        // Headless, the dialog takes its console form; its choice goes to the handlers; no mail.
        TFailureCase{"DialogContinues", {"throw-event", "--dialog"}, 0, {"handler 4 main" + kRuntime}, true},
        TFailureCase{"DialogCannotContinue", {"segv-event", "--dialog"}, 1, {"handler 6 main class=SIGSEGV"}, false},
        // A restart always / a close always.
        TFailureCase{"AutoRestartAlways",
                     {"segv-event", "--restart=1", "--times=1"},
                     2,
                     {"handler 0 main class=SIGSEGV", "handler 5 main class=SIGSEGV"},
                     false},
        TFailureCase{"AutoCloseAlways",
                     {"throw-event", "--close=1"},
                     1,
                     {"handler 0 main" + kRuntime, "handler 6 main" + kRuntime},
                     false},
        // The reporter's own failures end the process: a report that does
        // not finish in time, a fault inside a handler.
        TFailureCase{"ReportingBound", {"throw-event", "--sleepy-handler", "--bound=500"}, 1, {}, false},
        TFailureCase{"FaultInsideReporter", {"throw-event", "--faulty-handler"}, 1, {}, false}),
    [](const ::testing::TestParamInfo<TFailureCase>& info) { return std::string(info.param.Name); });

std::vector<std::string> Repeated(int times, const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (int i = 0; i < times; ++i) out.insert(out.end(), lines.begin(), lines.end());
    return out;
}

// Ten exceptions within N seconds: the tenth restarts (or closes); spread
// wider than N seconds by the child's clock, they never do.
TEST(ExceptionRules, TenWithinSecondsRestartsOrCloses) {
    const std::vector<std::string> goOn = {"handler 0 main" + kRuntime, "handler 4 main" + kRuntime};
    struct {
        std::vector<std::string> Args;
        int ExitCode;
        std::string Last;
    } cases[] = {
        {{"throw-event", "--repeat=10", "--restart=30", "--times=10"}, 2, "handler 5 main" + kRuntime},
        {{"throw-event", "--repeat=10", "--close=30"}, 1, "handler 6 main" + kRuntime},
        {{"throw-event", "--repeat=10", "--restart=30", "--step=10"}, 0, "handler 4 main" + kRuntime},
    };
    for (const auto& c : cases) {
        TempDir home;
        TChild child = Start(home, c.Args);
        EXPECT_EQ(Wait(child.Pid, 60), c.ExitCode);
        if (c.ExitCode == 2) {
            EXPECT_TRUE(WaitForLine(home, "end", 1, 30));
        }
        KillLogged(home);
        const auto lines = Lines(ReadFile(home.File("log.txt")));
        auto expected = Repeated(9, goOn);
        expected.push_back("handler 0 main" + kRuntime);
        expected.push_back(c.Last);
        EXPECT_EQ(Picked(lines, "handler "), expected) << c.Args[2];
        // The restarted copy took the ten entries over.
        if (c.ExitCode == 2) {
            EXPECT_NE(Picked(lines, "start ").back().find("history=10"), std::string::npos);
        }
    }
}

// Each restart hands the history on: three restarts in a row show it grow.
TEST(ExceptionRules, RestartCarriesTheHistoryOver) {
    TempDir home;
    TChild child = Start(home, {"segv-event", "--restart=1", "--times=3"});
    EXPECT_EQ(Wait(child.Pid, 60), 2);
    EXPECT_TRUE(WaitForLine(home, "end", 1, 60));
    KillLogged(home);
    std::vector<std::string> histories;
    static const std::regex started("start pid=[0-9]+ (history=[0-9]+)");
    for (const std::string& line : Lines(ReadFile(home.File("log.txt")))) {
        std::smatch m;
        if (std::regex_match(line, m, started)) histories.push_back(m[1]);
    }
    EXPECT_EQ(histories, (std::vector<std::string>{"history=0", "history=1", "history=2", "history=3"}));
    // Every copy starts with the descriptors the first one was given: no
    // listening port, pipe or event of the old process leaks into the new.
    const auto descriptors = Picked(Lines(ReadFile(home.File("log.txt"))), "fds");
    ASSERT_EQ(descriptors.size(), 4u);
    for (const std::string& set : descriptors) EXPECT_EQ(set, descriptors[0]);
    // And the program's name, as pgrep and the process list know it.
    EXPECT_EQ(Picked(Lines(ReadFile(home.File("log.txt"))), "name "), std::vector<std::string>(4, "name crash_child"));
}

// The main thread held by its own fault cannot serve the mail to our own
// server: the report is saved at once instead, and stderr says where.
TEST(ExceptionRules, ReportOfAHeldMainThreadIsSaved) {
    struct TCase {
        const char* Mode;
        const char* Class;
    };
    for (const TCase& c : {TCase{"abort-event", "SIGABRT"}, TCase{"segv-outside", "SIGSEGV"}}) {
        SCOPED_TRACE(c.Mode);
        TempDir home;
        const auto start = std::chrono::steady_clock::now();
        TChild child = Start(home, {c.Mode});
        // Seconds on a quiet machine; a busy one is given its time.
        EXPECT_EQ(Wait(child.Pid, 60), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        const std::string report = ReadFile(home.File("bugreport.txt"));
        EXPECT_EQ(report.rfind("date/time         : ", 0), 0u) << report;
        EXPECT_NE(report.find(std::string("exception class   : ") + c.Class), std::string::npos) << report;
        EXPECT_NE(report.find("\r\nmain thread:\r\n"), std::string::npos) << report;
        EXPECT_NE(ReadFile(home.File("stderr.txt")).find("crash report saved to " + home.File("bugreport.txt")),
                  std::string::npos)
            << ReadFile(home.File("stderr.txt"));
    }
}

// A hand-over block that anyone could have made for the next pid: another
// user's, a link to one, and one naming a process that is not our parent.
// Each is ignored: start-up neither waits for its process nor takes its
// history.
TEST(ExceptionRules, PlantedRestartBlocksAreIgnored) {
    struct TCase {
        const char* Name;
        bool OtherUser, Link, ParentNamed;
    };
    const TCase cases[] = {
        {"another user's", true, false, true},
        {"a link", false, true, true},
        {"not our parent's", false, false, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir home;
        std::string planted;
        auto plant = [&](pid_t pid) {
            struct {
                std::int32_t OldPid;
                std::int32_t Reserved;
                std::int64_t History[10];
            } block{};
            // The test process is the child's parent: the block names it
            // unless the case says otherwise.
            block.OldPid = c.ParentNamed ? getpid() : 1;
            for (std::int64_t& h : block.History) h = 13350000000LL;
            char name[64];
            std::snprintf(name, sizeof name, "/dev/shm/zelExceptRestart$%x", static_cast<unsigned>(pid));
            planted = name;
            std::string target = planted;
            if (c.Link) {
                target = home.File("block");
                ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
            }
            const int fd = ::open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, &block, sizeof block), static_cast<ssize_t>(sizeof block));
            if (c.OtherUser) {
                ASSERT_EQ(fchown(fd, 65534, 65534), 0);
            }
            close(fd);
        };
        TChild child = Start(home, {"serve"}, true, plant);
        const bool started = WaitForLine(home, "ready", 1, 5);
        EXPECT_TRUE(started) << ReadFile(home.File("stderr.txt"));
        const auto lines = Lines(ReadFile(home.File("log.txt")));
        ASSERT_FALSE(Picked(lines, "start ").empty());
        EXPECT_NE(Picked(lines, "start ").front().find("history=0"), std::string::npos);
        EXPECT_NE(ReadFile(home.File("stderr.txt")).find("ignored"), std::string::npos);
        close(child.Input);
        EXPECT_EQ(Wait(child.Pid, 30), 0);
        unlink(planted.c_str());
    }
}

// Threads started through our pthread_create may still be ending while the
// exit handlers run (Qt's D-Bus thread does); nothing they touch may have
// been destroyed by then.
TEST(Interception, ThreadEndingDuringExitTouchesNothingDestroyed) {
    TempDir home;
    TChild child = Start(home, {"thread-at-exit"});
    EXPECT_EQ(Wait(child.Pid, 30), 0);
    const std::string err = ReadFile(home.File("stderr.txt"));
    EXPECT_EQ(err.find("ERROR:"), std::string::npos) << err;
    EXPECT_EQ(err.find("malloc"), std::string::npos) << err;
}

TEST(Interception, FinalisationRestoresThePreviousHandlers) {
    TempDir home;
    TChild child = Start(home, {"finalize"});
    EXPECT_EQ(Wait(child.Pid, 30), 0);
    EXPECT_TRUE(Has(Lines(ReadFile(home.File("log.txt"))), "installed yes restored yes"))
        << ReadFile(home.File("log.txt"));
}

// A main thread that stops answering gets frozen reports; their handlers
// run in the exception thread, and the program goes on.
TEST(FreezeWatchdog, FrozenMainThreadIsReportedAndGoesOn) {
    TempDir home;
    TChild child = Start(home, {"freeze-event", "--freeze=200"});
    EXPECT_EQ(Wait(child.Pid, 60), 0);
    const auto lines = Lines(ReadFile(home.File("log.txt")));
    const auto handlers = Picked(lines, "handler ");
    ASSERT_GE(handlers.size(), 2u) << ReadFile(home.File("log.txt"));
    for (std::size_t i = 0; i < handlers.size(); ++i)
        EXPECT_EQ(handlers[i], i % 2 == 0 ? "handler 0 other class=" : "handler 4 other class=");
    EXPECT_TRUE(Has(lines, "loop-on"));
}

TEST(ThreadReport, CopyLength) {
    struct {
        std::size_t Report;
        int Length;
        std::size_t Map;
        std::size_t Copied;
    } cases[] = {
        {100, 1, 1, 0},        // an empty, zero-terminated text
        {100, 100, 100, 99},   // exactly as long: cut by one
        {100, 101, 101, 100},  // shorter: whole
        {100, 50, 50, 49},     // longer: length - 1
        {100, 500, 20, 19},    // a smaller mapping than asked for still gets its zero byte
        {100, 0, 100, 0},      // below 1: nothing into the mapping
    };
    for (const auto& c : cases)
        EXPECT_EQ(zelExcept::TraceCopyLength(c.Report, c.Length, c.Map), c.Copied) << c.Report << " " << c.Length;
}

TEST(ExceptionRules, TenSecondsRule) {
    zelExcept::THistory full;
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = 1000 - static_cast<std::int64_t>(i);
    zelExcept::THistory partial = full;
    partial[9] = 0;
    struct {
        int Seconds;
        const zelExcept::THistory& History;
        std::int64_t Now;
        bool Applies;
    } cases[] = {
        {0, full, 1000, false},    {1, partial, 1000, true},  {10, full, 1000, true},
        {10, full, 1002, false},   {10, partial, 1000, false}, {2, full, 1000, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zelExcept::RuleApplies(c.Seconds, c.History, c.Now), c.Applies) << c.Seconds << " " << c.Now;
}

std::string RunTrace(pid_t pid, const std::string& length) {
    bool ok = false;
    std::string out = crashtest::Run(kTrace + " " + std::to_string(pid) + " " + length, &ok);
    EXPECT_TRUE(ok) << length;
    return out;
}

// A whole report of `pid`. The shared memory's name is one for the whole
// machine: a trace of another process at the same moment (another test)
// can take it over, which shows as a failed or foreign answer; such a
// trace is asked again.
std::string RunFullTrace(pid_t pid) {
    char own[32];
    std::snprintf(own, sizeof own, "process id        : $%x\r\n", static_cast<unsigned>(pid));
    std::string out;
    // Another test tracing its own child again and again (the debugger
    // comparison) can hold the name for seconds on a loaded machine.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
        bool ok = false;
        out = crashtest::Run(kTrace + " " + std::to_string(pid) + " 1000000 2>/dev/null", &ok);
        if (ok && out.find(own) != std::string::npos) return out;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ADD_FAILURE() << "no trace of " << pid << ":\n" << out;
    return out;
}

TEST(ThreadReport, TraceOfARunningProgram) {
    TempDir home;
    TChild child = Start(home, {"serve"}, true);
    ASSERT_TRUE(WaitForLine(home, "ready", 1, 30));
    // The unnamed thread logs its id on its own schedule, which on a loaded
    // machine can come after "ready".
    std::string hidden;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (hidden.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& line : Picked(Lines(ReadFile(home.File("log.txt"))), "hidden ")) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "$%x", static_cast<unsigned>(std::stoi(line.substr(7))));
            hidden = hex;
        }
        if (hidden.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(hidden.empty());

    const std::string full = RunFullTrace(child.Pid);
    const std::size_t mainAt = full.find("\r\nmain thread:");
    const std::size_t workerAt = full.find("\r\nchild-worker ($");
    ASSERT_NE(mainAt, std::string::npos) << full;
    ASSERT_NE(workerAt, std::string::npos) << full;
    EXPECT_LT(mainAt, workerAt);
    EXPECT_EQ(full.find(hidden), std::string::npos);
    // A thread that blocks the capture signal still shows a stack.
    const std::size_t blockerAt = full.find("\r\nblocker ($");
    ASSERT_NE(blockerAt, std::string::npos);
    const std::size_t firstLine = full.find("\r\n", blockerAt + 2) + 2;
    const std::string line = full.substr(firstLine, full.find("\r\n", firstLine) - firstLine);
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find("not accessible"), std::string::npos) << line;

    // A report not shorter than the length is cut to length - 1; a length
    // of 1 gives an empty text.
    EXPECT_EQ(RunTrace(child.Pid, "20"), full.substr(0, 19));
    EXPECT_EQ(RunTrace(child.Pid, "1"), "");
    // Below 1: the program's clipboard.
    EXPECT_EQ(RunTrace(child.Pid, "0"), "");
    ASSERT_EQ(::write(child.Input, "clipboard\n", 10), 10);
    ASSERT_TRUE(WaitForLine(home, "clipboard " + full.substr(0, full.find("\r\n")), 1, 30))
        << ReadFile(home.File("log.txt"));
    close(child.Input);
    EXPECT_EQ(Wait(child.Pid, 30), 0);
}

// The main thread's stack in a trace, from the event loop down to main,
// is the one the debugger sees, the first trace of the process included
// (that one used to show the trace signal's own handler).
TEST(ThreadReport, MainThreadStackMatchesTheDebugger) {
    if (::access("/usr/bin/gdb", X_OK) != 0) GTEST_SKIP() << "no gdb";
    TempDir home;
    TChild child = Start(home, {"serve"}, true);
    ASSERT_TRUE(WaitForLine(home, "ready", 1, 30));
    std::vector<std::string> mains;
    for (int i = 0; i < 20; ++i) {
        const std::string full = RunFullTrace(child.Pid);
        const std::size_t at = full.find("\r\nmain thread:\r\n");
        ASSERT_NE(at, std::string::npos) << full;
        const std::size_t end = full.find("\r\n\r\n", at + 2);
        mains.push_back(full.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2));
    }
    // The program is idle: its main thread waits where it waited for the traces.
    const std::string bt = crashtest::Run("/usr/bin/gdb -p " + std::to_string(child.Pid) +
                                          " -batch -nx -ex 'thread 1' -ex bt 2>/dev/null");
    std::vector<std::string> names;
    static const std::regex frame(R"(#[0-9]+ +(?:0x[0-9a-f]+ in )?(.+?) \()");
    bool inLoop = false;
    for (const std::string& line : Lines(bt)) {
        std::smatch m;
        if (!std::regex_search(line, m, frame)) continue;
        std::string name = m[1];
        if (name.find("QEventLoop::exec") != std::string::npos) inLoop = true;
        if (!inLoop || name == "??") continue;
        for (std::size_t p; (p = name.find("::")) != std::string::npos;) name.replace(p, 2, ".");
        names.push_back(name);
    }
    if (names.empty() || names.back() != "main") GTEST_SKIP() << "gdb could not read the stack:\n" << bt;
    for (std::size_t i = 0; i < mains.size(); ++i) {
        SCOPED_TRACE("trace " + std::to_string(i + 1));
        std::vector<std::string> lines = Lines(mains[i]);
        for (std::string& line : lines)
            if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t next = 0;
        for (const std::string& name : names) {
            while (next < lines.size() && !(lines[next].size() > name.size() &&
                                            lines[next].compare(lines[next].size() - name.size() - 1,
                                                                name.size() + 1, " " + name) == 0))
                ++next;
            EXPECT_LT(next, lines.size()) << "missing " << name << " in\n" << mains[i] << "\ngdb:\n" << bt;
            ++next;
        }
        EXPECT_EQ(mains[i].find("OnTraceSignal"), std::string::npos) << mains[i];
    }
    close(child.Input);
    EXPECT_EQ(Wait(child.Pid, 30), 0);
}

}  // namespace
