// Start-up and shut-down of the whole program.
#include "shell/program.h"

#include <QLabel>  // settings/setup.h needs it complete

#include "browser/audit.h"
#include "browser/details.h"
#include "codecs/qev_util.h"
#include "crash/zel_except.h"
#include "filters/windows/rule_window.h"
#include "filters/windows/addins_window.h"
#include "filters/windows/forward_window.h"
#include "filters/windows/holiday_window.h"
#include "filters/windows/spam_window.h"
#include "filters/windows/spam_add_window.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/process.h"
#include "settings/link.h"
#include "settings/mail_act.h"
#include "settings/pw.h"
#include "settings/setup.h"
#include "transport/desktops.h"
#include "transport/globals.h"
#include "shell/logs.h"
#include "shell/main.h"
#include "shell/splash.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "transport/user_rename.h"
#include "web/http.h"

#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

namespace program {

namespace {

int signalPipe[2] = {-1, -1};
bool stopRequested = false;

void OnStopSignal(int) {
    char c = 1;
    // Only async-signal-safe work here; the main thread does the rest.
    ssize_t n = ::write(signalPipe[1], &c, 1);
    (void)n;
}

// SIGTERM and SIGINT close the main window as its Exit would, without the
// confirmation: nobody is there to answer it.
void InstallStopSignals(QObject* owner) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        // A stop during start-up waits until every window exists.
        if (FrmMain != nullptr && FrmMain->Ready())
            FrmMain->CloseWithoutAsking();
        else
            stopRequested = true;
    });
}

// Every orderly end of a run (stop signal, File Exit, the end of the
// desktop session) comes here once the event loop is over: what is
// batched in memory reaches the disk, the engine's worker threads are
// stopped, and nothing may hold the process for more than a few seconds.
void FinishRun(int result) {
    zelExcept::BoundExit(10, result);
    // A message whose end went out just before the stop: the provider's
    // verdict decides whether the next start sends it again. Well inside
    // the bound above.
    if (FrmSMTP) FrmSMTP->AwaitFinalReplyForExit(std::chrono::seconds(5));
    // Their destructors join the committers' workers, then write the
    // relay's pending ports.dat marks and a waiting uidl.dat.
    delete FrmSMTP;
    delete FrmServers;
    desktops::Flush();
    if (zelExcept::ThreadsEndedByFault() > 0) {
        // A pool thread that a fault ended is still counted busy: the
        // application's destructor would wait for it for ever.
        zelExcept::Finalize();
        std::fflush(nullptr);
        _exit(result);
    }
}

// What the desktop session's end asks for before it ends the program.
void FlushBatched() {
    smtp::FlushPorts(smtp::StoreFolder(smtp::FolderOut));
    desktops::Flush();
}

// Set while the event loop runs.
std::atomic<bool> running{false};

// The program is ended from inside the run (the display went away): what
// is batched in memory reaches the disk, as at the desktop session's end.
void FlushAtUnplannedExit(int) {
    if (running.exchange(false) && QThread::currentThread() == QCoreApplication::instance()->thread())
        FlushBatched();
}

// Creates one window into its global. A window whose creation fails is
// reported like any escaped exception and start-up goes on.
template <typename T>
void Create(T*& global) {
    try {
        T* window = new T();
        global = window;
    } catch (...) {
        platform::Application::HandleException(std::current_exception());
    }
}

}  // namespace

int Run(int argc, char** argv) {
    platform::Application app(argc, argv);
    // The message library dates its Message-Ids by the program's clock.
    qev_util::SetNowSource(
        [] { return std::chrono::system_clock::to_time_t(platform::Now()); });
    // The main window's close ends the loop; hidden windows never do.
    app.setQuitOnLastWindowClosed(false);

    ProgramDir = platform::ResolveProgramDir();
    // The folder tree is created below it anyway; a new home starts here.
    platform::CreateFolder(ProgramDir);
    platform::InstanceLock lock;
    if (!lock.Acquire(ProgramDir)) {
        if (!lock.ErrorText().empty()) {
            // Not another copy: the program directory itself is unusable.
            platform::MessageBox("Cannot use " + ProgramDir + ": " + lock.ErrorText(),
                                 platform::MsgKind::Error, platform::MsgButtons::Ok);
            return 2;
        }
        platform::MessageBox("Application is running already.", platform::MsgKind::Information,
                             platform::MsgButtons::Ok);
        return 1;
    }
    InstallStopSignals(&app);
    // A user's rename that a crash cut short is completed before the
    // tables are loaded and any server takes a login or a message for her.
    // One that cannot be leaves part of her mail out of sight: that is
    // said as other start-up failures are (headless: on stderr), and the
    // servers start all the same.
    if (std::string problem; !settings::CompletePendingRename(&problem) && !problem.empty())
        platform::MessageBox(problem, platform::MsgKind::Warning, platform::MsgButtons::Ok);

    TFrmSplash::SetCommandLine(argc, argv);
    FrmSplash = new TFrmSplash();
    FrmSplash->show();
    FrmSplash->ShowProgress("Inititializing...");
    QCoreApplication::setApplicationName("Tarnwick");

    Create(FrmMain);
    if (FrmMain == nullptr) return 1;
    Create(FrmPW);
    Create(FrmSettings);
    Create(FrmMailAccount);
    Create(FrmServers);
    Create(FrmSMTP);
    Create(FrmLink);
    Create(FrmForward);
    Create(FrmDetails);
    Create(FrmHoliday);
    Create(Frmhttp);
    Create(FrmSpam);
    Create(FrmSpamAddresses);
    Create(FrmAudit);
    Create(FrmAddins);
    Create(FrmRule);
    Create(FrmLogs);

    FrmSplash->ShowProgress("Initialization complete");
    FrmMain->CheckRegularConnection(true);
    FrmMain->StartupComplete();
    if (stopRequested) FrmMain->CloseWithoutAsking();
    // Closed before the loop runs (a stop signal, or Exit while start-up
    // let events through): the loop's quit would never come.
    if (FrmMain->Closed()) {
        FinishRun(0);
        return 0;
    }
    if (!FrmMain->InTray && !FrmMain->isVisible()) FrmMain->show();
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [](QSessionManager&) { FlushBatched(); });

    running = true;
    zelExcept::SetUnplannedExitHandler(FlushAtUnplannedExit);
    const int result = app.exec();
    running = false;
    FinishRun(result);
    return result;
}

}  // namespace program
