// The collector against a real provider: Debian's dovecot POP3 server,
// started by the test on 127.0.0.1 with its own configuration, two
// passwd-file users and mail seeded as maildir files. Covers recipients by
// envelope headers, To/Cc and default users, Leave on and off, LeaveDays on
// an injected clock, and a message read back through our own POP3 server
// byte for byte as the provider held it.
#include "transport_test_util.h"

#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <map>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using twtest::PeerProcess;
using twtest::WindowsHome;

constexpr unsigned kNobody = 65534;

int FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress("127.0.0.1"), 0)) return 0;
    return probe.serverPort();
}

// The transfer form of a maildir file: CR LF lines, dot-stuffed, the end
// marker.
std::string Transfer(const std::string& lf) {
    std::string out;
    size_t start = 0;
    while (start < lf.size()) {
        size_t end = lf.find('\n', start);
        std::string line = lf.substr(start, end - start);
        out += (line.rfind(".", 0) == 0 ? "." : "") + line + "\r\n";
        start = end + 1;
    }
    return out + ".\r\n";
}

const std::map<std::string, std::string> kWork = {
    {"1001.m1", "Delivered-To: carol@office.example\nTo: list@far.example\nSubject: one\n"
                "Message-ID: <one@far.example>\n\nto carol by envelope\n.starts with a dot\n"},
    {"1002.m2", "Envelope-To: sales@office.example\nTo: list@far.example\nSubject: two\n"
                "Message-ID: <two@far.example>\n\nto alice by envelope\n"},
    {"1003.m3", "To: Dave <dave@office.example>\nCc: carol@office.example\nSubject: three\n"
                "Message-ID: <three@far.example>\n\nto bob and carol by To/Cc\n"},
    {"1004.m4-a-rather-long-maildir-name-past-the-sixty-four-characters-of-the-record",
     "To: stranger@far.example\nSubject: four\nMessage-ID: <four@far.example>\n\nto the default user\n\n\n"},
};
const std::map<std::string, std::string> kHome = {
    {"2001.m5", "To: stranger@far.example\nSubject: five\nMessage-ID: <five@far.example>\n\nhome default\n"},
};

class CollectorDovecot : public WindowsHome {
protected:
    void SetUp() override {
        WindowsHome::SetUp();
        if (!fs::exists("/usr/sbin/dovecot")) GTEST_SKIP() << "dovecot is not installed";
        platform::SetClockForTesting([this] { return now_; });
        // The provider's processes run as nobody and must reach their mail.
        chmod(home_.c_str(), 0755);
        dir_ = ProgramDir + "provider/";
        for (const char* sub : {"run", "state"}) fs::create_directories(dir_ + sub);
        Seed("w1", kWork);
        Seed("h1", kHome);
        port_ = FreePort();
        twtest::WriteBytes(dir_ + "users", "w1:{PLAIN}wpw:65534:65534::" + dir_ + "mail/w1\n" +
                                               "h1:{PLAIN}hpw:65534:65534::" + dir_ + "mail/h1\n");
        twtest::WriteBytes(dir_ + "dovecot.conf",
                           "base_dir = " + dir_ + "run\nstate_dir = " + dir_ + "state\nlog_path = " + dir_ +
                               "dovecot.log\nprotocols = pop3\nlisten = 127.0.0.1\nssl = no\n"
                               "disable_plaintext_auth = no\nauth_mechanisms = plain login\n"
                               "auth_failure_delay = 0\nmail_location = maildir:" +
                               dir_ + "mail/%u\npop3_uidl_format = %f\n"
                               "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " +
                               dir_ + "users\n}\nuserdb {\n  driver = passwd-file\n  args = username_format=%u " +
                               dir_ + "users\n}\nservice pop3-login {\n  inet_listener pop3 {\n"
                               "    address = 127.0.0.1\n    port = " +
                               std::to_string(port_) + "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n");
        dovecot_ = std::make_unique<PeerProcess>();
        ASSERT_TRUE(dovecot_->Start("/usr/sbin/dovecot", {"-F", "-c", dir_ + "dovecot.conf"}));
        ASSERT_TRUE(twtest::Until(
            [&] {
                QTcpSocket probe;
                probe.connectToHost("127.0.0.1", static_cast<quint16>(port_));
                return probe.waitForConnected(200);
            },
            10000))
            << dovecot_->Errors();
        twtest::SaveLinkFile({{"carol@office.example", "carol"},
                              {"sales@office.example", "alice"},
                              {"dave@office.example", "bob"}});
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        ini.WriteString("POP", "work_port", std::to_string(port_));
        ini.WriteString("POP", "home_port", std::to_string(port_));
    }
    void TearDown() override {
        dovecot_.reset();
        WindowsHome::TearDown();
    }
    void Seed(const std::string& user, const std::map<std::string, std::string>& messages) {
        std::string box = dir_ + "mail/" + user + "/";
        for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(box + sub);
        for (const auto& [name, text] : messages) {
            twtest::WriteBytes(box + "tmp/" + name, text);
            fs::rename(box + "tmp/" + name, box + "new/" + name);
        }
        for (const auto& entry : fs::recursive_directory_iterator(dir_ + "mail"))
            (void)chown(entry.path().c_str(), kNobody, kNobody);
        (void)chown((dir_ + "mail").c_str(), kNobody, kNobody);
    }
    // Messages the provider still holds for a user.
    size_t Held(const std::string& user) {
        size_t n = 0;
        for (const char* sub : {"cur", "new"})
            for (const auto& e : fs::directory_iterator(dir_ + "mail/" + user + "/" + sub)) n += e.is_regular_file();
        return n;
    }
    void Accounts(bool leave, int leaveDays) {
        const std::string l = leave ? "1" : "0", d = std::to_string(leaveDays);
        twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", l, d, "alice"},
                             {"home", "127.0.0.1", "h1", "hpw", "1", l, d, "bob"}});
        CreateWindows();
    }
    void Cycle() {
        ::SendOnly = false;
        SingleAccountName.clear();
        servers_->StartPopCollection();
        ASSERT_TRUE(twtest::Until([&] { return !servers_->Collecting(); }, 30000)) << Log();
    }
    std::string Log() { return twtest::ReadBytes(ProgramDir + "pop.log"); }
    // A log check that fails says where the home was and what the log held.
    std::string LogAndHome() { return "pop.log of " + ProgramDir + ":\n" + Log(); }
    std::multiset<std::string> Mailbox(const std::string& user) {
        std::multiset<std::string> out;
        std::string folder = smtp::StoreFolder("in");
        for (const auto& f : smtp::ListUserFiles(folder, user)) out.insert(twtest::ReadBytes(folder + f));
        return out;
    }
    std::multiset<std::string> Transfers(const std::map<std::string, std::string>& from,
                                         const std::vector<std::string>& names) {
        std::multiset<std::string> out;
        for (const auto& [name, text] : from)
            for (const auto& n : names)
                if (name.rfind(n, 0) == 0) out.insert(Transfer(text));
        return out;
    }
    void ExpectDistributed() {
        EXPECT_EQ(Mailbox("carol"), Transfers(kWork, {"1001", "1003"})) << Log();
        EXPECT_EQ(Mailbox("alice"), Transfers(kWork, {"1002", "1004"}));
        std::multiset<std::string> bob = Transfers(kWork, {"1003"});
        bob.insert(Transfer(kHome.begin()->second));
        EXPECT_EQ(Mailbox("bob"), bob);
    }
    std::string RawRetr(int port, const std::string& user, const std::string& password, int n) {
        PeerProcess client;
        EXPECT_TRUE(client.Start("/usr/bin/python3", {twtest::PeersDir() + "peers_pop_raw_retr.py", "127.0.0.1",
                                                      std::to_string(port), user, password, std::to_string(n)}));
        EXPECT_TRUE(client.WaitFinished()) << client.Errors();
        std::string out = client.Output();
        size_t at = out.find("RAW ");
        if (at == std::string::npos) return "failed: " + out + client.Errors();
        std::string hex = out.substr(at + 4);
        hex.erase(hex.find_last_not_of("\r\n") + 1);
        return QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString();
    }

    std::string dir_;
    int port_ = 0;
    std::unique_ptr<PeerProcess> dovecot_;
    platform::SystemTime now_ = twtest::At(2026, 12, 7, 10, 4, 5, 123);
};

TEST_F(CollectorDovecot, LeaveOffDistributesAndEmptiesTheProvider) {
    Accounts(false, 0);
    Cycle();
    ExpectDistributed();
    EXPECT_EQ(Held("w1"), 0u);
    EXPECT_EQ(Held("h1"), 0u);
    EXPECT_FALSE(Shown().Label(events::Label::LastCollection).red);
    EXPECT_NE(Log().find("POP collection complete"), std::string::npos) << LogAndHome();
    // Nothing is left to fetch.
    Cycle();
    ExpectDistributed();
}

TEST_F(CollectorDovecot, LeaveOnFetchesNothingTheSecondTime) {
    Accounts(true, 0);
    Cycle();
    ExpectDistributed();
    EXPECT_EQ(Held("w1"), kWork.size());
    Cycle();
    ExpectDistributed();
    EXPECT_EQ(Held("w1"), kWork.size());
    EXPECT_NE(Log().find(" >> don't retrieve 4 - already downloaded 07-Dec"), std::string::npos) << Log();

    // Read back through our own POP3 server, the message is what the
    // provider holds, byte for byte.
    std::string fromProvider = RawRetr(port_, "w1", "wpw", 1);
    EXPECT_EQ(fromProvider, Transfer(kWork.begin()->second));
    std::string fromUs = RawRetr(servers_->PopServer.Port(), "carol", "carolpw", 1);
    std::string other = RawRetr(servers_->PopServer.Port(), "carol", "carolpw", 2);
    EXPECT_TRUE(fromUs == fromProvider || other == fromProvider) << fromUs << "\n---\n" << other;
}

TEST_F(CollectorDovecot, LeaveDaysDeletesOnTheServerOnceTheDaysArePast) {
    Accounts(true, 3);
    Cycle();
    ExpectDistributed();
    now_ = twtest::At(2026, 12, 9, 10, 4, 5, 123);  // 2 days on: kept
    Cycle();
    EXPECT_EQ(Held("w1"), kWork.size()) << Log();
    now_ = twtest::At(2026, 12, 10, 9, 0, 0, 0);  // 3 days on: deleted, not fetched again
    Cycle();
    EXPECT_EQ(Held("w1"), 0u) << Log();
    EXPECT_EQ(Held("h1"), 0u);
    ExpectDistributed();
    // Once the provider is empty the record of the account goes.
    Cycle();
    EXPECT_FALSE(servers_->HasDownloaded("work"));
}

}  // namespace
