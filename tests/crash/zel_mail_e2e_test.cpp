// The report mail end to end: the program runs on a temporary home, and a
// report built and saved here is mailed from a thread other than the main
// one through the program's own SMTP server, exactly as the exception
// thread does. It must lie in out/ as a queued message whose attachment
// decodes (with python's email package) back to the report file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "crash/zel_mail.h"
#include "crash/zel_report.h"
#include "crash_servers.h"
#include "crash_test_util.h"

extern char** environ;

using namespace zelExcept;

namespace {

int FreePort() {
    int port = 0;
    int fd = crashtest::ListenLoopback(SOCK_STREAM, port);
    close(fd);
    return port;
}

bool CanConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

class RunningProgram {
public:
    RunningProgram(const std::string& home, int smtpPort, int popPort) : home_(home) {
        crashtest::WriteFile(home + "/tarnwick.ini",
                             "[POP]\nLocalPort=" + std::to_string(popPort) + "\n[SMTP]\nLocalPort=" +
                                 std::to_string(smtpPort) +
                                 "\nWait=1\n[General]\nConfirmExit=0\nStartMin=0\n"
                                 "[Connect]\nRegular=0\nOnStartup=0\n[Remote]\nEnabled=0\n");
        std::filesystem::create_directories(home + "/run");
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        for (const std::string& s : {"TARNWICK_HOME=" + home, std::string("TARNWICK_BIND_ADDRESS=127.0.0.1"),
                                     "XDG_RUNTIME_DIR=" + home + "/run", std::string("QT_QPA_PLATFORM=offscreen"),
                                     std::string("ASAN_OPTIONS=detect_leaks=0")})
            env.push_back(s);
        std::vector<char*> envp;
        for (std::string& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string bin = std::string(TW_BINARY_DIR) + "/tarnwick";
        char* argv[] = {bin.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, (home + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (posix_spawn(&pid_, bin.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~RunningProgram() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            usleep(100000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string Stderr() { return crashtest::ReadFile(home_ + "/stderr.txt"); }

private:
    std::string home_;
    pid_t pid_ = -1;
};

}  // namespace

TEST(ZelMailEndToEnd, ReportReachesTheProgramsOwnServerAndWaitsInTheQueue) {
    crashtest::TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string home = dir.File("home");
    std::filesystem::create_directories(home);
    const int smtpPort = FreePort();
    int popPort = FreePort();
    while (popPort == smtpPort) popPort = FreePort();
    RunningProgram program(home, smtpPort, popPort);
    bool up = false;
    for (int i = 0; i < 600 && !(up = CanConnect(smtpPort)); ++i) {
        ASSERT_TRUE(program.Running()) << program.Stderr();
        usleep(100000);
    }
    ASSERT_TRUE(up) << program.Stderr();

    const TSettingsBlock savedSettings = Settings();
    const char* oldHome = getenv("TARNWICK_HOME");
    const std::string keptHome = oldHome ? oldHome : "";
    setenv("TARNWICK_HOME", home.c_str(), 1);
    Settings().SmtpPort = smtpPort;
    Settings().AttachReportFile = true;

    TExceptionRecord e;
    e.HasObject = true;
    e.ClassName = "std::runtime_error";
    e.Message = "queue folder vanished";
    e.ThreadId = gettid();
    TThreadSnapshot self;
    self.Tid = gettid();
    self.DisplayName = "main thread";
    self.IsMain = true;
    self.StackReadable = true;
    self.Stack = zelCapture::CaptureCurrentThread();
    std::string report = CreateBugReport(e, {self});
    report += "\r\n.\r\nend of report";  // a lone dot must not end the data early
    ASSERT_TRUE(SaveBugReport(report, true));
    const std::string reportFile = crashtest::ReadFile(home + "/bugreport.txt");
    ASSERT_EQ(reportFile, report + "\r\n\r\n");

    bool sent = false;
    std::thread exceptionThread([&] { sent = MailBugReport(report, true); });
    exceptionThread.join();
    EXPECT_TRUE(sent) << program.Stderr();

    std::string queued;
    for (int i = 0; i < 200 && queued.empty(); ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(home + "/out"))
            if (entry.path().extension() == ".txt") queued = entry.path().string();
        if (queued.empty()) usleep(100000);
    }
    ASSERT_FALSE(queued.empty()) << program.Stderr();

    // The stored file is the DATA text: dot-stuffed, with its end marker.
    const std::string script = R"(import email, sys
raw = open(sys.argv[1], 'rb').read()
assert raw.endswith(b'\r\n.\r\n'), raw[-20:]
lines = raw[:-3].split(b'\r\n')
data = b'\r\n'.join(l[1:] if l.startswith(b'..') else l for l in lines)
m = email.message_from_bytes(data)
print(m['To'], '|', m['From'], '|', m['Subject'])
for p in m.walk():
    if p.get_filename():
        print(p.get_filename(), p.get_payload(decode=True) == open(sys.argv[2], 'rb').read())
    elif p.get_content_type() == 'text/plain':
        print('text', p.get_content_charset(), b'\n.\nend of report' in p.get_payload(decode=True).replace(b'\r\n', b'\n'))
)";
    bool ok = false;
    std::string out = crashtest::RunPython(dir, script, queued + " " + home + "/bugreport.txt", &ok);
    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(out, "<bugs@velmarsh.example> | zelExcept <bugs@velmarsh.example> | "
                   "=?UTF-8?Q?tarnwick=20error=20report?=\n"
                   "text utf-8 True\n"
                   "bugreport.txt True\n");

    Settings() = savedSettings;
    if (oldHome) setenv("TARNWICK_HOME", keptHome.c_str(), 1);
    else unsetenv("TARNWICK_HOME");
}
