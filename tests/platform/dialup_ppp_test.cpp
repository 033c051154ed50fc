// The pppd dial-up backend against a temporary peers folder, a fake command
// runner and a scripted view of the running pppd processes; the link
// scanner against temporary /proc, /run and /sys/class/net trees.
#include "platform/dialup_ppp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/files.h"

namespace {

using platform::PppLink;

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The world pon and poff act on: the runner records every command and
// starts or stops a pppd for the entry; the link list is what a scan shows.
struct FakePpp {
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::vector<std::string>> commands;
    std::vector<PppLink> links;
    int ponResult = 0;
    // Scans that show the fresh pppd without an interface, then with a
    // down one, before the interface comes up; -1 keeps it down for ever.
    int scansUntilInterface = 1;
    int scansUntilUp = 2;
    bool ponStartsPppd = true;
    int scans = 0;
    std::vector<std::pair<int, int>> reports;

    int Run(const std::vector<std::string>& argv) {
        std::lock_guard<std::mutex> lock(m);
        commands.push_back(argv);
        const std::string& entry = argv.at(1);
        if (argv[0] == "/usr/bin/pon") {
            if (ponResult == 0 && ponStartsPppd) {
                links.push_back({entry, "", false});
                scans = 0;
            }
            return ponResult;
        }
        const auto before = links.size();
        std::erase_if(links, [&](const PppLink& l) { return l.Entry == entry; });
        return links.size() < before ? 0 : 1;
    }

    std::vector<PppLink> Scan() {
        std::lock_guard<std::mutex> lock(m);
        ++scans;
        for (PppLink& l : links) {
            if (scansUntilInterface >= 0 && scans > scansUntilInterface) l.Interface = "ppp0";
            if (scansUntilUp >= 0 && scans > scansUntilUp) l.Up = true;
        }
        return links;
    }

    void Report(int state, int error) {
        std::lock_guard<std::mutex> lock(m);
        reports.push_back({state, error});
        changed.notify_all();
    }

    // Waits for a report that ends a dial (connected or failed).
    std::vector<std::pair<int, int>> WaitForEnd() {
        std::unique_lock<std::mutex> lock(m);
        changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return !reports.empty() &&
                   (reports.back().first == platform::dsConnected || reports.back().second != 0);
        });
        return reports;
    }
};

// Polls the way the dial-up link does after a hang-up: the connection is
// gone once the status call says the handle is invalid.
bool Gone(platform::DialUpBackend& backend, platform::DialHandle h) {
    platform::ConnectStatus st;
    for (int i = 0; i < 2000; ++i) {
        if (backend.GetConnectStatus(h, st) == platform::deInvalidHandle) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class PppBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        peers = dir.filePath("peers").toStdString();
        params = dir.filePath("home/dialup").toStdString();
        mkdir(peers.c_str(), 0755);
        mkdir(dir.filePath("home").toStdString().c_str(), 0755);
        Write(peers + "/provider", "# example\nuser \"myusername@realm\"\nconnect \"/usr/sbin/chat -v\"\n");
        Write(peers + "/office-isp", "/dev/ttyS0\n115200\n");
    }

    std::shared_ptr<platform::DialUpBackend> Make() {
        platform::PppOptions o;
        o.PeersDir = peers;
        o.ParamsDir = params;
        o.Run = [this](const std::vector<std::string>& argv) { return fake.Run(argv); };
        o.Links = [this] { return fake.Scan(); };
        o.PollInterval = std::chrono::milliseconds(1);
        o.DialTimeout = std::chrono::milliseconds(2000);
        return platform::MakePppDialUpBackend(std::move(o));
    }

    platform::DialUpBackend::Progress Progress() {
        return [this](int state, int error) { fake.Report(state, error); };
    }

    QTemporaryDir dir;
    std::string peers, params;
    FakePpp fake;
};

TEST_F(PppBackendTest, EntriesArePeerFilesWithSafeNamesInOrder) {
    Write(peers + "/.hidden", "");
    Write(peers + "/provider~", "");
    Write(peers + "/two words", "");
    Write(peers + "/-option", "");
    mkdir((peers + "/folder").c_str(), 0755);
    auto backend = Make();
    std::vector<std::string> names;
    ASSERT_EQ(backend->EnumEntries(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"office-isp", "provider"}));

    platform::PppOptions none;
    none.PeersDir = dir.filePath("missing").toStdString();
    EXPECT_EQ(platform::MakePppDialUpBackend(none)->EnumEntries(names), 0);
    EXPECT_TRUE(names.empty());
}

TEST_F(PppBackendTest, EntryNamesThatCouldEscapeThePeersFolderAreRefused) {
    auto backend = Make();
    platform::DialParams p;
    platform::DialHandle h = 0;
    for (const std::string name : {"../provider", "", "a b", "-d", "x;rm", "peers/provider"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(backend->GetEntryDialParams(name, p), platform::deBadEntryName);
        EXPECT_EQ(backend->SetEntryDialParams(name, {"u", "p"}), platform::deBadEntryName);
        EXPECT_EQ(backend->Dial(name, p, Progress(), h), platform::deBadEntryName);
    }
    EXPECT_EQ(backend->GetEntryDialParams("nowhere", p), platform::deEntryNotFound);
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(PppBackendTest, UserNameComesFromThePeerFileUntilOneIsStored) {
    auto backend = Make();
    platform::DialParams p;
    ASSERT_EQ(backend->GetEntryDialParams("provider", p), 0);
    EXPECT_EQ(p.UserName, "myusername@realm");
    EXPECT_EQ(p.Password, "");

    ASSERT_EQ(backend->SetEntryDialParams("provider", {"", "only-password"}), 0);
    ASSERT_EQ(backend->GetEntryDialParams("provider", p), 0);
    EXPECT_EQ(p.UserName, "myusername@realm");
    EXPECT_EQ(p.Password, "only-password");
}

TEST_F(PppBackendTest, StoredParamsRoundTripAndAreReadableByTheOwnerOnly) {
    auto backend = Make();
    const platform::DialParams cases[] = {
        {"jo", "secret"},
        {"jo smith@isp", "with space"},
        {"quote\"d", "back\\slash"},
        {"hash#user", "\"#\\ \\\""},
        {"ünïcode", "pässwörd"},
    };
    for (const platform::DialParams& c : cases) {
        SCOPED_TRACE(c.UserName);
        ASSERT_EQ(backend->SetEntryDialParams("office-isp", c), 0);
        platform::DialParams back;
        ASSERT_EQ(backend->GetEntryDialParams("office-isp", back), 0);
        EXPECT_EQ(back.UserName, c.UserName);
        EXPECT_EQ(back.Password, c.Password);
    }
    struct stat folder {}, file{};
    ASSERT_EQ(stat(params.c_str(), &folder), 0);
    ASSERT_EQ(stat((params + "/office-isp").c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
}

TEST_F(PppBackendTest, ParamsThatWouldBreakTheOptionsFileAreRefusedAndTheOldKept) {
    auto backend = Make();
    ASSERT_EQ(backend->SetEntryDialParams("office-isp", {"jo", "good"}), 0);
    for (const platform::DialParams& bad : {platform::DialParams{"jo\nnoauth", "x"},
                                            platform::DialParams{"jo", "pw\rx"},
                                            platform::DialParams{"jo", std::string("a\0b", 3)}}) {
        EXPECT_EQ(backend->SetEntryDialParams("office-isp", bad), platform::deBadParams);
    }
    platform::DialParams back;
    ASSERT_EQ(backend->GetEntryDialParams("office-isp", back), 0);
    EXPECT_EQ(back.Password, "good");
}

TEST_F(PppBackendTest, ClearingBothValuesRemovesTheFile) {
    auto backend = Make();
    ASSERT_EQ(backend->SetEntryDialParams("office-isp", {"jo", "pw"}), 0);
    ASSERT_EQ(backend->SetEntryDialParams("office-isp", {"", ""}), 0);
    struct stat st {};
    EXPECT_NE(stat((params + "/office-isp").c_str(), &st), 0);
}

TEST_F(PppBackendTest, AsynchronousDialReportsUntilTheInterfaceIsUp) {
    auto backend = Make();
    ASSERT_EQ(backend->SetEntryDialParams("office-isp", {"jo", "pw"}), 0);
    platform::DialHandle h = 0;
    ASSERT_EQ(backend->Dial("office-isp", {"jo", "pw"}, Progress(), h), 0);
    EXPECT_NE(h, 0u);
    const auto reports = fake.WaitForEnd();
    EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{platform::dsOpenPort, 0},
                                                         {platform::dsConnectDevice, 0},
                                                         {platform::dsDeviceConnected, 0},
                                                         {platform::dsConnected, 0}}));
    // The password goes to pppd in our own options file, not on the command line.
    ASSERT_FALSE(fake.commands.empty());
    EXPECT_EQ(fake.commands[0], (std::vector<std::string>{"/usr/bin/pon", "office-isp", "file",
                                                          params + "/office-isp"}));

    platform::ConnectStatus st;
    ASSERT_EQ(backend->GetConnectStatus(h, st), 0);
    EXPECT_EQ(st.State, platform::dsConnected);

    std::vector<platform::ActiveConnection> active;
    ASSERT_EQ(backend->EnumConnections(active), 0);
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].EntryName, "office-isp");
    EXPECT_EQ(active[0].DeviceType, "ppp");
    EXPECT_EQ(active[0].DeviceName, "ppp0");
    EXPECT_EQ(active[0].Handle, h);

    ASSERT_EQ(backend->HangUp(h), 0);
    EXPECT_EQ(fake.commands.back(), (std::vector<std::string>{"/usr/bin/poff", "office-isp"}));
    EXPECT_TRUE(Gone(*backend, h));
}

TEST_F(PppBackendTest, WithoutStoredParamsPonGetsTheEntryOnly) {
    auto backend = Make();
    platform::DialHandle h = 0;
    ASSERT_EQ(backend->Dial("provider", {}, nullptr, h), 0);  // synchronous
    EXPECT_EQ(fake.commands.at(0), (std::vector<std::string>{"/usr/bin/pon", "provider"}));
    EXPECT_EQ(fake.reports.size(), 0u);
}

TEST_F(PppBackendTest, FailedDialsReportTheirError) {
    struct Case {
        const char* name;
        int ponResult;
        bool ponStartsPppd;
        int scansUntilUp;
        int error;
    } cases[] = {
        {"pon fails", 1, true, 2, platform::deDialCommand},
        {"pppd ends at once", 0, false, 2, platform::deLinkDropped},
        {"link never comes up", 0, true, -1, platform::deNoAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePpp fresh;
        fresh.ponResult = c.ponResult;
        fresh.ponStartsPppd = c.ponStartsPppd;
        fresh.scansUntilUp = c.scansUntilUp;
        platform::PppOptions o;
        o.PeersDir = peers;
        o.Run = [&](const std::vector<std::string>& argv) { return fresh.Run(argv); };
        o.Links = [&] { return fresh.Scan(); };
        o.PollInterval = std::chrono::milliseconds(1);
        o.DialTimeout = std::chrono::milliseconds(50);
        auto backend = platform::MakePppDialUpBackend(o);
        platform::DialHandle h = 0;
        ASSERT_EQ(backend->Dial("office-isp", {}, [&](int s, int e) { fresh.Report(s, e); }, h), 0);
        const auto reports = fresh.WaitForEnd();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().second, c.error);
        EXPECT_FALSE(backend->ErrorText(c.error).empty());

        // The caller hangs a failed dial up; afterwards nothing is left.
        ASSERT_EQ(backend->HangUp(h), 0);
        EXPECT_TRUE(Gone(*backend, h));
        EXPECT_TRUE(fresh.links.empty());
    }
}

TEST_F(PppBackendTest, AnEntryWithAPppdRunningIsNotDialledTwice) {
    fake.links.push_back({"office-isp", "ppp0", true});
    auto backend = Make();
    platform::DialHandle h = 0;
    EXPECT_EQ(backend->Dial("office-isp", {}, Progress(), h), platform::deBusy);
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(PppBackendTest, HangUpDuringTheDialStopsReportsAndPppd) {
    fake.scansUntilUp = -1;
    auto backend = Make();
    platform::DialHandle h = 0;
    ASSERT_EQ(backend->Dial("office-isp", {}, Progress(), h), 0);
    {
        std::unique_lock<std::mutex> lock(fake.m);
        fake.changed.wait_for(lock, std::chrono::seconds(5), [&] { return fake.reports.size() >= 2; });
    }
    ASSERT_EQ(backend->HangUp(h), 0);
    const auto seen = fake.reports.size();
    EXPECT_TRUE(Gone(*backend, h));
    EXPECT_EQ(fake.reports.size(), seen);
    EXPECT_TRUE(fake.links.empty());
}

TEST(PppOptionWordsTest, SplitsLikePppd) {
    const struct {
        const char* text;
        std::vector<std::string> words;
    } cases[] = {
        {"user jo\npassword pw\n", {"user", "jo", "password", "pw"}},
        {"# comment user x\nuser \"a b\" # trailing\n", {"user", "a b"}},
        {"user \"q\\\"uote\" x\\ y", {"user", "q\"uote", "x y"}},
        {"connect \"/usr/sbin/chat -v -f /etc/chatscripts/pap\"", {"connect", "/usr/sbin/chat -v -f /etc/chatscripts/pap"}},
        {"user \"\"", {"user", ""}},
        {"a\\\nb", {"ab"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(platform::PppOptionWords(c.text), c.words);
    }
}

TEST(ScanPppLinksTest, FindsPppdPerEntryWithItsInterfaceState) {
    QTemporaryDir dir;
    const std::string proc = dir.filePath("proc").toStdString();
    const std::string run = dir.filePath("run").toStdString();
    const std::string net = dir.filePath("net").toStdString();
    for (const std::string& d : {proc, run, net, proc + "/100", proc + "/200", proc + "/300",
                                 proc + "/400", proc + "/self", net + "/ppp0", net + "/ppp1", net + "/eth0"})
        mkdir(d.c_str(), 0755);
    const std::string up = std::string("/usr/sbin/pppd\0call\0office\0file\0/x\0", 36);
    Write(proc + "/100/cmdline", up);
    Write(proc + "/200/cmdline", std::string("pppd\0call\0dialling\0", 19));
    Write(proc + "/300/cmdline", std::string("/bin/bash\0call\0nope\0", 20));
    Write(proc + "/400/cmdline", std::string("pppd\0call\0down\0", 15));
    Write(proc + "/self/cmdline", up);
    Write(run + "/ppp0.pid", "100\n");
    Write(run + "/ppp1.pid", "400\n");
    Write(run + "/eth0.pid", "999\n");
    Write(run + "/ppp-office.pid", "100\nppp0\n");
    Write(net + "/ppp0/flags", "0x1091\n");
    Write(net + "/ppp1/flags", "0x1090\n");

    const std::vector<PppLink> links = platform::ScanPppLinks(proc, run, net);
    ASSERT_EQ(links.size(), 3u);
    EXPECT_EQ(links[0].Entry, "dialling");
    EXPECT_EQ(links[0].Interface, "");
    EXPECT_FALSE(links[0].Up);
    EXPECT_EQ(links[1].Entry, "down");
    EXPECT_EQ(links[1].Interface, "ppp1");
    EXPECT_FALSE(links[1].Up);
    EXPECT_EQ(links[2].Entry, "office");
    EXPECT_EQ(links[2].Interface, "ppp0");
    EXPECT_TRUE(links[2].Up);
}

TEST(RunCommandTest, GivesTheExitCodeOrMinusOne) {
    EXPECT_EQ(platform::RunCommand({"/bin/sh", "-c", "exit 3"}), 3);
    EXPECT_EQ(platform::RunCommand({"/bin/sh", "-c", "read x; exit 0"}), 0);  // stdin is empty
    EXPECT_EQ(platform::RunCommand({"/nonexistent/pon", "x"}), -1);
    EXPECT_EQ(platform::RunCommand({}), -1);
}

}  // namespace
