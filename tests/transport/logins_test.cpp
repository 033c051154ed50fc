// The login brake that SMTP AUTH, POP3 USER/PASS and the web logins share:
// the brake's own rules, then python3's smtplib guessing in one connection
// and poplib guessing over many connections at once against the servers
// on 127.0.0.1, with the brake's clock in the test's hand.
#include "transport/logins.h"

#include "smtp_office.h"
#include "smtp_test_client.h"
#include "transport/logfile.h"
#include "web/http.h"

#include <string>
#include <vector>

namespace {

TEST(LoginBrake, FiveFailuresThenAMinuteRefused) {
    logins::LoginBrake brake;
    std::int64_t now = 1000;
    for (int i = 1; i < logins::LoginBrake::kFreeFailures; ++i) {
        EXPECT_FALSE(brake.Refused("10.0.0.9", now));
        EXPECT_FALSE(brake.Failed("10.0.0.9", "bob", now)) << i;
        now += 10;
    }
    EXPECT_TRUE(brake.Failed("10.0.0.9", "bob", now));
    EXPECT_TRUE(brake.Refused("10.0.0.9", now + 1));
    EXPECT_TRUE(brake.Refused("10.0.0.9", now + logins::LoginBrake::kLockMs - 1));
    EXPECT_FALSE(brake.Refused("10.0.0.10", now + 1)) << "another address";
    EXPECT_FALSE(brake.Refused("10.0.0.9", now + logins::LoginBrake::kLockMs));
    EXPECT_FALSE(brake.Failed("10.0.0.9", "bob", now + logins::LoginBrake::kLockMs)) << "starts afresh";
    // A success forgets the failures of its own name; old failures are
    // forgotten too.
    for (int i = 0; i < 4; ++i) brake.Failed("10.0.0.11", "bob", now);
    brake.Succeeded("10.0.0.11", "Bob");
    EXPECT_FALSE(brake.Failed("10.0.0.11", "bob", now));
    for (int i = 0; i < 3; ++i) brake.Failed("10.0.0.12", "bob", now);
    EXPECT_FALSE(brake.Failed("10.0.0.12", "bob", now + logins::LoginBrake::kForgetMs + 1));
    // Many guessing addresses keep the table bounded and leave a running
    // lock alone.
    for (int i = 0; i < 5; ++i) brake.Failed("10.0.0.13", "bob", now);
    for (int i = 0; i < 10000; ++i)
        brake.Failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), "bob", now);
    EXPECT_TRUE(brake.Refused("10.0.0.13", now + 1));
}

TEST(LoginBrake, OneClientIsAnIpv4AddressAnIpv6Slash64OrAllOfLoopback) {
    struct Case {
        const char* guessing;
        const char* other;
        bool locked;
    } cases[] = {
        {"127.0.0.1", "127.0.1.9", true},
        {"127.0.0.1", "::1", true},
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"10.0.0.1", "10.0.0.2", false},
    };
    for (const auto& c : cases) {
        logins::LoginBrake brake;
        for (int i = 0; i < logins::LoginBrake::kFreeFailures; ++i) brake.Failed(c.guessing, "bob", 1000);
        EXPECT_EQ(brake.Refused(c.other, 1001), c.locked) << c.guessing << " then " << c.other;
    }
}

class LoginsOverSockets : public twtest::SmtpOffice {
protected:
    void SetUp() override {
        SmtpOffice::SetUp();
        logins::SetClockForTesting([this] { return now_; });
        // Refusals are logged whatever the switches say.
        procs::LogClientActivity = false;
        procs::LogServerActivity = false;
        StartServer();
    }
    void TearDown() override {
        StopServer();
        logins::SetClockForTesting({});
        procs::LogClientActivity = true;
        SmtpOffice::TearDown();
    }
    // Starts the guessing script; it has printed its RIGHT line on return.
    // With a victim, the guesses are at the victim's password, and bob logs
    // on between them.
    void Guess(twtest::PeerProcess& peer, const char* kind, int port, int guesses, const char* victim = nullptr) {
        std::vector<std::string> args = {twtest::PeersDir() + "peers_login_guess.py", kind, "127.0.0.1",
                                         std::to_string(port), "bob", "bobpw", std::to_string(guesses)};
        if (victim) args.push_back(victim);
        ASSERT_TRUE(peer.Start("/usr/bin/python3", args));
        ASSERT_TRUE(peer.WaitFor("RIGHT ", 30000)) << peer.Output() << peer.Errors();
        ASSERT_TRUE(twtest::PumpFor([&] {
            const std::string& out = peer.Output();
            return out.find('\n', out.find("RIGHT ")) != std::string::npos;
        }));
    }
    // The line of the script's output that starts with tag, without it.
    static std::string Line(twtest::PeerProcess& peer, const std::string& tag) {
        const std::string& out = peer.Output();
        const size_t at = out.find(tag + " ");
        if (at == std::string::npos) return "(no " + tag + ")";
        const size_t from = at + tag.size() + 1;
        return out.substr(from, out.find('\n', from) - from);
    }
    // Moves the brake's clock past the lock and lets the script try again.
    static std::string After(twtest::PeerProcess& peer) {
        peer.Process().write("go\n");
        EXPECT_TRUE(peer.WaitFor("AFTER ", 30000)) << peer.Errors();
        EXPECT_TRUE(peer.WaitFinished(30000));
        return Line(peer, "AFTER");
    }
    std::string WebLogin(int& deferMs) {
        TFrmhttp web;
        return web.HandleRequest("GET /webmail?u=bob&p=bobpw HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", std::string(),
                                 deferMs, "127.0.0.1");
    }

    std::int64_t now_ = 5'000'000;
};

constexpr char kPopBraked[] = "-ERR [SYS/TEMP] too many failed logins, try again later";

TEST_F(LoginsOverSockets, SmtpGuessingInOneConnectionLocksEveryLoginOfTheAddress) {
    twtest::PeerProcess smtpPeer, popPeer;
    Guess(smtpPeer, "smtp", smtp_->SMTPServer.Port(), 8);
    EXPECT_EQ(Line(smtpPeer, "GUESSES"), "535 535 535 535 535 454 454 454");
    EXPECT_EQ(Line(smtpPeer, "RIGHT"), "454") << "the right password during the lock";
    // The same address is refused by the POP3 server and the web logins.
    Guess(popPeer, "pop3", servers_->PopServer.Port(), 0);
    EXPECT_EQ(Line(popPeer, "RIGHT"), kPopBraked);
    int deferMs = 0;
    EXPECT_NE(WebLogin(deferMs).find("name=\"loginform\""), std::string::npos);
    EXPECT_EQ(deferMs, http::kLoginBrakeDelayMs);

    now_ += logins::LoginBrake::kLockMs - 1;
    EXPECT_EQ(After(smtpPeer), "454");
    now_ += 1;
    EXPECT_EQ(After(popPeer), "+OK");
    EXPECT_EQ(WebLogin(deferMs).find("name=\"loginform\""), std::string::npos);
    EXPECT_EQ(deferMs, 0);

    const std::string log = twtest::ReadBytes(ProgramDir + "connect.log");
    EXPECT_NE(log.find("Logins from 127.0.0.1 refused for a minute after 5 failures"), std::string::npos) << log;
    EXPECT_NE(log.find("SMTP login of bob from 127.0.0.1 refused"), std::string::npos) << log;
    EXPECT_NE(log.find("POP3 login of bob from 127.0.0.1 refused"), std::string::npos) << log;
    EXPECT_NE(log.find("Web login of bob from 127.0.0.1 refused"), std::string::npos) << log;
}

TEST_F(LoginsOverSockets, GoodLoginsOfAnotherUserLeaveTheGuessesCounted) {
    twtest::PeerProcess peer;
    Guess(peer, "smtp", smtp_->SMTPServer.Port(), 12, "alice");
    EXPECT_EQ(Line(peer, "GUESSES"), "535 535 535 535 bob=235 535 454 454 454 bob=454 454 454 454 454 bob=454");
    EXPECT_EQ(Line(peer, "RIGHT"), "454");
    now_ += logins::LoginBrake::kLockMs;
    EXPECT_EQ(After(peer), "235");
}

TEST_F(LoginsOverSockets, ParallelPop3ConnectionsShareOneBrake) {
    servers_->PopFailedPassDelayMs = 50;
    twtest::PeerProcess peer;
    Guess(peer, "pop3", servers_->PopServer.Port(), 30);
    std::string expected = "-ERR | -ERR | -ERR | -ERR | -ERR";
    for (int i = 0; i < 25; ++i) expected += std::string(" | ") + kPopBraked;
    EXPECT_EQ(Line(peer, "GUESSES"), expected);
    EXPECT_EQ(Line(peer, "RIGHT"), kPopBraked);
    now_ += logins::LoginBrake::kLockMs;
    EXPECT_EQ(After(peer), "+OK");
}

}  // namespace
