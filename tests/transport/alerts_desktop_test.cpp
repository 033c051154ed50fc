// New-mail alerts to a user's desktop, received by a python3 listener on
// 127.0.0.1: one alert per change of the count, one per address with the
// later text, and desktops that are dead or never read hold nothing up.
#include "transport/desktops.h"
#include "transport_test_util.h"

#include "platform/files.h"
#include "platform/inifile.h"

#include <QTcpServer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using twtest::PeerProcess;
using twtest::WindowsHome;

TEST(AlertText, Forms) {
    EXPECT_EQ(servers::AlertText("alice", 0), "0");
    EXPECT_EQ(servers::AlertText("alice", 1), "alice,You have 1 message.");
    EXPECT_EQ(servers::AlertText("alice", 12), "alice,You have 12 messages.");
}

class Alerts : public WindowsHome {
protected:
    // Starts the listener (extra arguments as given) and points the alerter
    // at its port.
    void Listen(const std::vector<std::string>& args = {}) {
        std::vector<std::string> all{twtest::PeersDir() + "peers_pop_alert_listener.py"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(desktop_.Start("/usr/bin/python3", all));
        ASSERT_TRUE(desktop_.WaitFor("PORT ")) << desktop_.Errors();
        std::string out = desktop_.Output();
        port_ = std::stoi(out.substr(out.find("PORT ") + 5));
        SetPort(port_);
    }
    void SetPort(int port) {
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        ini.WriteString("Alerter", "Use", "1");
        ini.WriteString("Alerter", "Port", std::to_string(port));
    }
    void SetAddress(const std::string& user, const std::string& address) {
        platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("Users", user, address);
    }
    // The texts the desktop got, in order.
    std::vector<std::string> Received() {
        std::vector<std::string> texts;
        std::istringstream lines(desktop_.Output());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("MSG ", 0) != 0) continue;
            QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(line.substr(4)));
            texts.push_back(bytes.toStdString());
        }
        return texts;
    }
    bool WaitForCount(size_t n, int ms = 4000) {
        return twtest::Until([&] { return Received().size() >= n; }, ms);
    }
    bool Idle() { return twtest::Until([&] { return servers_->TblAlert.IsEmpty(); }); }

    PeerProcess desktop_;
    int port_ = 0;
};

TEST_F(Alerts, OneAlertPerChangeOfTheCount) {
    CreateWindows();
    Listen();
    SetAddress("alice", "127.0.0.1");
    struct Step {
        int files;        // messages in alice's mailbox at this step
        const char* text; // alert sent, or nullptr for none
    } steps[] = {
        {2, "alice,You have 2 messages."},
        {2, nullptr},  // unchanged: nothing
        {1, "alice,You have 1 message."},
        {0, "0"},
        {0, nullptr},  // "0" once only
    };
    std::vector<std::string> expected;
    for (const auto& s : steps) {
        platform::DeleteFiles(ProgramDir + "in", "alice_*.dat");
        for (int i = 0; i < s.files; ++i) PutFile("in", "alice_m" + std::to_string(i) + ".dat", 10);
        servers_->QueueNewMailAlert("alice");
        if (s.text) {
            expected.push_back(s.text);
            ASSERT_TRUE(WaitForCount(expected.size())) << s.text;
        } else {
            twtest::Pump(300);
        }
        EXPECT_EQ(Received(), expected);
        // The count reaches the file with the next batched write.
        ASSERT_TRUE(desktops::Flush());
        EXPECT_EQ(platform::IniFile(ProgramDir + "tarnwick.ini").ReadInteger("Users", "alice_count", -1), s.files);
    }
}

TEST_F(Alerts, NothingWithoutTheAlerterOrAnAddress) {
    CreateWindows();
    Listen();
    PutFile("in", "bob_m1.dat", 10);
    servers_->QueueNewMailAlert("bob");  // no address known for bob
    SetAddress("bob", "127.0.0.1");
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("Alerter", "Use", "0");
    servers_->QueueNewMailAlert("bob");
    twtest::Pump(300);
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(servers_->TblAlert.IsEmpty());
}

TEST_F(Alerts, TwoUsersOnOneAddressGetTheLaterText) {
    CreateWindows();
    Listen();
    SetAddress("alice", "127.0.0.1");
    SetAddress("bob", "127.0.0.1");
    PutFile("in", "alice_m1.dat", 10);
    PutFile("in", "bob_m1.dat", 10);
    PutFile("in", "bob_m2.dat", 10);
    // Both before the connection is up: one row, the later text.
    servers_->QueueNewMailAlert("alice");
    servers_->QueueNewMailAlert("bob");
    EXPECT_EQ(servers_->TblAlert.RecordCount(), 1);
    ASSERT_TRUE(WaitForCount(1));
    twtest::Pump(300);
    EXPECT_EQ(Received(), (std::vector<std::string>{"bob,You have 2 messages."}));
}

TEST_F(Alerts, ADesktopThatNeverReadsDoesNotDelayTheNext) {
    CreateWindows();
    Listen({"--hold-first"});
    SetAddress("alice", "127.0.0.1");
    SetAddress("bob", "127.0.0.1");
    PutFile("in", "alice_m1.dat", 10);
    servers_->QueueNewMailAlert("alice");  // accepted, never read, never closed
    ASSERT_TRUE(Idle());
    PutFile("in", "bob_m1.dat", 10);
    QElapsedTimer timer;
    timer.start();
    servers_->QueueNewMailAlert("bob");
    ASSERT_TRUE(WaitForCount(1, 4000));
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(Received(), (std::vector<std::string>{"bob,You have 1 message."}));
}

TEST_F(Alerts, ADeadDesktopLosesItsAlertAndTheNextGoesOut) {
    CreateWindows();
    int dead;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress("127.0.0.1"), 0));
        dead = probe.serverPort();
    }
    SetPort(dead);
    SetAddress("alice", "127.0.0.1");
    PutFile("in", "alice_m1.dat", 10);
    servers_->QueueNewMailAlert("alice");
    ASSERT_TRUE(Idle());  // refused: dropped

    Listen({"--port", std::to_string(dead)});
    PutFile("in", "alice_m2.dat", 10);
    servers_->QueueNewMailAlert("alice");
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_EQ(Received(), (std::vector<std::string>{"alice,You have 2 messages."}));
}

TEST_F(Alerts, ADesktopThatNeverAnswersCostsOnlyTheConnectTimeout) {
    CreateWindows();
    // A listener whose backlog is full and that never accepts: the alert's
    // connection never completes.
    struct Fds {
        std::vector<int> all;
        ~Fds() {
            for (int f : all) ::close(f);
        }
    } fds;
    int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(stuck, 0);
    fds.all.push_back(stuck);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(stuck, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(stuck, 0), 0);
    socklen_t len = sizeof at;
    ASSERT_EQ(::getsockname(stuck, reinterpret_cast<sockaddr*>(&at), &len), 0);
    for (int i = 0; i < 3; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(f, 0);
        fds.all.push_back(f);
        (void)::connect(f, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    twtest::Pump(100);

    servers_->AlertConnectTimeoutMs = 300;
    SetPort(ntohs(at.sin_port));
    SetAddress("alice", "127.0.0.1");
    SetAddress("bob", "127.0.0.1");
    PutFile("in", "alice_m1.dat", 10);
    QElapsedTimer timer;
    timer.start();
    servers_->QueueNewMailAlert("alice");
    ASSERT_TRUE(Idle());  // given up: dropped
    EXPECT_GE(timer.elapsed(), 250) << "the connection should have hung until the timeout";
    EXPECT_LT(timer.elapsed(), 2000);

    Listen();
    PutFile("in", "bob_m1.dat", 10);
    servers_->QueueNewMailAlert("bob");
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_EQ(Received(), (std::vector<std::string>{"bob,You have 1 message."}));
}

}  // namespace
