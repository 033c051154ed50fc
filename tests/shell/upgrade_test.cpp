// Upgrade check and download against a fake maker's host on 127.0.0.1:
// the version comparison, the download in the worker thread, the installer
// started only from a complete download and only once no cycle runs.
#include "shell/upgrade.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <functional>
#include <map>

#include "platform/files.h"
#include "platform/shell.h"
#include "shell/main.h"
#include "shell/webget.h"
#include "shell_env.h"

namespace {

// Pumps events until cond holds or 20 s have gone by.
bool PumpUntil(const std::function<bool()>& cond) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > 20000) return false;
        platform::PumpEventsFor(10);
    }
    return true;
}

// The maker's web host: one canned answer per path; every request kept.
class FakeHost {
public:
    struct Answer {
        int status = 200;
        std::string body;
        long long declaredLength = -1;  // -1: the body's own length
    };

    FakeHost() {
        // The server's socket events need the application's event loop.
        shelltest::App();
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                auto* buffer = new std::string;
                QObject::connect(s, &QObject::destroyed, [buffer] { delete buffer; });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                QObject::connect(s, &QTcpSocket::readyRead, [this, s, buffer] {
                    *buffer += s->readAll().toStdString();
                    std::size_t end = buffer->find("\r\n\r\n");
                    if (end == std::string::npos) return;
                    std::size_t cl = buffer->find("Content-Length: ");
                    if (cl != std::string::npos && cl < end) {
                        std::size_t want = std::stoul(buffer->substr(cl + 16));
                        if (buffer->size() < end + 4 + want) return;
                    }
                    Respond(s, *buffer);
                    buffer->clear();
                });
            }
        });
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }
    void Set(const std::string& path, Answer answer) { answers_[path] = std::move(answer); }
    const std::vector<std::string>& Requests() const { return requests_; }
    int Count(const std::string& path) const {
        int n = 0;
        for (const auto& r : requests_)
            if (r.find(" " + path + " HTTP/1.1") != std::string::npos) ++n;
        return n;
    }

private:
    void Respond(QTcpSocket* s, const std::string& request) {
        requests_.push_back(request);
        std::size_t sp1 = request.find(' ');
        std::size_t sp2 = request.find(' ', sp1 + 1);
        std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
        auto it = answers_.find(path);
        Answer a = it != answers_.end() ? it->second : Answer{404, "not here"};
        long long length = a.declaredLength >= 0 ? a.declaredLength : static_cast<long long>(a.body.size());
        std::string head = "HTTP/1.1 " + std::to_string(a.status) + (a.status == 200 ? " OK" : " Error") +
                           "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
        s->write(head.data(), static_cast<qint64>(head.size()));
        s->write(a.body.data(), static_cast<qint64>(a.body.size()));
        s->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<std::string, Answer> answers_;
    std::vector<std::string> requests_;
};

std::string Installer(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 1000) & 0xff);
    return data;
}

TEST(UpgradeVersions, PublishedAgainstRunning) {
    using upgrade::Offer;
    struct Case {
        const char* published;
        const char* running;
        Offer offer;
    } cases[] = {
        {"2.0", "2.0.8", Offer::Latest},      // the beginning of ours
        {"2.0.8", "2.0.8", Offer::Latest},
        {"2.0.7", "2.0.8", Offer::Latest},    // older than ours: no upgrade
        {"2.0.10", "2.0.9", Offer::Free},     // compared as numbers, not text
        {"2.1", "2.0.8", Offer::Free},
        {"3.0", "2.0.8", Offer::Charge},
        {"10.0", "1.9", Offer::Charge},       // same first character, new major version
        {"1234567890123", "1.0", Offer::Unreachable},  // 13 characters
        {"9.9.9.9.9.99", "1.0", Offer::Charge},        // 12 still counts as a version
        {"", "1.0", Offer::Latest},
        {"2.1b", "2.0", Offer::Free},         // not numbers: the first characters decide
        {"x", "2.0", Offer::Charge},
    };
    for (const auto& c : cases)
        EXPECT_EQ(upgrade::Classify(c.published, c.running), c.offer) << c.published << " vs " << c.running;
    EXPECT_EQ(upgrade::TrimVersionText(" 2.1\r\n"), "2.1");
}

TEST(WebGetUrl, SplitsHostAndPath) {
    struct Case {
        const char* url;
        bool secure;
        const char* host;
        const char* path;
    } cases[] = {
        {"http://www.a.example/tw_inst.exe", false, "www.a.example", "/tw_inst.exe"},
        {"HTTPS://www.a.example/dir/f", true, "www.a.example", "/dir/f"},
        {"www.a.example", false, "www.a.example", "/"},
        {"http://127.0.0.1:8080/x?y=1", false, "127.0.0.1:8080", "/x?y=1"},
        {"http://host.example/https-notes", false, "host.example", "/https-notes"},
    };
    for (const auto& c : cases) {
        WebGet::UrlParts p = WebGet::SplitURL(c.url);
        EXPECT_EQ(p.secure, c.secure) << c.url;
        EXPECT_EQ(p.host, c.host) << c.url;
        EXPECT_EQ(p.path, c.path) << c.url;
    }
}

class WebGetComponent : public ::testing::Test {
protected:
    void SetUp() override { shelltest::App(); }
    shelltest::Home home_;
    FakeHost host_;
};

TEST_F(WebGetComponent, SendsTheRequestPartsAndDeliversText) {
    host_.Set("/form", {200, std::string("ok\0tail", 7)});
    TWebGet get;
    get.URL = host_.Base() + "/form";
    get.Agent = "Tarnwick";
    get.AcceptTypes = "*/*";
    get.Referer = "http://ref.example/";
    get.PostData = "<a/>";
    get.WaitThread = true;
    std::string text = "none";
    int errors = 0;
    get.OnDoneString = [&](TWebGet*, const std::string& t) { text = t; };
    get.OnError = [&](TWebGet*) { ++errors; };
    get.GetFile();
    EXPECT_FALSE(get.Busy());
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(text, "ok");  // as text a NUL ends the block
    ASSERT_EQ(host_.Requests().size(), 1u);
    const std::string& r = host_.Requests()[0];
    EXPECT_EQ(r.rfind("POST /form HTTP/1.1\r\n", 0), 0u) << r;
    for (const char* h : {"User-Agent: Tarnwick\r\n", "Accept: */*\r\n", "Referer: http://ref.example/\r\n",
                          "Content-Type: text/xml\r\n"})
        EXPECT_NE(r.find(h), std::string::npos) << h << " missing in " << r;
    EXPECT_EQ(r.substr(r.size() - 4), "<a/>");

    get.BinaryData = true;
    get.PostData.clear();
    get.GetFile();
    EXPECT_EQ(text, std::string("ok\0tail", 7));
    EXPECT_EQ(host_.Requests().back().rfind("GET /form HTTP/1.1\r\n", 0), 0u);
}

TEST_F(WebGetComponent, FileAppearsOnlyWhenComplete) {
    const std::string body = Installer(20000);
    struct Case {
        const char* name;
        FakeHost::Answer answer;
        bool done;
    } cases[] = {
        {"complete", {200, body}, true},
        {"cut short", {200, body, 30000}, false},
        {"error page", {404, body}, false},
        {"server error", {500, "oops"}, false},
    };
    for (const auto& c : cases) {
        host_.Set("/f", c.answer);
        const std::string file = home_.Path("got.bin");
        std::remove(file.c_str());
        TWebGet get;
        get.URL = host_.Base() + "/f";
        get.FileName = file;
        get.WaitThread = true;
        std::string doneFile;
        std::int64_t doneSize = -1, lastSoFar = 0, lastTotal = -1;
        int errors = 0;
        get.OnDoneFile = [&](TWebGet*, const std::string& f, std::int64_t size) {
            doneFile = f;
            doneSize = size;
        };
        get.OnError = [&](TWebGet*) { ++errors; };
        get.OnProgress = [&](TWebGet*, std::int64_t total, std::int64_t soFar) {
            EXPECT_GE(soFar, lastSoFar);
            lastSoFar = soFar;
            lastTotal = total;
        };
        get.GetFile();
        EXPECT_EQ(errors, c.done ? 0 : 1) << c.name;
        EXPECT_EQ(platform::FileExists(file), c.done) << c.name;
        EXPECT_FALSE(platform::FileExists(file + ".part")) << c.name;
        if (c.done) {
            EXPECT_EQ(doneFile, file);
            EXPECT_EQ(doneSize, static_cast<std::int64_t>(body.size()));
            EXPECT_EQ(lastTotal, static_cast<std::int64_t>(body.size()));
            EXPECT_EQ(lastSoFar, static_cast<std::int64_t>(body.size()));
            std::string data;
            ASSERT_TRUE(platform::ReadFile(file, data));
            EXPECT_TRUE(data == body);
        }
    }
}

TEST_F(WebGetComponent, SecondStartWhileBusyIsIgnoredAndDestructionStops) {
    host_.Set("/f", {200, Installer(5000)});
    auto get = std::make_unique<TWebGet>();
    get->URL = host_.Base() + "/f";
    int done = 0;
    get->OnDoneString = [&](TWebGet*, const std::string&) { ++done; };
    get->GetFile();
    EXPECT_TRUE(get->Busy());
    get->GetFile();
    ASSERT_TRUE(PumpUntil([&] { return !get->Busy(); }));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(host_.Count("/f"), 1);
    // A component that goes while its download runs takes the thread with it.
    get->GetFile();
    get.reset();
}

// The main window's hidden "Check for &upgrade...".
class UpgradeCheck : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        platform::SetClockForTesting([] { return shelltest::At(2026, 5, 4, 10, 0); });
        upgrade::SetHostForTesting(host_.Base());
        upgrade::SetInstallerRunnerForTesting([this](const std::string& path) {
            std::string data;
            platform::ReadFile(path, data);
            runs_.push_back({path, data.size(), main_->CycleRunning()});
            return runnerWorks_;
        });
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            statusAtDialog_ = main_->StatusText();
            if (call.buttons == platform::MsgButtons::YesNo) return yes_;
            if (call.buttons == platform::MsgButtons::OkCancel) return ok_;
            return platform::MsgResult::Ok;
        });
        savedVersion_ = ProgramVersion;
        main_ = new TFrmMain();
        main_->show();
        ProgramVersion = "2.0.8";
    }
    void TearDown() override {
        delete main_;
        ProgramVersion = savedVersion_;
        upgrade::SetHostForTesting("");
        upgrade::SetInstallerRunnerForTesting({});
    }
    void Check() { main_->Menu(main_->MnuUpgrade); }
    bool WaitForDownload() { return PumpUntil([this] { return !main_->WebGet1->Busy(); }); }

    struct Run {
        std::string path;
        std::size_t size;
        bool cycleRunning;
    };
    shelltest::Home home_;
    FakeHost host_;
    TFrmMain* main_ = nullptr;
    std::string savedVersion_;
    std::vector<std::string> dialogs_;
    std::string statusAtDialog_;
    std::vector<Run> runs_;
    bool runnerWorks_ = true;
    platform::MsgResult yes_ = platform::MsgResult::Yes;
    platform::MsgResult ok_ = platform::MsgResult::Ok;
};

const char* const kAsk =
    "About to check for a newer version, you will need to be connected to the Internet.\rContinue?";

TEST_F(UpgradeCheck, NewerVersionIsDownloadedStartedAndTheProgramCloses) {
    const std::string installer = Installer(600000);
    host_.Set("/tw.dat", {200, "2.1"});
    host_.Set("/tw_inst.exe", {200, installer});
    platform::WriteFileAtomic(home_.Path("tw_inst.exe"), "an older download");
    Check();
    ASSERT_TRUE(WaitForDownload());
    ASSERT_EQ(runs_.size(), 1u);
    EXPECT_EQ(runs_[0].path, ProgramDir + "tw_inst.exe");
    EXPECT_EQ(runs_[0].size, installer.size());
    EXPECT_TRUE(main_->Closed());
    EXPECT_EQ(main_->Tag, TFrmMain::TagUpgradeClose);
    ASSERT_EQ(dialogs_.size(), 3u);
    EXPECT_EQ(dialogs_[0], kAsk);
    EXPECT_EQ(dialogs_[1], "You have version 2.0.8 and you can upgrade (free) to 2.1\rUpgrade now?");
    EXPECT_EQ(dialogs_[2],
              "Download complete and ready to upgrade.  Tarnwick will now close while the upgrade installs the "
              "new version.");
    EXPECT_EQ(statusAtDialog_, "Download complete.");
    bool agent = false;
    for (const auto& r : host_.Requests()) agent = agent || r.find("User-Agent: Tarnwick\r\n") != std::string::npos;
    EXPECT_TRUE(agent);
}

TEST_F(UpgradeCheck, VersionAnswers) {
    struct Case {
        FakeHost::Answer version;
        std::string message;  // the second box
    } cases[] = {
        {{200, "2.0"}, "You already have the latest version - 2.0"},
        {{200, "2.0.8\r\n"}, "You already have the latest version - 2.0.8"},
        {{200, "3.0"},
         "You have version 2.0.8 and version 3.0 is available.\rThere may be a charge for this upgrade - "
         "please see www.velmarsh.example for more information."},
        {{200, "<html>error</html>"}, "Unable to connect to Velmarsh server - please try later."},
        {{404, "gone"}, "Unable to connect to Velmarsh server - please try later."},
        {{200, "2.1"}, "You have version 2.0.8 and you can upgrade (free) to 2.1\rUpgrade now?"},
    };
    yes_ = platform::MsgResult::Yes;
    for (const auto& c : cases) {
        host_.Set("/tw.dat", c.version);
        dialogs_.clear();
        // The free offer is declined: only the first box is a yes.
        int asked = 0;
        platform::SetDialogHandlerForTesting([&](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return ++asked == 1 ? platform::MsgResult::Yes : platform::MsgResult::No;
        });
        Check();
        ASSERT_EQ(dialogs_.size(), 2u) << c.message;
        EXPECT_EQ(dialogs_[1], c.message);
    }
    EXPECT_EQ(host_.Count("/tw_inst.exe"), 0);
    EXPECT_FALSE(main_->WebGet1->Busy());

    // No to the first question: nothing is fetched at all.
    std::size_t before = host_.Requests().size();
    platform::SetDialogHandlerForTesting([](platform::DialogCall&) { return platform::MsgResult::No; });
    Check();
    EXPECT_EQ(host_.Requests().size(), before);
}

TEST_F(UpgradeCheck, FailedDownloadNeverRunsAnything) {
    struct Case {
        const char* name;
        FakeHost::Answer installer;
    } cases[] = {
        {"missing", {404, Installer(600000)}},
        {"cut short", {200, Installer(550000), 600000}},
        {"too small", {200, Installer(500000)}},
    };
    host_.Set("/tw.dat", {200, "2.1"});
    for (const auto& c : cases) {
        host_.Set("/tw_inst.exe", c.installer);
        dialogs_.clear();
        Check();
        ASSERT_TRUE(WaitForDownload()) << c.name;
        EXPECT_TRUE(runs_.empty()) << c.name;
        EXPECT_FALSE(main_->Closed()) << c.name;
        EXPECT_EQ(main_->StatusText(), "Download failed - please try later.") << c.name;
        EXPECT_EQ(dialogs_.size(), 2u) << c.name;  // never asked to install
        EXPECT_FALSE(platform::FileExists(home_.Path("tw_inst.exe.part"))) << c.name;
    }
}

TEST_F(UpgradeCheck, WaitsForTheRunningCycle) {
    host_.Set("/tw.dat", {200, "2.1"});
    host_.Set("/tw_inst.exe", {200, Installer(600000)});
    // A cycle runs; it ends once the download is seen waiting for it.
    main_->BtnSendRec->setEnabled(false);
    ASSERT_TRUE(main_->CycleRunning());
    bool sawWaiting = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (main_->StatusText() == "Download complete, waiting to install.") {
            sawWaiting = true;
            main_->RestoreCycleControls();
        }
    });
    watch.start(5);
    Check();
    ASSERT_TRUE(WaitForDownload());
    EXPECT_TRUE(sawWaiting);
    ASSERT_EQ(runs_.size(), 1u);
    EXPECT_FALSE(runs_[0].cycleRunning);
    EXPECT_TRUE(main_->Closed());
}

TEST_F(UpgradeCheck, DeclinedOrUnstartableInstallKeepsTheProgram) {
    host_.Set("/tw.dat", {200, "2.1"});
    host_.Set("/tw_inst.exe", {200, Installer(600000)});
    struct Case {
        platform::MsgResult answer;
        bool runnerWorks;
        std::size_t runs;
        const char* status;
    } cases[] = {
        {platform::MsgResult::Cancel, true, 0, "Idle"},
        {platform::MsgResult::Ok, false, 1, "Unable to start the upgrade - please try later."},
    };
    for (const auto& c : cases) {
        runs_.clear();
        ok_ = c.answer;
        runnerWorks_ = c.runnerWorks;
        Check();
        ASSERT_TRUE(WaitForDownload());
        EXPECT_EQ(runs_.size(), c.runs);
        EXPECT_FALSE(main_->Closed());
        EXPECT_EQ(main_->Tag, 0);
        EXPECT_EQ(main_->StatusText(), c.status);
    }
}

}  // namespace
