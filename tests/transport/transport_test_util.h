// Shared set-up of the transport tests: one QCoreApplication per process, a
// temporary program directory per test, and a recording events sink in place
// of the main window.
#pragma once

#include "platform/inifile.h"

#include "platform/clock.h"
#include "platform/env.h"
#include "transport/globals.h"
#include "transport/account_tables.h"
#include "transport/store.h"

#include "transport/events.h"
#include "transport/logfile.h"
#include "tables/memtable.h"
#include "transport/servers.h"
#include "transport/smtp.h"

#include "core_app.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>
#include <string>

namespace twtest {

inline void EnsureApp() { EnsureCoreApp(); }

inline platform::SystemTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
    platform::LocalTime lt;
    lt.year = year;
    lt.month = month;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    lt.millisecond = ms;
    return platform::FromLocal(lt);
}

// What the engine showed, kept as a window would keep it: a label's text,
// bold and red marks, the last tray picture and status, and every count,
// request and cycle end in order.
class RecordingEvents : public events::TEngineEvents {
public:
    struct LabelState {
        std::string text;
        bool bold = false;
        bool red = false;
    };

    void Status(const std::string& text, bool active) override {
        status = text;
        statuses.push_back(text);
        statusActive = active;
    }
    void StatusLine(const std::string& text, bool) override { statusLines.push_back(text); }
    void LogLine(const std::string& fileName, const std::string& line) override {
        logLines.emplace_back(fileName, line);
    }
    void LabelText(events::Label label, const std::string& text) override { labels[label].text = text; }
    void LabelLook(events::Label label, events::Look look) override {
        LabelState& l = labels[label];
        switch (look) {
            case events::Look::Busy: l.bold = true; break;
            case events::Look::NotBusy: l.bold = false; break;
            case events::Look::Failed: l.red = true; break;
            case events::Look::Plain: l.bold = l.red = false; break;
            case events::Look::Done:
                l.bold = false;
                break;
        }
        looks.emplace_back(label, look);
    }
    void TrayImage(int image) override { tray = image; }
    void SendReceiveEnabled(bool enabled) override { sendReceiveEnabled = enabled; }
    void CountsChanged(const events::MailCounts& c) override { counts.push_back(c); }
    void AccountsChanged(const std::vector<std::string>& names) override { accounts.push_back(names); }
    void CycleEnded() override { ++cyclesEnded; }
    void SendReceiveRequested(events::Cycle cycle) override { requests.push_back(cycle); }
    void StartupProgress(const std::string& text) override { progress.push_back(text); }
    bool CycleRunning() const override { return cycleRunning; }
    events::WindowView View() const override { return view; }

    const LabelState& Label(events::Label label) { return labels[label]; }

    std::string status;
    bool statusActive = false;
    std::vector<std::string> statuses;
    std::vector<std::string> statusLines;
    std::vector<std::pair<std::string, std::string>> logLines;
    std::map<events::Label, LabelState> labels;
    std::vector<std::pair<events::Label, events::Look>> looks;
    int tray = -1;
    bool sendReceiveEnabled = true;
    std::vector<events::MailCounts> counts;
    std::vector<std::vector<std::string>> accounts;
    int cyclesEnded = 0;
    std::vector<events::Cycle> requests;
    std::vector<std::string> progress;
    bool cycleRunning = false;
    events::WindowView view;
};

// Installs a RecordingEvents for the object's life.
class RecordedEvents {
public:
    RecordedEvents() { events::Set(&sink_); }
    ~RecordedEvents() { events::Unset(&sink_); }
    RecordedEvents(const RecordedEvents&) = delete;
    RecordedEvents& operator=(const RecordedEvents&) = delete;
    RecordingEvents* operator->() { return &sink_; }
    RecordingEvents& operator*() { return sink_; }

private:
    RecordingEvents sink_;
};

// A fresh program directory with the store folders; the clock is fixed.
class TempHome : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        char tmpl[] = "/tmp/tw-transport-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ProgramDir = home_ + "/";
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetClockForTesting([] { return At(2026, 12, 7, 10, 4, 5, 123); });
    }
    void TearDown() override {
        platform::SetClockForTesting({});
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    std::string Path(const std::string& rel) const { return ProgramDir + rel; }

    std::string home_;
};

// Holds the folder syncs whose path ends in `held` (all when empty) until
// opened, so that callers pile up behind them.
class GatedEnv : public platform::FaultInjectionEnv {
public:
    explicit GatedEnv(std::string held = std::string()) : held_(std::move(held)) {}
    platform::FsStatus SyncFolder(const std::string& path) override {
        if (path.size() >= held_.size() && path.compare(path.size() - held_.size(), held_.size(), held_) == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++entered_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
        }
        return FaultInjectionEnv::SyncFolder(path);
    }
    void SetOpen(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= n; });
    }
    int Entered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }

private:
    std::string held_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int entered_ = 0;
};

// --- Helpers of the counts, alerts and collector tests -------------------

// Runs the event loop until cond holds or ms have passed; cond's last value.
template <typename Cond>
bool Until(Cond cond, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!cond() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return cond();
}

// Runs the event loop for ms.
inline void Pump(int ms) {
    Until([] { return false; }, ms);
}

inline void WriteBytes(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// The office most SMTP tests serve: users alice (alicepw) and bob (bobpw)
// in programDir, and office.example as its one local domain.
inline bool WriteOffice(const std::string& programDir) {
    if (!settings::AddLocalUser(programDir, "alice", "alicepw") || !settings::AddLocalUser(programDir, "bob", "bobpw"))
        return false;
    TvdlMemTable domains;
    settings::DefineDomainTable(domains);
    domains.Append();
    domains.FieldByName("Domain").SetAsString("office.example");
    domains.Post();
    domains.SaveToBinaryFile(programDir + "domain.dat");
    return true;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A table file with string, boolean and integer fields; the first field is
// the primary index.
inline void SaveTableFile(const std::string& path, const std::vector<std::pair<std::string, TFieldType>>& fields,
                          const std::vector<std::vector<std::string>>& rows, const std::string& index) {
    TvdlMemTable t;
    t.FieldDefs().Clear();
    for (const auto& [name, type] : fields) t.FieldDefs().Add(name, type, type == ftString ? 64 : 0);
    t.CreateTable();
    t.IndexDefs().Clear();
    t.AddIndex(index, fields[0].first, ixPrimary);
    t.Open();
    for (const auto& row : rows) {
        t.Append();
        for (size_t i = 0; i < row.size(); ++i) {
            if (fields[i].second == ftBoolean) t.Fields(static_cast<int>(i)).SetAsBoolean(row[i] == "1");
            else if (fields[i].second == ftInteger) t.Fields(static_cast<int>(i)).SetAsInteger(std::stoi(row[i]));
            else t.Fields(static_cast<int>(i)).SetAsString(row[i]);
        }
        t.Post();
    }
    t.SaveToBinaryFile(path);
}

// users.dat: Name, Password.
inline void SaveUsersFile(const std::vector<std::vector<std::string>>& rows) {
    SaveTableFile(ProgramDir + "users.dat", {{"Name", ftString}, {"Password", ftString}}, rows, "ixName");
}

// pop.dat: Name, Host, Login, Password, Include, Leave, Leavedays, Default.
inline void SavePopFile(const std::vector<std::vector<std::string>>& rows) {
    SaveTableFile(ProgramDir + "pop.dat",
                  {{"Name", ftString}, {"Host", ftString}, {"Login", ftString}, {"Password", ftString},
                   {"Include", ftBoolean}, {"Leave", ftBoolean}, {"Leavedays", ftInteger}, {"Default", ftString}},
                  rows, "ixName");
}

// elink.dat: Email, User.
inline void SaveLinkFile(const std::vector<std::vector<std::string>>& rows) {
    SaveTableFile(ProgramDir + "elink.dat", {{"Email", ftString}, {"User", ftString}}, rows, "ixEmail");
}

// A helper program of a test (python3 peer, dovecot): a direct child that
// is terminated and waited for when the object goes.
class PeerProcess {
public:
    PeerProcess() { process_.setProcessChannelMode(QProcess::SeparateChannels); }
    ~PeerProcess() { Stop(); }
    bool Start(const std::string& program, const std::vector<std::string>& args) {
        QStringList list;
        for (const auto& a : args) list << QString::fromStdString(a);
        process_.start(QString::fromStdString(program), list);
        return process_.waitForStarted(5000);
    }
    // Everything printed so far.
    const std::string& Output() {
        out_ += process_.readAllStandardOutput().toStdString();
        return out_;
    }
    std::string Errors() { return process_.readAllStandardError().toStdString(); }
    // Waits (running the event loop) until the output holds text.
    bool WaitFor(const std::string& text, int ms = 10000) {
        return Until([&] { return Output().find(text) != std::string::npos; }, ms);
    }
    // Waits (running the event loop) until the program has ended by itself.
    bool WaitFinished(int ms = 15000) {
        return Until([&] { return process_.state() == QProcess::NotRunning; }, ms);
    }
    void Stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.closeWriteChannel();
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    QProcess& Process() { return process_; }

private:
    QProcess process_;
    std::string out_;
};

// Folder of the python helpers.
inline std::string PeersDir() { return std::string(TW_TEST_SOURCE_DIR) + "/peers/"; }

// A test's SMTP window listens on a free loopback port, never on port 25,
// unless the test's own settings name a port.
inline void KeepSmtpOffTheWellKnownPort() {
    setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
    platform::IniFile ini(ProgramDir + "tarnwick.ini");
    if (!ini.ValueExists("SMTP", "LocalPort")) ini.WriteString("SMTP", "LocalPort", "0");
}

// The servers and SMTP objects over a fresh program directory, with a
// recording events sink where the main window would be, as the counts,
// alerts and collector tests need them. extraIni is appended to the
// settings file before they load.
class WindowsHome : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        // Qt's runtime folder stays inside the test's home too.
        std::filesystem::create_directories(home_ + "/runtime");
        std::filesystem::permissions(home_ + "/runtime", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (home_ + "/runtime").c_str(), 1);
        setenv("TARNWICK_HOME", home_.c_str(), 1);
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        procs::LogClientActivity = true;  // pop.log tells what the collector did
        WriteBytes(ProgramDir + "tarnwick.ini", "[POP]\nLocalPort=0\n" + ExtraIni());
        KeepSmtpOffTheWellKnownPort();
        SaveUsersFile(Users());
        SavePopFile({});
    }
    void TearDown() override {
        servers_.reset();
        FrmServers = nullptr;
        smtp_.reset();
        FrmSMTP = nullptr;
        events_.reset();
        // Later tests of the process must not find a removed folder here.
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("TARNWICK_HOME");
        TempHome::TearDown();
    }
    virtual std::string ExtraIni() { return std::string(); }
    virtual std::vector<std::vector<std::string>> Users() {
        return {{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}};
    }
    // Creates the objects in start-up order (events sink, servers, SMTP).
    void CreateWindows() {
        events_ = std::make_unique<RecordedEvents>();
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
    }
    // A message file of the given size in a store folder.
    void PutFile(const std::string& folder, const std::string& name, size_t size) {
        WriteBytes(smtp::StoreFolder(folder) + name, std::string(size, 'x'));
    }

    // What the engine showed; valid after CreateWindows.
    RecordingEvents& Shown() { return **events_; }

    std::unique_ptr<RecordedEvents> events_;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
};

}  // namespace twtest
