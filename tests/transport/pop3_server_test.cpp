// POP3 server pieces that the end-to-end tests cannot reach easily: the TOP
// text, unique ids clients can take, and the limits on idle connections and
// line length.
#include "transport/servers.h"
#include "transport_test_util.h"

#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/store.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

namespace {

using twtest::TempHome;

TEST(Pop3Top, HeaderEmptyLineAndFirstBodyLines) {
    const std::string msg = "A: 1\r\nB: 2\r\n\r\nl1\r\n..l2\r\nl3\r\n.\r\n";
    struct Case {
        std::string message;
        long lines;
        std::string text;
    } cases[] = {
        {msg, 0, "A: 1\r\nB: 2\r\n\r\n"},
        {msg, 2, "A: 1\r\nB: 2\r\n\r\nl1\r\n..l2\r\n"},
        {msg, 99, "A: 1\r\nB: 2\r\n\r\nl1\r\n..l2\r\nl3\r\n"},  // the end marker is not body
        {"A: 1\r\n\r\nbody\r\n", 5, "A: 1\r\n\r\nbody\r\n"},   // stored without end marker
        {"A: 1\r\nB: 2\r\n.\r\n", 3, "A: 1\r\nB: 2\r\n\r\n"},    // header only
        {"A: 1\r\n\r\nlast line without end", 5, "A: 1\r\n\r\nlast line without end\r\n"},
        {"", 1, "\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(servers::TopText(c.message, c.lines), c.text) << c.message;
}

TEST(Pop3UniqueId, PrintableShortIdsStayOthersAreHashed) {
    EXPECT_EQ(servers::SafeUniqueId("pc12lan100405123"), "pc12lan100405123");
    EXPECT_EQ(servers::SafeUniqueId(std::string(70, 'a')), std::string(70, 'a'));
    for (std::string odd : {std::string(71, 'a'), std::string("a b"), std::string("caf\xc3\xa9"), std::string()}) {
        std::string id = servers::SafeUniqueId(odd);
        EXPECT_EQ(id.size(), 32u) << odd;
        EXPECT_EQ(id, servers::SafeUniqueId(odd)) << "stable";
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
    EXPECT_NE(servers::SafeUniqueId(std::string(71, 'a')), servers::SafeUniqueId(std::string(72, 'a')));
}

bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class Pop3LimitsTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        std::ofstream(ProgramDir + "tarnwick.ini") << "[POP]\nLocalPort=0\n";
        servers_ = std::make_unique<TFrmServers>();
        ASSERT_TRUE(servers_->PopServer.Active());
    }
    void TearDown() override {
        servers_.reset();
        TempHome::TearDown();
    }
    std::unique_ptr<QTcpSocket> Connect() {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(servers_->PopServer.Port()));
        EXPECT_TRUE(PumpUntil([&] { return socket->bytesAvailable() >= 5; }));
        EXPECT_EQ(socket->readAll().toStdString(), "+OK\r\n");
        return socket;
    }
    std::unique_ptr<TFrmServers> servers_;
};

TEST_F(Pop3LimitsTest, IdleConnectionIsClosed) {
    servers_->PopIdleTimeoutMs = 300;
    auto socket = Connect();
    EXPECT_TRUE(PumpUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(Pop3LimitsTest, ACommandKeepsTheConnectionFromBeingIdle) {
    servers_->PopIdleTimeoutMs = 300;
    auto socket = Connect();
    // Three idle periods long, never 300 ms without a command.
    for (int i = 0; i < 9; ++i) {
        socket->write("NOOP\r\n");
        PumpUntil([] { return false; }, 100);
        ASSERT_EQ(socket->state(), QAbstractSocket::ConnectedState) << "after " << (i + 1) * 100 << " ms";
    }
    EXPECT_TRUE(PumpUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(Pop3LimitsTest, TrickleWithoutLineEndsIsIdle) {
    servers_->PopIdleTimeoutMs = 300;
    auto socket = Connect();
    for (int i = 0; i < 50 && socket->state() == QAbstractSocket::ConnectedState; ++i) {
        socket->write("x");
        PumpUntil([] { return false; }, 100);
    }
    EXPECT_EQ(socket->state(), QAbstractSocket::UnconnectedState);
}

TEST_F(Pop3LimitsTest, EndlessLineIsRefused) {
    auto socket = Connect();
    socket->write(QByteArray(5000, 'x'));
    std::string got;
    EXPECT_TRUE(PumpUntil([&] {
        got += socket->readAll().toStdString();
        return socket->state() == QAbstractSocket::UnconnectedState;
    }));
    got += socket->readAll().toStdString();
    EXPECT_EQ(got, "-ERR line too long\r\n");
}

TEST_F(Pop3LimitsTest, FailedPassesAreAnsweredLateAndEndTheConnection) {
    servers_->PopFailedPassDelayMs = 200;
    servers_->PopMaxFailedPasses = 2;
    auto socket = Connect();
    socket->write("USER nobody\r\nPASS x\r\nNOOP\r\nPASS y\r\nNOOP\r\n");
    std::string got;
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(PumpUntil([&] {
        got += socket->readAll().toStdString();
        return socket->state() == QAbstractSocket::UnconnectedState;
    }));
    got += socket->readAll().toStdString();
    EXPECT_GE(timer.elapsed(), 400);
    // Replies in order; the NOOP after the last failure is never answered.
    EXPECT_EQ(got, "+OK\r\n-ERR\r\n+OK\r\n-ERR\r\n");
}


// Every verb before USER, after USER and after a good PASS: each cell is a
// fresh connection whose whole transcript, up to the closing QUIT, is
// compared.
TEST_F(Pop3LimitsTest, EveryVerbInEveryState) {
    servers_.reset();
    ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "alice", "alicepw"));
    const std::string message = "Subject: t\r\n\r\nbody\r\n.\r\n";
    std::filesystem::create_directories(smtp::StoreFolder(smtp::FolderIn));
    std::ofstream(smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName("alice", "m1"), std::ios::binary)
        << message;
    servers_ = std::make_unique<TFrmServers>();
    servers_->PopFailedPassDelayMs = 10;
    const std::string size = std::to_string(message.size());
    const std::string ok = "+OK\r\n", err = "-ERR\r\n", none = "-ERR no such message\r\n";
    const std::string emptyList = "+OK Listing:\r\n.\r\n";
    const std::vector<std::pair<std::string, std::string>> states = {
        {"authorization", ""},
        {"user given", "USER alice\r\n"},
        {"transaction", "USER alice\r\nPASS alicepw\r\n"},
    };
    struct Row {
        std::string verb;
        std::vector<std::string> replies;  // one per state, in the order above
    } rows[] = {
        {"USER bob", {ok, ok, err}},
        {"PASS alicepw", {err, ok, err}},
        {"STAT", {"+OK 0 0\r\n", "+OK 0 0\r\n", "+OK 1 " + size + "\r\n"}},
        {"LIST", {emptyList, emptyList, "+OK Listing:\r\n1 " + size + "\r\n.\r\n"}},
        {"LIST 1", {none, none, "+OK 1 " + size + "\r\n"}},
        {"UIDL", {emptyList, emptyList, "+OK Listing:\r\n1 m1\r\n.\r\n"}},
        {"UIDL 1", {none, none, "+OK 1 m1\r\n"}},
        {"RETR 1", {none, none, "+OK Here it comes:\r\n" + message}},
        {"TOP 1 0", {none, none, "+OK\r\nSubject: t\r\n\r\n.\r\n"}},
        {"DELE 1", {none, none, ok}},
        {"RSET", {ok, ok, ok}},
        {"NOOP", {ok, ok, ok}},
        {"XTND Stuff", {"-ERR unknown params: xtnd, Stuff\r\n", "-ERR unknown params: xtnd, Stuff\r\n",
                        "-ERR unknown params: xtnd, Stuff\r\n"}},
        {"QUIT", {"", "", ""}},
    };
    for (const auto& row : rows) {
        for (size_t i = 0; i < states.size(); ++i) {
            auto socket = Connect();
            socket->write(QByteArray::fromStdString(states[i].second + row.verb + "\r\nQUIT\r\n"));
            std::string got;
            EXPECT_TRUE(PumpUntil([&] {
                got += socket->readAll().toStdString();
                return socket->state() == QAbstractSocket::UnconnectedState;
            }));
            got += socket->readAll().toStdString();
            const std::string prefix = i == 0 ? "" : i == 1 ? ok : ok + ok;
            EXPECT_EQ(got, prefix + row.replies[i] + ok) << row.verb << " in state " << states[i].first;
        }
    }
    // DELE takes effect with the QUIT of its own session only.
    EXPECT_FALSE(std::filesystem::exists(smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName("alice", "m1")));
}

}  // namespace
