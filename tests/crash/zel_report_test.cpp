// The bug report from injected facts, its message and duration forms, and
// the report file's locking and trimming.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "crash/zel_report.h"
#include "crash/zel_stacktrace.h"
#include "crash_test_util.h"

using namespace zelExcept;

namespace {

TSystemFacts GoldenFacts() {
    TSystemFacts f;
    f.Now = {2026, 3, 4, 5, 6, 7, 8, 3};
    f.ComputerName = "frontdesk";
    f.UserName = "mira";
    f.OsName = "Debian GNU/Linux 12 (bookworm)";
    f.OsBuild = "6.1.0-18-amd64";
    f.Language = "German";
    f.HasSystemUpTime = true;
    f.SystemUpSeconds = 90061;  // 1 day 1 hour 1 minute 1 second
    f.ProgramUpMs = 754;
    f.ProcessorName = "Example CPU @ 2.40GHz";
    f.ProcessorCount = 4;
    f.HasMemory = true;
    f.MemoryFreeMB = 1536;
    f.MemoryTotalMB = 7900;
    f.DiskFree = {{"/", 5ull << 30}, {"/srv", 1536ull << 20}};
    f.HasDisplay = true;
    f.DisplayWidth = 1920;
    f.DisplayHeight = 1080;
    f.DisplayDepth = 24;
    f.ProcessId = 0x1a2b;
    f.HasAllocated = true;
    f.AllocatedBytes = 3 * 1024 * 1024 + 512 * 1024;
    f.CommandLine = "/opt/tarnwick/tarnwick /m";
    f.HasParameters = true;
    f.Executable = "/opt/tarnwick/tarnwick";
    f.HasExecutableTime = true;
    f.ExecutableTime = {2026, 1, 2, 9, 30, 0, 0, 5};
    f.Version = "1.0.0.0";
    f.DecimalSeparator = ',';
    return f;
}

TThreadSnapshot Thread(pid_t tid, const std::string& name, bool main = false) {
    TThreadSnapshot t;
    t.Tid = tid;
    t.DisplayName = name;
    t.IsMain = main;
    return t;
}

}  // namespace

TEST(ZelReport, GoldenReportFromInjectedFacts) {
    TSettingsBlock settings;
    TExceptionRecord e;
    e.HasObject = true;
    e.OsException = true;
    e.ClassName = "SIGSEGV";
    e.Message = "Segmentation fault at address 0000000000000010!!!";
    e.Address = 0x10;
    e.ThreadId = 0x1a2c;
    std::vector<TThreadSnapshot> threads = {Thread(0x1a2b, "main thread", true), Thread(0x1a2c, "thread $1a2c")};
    threads[0].Priority = 5;
    threads[1].Suspended = true;

    const std::string expected =
        "date/time         : 2026-03-04, 05:06:07, 8ms\r\n"
        "computer name     : frontdesk\r\n"
        "user name         : mira\r\n"
        "operating system  : Debian GNU/Linux 12 (bookworm) build 6.1.0-18-amd64\r\n"
        "system language   : German\r\n"
        "system up time    : 1 day 1 hour \r\n"
        "program up time   : 754 milliseconds\r\n"
        "processors        : 4x Example CPU @ 2.40GHz\r\n"
        "physical memory   : 1536/7900 MB (free/total)\r\n"
        "free disk space   : (/) 5,00 GB (/srv) 1,50 GB\r\n"
        "display mode      : 1920x1080, 24 bit\r\n"
        "process id        : $1a2b\r\n"
        "allocated memory  : 3,50 MB\r\n"
        "command line      : /opt/tarnwick/tarnwick /m\r\n"
        "executable        : /opt/tarnwick/tarnwick\r\n"
        "exec. date/time   : 2026-01-02 09:30\r\n"
        "version           : 1.0.0.0\r\n"
        "zelExcept version : 1.0\r\n"
        "exception class   : SIGSEGV\r\n"
        "exception message : Segmentation fault at address 0000000000000010!.\r\n"
        "\r\n"
        "thread $1a2c: <suspended>\r\n"
        ">> stack not accessible, exception location: \r\n" +
        zelStackTrace::FormatStackLine(0x10) +
        "\r\n"
        "\r\n"
        "main thread: <priority:5>\r\n"
        ">> stack not accessible";
    EXPECT_EQ(BuildBugReport(GoldenFacts(), e, threads, settings), expected);
}

TEST(ZelReport, HeaderLinesComeAndGoWithTheirFacts) {
    TSettingsBlock settings;
    TExceptionRecord e;
    struct Case {
        const char* what;
        void (*change)(TSystemFacts&, TSettingsBlock&, TExceptionRecord&);
        const char* present;
        const char* absent;
    } cases[] = {
        {"one processor", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.ProcessorCount = 1; },
         "processor         : Example CPU @ 2.40GHz\r\n", "processors"},
        {"no processor name", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.ProcessorName.clear(); },
         "physical memory", "processor"},
        {"C locale", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.Language.clear(); },
         "operating system", "system language"},
        {"no parameters", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.HasParameters = false; },
         "executable", "command line"},
        {"command line off", [](TSystemFacts&, TSettingsBlock& s, TExceptionRecord&) { s.CommandLine = false; },
         "executable", "command line"},
        {"no screen noted", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.HasDisplay = false; },
         "process id", "display mode"},
        {"version unknown", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.Version = "0.0.0.0"; },
         "zelExcept version", "version           :"},
        {"library in a module",
         [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.CurrentModule = "/opt/tarnwick/libzel.so"; },
         "current module    : /opt/tarnwick/libzel.so\r\nmodule date/time  : 2026-01-02 09:30\r\n", "exec."},
        {"program up a while", [](TSystemFacts& f, TSettingsBlock&, TExceptionRecord&) { f.ProgramUpMs = 3723000; },
         "program up time   : 1 hour 2 minutes \r\n", "milliseconds"},
        {"no object", [](TSystemFacts&, TSettingsBlock&, TExceptionRecord& x) { x.HasObject = false; },
         "exception class   : Unknown", "exception message"},
        {"processor fault",
         [](TSystemFacts&, TSettingsBlock&, TExceptionRecord& x) {
             x.HasObject = false;
             x.OsException = true;
             x.ClassName = "SIGBUS";
             x.Message = "Bus error";
         },
         "exception class   : SIGBUS\r\nexception message : Bus error.", "Unknown"},
        {"message is the class name",
         [](TSystemFacts&, TSettingsBlock&, TExceptionRecord& x) { x.Message = x.ClassName; },
         "exception class   : std::bad_alloc", "exception message"},
        {"frozen", [](TSystemFacts&, TSettingsBlock&, TExceptionRecord& x) { x.Frozen = true; },
         "exception message : The application seems to be frozen.", "exception class"},
    };
    for (const Case& c : cases) {
        TSystemFacts f = GoldenFacts();
        TSettingsBlock s = settings;
        TExceptionRecord x = e;
        x.HasObject = true;
        x.ClassName = "std::bad_alloc";
        x.Message = "out of memory";
        c.change(f, s, x);
        std::string header = BugReportHeader(f, x, s);
        EXPECT_NE(header.find(c.present), std::string::npos) << c.what << "\n" << header;
        EXPECT_EQ(header.find(c.absent), std::string::npos) << c.what << "\n" << header;
        EXPECT_NE(header.substr(header.size() - 2), "\r\n") << c.what;
    }
}

TEST(ZelReport, MessagePunctuation) {
    const std::pair<const char*, const char*> cases[] = {
        {"Disk full!!!", "Disk full!."},
        {"Disk full", "Disk full."},
        {"Disk full.", "Disk full.."},
        {"Disk full...", "Disk full.."},
        {"Disk full!.!", "Disk full!."},
        {"Disk full?", "Disk full?."},
        {"Disk full!\n", "Disk full!."},
        {"", "."},
        {"...", ".."},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(PunctuatedMessage(in), out) << in;
}

TEST(ZelReport, DurationText) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, ""},
        {1, "1 second "},
        {59, "59 seconds "},
        {60, "1 minute "},
        {61, "1 minute 1 second "},
        {3600, "1 hour "},
        {3661, "1 hour 1 minute "},
        {7322, "2 hours 2 minutes "},
        {86400, "1 day "},
        {2 * 86400 + 3 * 3600 + 59, "2 days 3 hours "},
        {86400 + 60, "1 day "},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(DurationText(seconds), text) << seconds;
}

TEST(ZelReport, ThreadOrderAndBlocks) {
    TSettingsBlock settings;
    TExceptionRecord e;
    e.HasObject = true;
    e.ClassName = "std::runtime_error";
    e.Message = "boom";
    e.ThreadId = 30;
    std::vector<TThreadSnapshot> threads = {Thread(10, "worker ($a)"), Thread(20, "main thread", true),
                                            Thread(30, "thread $1e"), Thread(40, "-"), Thread(50, "pump ($32)")};
    threads[2].StackReadable = true;
    threads[2].Stack = zelCapture::CaptureCurrentThread();
    threads[4].StackReadable = true;
    threads[4].Stack = zelCapture::CaptureCurrentThread();
    threads[4].HasCreator = true;
    threads[4].CreatorName = "main thread";

    std::string text = ThreadReport(e, threads, settings);
    std::size_t faulting = text.find("\r\n\r\nthread $1e:\r\n"), main = text.find("\r\n\r\nmain thread:\r\n"),
                worker = text.find("\r\n\r\nworker ($a):\r\n>> stack not accessible"),
                pump = text.find("\r\n\r\npump ($32):\r\n");
    EXPECT_EQ(faulting, 0u) << text;
    EXPECT_LT(faulting, main);
    EXPECT_LT(main, worker);
    EXPECT_LT(worker, pump);
    EXPECT_NE(pump, std::string::npos);
    EXPECT_NE(text.find("\r\n>> created by main thread at:\r\n", pump), std::string::npos);
    EXPECT_EQ(text.find("\r\n-:"), std::string::npos);
    // A thrown object is no processor fault: no exception location.
    EXPECT_EQ(text.find("exception location"), std::string::npos);

    settings.AllThreads = false;
    text = ThreadReport(e, threads, settings);
    EXPECT_EQ(text.find("worker"), std::string::npos);
    EXPECT_NE(text.find("main thread:"), std::string::npos);

    // A frozen report puts the main thread first.
    e.Frozen = true;
    text = ThreadReport(e, threads, settings);
    EXPECT_EQ(text.find("\r\n\r\nmain thread:"), 0u) << text;
}

TEST(ZelReport, Placeholders) {
    const std::string report = "date/time         : x\r\nexception class   : E\r\nexception message :  Disk full. \r\n";
    EXPECT_EQ(ExceptMessageOf(report), "Disk full.");
    EXPECT_EQ(ExceptMessageOf("exception class   : E"), "");
    EXPECT_EQ(ExpandPlaceholders("%appname%: %exceptMsg%%LF%end", report), AppName() + ": Disk full.\r\nend");
    EXPECT_FALSE(AppName().empty());
    EXPECT_EQ(AppName().find('.'), std::string::npos);
}

TEST(ZelReport, GatheredFactsDescribeThisProcess) {
    TSystemFacts f = GatherSystemFacts();
    EXPECT_EQ(f.ProcessId, getpid());
    EXPECT_FALSE(f.ComputerName.empty());
    EXPECT_FALSE(f.OsBuild.empty());
    EXPECT_NE(f.Executable.find("test_crash"), std::string::npos);
    EXPECT_TRUE(f.HasMemory);
    EXPECT_GT(f.MemoryTotalMB, 0u);
    ASSERT_FALSE(f.DiskFree.empty());
    EXPECT_EQ(f.DiskFree[0].first, "/");
    EXPECT_GE(f.ProcessorCount, 1);
}

namespace {

// A report of exactly `size` bytes that starts with the first label.
std::string ReportOfSize(std::size_t size, char fill) {
    std::string r = "date/time         : 2026-03-04\r\n";
    r += std::string(size - r.size(), fill);
    return r;
}

}  // namespace

TEST(ZelReportFile, TrimmingKeepsTheNewestWholeReports) {
    crashtest::TempDir dir;
    const std::string path = dir.File("sub/bugreport.txt");
    const int limit = 50000;
    // Reports of 10000 bytes plus the blank line: five fit, the sixth...
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(AppendReportToFile(path, ReportOfSize(9996, char('a' + i)), limit));
    std::string before = crashtest::ReadFile(path);
    ASSERT_EQ(before.size(), 40000u);
    // ... is one byte too many when it is 10001 bytes long.
    ASSERT_TRUE(AppendReportToFile(path, ReportOfSize(9997, 'e'), limit));
    std::string after = crashtest::ReadFile(path);
    EXPECT_LT(after.size(), 37500u);
    EXPECT_EQ(after.rfind("date/time", 0), 0u);
    EXPECT_EQ(after, before.substr(before.size() - (after.size() - 10001)) + ReportOfSize(9997, 'e') + "\r\n\r\n");
    EXPECT_EQ(after.size(), 30001u);

    // At exactly the limit nothing is cut.
    crashtest::TempDir exact;
    const std::string p2 = exact.File("bugreport.txt");
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendReportToFile(p2, ReportOfSize(9996, 'x'), limit));
    EXPECT_EQ(crashtest::ReadFile(p2).size(), 50000u);
}

TEST(ZelReportFile, LimitZeroAndOversizedReports) {
    crashtest::TempDir dir;
    const std::string path = dir.File("bugreport.txt");
    ASSERT_TRUE(AppendReportToFile(path, ReportOfSize(100, 'a'), 0));
    ASSERT_TRUE(AppendReportToFile(path, ReportOfSize(200, 'b'), 0));
    EXPECT_EQ(crashtest::ReadFile(path), ReportOfSize(200, 'b') + "\r\n\r\n");

    // One report longer than three quarters of the limit has no later start
    // to cut at: the file stays as it is.
    crashtest::TempDir big;
    const std::string p2 = big.File("bugreport.txt");
    ASSERT_TRUE(AppendReportToFile(p2, ReportOfSize(60000, 'c'), 50000));
    EXPECT_EQ(crashtest::ReadFile(p2).size(), 60004u);
}

TEST(ZelReportFile, OnlyALineStartingWithTheLabelIsACutPoint) {
    crashtest::TempDir dir;
    const std::string path = dir.File("bugreport.txt");
    // The first report quotes the label inside a line; a cut there would
    // leave half a report at the start of the file.
    std::string quoting = ReportOfSize(39996, 'q');
    quoting.replace(30000, 19, "see date/time above");
    ASSERT_TRUE(AppendReportToFile(path, quoting, 50000));
    ASSERT_TRUE(AppendReportToFile(path, ReportOfSize(9997, 'r'), 50000));
    EXPECT_EQ(crashtest::ReadFile(path), ReportOfSize(9997, 'r') + "\r\n\r\n");
}

TEST(ZelReportFile, AnotherHolderOfTheLockMakesTheSaveWait) {
    crashtest::TempDir dir;
    const std::string path = dir.File("bugreport.txt");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::atomic<bool> saved{false};
    std::thread saver([&] {
        EXPECT_TRUE(AppendReportToFile(path, ReportOfSize(100, 'a'), 50000));
        saved = true;
    });
    // The saver cannot get past the lock while it is held here.
    for (int i = 0; i < 20 && !saved; ++i) usleep(5000);
    EXPECT_FALSE(saved);
    EXPECT_EQ(crashtest::ReadFile(path), "");
    flock(fd, LOCK_UN);
    close(fd);
    saver.join();
    EXPECT_TRUE(saved);
}

TEST(ZelReportFile, SaveUsesTheProgramFolderAndTheSettingsLimit) {
    crashtest::TempDir dir;
    const char* old = getenv("TARNWICK_HOME");
    std::string keep = old ? old : "";
    setenv("TARNWICK_HOME", dir.File("").c_str(), 1);
    TSettingsBlock saved = Settings();
    Settings().ReportFile = "%appname%-report.txt";
    Settings().ReportFileLimit = 0;
    EXPECT_EQ(ReportFilePath(Settings()), dir.File("") + AppName() + "-report.txt");
    EXPECT_TRUE(SaveBugReport("date/time one", true));
    EXPECT_TRUE(SaveBugReport("date/time two", true));
    EXPECT_EQ(crashtest::ReadFile(ReportFilePath(Settings())), "date/time two\r\n\r\n");
    // Asked from the dialog, a relative name needs a person to choose the
    // place; there is none here.
    EXPECT_FALSE(SaveBugReport("date/time three", false));
    Settings().ReportFile = dir.File("abs/bugreport.txt");
    EXPECT_TRUE(SaveBugReport("date/time four", false));
    EXPECT_EQ(crashtest::ReadFile(dir.File("abs/bugreport.txt")), "date/time four\r\n\r\n");
    Settings() = saved;
    if (old) setenv("TARNWICK_HOME", keep.c_str(), 1);
    else unsetenv("TARNWICK_HOME");
}

// The remote host of the user's session: the first source that names one
// wins; a local session has none and no line.
TEST(ZelReport, ClientNameOfTheSession) {
    struct TCase {
        const char* Ssh;
        const char* SessionFile;
        const char* LoginHost;
        const char* Expected;
    };
    const TCase cases[] = {
        {"192.0.2.7 51234 192.0.2.1 22", "REMOTE_HOST=desk.example\n", "other", "192.0.2.7"},
        {"", "UID=1000\nREMOTE=1\nREMOTE_HOST=desk.example\nTTY=pts/0\n", "other", "desk.example"},
        {"", "UID=1000\nREMOTE_HOST=\n", "laptop.example", "laptop.example"},
        {"  ", "", "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Expected);
        EXPECT_EQ(ClientNameFrom(c.Ssh, c.SessionFile, c.LoginHost), c.Expected);
    }

    TSettingsBlock settings;
    TExceptionRecord e;
    e.ClassName = "SIGSEGV";
    TSystemFacts f = GoldenFacts();
    EXPECT_EQ(BugReportHeader(f, e, settings).find("wts client name"), std::string::npos);
    f.ClientName = "192.0.2.7";
    EXPECT_NE(BugReportHeader(f, e, settings).find("computer name     : frontdesk\r\n"
                                                   "wts client name   : 192.0.2.7\r\n"
                                                   "user name         : mira\r\n"),
              std::string::npos);
}
