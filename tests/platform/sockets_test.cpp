// Loopback tests of the socket layer: what the protocol handlers rely on.
#include "platform/sockets.h"
#include "qt_app.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

using platform::OpenResult;
using platform::TcpClient;
using platform::TcpConnection;
using platform::TcpServer;
using twtest::RunUntil;

namespace {

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { twtest::App(); }

    // A server on 127.0.0.1 with an ephemeral port.
    int OpenServer(TcpServer& s) {
        EXPECT_EQ(s.Open(0, "127.0.0.1"), OpenResult::Ok) << s.ErrorText();
        EXPECT_TRUE(s.Active());
        EXPECT_GT(s.Port(), 0);
        return s.Port();
    }
};

// A client that records everything it is told.
struct Probe {
    TcpClient client;
    std::string received;
    int connects = 0, disconnects = 0, writes = 0, errors = 0, lastError = 0;

    explicit Probe(int port, const std::string& host = "127.0.0.1") {
        client.SetAddress(host);
        client.SetPort(port);
        client.OnConnect = [this] { ++connects; };
        client.OnRead = [this] { received += client.ReceiveText(); };
        client.OnWrite = [this] { ++writes; };
        client.OnDisconnect = [this] { ++disconnects; };
        client.OnError = [this](int code, const std::string&) {
            ++errors;
            lastError = code;
        };
    }
    bool Connect() {
        client.Open();
        return RunUntil([&] { return connects > 0 || errors > 0; }) && connects == 1;
    }
};

// A peer that connects and then reads nothing, with a small receive
// buffer, so that a sender's output really stays unsent.
struct SilentPeer {
    int fd = -1;
    explicit SilentPeer(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    void Reset() {
        // A reset rather than an orderly close: linger with zero time.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        fd = -1;
    }
    ~SilentPeer() {
        if (fd >= 0) ::close(fd);
    }
};

void MakeEcho(TcpServer& s) {
    s.OnClientRead = [](TcpConnection& c) { c.SendText(c.ReceiveText()); };
}

// Log lines keep the classic numbers; the words beside them are the system's.
TEST(SocketErrorText, NamesEachClassicNumber) {
    const std::pair<int, const char*> cases[] = {
        {platform::sockerr::ConnectionRefused, "Connection refused"},
        {platform::sockerr::ConnectionReset, "Connection reset by peer"},
        {platform::sockerr::TimedOut, "Connection timed out"},
        {platform::sockerr::AddressInUse, "Address already in use"},
        {platform::sockerr::HostNotFound, "Name or service not known"},
        {platform::sockerr::Unknown, "Unknown error"},
        {12345, "Unknown error"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(platform::SocketErrorText(code), text) << code;
}

TEST_F(SocketTest, EchoesBytesIncludingNulAndHighBytes) {
    TcpServer server;
    int port = OpenServer(server);
    MakeEcho(server);
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    const std::string data("HELO x\r\n\0\xff\x80 end\r\n", 17);
    p.client.SendText(data);
    ASSERT_TRUE(RunUntil([&] { return p.received.size() >= data.size(); }));
    EXPECT_EQ(p.received, data);
    EXPECT_GE(p.writes, 1);  // output drained
    EXPECT_EQ(p.client.PendingOutput(), 0);
}

TEST_F(SocketTest, HostNameIsLookedUp) {
    TcpServer server;
    int port = OpenServer(server);
    MakeEcho(server);
    Probe p(port);
    p.client.SetAddress("");
    p.client.SetHost("localhost");
    ASSERT_TRUE(p.Connect()) << p.lastError;
    EXPECT_EQ(p.client.RemoteAddress(), "127.0.0.1");
}

TEST_F(SocketTest, ManyClientsEachGetTheirOwnDataAndOneDisconnect) {
    TcpServer server;
    int port = OpenServer(server);
    MakeEcho(server);
    std::map<std::uint64_t, int> disconnects;
    int connects = 0;
    server.OnClientConnect = [&](TcpConnection&) { ++connects; };
    server.OnClientDisconnect = [&](TcpConnection& c) { ++disconnects[c.Id()]; };

    constexpr int kClients = 24;
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < kClients; ++i) {
        probes.push_back(std::make_unique<Probe>(port));
        probes.back()->client.Open();
    }
    ASSERT_TRUE(RunUntil([&] { return connects == kClients; }));
    EXPECT_EQ(server.Connections().size(), static_cast<size_t>(kClients));
    for (int i = 0; i < kClients; ++i) probes[i]->client.SendText("client " + std::to_string(i) + "\r\n");
    ASSERT_TRUE(RunUntil([&] {
        for (int i = 0; i < kClients; ++i)
            if (probes[i]->received.size() < ("client " + std::to_string(i) + "\r\n").size()) return false;
        return true;
    }));
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(probes[i]->received, "client " + std::to_string(i) + "\r\n");

    for (auto& p : probes) p->client.Close();
    ASSERT_TRUE(RunUntil([&] { return disconnects.size() == kClients; }));
    RunUntil([] { return false; }, 100);  // nothing more may arrive
    for (auto& [id, n] : disconnects) EXPECT_EQ(n, 1) << "connection " << id;
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(SocketTest, InterleavedPartialLinesStayWithTheirConnection) {
    TcpServer server;
    int port = OpenServer(server);
    // Each connection collects lines in its own session state and answers
    // a complete line with its length.
    server.OnClientConnect = [](TcpConnection& c) { c.UserData() = std::string(); };
    server.OnClientRead = [](TcpConnection& c) {
        auto& buf = std::any_cast<std::string&>(c.UserData());
        buf += c.ReceiveText();
        size_t lf;
        while ((lf = buf.find('\n')) != std::string::npos) {
            c.SendText(buf.substr(0, lf) + "|" + c.RemoteAddress() + "\n");
            buf.erase(0, lf + 1);
        }
    };
    Probe a(port), b(port);
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(b.Connect());
    const std::vector<std::pair<Probe*, std::string>> steps = {
        {&a, "MAIL FR"}, {&b, "USER b"}, {&a, "OM:<a@x>"}, {&b, "ob\nPA"}, {&a, "\n"}, {&b, "SS y\n"}};
    for (auto& [p, text] : steps) {
        p->client.SendText(text);
        RunUntil([] { return false; }, 20);  // let each piece arrive on its own
    }
    ASSERT_TRUE(RunUntil([&] { return a.received.size() >= 24 && b.received.size() >= 32; }));
    EXPECT_EQ(a.received, "MAIL FROM:<a@x>|127.0.0.1\n");
    EXPECT_EQ(b.received, "USER bob|127.0.0.1\nPASS y|127.0.0.1\n");
}

TEST_F(SocketTest, AddressesAndPortsOfBothEnds) {
    TcpServer server;
    // Every address of the host: IPv4 peers arrive IPv4-mapped and must
    // still read as dotted IPv4 text.
    ASSERT_EQ(server.Open(0), OpenResult::Ok) << server.ErrorText();
    std::string remote;
    int remotePort = 0, localPort = 0;
    server.OnClientConnect = [&](TcpConnection& c) {
        remote = c.RemoteAddress();
        remotePort = c.RemotePort();
        localPort = c.LocalPort();
    };
    Probe p(server.Port());
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(RunUntil([&] { return !remote.empty(); }));
    EXPECT_EQ(remote, "127.0.0.1");
    EXPECT_EQ(remotePort, p.client.LocalPort());
    EXPECT_EQ(localPort, server.Port());
}

TEST_F(SocketTest, OpenReportsPortInUseAndBadAddress) {
    TcpServer first, second;
    int port = OpenServer(first);
    EXPECT_EQ(second.Open(port, "127.0.0.1"), OpenResult::AddressInUse);
    EXPECT_FALSE(second.Active());
    EXPECT_FALSE(second.ErrorText().empty());
    EXPECT_EQ(second.Port(), 0);
    EXPECT_EQ(second.Open(0, "mail.example"), OpenResult::AddressNotAvailable);
    EXPECT_EQ(second.Open(70000, "127.0.0.1"), OpenResult::Failed);
    // Once the first lets go, the port can be had again.
    first.Close();
    EXPECT_FALSE(first.Active());
    EXPECT_EQ(second.Open(port, "127.0.0.1"), OpenResult::Ok) << second.ErrorText();
}

TEST_F(SocketTest, RefusedPeerGetsNoEventsAndIsDropped) {
    TcpServer server;
    int port = OpenServer(server);
    int connects = 0, reads = 0, disconnects = 0;
    std::string seenAddress;
    server.OnAccept = [&](TcpConnection& c) {
        seenAddress = c.RemoteAddress();
        return false;
    };
    server.OnClientConnect = [&](TcpConnection&) { ++connects; };
    server.OnClientRead = [&](TcpConnection&) { ++reads; };
    server.OnClientDisconnect = [&](TcpConnection&) { ++disconnects; };
    Probe p(port);
    p.client.Open();
    ASSERT_TRUE(RunUntil([&] { return p.disconnects + p.errors > 0; }));
    p.client.SendText("hello\r\n");
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(seenAddress, "127.0.0.1");
    EXPECT_EQ(connects, 0);
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(disconnects, 0);
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(SocketTest, FlushContinuationsRunInOrderAfterTheirOutput) {
    TcpServer server;
    int port = OpenServer(server);
    std::vector<std::string> order;
    bool insideCall = false;
    server.OnClientConnect = [&](TcpConnection& c) {
        c.SendText("220 hello\r\n");
        insideCall = true;
        c.WhenFlushed([&] {
            order.push_back("first");
            EXPECT_FALSE(insideCall);
            c.SendText("second line\r\n");
        }, 1000);
        c.WhenFlushed([&] { order.push_back("second"); }, 1000);
        // Nothing queued after this one: it must still wait its turn.
        c.WhenFlushed([&] { order.push_back("third"); }, 0);
        insideCall = false;
    };
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(RunUntil([&] { return order.size() == 3 && p.received.size() >= 24; }));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(p.received, "220 hello\r\nsecond line\r\n");
}

TEST_F(SocketTest, FlushContinuationIsBoundedWhenThePeerDoesNotRead) {
    TcpServer server;
    int port = OpenServer(server);
    using Clock = std::chrono::steady_clock;
    Clock::time_point sent{}, ran{};
    bool connectedWhenRun = false;
    server.OnClientConnect = [&](TcpConnection& c) {
        // Far more than the socket buffers hold while the peer reads nothing.
        c.SendText(std::string(64 << 20, 'x'));
        EXPECT_GT(c.PendingOutput(), 0);
        sent = Clock::now();
        c.WhenFlushed([&] {
            ran = Clock::now();
            connectedWhenRun = c.Connected();
        }, 200);
    };
    SilentPeer peer(port);
    ASSERT_TRUE(RunUntil([&] { return ran != Clock::time_point{}; }, 5000));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(ran - sent).count();
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 2000);
    EXPECT_TRUE(connectedWhenRun);
}

// The connection's one wait timer serves waits of any length in any order:
// a short wait behind a long one still ends on time (taking the long one
// with it, as output order demands), and a long wait behind a short one is
// not cut short when the short one ends.
TEST_F(SocketTest, WaitsOfDifferentLengthsEachKeepTheirBound) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* what;
        int firstMs, secondMs;
        std::vector<std::string> atShort;  // what has run shortly after the short wait
    } cases[] = {
        {"short behind long", 60000, 150, {"first", "second"}},
        {"long behind short", 150, 60000, {"first"}},
    };
    for (const auto& k : cases) {
        TcpServer server;
        int port = OpenServer(server);
        std::vector<std::string> ran;
        Clock::time_point sent{};
        server.OnClientConnect = [&](TcpConnection& c) {
            c.SendText(std::string(64 << 20, 'x'));
            sent = Clock::now();
            c.WhenFlushed([&] { ran.push_back("first"); }, k.firstMs);
            c.WhenFlushed([&] { ran.push_back("second"); }, k.secondMs);
        };
        SilentPeer peer(port);
        ASSERT_TRUE(RunUntil([&] { return !ran.empty(); }, 5000)) << k.what;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count(), 2000)
            << k.what;
        RunUntil([] { return false; }, 300);
        EXPECT_EQ(ran, k.atShort) << k.what;
        server.Close();
    }
}

TEST_F(SocketTest, ContinuationRunsWhenTheConnectionEndsFirst) {
    TcpServer server;
    int port = OpenServer(server);
    std::vector<std::string> events;
    server.OnClientConnect = [&](TcpConnection& c) {
        c.SendText(std::string(64 << 20, 'x'));
        c.WhenFlushed([&] { events.push_back(c.Connected() ? "cont-up" : "cont-down"); }, 60000);
    };
    server.OnClientDisconnect = [&](TcpConnection&) { events.push_back("disconnect"); };
    SilentPeer peer(port);
    RunUntil([] { return false; }, 50);
    EXPECT_TRUE(events.empty());
    peer.Reset();
    ASSERT_TRUE(RunUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"cont-down", "disconnect"}));
}

TEST_F(SocketTest, PeerClosingMidWriteEndsTheConnectionOnce) {
    TcpServer server;
    int port = OpenServer(server);
    int disconnects = 0, errors = 0;
    server.OnClientConnect = [](TcpConnection& c) {
        for (int i = 0; i < 64; ++i) c.SendText(std::string(256 << 10, 'a' + i % 26));
    };
    server.OnClientError = [&](TcpConnection&, int) { ++errors; };
    server.OnClientDisconnect = [&](TcpConnection& c) {
        ++disconnects;
        c.SendText("too late");  // harmless on an ended connection
    };
    Probe p(port);
    p.client.OnRead = [&] {
        p.received += p.client.ReceiveText();
        if (p.received.size() > (1 << 20)) p.client.Abort();
    };
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(RunUntil([&] { return disconnects > 0; }, 10000));
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(disconnects, 1);
    EXPECT_LE(errors, 1);
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(SocketTest, ServerCloseFlushesOutputThenReportsDisconnect) {
    TcpServer server;
    int port = OpenServer(server);
    int disconnects = 0, readsAfterClose = 0;
    bool closed = false;
    server.OnClientRead = [&](TcpConnection& c) {
        if (closed) {
            ++readsAfterClose;
            return;
        }
        c.ReceiveText();
        c.SendText("221 See ya later\r\n");
        c.Close();
        closed = true;
        EXPECT_FALSE(c.Connected());
        EXPECT_EQ(disconnects, 0);  // not inside the call
    };
    server.OnClientDisconnect = [&](TcpConnection&) { ++disconnects; };
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    p.client.SendText("quit\r\n");
    ASSERT_TRUE(RunUntil([&] { return p.disconnects > 0; }));
    EXPECT_EQ(p.received, "221 See ya later\r\n");
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(readsAfterClose, 0);
}

TEST_F(SocketTest, CloseDeliversLargeOutputWhole) {
    TcpServer server;
    int port = OpenServer(server);
    std::string big;
    for (int i = 0; big.size() < (6u << 20); ++i) big += "line " + std::to_string(i) + "\r\n";
    server.OnClientConnect = [&](TcpConnection& c) {
        c.SendText(big);
        c.SendText(".\r\n");
        c.Close();
        c.SendText("after close");  // dropped: the connection is closing
    };
    Probe p(port);
    p.client.Open();
    ASSERT_TRUE(RunUntil([&] { return p.disconnects > 0; }, 20000));
    EXPECT_EQ(p.received.size(), big.size() + 3);
    EXPECT_TRUE(p.received == big + ".\r\n");
}

TEST_F(SocketTest, ConnectTimeoutGivesUp) {
    // A listener that accepts nothing and whose queue is full: further
    // connection attempts get no answer at all.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        (void)::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);  // queued or left hanging
        fillers.push_back(f);
    }
    twtest::RunUntil([] { return false; }, 50);

    Probe p(port);
    p.client.SetConnectTimeout(200);
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    p.client.Open();
    EXPECT_TRUE(p.client.Active());
    ASSERT_TRUE(RunUntil([&] { return p.errors + p.connects > 0; }, 5000));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    ::close(fd);
    for (int f : fillers) ::close(f);
    EXPECT_EQ(p.connects, 0);
    EXPECT_EQ(p.lastError, platform::sockerr::TimedOut);
    EXPECT_GE(waited, 180);
    EXPECT_LT(waited, 2000);
    EXPECT_FALSE(p.client.Active());
}

TEST_F(SocketTest, ClientGetsNoEventAfterClose) {
    TcpServer server;
    int port = OpenServer(server);
    TcpConnection* peer = nullptr;
    server.OnClientConnect = [&](TcpConnection& c) { peer = &c; };
    int serverDisconnects = 0;
    server.OnClientDisconnect = [&](TcpConnection&) { ++serverDisconnects; peer = nullptr; };
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(RunUntil([&] { return peer != nullptr; }));
    peer->SendText("+OK data that arrives late\r\n");
    p.client.Close();
    EXPECT_FALSE(p.client.Active());
    ASSERT_TRUE(RunUntil([&] { return serverDisconnects == 1; }));
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(p.received, "");
    EXPECT_EQ(p.disconnects, 0);
    EXPECT_EQ(p.errors, 0);
}

TEST_F(SocketTest, ServerCloseEndsEveryConnection) {
    TcpServer server;
    int port = OpenServer(server);
    int connects = 0, disconnects = 0;
    server.OnClientConnect = [&](TcpConnection&) { ++connects; };
    server.OnClientDisconnect = [&](TcpConnection&) { ++disconnects; };
    Probe a(port), b(port);
    a.client.Open();
    b.client.Open();
    ASSERT_TRUE(RunUntil([&] { return connects == 2; }));
    server.Close();
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(disconnects, 0);  // reported from the loop, not inside Close
    ASSERT_TRUE(RunUntil([&] { return disconnects == 2 && a.disconnects == 1 && b.disconnects == 1; }));
}

TEST_F(SocketTest, ClientReportsRefusedConnection) {
    int port;
    {
        TcpServer probe;
        port = OpenServer(probe);
    }
    Probe p(port);
    p.client.Open();
    ASSERT_TRUE(RunUntil([&] { return p.errors > 0; }));
    EXPECT_EQ(p.lastError, platform::sockerr::ConnectionRefused);
    EXPECT_EQ(p.connects, 0);
    RunUntil([] { return false; }, 50);
    EXPECT_EQ(p.disconnects, 0);  // an error is not followed by a disconnect
    EXPECT_FALSE(p.client.Active());
}

TEST_F(SocketTest, ClientWithoutTargetReportsErrorFromTheLoop) {
    TcpClient client;
    int code = 0;
    client.OnError = [&](int c, const std::string&) { code = c; };
    client.SetPort(25);
    client.Open();
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(RunUntil([&] { return code != 0; }));
    EXPECT_EQ(code, platform::sockerr::HostNotFound);
}

TEST_F(SocketTest, ClientSeesPeersLastWordsBeforeDisconnect) {
    TcpServer server;
    int port = OpenServer(server);
    server.OnClientConnect = [](TcpConnection& c) {
        c.SendText("421 closing\r\n");
        c.Close();
    };
    Probe p(port);
    std::string atDisconnect;
    p.client.OnDisconnect = [&] {
        atDisconnect = p.received;
        ++p.disconnects;
    };
    p.client.Open();
    ASSERT_TRUE(RunUntil([&] { return p.disconnects == 1; }));
    EXPECT_EQ(atDisconnect, "421 closing\r\n");
}

TEST_F(SocketTest, ObjectsMayBeDestroyedInsideTheirOwnEvents) {
    auto server = std::make_unique<TcpServer>();
    int port = OpenServer(*server);
    bool destroyed = false;
    server->OnClientRead = [&](TcpConnection& c) {
        c.ReceiveText();
        server.reset();  // the window that owned it went away
        destroyed = true;
    };
    auto client = std::make_unique<TcpClient>();
    client->SetAddress("127.0.0.1");
    client->SetPort(port);
    client->OnConnect = [&] { client->SendText("x"); };
    ASSERT_TRUE((client->Open(), RunUntil([&] { return destroyed; })));

    TcpServer echo;
    int port2 = OpenServer(echo);
    MakeEcho(echo);
    bool clientGone = false;
    client = std::make_unique<TcpClient>();
    client->SetAddress("127.0.0.1");
    client->SetPort(port2);
    client->OnConnect = [&] { client->SendText("y"); };
    client->OnRead = [&] {
        client.reset();
        clientGone = true;
    };
    client->Open();
    ASSERT_TRUE(RunUntil([&] { return clientGone; }));
    RunUntil([] { return false; }, 50);
}

TEST_F(SocketTest, ConnectionHeldByContinuationOutlivesServer) {
    auto server = std::make_unique<TcpServer>();
    int port = OpenServer(*server);
    platform::TcpConnectionPtr kept;
    server->OnClientConnect = [&](TcpConnection& c) { kept = c.shared_from_this(); };
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(RunUntil([&] { return kept != nullptr; }));
    server.reset();
    EXPECT_FALSE(kept->Connected());
    EXPECT_EQ(kept->Server(), nullptr);
    kept->SendText("ignored");
    kept->Close();
    EXPECT_EQ(kept->ReceiveText(), "");
    ASSERT_TRUE(RunUntil([&] { return p.disconnects == 1; }));
}

}  // namespace

namespace {

TEST(SocketAddresses, OnlyThisHostAndOfficeNetworksAreLocal) {
    struct Case {
        const char* address;
        bool local;
    } cases[] = {
        {"127.0.0.1", true},         {"127.10.0.5", true},       {"::1", true},
        {"10.1.2.3", true},          {"172.16.0.1", true},       {"172.31.255.255", true},
        {"172.32.0.1", false},       {"172.15.255.255", false},  {"192.168.1.20", true},
        {"192.169.0.1", false},      {"169.254.7.7", true},      {"fd12:3456::1", true},
        {"fc00::1", true},           {"fe80::1", true},          {"febf::1", true},
        {"fec0::1", false},          {"2001:db8::1", false},     {"8.8.8.8", false},
        {"::ffff:192.168.0.9", true}, {"::ffff:8.8.8.8", false}, {"", false},
        {"not an address", false},   {"10.0.0.1.evil", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::IsLocalNetworkAddress(c.address), c.local) << c.address;
}

TEST_F(SocketTest, ConnectionsOverTheCapAreToldAndClosed) {
    TcpServer server;
    int port = OpenServer(server);
    server.SetMaxConnections(2, "busy\r\n");
    int announced = 0;
    server.OnClientConnect = [&](TcpConnection& c) {
        ++announced;
        c.SendText("hello\r\n");
    };
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < 3; ++i) {
        probes.push_back(std::make_unique<Probe>(port));
        ASSERT_TRUE(probes.back()->Connect());
        ASSERT_TRUE(RunUntil([&] { return !probes.back()->received.empty(); }));
    }
    EXPECT_EQ(probes[0]->received, "hello\r\n");
    EXPECT_EQ(probes[2]->received, "busy\r\n");
    EXPECT_TRUE(RunUntil([&] { return probes[2]->disconnects == 1; }));
    EXPECT_EQ(announced, 2);
    // A place that frees is taken again.
    probes[0]->client.Close();
    ASSERT_TRUE(RunUntil([&] { return server.Connections().size() == 1; }));
    Probe again(port);
    ASSERT_TRUE(again.Connect());
    ASSERT_TRUE(RunUntil([&] { return !again.received.empty(); }));
    EXPECT_EQ(again.received, "hello\r\n");
}

TEST_F(SocketTest, InputLeftUnreadWaitsInTheSocket) {
    TcpServer server;
    int port = OpenServer(server);
    std::string taken;
    platform::TcpConnectionPtr conn;
    server.OnClientConnect = [&](TcpConnection& c) { conn = c.shared_from_this(); };
    server.OnClientRead = [&](TcpConnection& c) {
        if (taken.empty()) taken = c.ReceiveText(4);
    };
    Probe p(port);
    ASSERT_TRUE(p.Connect());
    p.client.SendText("abcdefgh");
    ASSERT_TRUE(RunUntil([&] { return !taken.empty() && conn && conn->BytesAvailable() == 4; }));
    EXPECT_EQ(taken, "abcd");
    EXPECT_EQ(conn->ReceiveText(100), "efgh");
}

}  // namespace

namespace {

TEST_F(SocketTest, APeersLastInputIsHandedOverAfterItCloses) {
    TcpServer server;
    int port = OpenServer(server);
    std::string taken;
    int disconnects = 0;
    // A handler that takes small bites and leaves the rest for later turns.
    server.OnClientRead = [&](TcpConnection& c) { taken += c.ReceiveText(1000); };
    server.OnClientDisconnect = [&](TcpConnection&) { ++disconnects; };
    SilentPeer peer(port);
    const std::string data(200000, 'x');
    ASSERT_EQ(::write(peer.fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::shutdown(peer.fd, SHUT_WR);
    ASSERT_TRUE(RunUntil([&] { return disconnects == 1; }, 10000));
    EXPECT_EQ(taken.size(), data.size());
}

}  // namespace
