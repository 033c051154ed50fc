// Relay client against a scripted provider on loopback: the bookkeeping of
// refused recipients, failures that move on to the next message, replies
// split over reads, refused log-ons, silence, and the end of the run.
#include "transport/ports_file.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "power_loss_env.h"
#include "smtp_test_client.h"
#include "transport_test_util.h"

#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"


#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

namespace {

using twtest::TempHome;

bool WaitUntil(const std::function<bool()>& done, int ms = 8000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(RelayWire, EveryLineEndsCrLfAndNothingSmugglesAnEnd) {
    struct Case {
        const char* name;
        std::string stored, wire;
    } cases[] = {
        {"stored form", "A: 1\r\n\r\nbody\r\n..dot\r\n.\r\n", "A: 1\r\n\r\nbody\r\n..dot\r\n.\r\n"},
        {"no end marker", "A: 1\r\n\r\nbody", "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"ends with CR LF only", "A: 1\r\n\r\nbody\r\n", "A: 1\r\n\r\nbody\r\n.\r\n"},
        {"bare LF lines", "A: 1\n\nx\n.\ny\r\n.\r\n", "A: 1\r\n\r\nx\r\n..\r\ny\r\n.\r\n"},
        {"bare CR", "a\rb\r\n.\r\n", "a\r\nb\r\n.\r\n"},
        {"text after the end marker is not sent", "a\r\n.\r\nRSET\r\n", "a\r\n.\r\n"},
        {"empty", "", ".\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(smtp::RelayWireText(c.stored), c.wire) << c.name;
}

TEST(RelayReplies, LinesMakeOneReplyWhateverTheReads) {
    smtp::ReplyAssembler a;
    EXPECT_FALSE(a.Add("250-pro"));
    EXPECT_FALSE(a.Add("vider\r\n250-AUTH LOGIN\r\n"));
    EXPECT_TRUE(a.Add("250 OK\r\n220 "));
    EXPECT_EQ(a.Take(), "250-provider\r\n250-AUTH LOGIN\r\n250 OK\r\n");
    EXPECT_EQ(a.Take(), "");
    EXPECT_TRUE(a.Add("x\r\n334 abc\r\n"));
    EXPECT_EQ(a.Take(), "220 x\r\n");
    EXPECT_EQ(a.Take(), "334 abc\r\n");
}

// A provider whose replies the test writes. A reply holding "\x01" is sent
// in two writes 100 ms apart, one starting "\x02" 700 ms late; "<close>"
// drops the connection; "" sends nothing (silence).
class FakeProvider {
public:
    std::string greeting = "220 fake ready\r\n";
    std::function<std::string(const std::string& line)> onCommand = [](const std::string& line) {
        std::string l = line;
        for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (l == "data") return std::string("354 go\r\n");
        if (l == "quit") return std::string("221 bye\r\n");
        return std::string("250 ok\r\n");
    };
    std::function<std::string(const std::string& data)> onData = [](const std::string&) {
        return std::string("250 queued\r\n");
    };
    // Written once while a message's text is still arriving (its end not yet in).
    std::string duringText;
    std::vector<std::string> commands;
    std::vector<std::string> messages;
    int connections = 0;

    FakeProvider() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = server_.nextPendingConnection();
            ++connections;
            socket_ = s;
            buffer_.clear();
            scanned_ = 0;
            inData_ = false;
            duringTextSent_ = false;
            if (dataChunk_ > 0) s->setReadBufferSize(dataChunk_);
            QObject::connect(s, &QTcpSocket::readyRead, [this, s] { Read(s); });
            if (trickleMs_ > 0) {
                auto* drip = new QTimer(s);
                QObject::connect(drip, &QTimer::timeout, s, [this, s, n = size_t{0}]() mutable {
                    s->write(&greeting[n++ % greeting.size()], 1);
                });
                drip->start(trickleMs_);
                return;
            }
            Write(s, greeting);
        });
    }
    int Port() const { return server_.serverPort(); }
    // From the next connection on, the greeting goes one byte every `ms`,
    // over and over: it never ends.
    void TrickleGreeting(int ms) { trickleMs_ = ms; }
    // From the next connection on, the message text after "354" is read
    // only `chunk` bytes at a time, `pauseMs` apart; a negative pause never
    // reads it at all. Small socket buffers make the sender feel the pauses.
    void ReadDataSlowly(int chunk, int pauseMs) {
        int small = chunk;
        setsockopt(static_cast<int>(server_.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        dataChunk_ = chunk;
        dataPauseMs_ = pauseMs;
    }

private:
    void Write(QTcpSocket* s, const std::string& reply) {
        if (reply == "<close>") {
            s->disconnectFromHost();
            return;
        }
        if (!reply.empty() && reply[0] == '\x02') {
            std::string later = reply.substr(1);
            QTimer::singleShot(700, s, [s, later] { s->write(later.data(), static_cast<qint64>(later.size())); });
            return;
        }
        size_t split = reply.find('\x01');
        if (split == std::string::npos) {
            s->write(reply.data(), static_cast<qint64>(reply.size()));
            return;
        }
        s->write(reply.data(), static_cast<qint64>(split));
        std::string rest = reply.substr(split + 1);
        QTimer::singleShot(100, s, [s, rest] { s->write(rest.data(), static_cast<qint64>(rest.size())); });
    }
    void Read(QTcpSocket* s) {
        if (inData_ && dataPauseMs_ != 0) {
            if (dataPauseMs_ < 0 || readScheduled_) return;
            readScheduled_ = true;
            QTimer::singleShot(dataPauseMs_, s, [this, s] {
                readScheduled_ = false;
                Take(s);
            });
            return;
        }
        Take(s);
    }
    void Take(QTcpSocket* s) {
        buffer_ += s->readAll().toStdString();
        for (;;) {
            if (inData_) {
                // Only the new part is searched: a message of megabytes
                // arrives in many reads.
                size_t cut = std::string::npos;
                if (buffer_.compare(0, 3, ".\r\n") == 0) {
                    cut = 3;
                } else {
                    size_t end = buffer_.find("\r\n.\r\n", scanned_ > 4 ? scanned_ - 4 : 0);
                    if (end != std::string::npos) cut = end + 5;
                }
                if (cut == std::string::npos) {
                    scanned_ = buffer_.size();
                    if (!duringText.empty() && !duringTextSent_ && !buffer_.empty()) {
                        duringTextSent_ = true;
                        Write(s, duringText);
                    }
                    return;
                }
                messages.push_back(buffer_.substr(0, cut));
                buffer_.erase(0, cut);
                scanned_ = 0;
                inData_ = false;
                Write(s, onData(messages.back()));
                continue;
            }
            size_t lf = buffer_.find("\r\n");
            if (lf == std::string::npos) return;
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 2);
            commands.push_back(line);
            std::string reply = onCommand(line);
            if (reply.rfind("354", 0) == 0) {
                inData_ = true;
                scanned_ = 0;
            }
            Write(s, reply);
        }
    }
    QTcpServer server_;
    QTcpSocket* socket_ = nullptr;
    std::string buffer_;
    bool inData_ = false;
    size_t scanned_ = 0;  // bytes of buffer_ already searched for the end
    int dataChunk_ = 0;
    int dataPauseMs_ = 0;
    int trickleMs_ = 0;
    bool readScheduled_ = false;
    bool duringTextSent_ = false;
};

class RelayTest : public TempHome {
protected:
    // The provider's sockets need the application before the fixture's
    // members are made.
    static void SetUpTestSuite() { twtest::EnsureApp(); }
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::SetDialogHandlerForTesting([](platform::DialogCall&) { return platform::MsgResult::Ok; });
        twtest::SaveUsersFile({{"alice", "alicepw"}});
        twtest::SavePopFile({});
    }
    void TearDown() override {
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        platform::SetDialogHandlerForTesting({});
        TempHome::TearDown();
    }
    void Start(const std::string& extraSmtp = "", int port = 0) {
        smtp_.reset();
        servers_.reset();
        std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary)
            << "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=0\nHost=127.0.0.1\nPort=" << (port ? port : provider.Port())
            << "\nStandard=0\n" << extraSmtp;
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
    }
    void Queue(const std::string& id, const std::vector<std::string>& to, const std::string& from = "<ann@far.example>",
               int goes = 0) {
        std::ofstream(Out(id + ".txt"), std::ios::binary) << "Subject: " << id << "\r\n\r\nbody of " << id << "\r\n.\r\n";
        smtp::WritePortsValue(id, std::string("rcpt"), std::to_string(to.size()));
        for (size_t i = 0; i < to.size(); ++i) smtp::WritePortsValue(id, "To" + std::to_string(i + 1), to[i]);
        smtp::WritePortsValue(id, std::string("From"), from);
        if (goes) smtp::WritePortsValue(id, std::string("Goes"), std::to_string(goes));
    }
    void Run() {
        smtp_->StartDelivery();
        ASSERT_TRUE(WaitUntil([&] { return !smtp_->Delivering(); })) << "the run never ended";
    }
    std::string Out(const std::string& name) { return smtp::StoreFolder(smtp::FolderOut) + name; }
    std::vector<std::string> OutFiles() { return platform::ListFiles(smtp::StoreFolder(smtp::FolderOut), "*"); }
    std::string Record(const std::string& id, const std::string& key) { return smtp::ReadPortsValue(id, key); }
    std::string Log() {
        std::string s;
        platform::ReadFile(ProgramDir + "smtp.log", s);
        return s;
    }
    bool Sent(const std::string& command) {
        return std::find(provider.commands.begin(), provider.commands.end(), command) != provider.commands.end();
    }

    FakeProvider provider;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
};

TEST_F(RelayTest, MessagesGoOnOneConnectionAndLeaveNothingBehind) {
    Start();
    Queue("m1", {"<a@far.example>", "b@far.example"}, "<ann@far.example>");
    Queue("m2", {"<c@far.example>"}, "ann@far.example");
    Run();
    EXPECT_EQ(provider.connections, 1);
    const std::string host = provider.commands.at(0);
    EXPECT_EQ(host.rfind("helo ", 0), 0u) << host;
    std::vector<std::string> rest(provider.commands.begin() + 1, provider.commands.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"MAIL FROM:<ann@far.example>", "RCPT TO:<a@far.example>",
                                              "RCPT TO:<b@far.example>", "data", "rset",
                                              "MAIL FROM:<ann@far.example>", "RCPT TO:<c@far.example>", "data",
                                              "quit"}));
    ASSERT_EQ(provider.messages.size(), 2u);
    EXPECT_EQ(provider.messages[0], "Subject: m1\r\n\r\nbody of m1\r\n.\r\n");
    EXPECT_TRUE(OutFiles().empty());
    EXPECT_FALSE(platform::IniFile(smtp::PortsFileName()).SectionExists("m1"));
    EXPECT_FALSE(platform::IniFile(smtp::PortsFileName()).SectionExists("m2"));
}

// Put off (4xx) or refused (5xx), a recipient holds back no other: the
// message goes to those accepted, and the next attempt names only it.
TEST_F(RelayTest, RefusedRecipientIsRetriedAloneNextTime) {
    Start();
    for (const std::string refusal : {"550 no such user\r\n", "451 4.2.0 try again later\r\n"}) {
        SCOPED_TRACE(refusal);
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.commands.clear();
        provider.messages.clear();
        provider.onCommand = [refusal](const std::string& line) {
            if (line == "RCPT TO:<b@far.example>") return refusal;
            if (line == "data") return std::string("354 go\r\n");
            return std::string("250 ok\r\n");
        };
        Queue("m1", {"<a@far.example>", "<b@far.example>", "<c@far.example>"});
        Run();
        EXPECT_EQ(provider.messages.size(), 1u) << "DATA still goes to the accepted ones";
        EXPECT_TRUE(Sent("RCPT TO:<c@far.example>"));
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"}) << ".bad goes back to the queue at the end";
        EXPECT_EQ(Record("m1", "Goes"), "");
        EXPECT_EQ(Record("m1", "To1"), "");
        EXPECT_EQ(Record("m1", "Sent1"), "<a@far.example>");
        EXPECT_EQ(Record("m1", "To2"), "<b@far.example>");
        EXPECT_EQ(Record("m1", "Bad2"), "<b@far.example>");
        EXPECT_EQ(Record("m1", "Sent3"), "<c@far.example>");
        EXPECT_NE(Log().find("Failed while naming recipient: <b@far.example>"), std::string::npos);

        // The next attempt names only the refused one; accepted, the message goes.
        provider.commands.clear();
        provider.onCommand = FakeProvider().onCommand;
        Run();
        EXPECT_TRUE(Sent("RCPT TO:<b@far.example>"));
        EXPECT_FALSE(Sent("RCPT TO:<a@far.example>"));
        EXPECT_FALSE(Sent("RCPT TO:<c@far.example>"));
        EXPECT_EQ(provider.messages.size(), 2u);
        EXPECT_TRUE(OutFiles().empty());
        EXPECT_FALSE(platform::IniFile(smtp::PortsFileName()).SectionExists("m1"));
    }
}

TEST_F(RelayTest, FailuresOfOneMessageMoveOnToTheNext) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> onCommand;
        std::function<std::string(const std::string&)> onData;
        const char* logLine;
    } cases[] = {
        {"all recipients refused",
         [](const std::string& l) { return l.rfind("RCPT", 0) == 0 && l.find("bad") != std::string::npos
                                               ? std::string("550 no\r\n")
                                               : l == "data" ? std::string("354 go\r\n") : std::string("250 ok\r\n"); },
         nullptr, "No (good) Recipients"},
        {"554 to DATA",
         [n = std::make_shared<int>(0)](const std::string& l) {
             if (l != "data") return std::string("250 ok\r\n");
             return (*n)++ == 0 ? std::string("554 not today\r\n") : std::string("354 go\r\n");
         },
         nullptr, "Expected return code 354, got 554 not today"},
        {"4xx to MAIL",
         [](const std::string& l) {
             return l.rfind("MAIL FROM:<bad", 0) == 0 ? std::string("451 later\r\n")
                    : l == "data"                     ? std::string("354 go\r\n")
                                                      : std::string("250 ok\r\n");
         },
         nullptr, "Sender refused: 451 later"},
        {"5xx after the data",
         [](const std::string& l) { return l == "data" ? std::string("354 go\r\n") : std::string("250 ok\r\n"); },
         [](const std::string& d) {
             return d.find("body of a1") != std::string::npos ? std::string("552 too big\r\n")
                                                               : std::string("250 ok\r\n");
         },
         "Failed while sending message"},
        {"250- then 451 after the data",
         [](const std::string& l) { return l == "data" ? std::string("354 go\r\n") : std::string("250 ok\r\n"); },
         [](const std::string& d) {
             return d.find("body of a1") != std::string::npos
                        ? std::string("250-queued as 1234\r\n451 4.3.0 temporary failure, not queued\r\n")
                        : std::string("250 ok\r\n");
         },
         "Failed while sending message"},
    };
    Start();
    for (const auto& c : cases) {
        provider.commands.clear();
        provider.messages.clear();
        provider.onCommand = c.onCommand;
        if (c.onData) provider.onData = c.onData;
        else provider.onData = [](const std::string&) { return std::string("250 queued\r\n"); };
        Queue("a1", {"<bad@far.example>"}, "<bad@far.example>");
        Queue("b2", {"<good@far.example>"});
        Run();
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"a1.txt"}) << c.name << ": b2 went, a1 is queued again";
        EXPECT_EQ(Record("a1", "Goes"), "1") << c.name;
        EXPECT_FALSE(platform::IniFile(smtp::PortsFileName()).SectionExists("b2")) << c.name;
        EXPECT_NE(Log().find(c.logLine), std::string::npos) << c.name;
        std::remove(Out("a1.txt").c_str());
        smtp::WritePortsValue("a1", std::nullopt);
    }
}

TEST_F(RelayTest, RefusedMessagesReachPortsDatTogetherAtTheEndOfTheRun) {
    provider.onCommand = [](const std::string& l) {
        return l.rfind("RCPT", 0) == 0 ? std::string("550 relay denied\r\n") : std::string("250 ok\r\n");
    };
    Start();
    const int queued = 12;
    for (int i = 0; i < queued; ++i) Queue("r" + std::to_string(i), {"<x@far.example>"}, "<ann@far.example>", i % 3);
    smtp::PortsFile& ports = smtp::Ports();
    const auto writes = ports.Writes();
    Run();
    // A rewrite of the whole file per refused message made a long queue
    // against a refusing provider crawl.
    EXPECT_EQ(ports.Writes(), writes + 1);
    EXPECT_EQ(OutFiles().size(), static_cast<size_t>(queued)) << "every message is queued again";
    // The file itself, read past its owner, holds every attempt counted.
    platform::IniFile file(smtp::PortsFileName());
    for (int i = 0; i < queued; ++i)
        EXPECT_EQ(file.ReadString("r" + std::to_string(i), "Goes", ""), std::to_string(i % 3 + 1)) << i;
}

TEST_F(RelayTest, StrayNamesInTheQueueFolderHoldNoMessageBack) {
    Start();
    // Sorted first; a bare ".txt" once read as the end of the queue.
    for (const char* stray : {".txt", ".TXT", "0.txt.new"}) std::ofstream(Out(stray)) << "stray";
    Queue("m1", {"<a@far.example>"});
    Queue("M2", {"<b@far.example>"});
    Run();
    EXPECT_EQ(provider.messages.size(), 2u) << Log();
    std::vector<std::string> left = OutFiles();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".TXT", ".txt", "0.txt.new"}));
}

TEST_F(RelayTest, SplitEhloReplyChoosesLoginAndRefusedLogOnMarksNothing) {
    provider.greeting = "220-fake\r\n\x01" "220 ready\r\n";
    int passwords = 0;
    provider.onCommand = [&](const std::string& l) {
        if (l.rfind("ehlo ", 0) == 0) return std::string("250-fake\r\n\x01" "250-AUTH CRAM-MD5 LOGIN\r\n250 OK\r\n");
        if (l == "AUTH LOGIN") return std::string("334 VXNlcm5hbWU6\r\n");
        if (l == "cmVsYXk=") return std::string("334 UGFzc3dvcmQ6\r\n");
        ++passwords;
        return std::string("535 no\r\n");
    };
    Start("Auth=1\nLogin=relay\nPass=secret\n");
    Queue("m1", {"<a@far.example>"});
    Run();
    EXPECT_TRUE(Sent("AUTH LOGIN"));
    EXPECT_EQ(passwords, 1);
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"});
    EXPECT_EQ(Record("m1", "Goes"), "") << "a refused log-on is no failed attempt";
    EXPECT_NE(Log().find("Couldn't log on"), std::string::npos);
}

TEST_F(RelayTest, SilentOrClosingProviderEndsTheRunCleanly) {
    for (const char* answer : {"", "<close>"}) {
        provider.onCommand = [answer](const std::string& l) {
            return l.rfind("MAIL", 0) == 0 ? std::string(answer) : std::string("250 ok\r\n");
        };
        Start();
        smtp_->ReplyTimeoutMs = 300;
        Queue("m1", {"<a@far.example>"});
        Run();
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"}) << answer;
        EXPECT_EQ(Record("m1", "Goes"), "") << answer;
        EXPECT_FALSE(smtp_->SMTPClient.Active()) << answer;
    }
    EXPECT_NE(Log().find("Timed out waiting for response"), std::string::npos);
    EXPECT_NE(Log().find("Disconnected"), std::string::npos);
}

// A provider that falls silent while the relay logs on has not taken the
// run's goodbye: the wait ends as a time-out, not as a finished run.
TEST_F(RelayTest, SilenceDuringLogOnIsATimeOut) {
    for (const char* silentAfter : {"ehlo", "AUTH LOGIN", "cmVsYXk="}) {
        const std::string silent = silentAfter;
        provider.onCommand = [silent](const std::string& l) {
            if (l.rfind(silent, 0) == 0) return std::string();
            if (l.rfind("ehlo ", 0) == 0) return std::string("250-fake\r\n250 AUTH LOGIN\r\n");
            if (l == "AUTH LOGIN") return std::string("334 VXNlcm5hbWU6\r\n");
            return std::string("334 UGFzc3dvcmQ6\r\n");
        };
        std::remove((ProgramDir + "smtp.log").c_str());
        Start("Auth=1\nLogin=relay\nPass=secret\n");
        smtp_->ReplyTimeoutMs = 300;
        Queue("m1", {"<a@far.example>"});
        Run();
        EXPECT_NE(Log().find("Timed out waiting for response"), std::string::npos) << silent;
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"}) << silent;
        EXPECT_EQ(Record("m1", "Goes"), "") << silent;
    }
}

// A provider that never finishes: a greeting that comes a byte at a time
// (the wait counts from the connection, not from the last byte), or late
// replies without end where DATA's is awaited. The run still ends, its log
// stays small, and the message waits for the next run.
TEST_F(RelayTest, EndlessRepliesEndTheRunWithTheMessageQueued) {
    struct Case {
        const char* name;
        int trickleMs;
        std::string toData;
    } cases[] = {
        {"trickled greeting", 50, "354 go\r\n"},
        {"late replies flood", 0, [] {
             std::string flood;
             for (int i = 0; i < 20000; ++i) flood += "250 late " + std::to_string(i) + "\r\n";
             return flood;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.greeting = c.trickleMs ? "220-still greeting you\r\n" : "220 fake ready\r\n";
        provider.TrickleGreeting(c.trickleMs);
        provider.onCommand = [&c](const std::string& l) {
            return l == "data" ? c.toData : std::string("250 ok\r\n");
        };
        Start();
        smtp_->ReplyTimeoutMs = 1000;
        Queue("m1", {"<a@far.example>"});
        Run();
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"});
        EXPECT_EQ(Record("m1", "Goes"), "");
        EXPECT_LT(Log().size(), 4000u);
        EXPECT_TRUE(provider.messages.empty());
    }
}

// A provider out of step: one reply more than the last RCPT asked for, in
// the same write, or a "250" while the message text is still arriving and
// its real verdict, a refusal, after the end. Neither is taken for an
// answer: the run ends at once, nothing is counted, and the message goes
// whole in the next run.
TEST_F(RelayTest, RepliesOutOfStepEndTheRunWithTheMessageQueued) {
    // Far more than the socket buffers take in: the text is still going
    // out when the early reply comes.
    std::string big = "Subject: m1\r\n\r\n";
    while (big.size() < 16000000) big += "a line of a long message, padded out to a fair width ........\r\n";
    big += ".\r\n";
    struct Case {
        const char* name;
        std::string rcptReply;
        std::string duringText;
        bool large;
        const char* logLine;
        const char* goes;
    } cases[] = {
        {"extra reply after the last RCPT", "250 ok\r\n250 ok\r\n", "", false,
         "Out of step with the server: more than one reply to a command", ""},
        {"reply while the text arrives", "250 ok\r\n", "250 ok\r\n", true,
         "Out of step with the server: a reply before the end of the message", ""},
        // An early refusal is an attempt all the same, or the message goes for ever unnoticed.
        {"refusal while the text arrives", "250 ok\r\n", "552 5.3.4 too big\r\n", true,
         "Out of step with the server: a reply before the end of the message", "1"},
    };
    const auto inStep = provider.onCommand;
    const auto accepted = provider.onData;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.messages.clear();
        provider.onCommand = [&c, inStep](const std::string& l) {
            return l.rfind("RCPT", 0) == 0 ? c.rcptReply : inStep(l);
        };
        provider.onData = [](const std::string&) { return std::string("451 4.3.0 not queued\r\n"); };
        provider.duringText = c.duringText;
        Start();
        Queue("m1", {"<a@far.example>"});
        if (c.large) std::ofstream(Out("m1.txt"), std::ios::binary) << big;
        Run();
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"});
        EXPECT_EQ(Record("m1", "Goes"), c.goes);
        EXPECT_TRUE(provider.messages.empty()) << "no end of the text went";
        EXPECT_NE(Log().find(c.logLine), std::string::npos) << Log();

        provider.onCommand = inStep;
        provider.onData = accepted;
        provider.duringText.clear();
        Run();
        ASSERT_EQ(provider.messages.size(), 1u);
        EXPECT_TRUE(provider.messages[0] == (c.large ? big : "Subject: m1\r\n\r\nbody of m1\r\n.\r\n"));
        EXPECT_TRUE(OutFiles().empty());
    }
}

// A "250" sent early, while the end of a small message was already in the
// socket buffers, and then the real verdict, a refusal, before the reply to
// the command after the end. The early one reads like the verdict on the
// final "."; only the reply to RSET or QUIT shows it was one too many. The
// message stays queued (the run ends as out of step, not as a refused
// log-on) and goes in the next run.
TEST_F(RelayTest, EarlyAcceptanceBeforeARefusedEndKeepsTheMessage) {
    for (const bool another : {false, true}) {
        SCOPED_TRACE(another ? "RSET next" : "QUIT next");
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.messages.clear();
        // The refusal 100 ms after the early "250"; the next command's
        // own reply 700 ms after that command.
        provider.onData = [](const std::string& d) {
            return d.find("body of m1") != std::string::npos
                       ? std::string("250 ok early\r\n\x01" "451 4.3.0 not stored after all\r\n")
                       : std::string("250 queued\r\n");
        };
        provider.onCommand = [](const std::string& l) {
            if (l == "data") return std::string("354 go\r\n");
            if (l == "rset") return std::string("\x02" "250 ok\r\n");
            if (l == "quit") return std::string("\x02" "221 bye\r\n");
            return std::string("250 ok\r\n");
        };
        Start();
        Queue("m1", {"<a@far.example>"});
        if (another) Queue("m2", {"<b@far.example>"});
        Run();
        EXPECT_EQ(provider.messages.size(), 1u);
        std::vector<std::string> left = OutFiles();
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, another ? (std::vector<std::string>{"m1.txt", "m2.txt"}) : (std::vector<std::string>{"m1.txt"}));
        // Mostly as the reply to RSET or QUIT; on a stalled machine the
        // two replies may come in one read, which is out of step as well.
        EXPECT_NE(Log().find("Out of step with the server: "), std::string::npos) << Log();
        EXPECT_EQ(Log().find("m1 sent ok"), std::string::npos);
        EXPECT_EQ(Log().find("Couldn't log on"), std::string::npos);

        provider.onData = FakeProvider().onData;
        provider.onCommand = FakeProvider().onCommand;
        Run();
        EXPECT_EQ(provider.messages.size(), another ? 3u : 2u);
        EXPECT_TRUE(OutFiles().empty()) << Log();
        EXPECT_FALSE(platform::IniFile(smtp::PortsFileName()).SectionExists("m1"));
    }
}

TEST_F(RelayTest, NoGoodbyeAfterQuitIsNoFailure) {
    provider.onCommand = [](const std::string& l) {
        if (l == "quit") return std::string();
        return l == "data" ? std::string("354 go\r\n") : std::string("250 ok\r\n");
    };
    Start();
    smtp_->ReplyTimeoutMs = 300;
    Queue("m1", {"<a@far.example>"});
    Run();
    EXPECT_TRUE(OutFiles().empty());
    EXPECT_EQ(Log().find("Timed out"), std::string::npos) << Log();
}

TEST_F(RelayTest, ProviderMayTakeItsTimeOverTheFinalDot) {
    provider.onData = [](const std::string&) { return std::string("\x02" "250 at last\r\n"); };
    Start();
    smtp_->ReplyTimeoutMs = 300;
    Queue("m1", {"<a@far.example>"});
    Run();
    EXPECT_TRUE(OutFiles().empty()) << Log();
}

TEST_F(RelayTest, SlowReaderGetsTheWholeMessageOnlyAStallEndsTheRun) {
    // About 16 MB: far more than the socket buffers can take in (they grow
    // to a few MB on loopback), so most of the text waits in the sender
    // while the provider reads.
    std::string text = "Subject: big\r\n\r\n";
    for (int i = 0; text.size() < 16000000; ++i)
        text += "line " + std::to_string(i) + " of a long message, padded out to a fair width ......\r\n";
    text += ".\r\n";
    // The reply timeout is generous against a loaded machine's scheduling
    // gaps; the pauses keep the whole transfer well beyond twice of it.
    for (int pauseMs : {60, -1}) {
        const bool stalls = pauseMs < 0;
        provider.messages.clear();
        provider.ReadDataSlowly(256 * 1024, pauseMs);
        Start();
        smtp_->ReplyTimeoutMs = 1500;
        smtp_->DeliveryTimer->setInterval(20);
        std::ofstream(Out("big.txt"), std::ios::binary) << text;
        smtp::WritePortsValue("big", std::string("rcpt"), "1");
        smtp::WritePortsValue("big", std::string("To1"), "<a@far.example>");
        smtp::WritePortsValue("big", std::string("From"), "<ann@far.example>");
        QElapsedTimer timer;
        timer.start();
        Run();
        if (stalls) {
            EXPECT_TRUE(provider.messages.empty());
            EXPECT_EQ(OutFiles(), std::vector<std::string>{"big.txt"});
            EXPECT_NE(Log().find("Timed out waiting for response"), std::string::npos);
        } else {
            // Well over the reply timeout in all, yet never cut.
            EXPECT_GT(timer.elapsed(), 2 * smtp_->ReplyTimeoutMs);
            ASSERT_EQ(provider.messages.size(), 1u) << Log();
            EXPECT_TRUE(provider.messages[0] == text) << "the message arrived altered";
            EXPECT_TRUE(OutFiles().empty()) << Log();
            EXPECT_NE(Log().find("big sent ok"), std::string::npos);
            EXPECT_EQ(Log().find("Timed out"), std::string::npos);
        }
    }
}

// A refused MAIL FROM tidies away a message that went out before (its sent
// marker, or its record erased by the completion), never one still to go.
TEST_F(RelayTest, RefusedSenderTidiesOnlyMessagesSentBefore) {
    enum class Rec { Kept, Erased, EmptyFrom };
    struct Case {
        const char* name;
        bool marker;     // the sent marker appears while the run is under way
        Rec record;
        bool tidied;
    };
    const Case cases[] = {
        {"sent marker", true, Rec::Kept, true},
        {"record erased", false, Rec::Erased, true},
        {"null sender", false, Rec::EmptyFrom, false},
        {"ordinary sender", false, Rec::Kept, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : OutFiles()) std::remove(Out(name).c_str());
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.commands.clear();
        provider.onCommand = [this, &c](const std::string& l) {
            // As when deleting the sent file failed.
            if (c.marker && l.rfind("helo", 0) == 0) std::ofstream(Out("m1.txs"));
            return l.rfind("MAIL", 0) == 0 ? std::string("451 busy\r\n") : std::string("250 ok\r\n");
        };
        Start();
        Queue("m1", {"<a@far.example>"}, c.record == Rec::EmptyFrom ? "" : "<ann@far.example>");
        if (c.record == Rec::Erased) smtp::WritePortsValue("m1", std::nullopt);
        Run();
        EXPECT_EQ(Log().find("Tidying up m1 - has been sent already.") != std::string::npos, c.tidied) << Log();
        if (c.tidied) {
            EXPECT_TRUE(OutFiles().empty());
        } else {
            EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"}) << "kept for the next run";
            EXPECT_EQ(Record("m1", "Goes"), "1");
        }
        if (c.record == Rec::EmptyFrom) {
            EXPECT_TRUE(Sent("MAIL FROM:<>"));
        }
        EXPECT_TRUE(provider.messages.empty());
        smtp::WritePortsValue("m1", std::nullopt);
    }
}

// A record cut short (a damaged or hand-edited ports.dat): recipients
// without a From line would go from the null sender, an address without
// its ">" to someone else. Such a message stays queued, untried and
// uncounted, and holds no other back.
TEST_F(RelayTest, DamagedQueueRecordKeepsItsMessageQueued) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> record;
    } cases[] = {
        {"no From line", {{"rcpt", "1"}, {"To1", "<a@far.example>"}}},
        {"recipient cut short", {{"rcpt", "2"}, {"To1", "<a@far.example>"}, {"To2", "<some"}, {"From", "<ann@far.example>"}}},
        {"sender cut short", {{"rcpt", "1"}, {"To1", "<a@far.example>"}, {"From", "<ann@far.ex"}}},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((ProgramDir + "smtp.log").c_str());
        provider.commands.clear();
        provider.messages.clear();
        Queue("d1", {"<a@far.example>"});
        smtp::WritePortsSection("d1", c.record);
        Queue("g2", {"<b@far.example>"});
        Run();
        EXPECT_EQ(provider.messages.size(), 1u) << "the sound record's message goes";
        EXPECT_EQ(std::count_if(provider.commands.begin(), provider.commands.end(),
                                [](const std::string& l) { return l.rfind("MAIL", 0) == 0; }),
                  1);
        EXPECT_EQ(OutFiles(), std::vector<std::string>{"d1.txt"});
        EXPECT_EQ(Record("d1", "Goes"), "");
        EXPECT_NE(Log().find("The queue record of d1 is damaged"), std::string::npos) << Log();
    }
}

// A count far beyond the record's To<n> keys: the run names the recipient
// the record holds, once, and the SMTP server answers all along. A look-up
// of every number up to the count held the event loop for minutes.
TEST_F(RelayTest, RecipientCountBeyondTheRecordNamesThoseItHolds) {
    Start();
    Queue("m1", {"<a@far.example>"});
    smtp::WritePortsValue("m1", std::string("rcpt"), "99999999");
    QElapsedTimer timer;
    timer.start();
    smtp_->StartDelivery();
    twtest::SmtpClient client(smtp_->SMTPServer.Port());
    EXPECT_EQ(client.greeting.rfind("220 ", 0), 0u) << client.greeting;
    ASSERT_TRUE(WaitUntil([&] { return !smtp_->Delivering(); }));
    EXPECT_LT(timer.elapsed(), 20000) << "the run held the event loop";
    EXPECT_EQ(std::count(provider.commands.begin(), provider.commands.end(), "RCPT TO:<a@far.example>"), 1);
    EXPECT_EQ(provider.messages.size(), 1u);
    EXPECT_TRUE(OutFiles().empty()) << Log();
    EXPECT_NE(Log().find("counts 99999999 recipients and holds 1"), std::string::npos) << Log();
}

TEST_F(RelayTest, TenthFailureNoticesTheSenderTwentiethSuspends) {
    // Put off as a whole: no recipient is refused by name.
    provider.onCommand = [](const std::string& l) {
        return l.rfind("MAIL", 0) == 0 ? std::string("451 later\r\n") : std::string("250 ok\r\n");
    };
    Start();
    Queue("n9", {"<a@far.example>"}, "<ann@far.example>", 9);
    Queue("n19", {"<a@far.example>"}, "<ann@far.example>", 19);
    Run();
    EXPECT_EQ(OutFiles(), (std::vector<std::string>{"n19.tx_", "n9.txt"}));
    EXPECT_EQ(Record("n9", "Goes"), "10");
    EXPECT_EQ(Record("n19", "Goes"), "0");
    // The sender is not local: the notices go to the first user.
    auto notices = smtp::ListUserFiles(smtp::StoreFolder(smtp::FolderIn), "alice");
    ASSERT_EQ(notices.size(), 2u);
    std::string a, b;
    platform::ReadFile(smtp::StoreFolder(smtp::FolderIn) + notices[0], a);
    platform::ReadFile(smtp::StoreFolder(smtp::FolderIn) + notices[1], b);
    std::string both = a + b;
    EXPECT_NE(both.find("after 10 attempts"), std::string::npos);
    EXPECT_NE(both.find("Tarnwick has suspended the email"), std::string::npos);
    EXPECT_NE(a.find("Failed recipients:\r\na@far.example\r\n"), std::string::npos) << a;
}

TEST_F(RelayTest, RefusedConnectionEndsTheRunWithoutMarking) {
    int port;
    {
        QTcpServer gone;
        ASSERT_TRUE(gone.listen(QHostAddress("127.0.0.1"), 0));
        port = gone.serverPort();
    }
    Start();
    std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary)
        << "[SMTP]\nHost=127.0.0.1\nStandard=0\nPort=" << port << "\n";
    Queue("m1", {"<a@far.example>"});
    Run();
    EXPECT_NE(Log().find("SMTP delivery error code 10061"), std::string::npos) << Log();
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"});
    EXPECT_EQ(Record("m1", "Goes"), "");
}

TEST_F(RelayTest, NothingQueuedOrNoHostEndsAtOnce) {
    // Deleted spam older than three days goes at the end of the first run.
    const std::string deleted = smtp::StoreFolder(smtp::FolderDeleted);
    std::ofstream(deleted + "alice_old.dat") << "x";
    std::ofstream(deleted + "alice_new.dat") << "x";
    platform::SetFileTime(deleted + "alice_old.dat", platform::Now() - std::chrono::hours(73));
    platform::SetFileTime(deleted + "alice_new.dat", platform::Now() - std::chrono::hours(71));
    Start();
    Run();
    EXPECT_EQ(platform::ListFiles(deleted, "*"), std::vector<std::string>{"alice_new.dat"});
    EXPECT_NE(Log().find("no mail to deliver"), std::string::npos);
    EXPECT_EQ(provider.connections, 0);
    std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary) << "[SMTP]\nHost=\n";
    Queue("m1", {"<a@far.example>"});
    Run();
    EXPECT_NE(Log().find("no host - use setup"), std::string::npos);
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"m1.txt"});
}

// The whole cycle with the main window: a send-only Send/Recv runs the relay,
// and its end gives the controls back and shows how the delivery went.
class RelayWindowsTest : public twtest::WindowsHome {
protected:
    static void SetUpTestSuite() { twtest::EnsureApp(); }
    std::string ExtraIni() override {
        return "[SMTP]\nLocalPort=0\nHost=127.0.0.1\nPort=" + std::to_string(provider.Port()) + "\nStandard=0\n";
    }
    FakeProvider provider;
};

TEST_F(RelayWindowsTest, CycleEndsWithControlsBackAndTheFailureShown) {
    provider.onCommand = [](const std::string& l) {
        return l.rfind("RCPT", 0) == 0 ? std::string("550 unknown\r\n") : std::string("250 ok\r\n");
    };
    CreateWindows();
    std::ofstream(smtp::StoreFolder(smtp::FolderOut) + "m1.txt", std::ios::binary) << "Subject: s\r\n\r\nb\r\n.\r\n";
    smtp::WritePortsValue("m1", std::string("rcpt"), "1");
    smtp::WritePortsValue("m1", std::string("To1"), "<a@far.example>");
    smtp::WritePortsValue("m1", std::string("From"), "<alice@far.example>");

    // What the cycle's Send Only does once its line is up.
    ::SendOnly = true;
    FrmServers->StartPopCollection();
    EXPECT_FALSE(Shown().sendReceiveEnabled) << "controls taken while the run goes";
    EXPECT_TRUE(FrmSMTP->Delivering());
    using events::Label;
    EXPECT_TRUE(Shown().Label(Label::LastDelivery).bold) << "bold while the run goes";
    EXPECT_EQ(Shown().Label(Label::LastDelivery).text, "Sending...");
    ASSERT_TRUE(WaitUntil([&] { return Shown().cyclesEnded == 1; }));
    ::SendOnly = false;

    EXPECT_FALSE(FrmSMTP->Delivering());
    EXPECT_FALSE(Shown().Label(Label::LastDelivery).bold);
    EXPECT_TRUE(Shown().Label(Label::LastDelivery).red);
    EXPECT_EQ(Shown().Label(Label::LastDelivery).text, "07-Dec 10:04");
    EXPECT_EQ(Shown().tray, 3);
    EXPECT_EQ(Shown().status, "Mail not sent: No (good) Recipients");
    EXPECT_FALSE(Shown().statusActive);
    EXPECT_TRUE(platform::FileExists(smtp::StoreFolder(smtp::FolderOut) + "m1.txt"));
    EXPECT_EQ(smtp::ReadPortsValue("m1", "Goes"), "1");
    ASSERT_FALSE(Shown().counts.empty());
    EXPECT_EQ(Shown().counts.back().outbox.count, 1) << "counts refreshed";
}

// Mail waiting and no provider's server set: the run is a failure, and the
// status line says why (not "Idle").
class RelayNoHostTest : public twtest::WindowsHome {
protected:
    static void SetUpTestSuite() { twtest::EnsureApp(); }
    std::string ExtraIni() override { return "[SMTP]\nLocalPort=0\nHost=\n"; }
};

TEST_F(RelayNoHostTest, QueuedMailWithoutHostShowsTheRunFailed) {
    CreateWindows();
    using events::Label;
    struct Case {
        bool queued;
        bool red;
        const char* status;
    };
    const Case cases[] = {
        {false, false, "Idle"},
        {true, true, "Mail not sent: no SMTP host - set one in Tools, Settings..., SMTP delivery"},
    };
    int runs = 0;
    for (const auto& c : cases) {
        if (c.queued) {
            std::ofstream(smtp::StoreFolder(smtp::FolderOut) + "m1.txt", std::ios::binary) << "Subject: s\r\n\r\nb\r\n.\r\n";
            smtp::WritePortsValue("m1", std::string("rcpt"), "1");
            smtp::WritePortsValue("m1", std::string("To1"), "<a@far.example>");
            smtp::WritePortsValue("m1", std::string("From"), "<alice@far.example>");
        }
        FrmSMTP->StartDelivery();
        ++runs;
        ASSERT_TRUE(WaitUntil([&] { return Shown().cyclesEnded == runs; }));
        EXPECT_EQ(Shown().Label(Label::LastDelivery).red, c.red) << c.status;
        EXPECT_EQ(Shown().tray == events::kTrayFailed, c.red) << c.status;
        EXPECT_EQ(Shown().status, c.status);
        EXPECT_FALSE(Shown().statusActive);
    }
    EXPECT_TRUE(platform::FileExists(smtp::StoreFolder(smtp::FolderOut) + "m1.txt")) << "the mail still waits";
}

// A relay run on a failing disk: each write, sync, rename and unlink of the
// run fails in turn. Whatever fails, every message is delivered or still
// queued whole with its record, and a run on a sound disk then sends what
// is left: at least once, never lost.
TEST_F(RelayTest, DiskFaultsInARunLoseNoMessage) {
    using Op = platform::FaultInjectionEnv::Op;
    platform::FaultInjectionEnv env;
    platform::ScopedEnv scoped(&env);
    Start();
    int round = 0, hits = 0;
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename, Op::Unlink, Op::SyncFolder, Op::Read}) {
        for (int nth = 1; nth < 50; ++nth) {
            const std::string when = "call " + std::to_string(static_cast<int>(op)) + " #" + std::to_string(nth);
            const std::vector<std::string> ids = {"r" + std::to_string(round) + "a", "r" + std::to_string(round) + "b"};
            ++round;
            for (const auto& id : ids) Queue(id, {"<to-" + id + "@far.example>"});
            provider.messages.clear();
            const size_t journalBefore = env.Journal().size();
            env.FailAt(op, nth, nth % 2 ? EIO : ENOSPC);
            Run();
            env.Clear();
            const auto journal = env.Journal();
            bool hit = false;
            for (size_t i = journalBefore; i < journal.size(); ++i) hit = hit || journal[i].rfind("failed ", 0) == 0;

            auto delivered = [&](const std::string& id) {
                const std::string text = "Subject: " + id + "\r\n\r\nbody of " + id + "\r\n.\r\n";
                return std::count(provider.messages.begin(), provider.messages.end(), text);
            };
            for (const auto& id : ids) {
                if (delivered(id) > 0) continue;
                // Not sent: still queued, whole, with what it takes to send it.
                const bool queued = platform::FileExists(Out(id + ".txt")) || platform::FileExists(Out(id + ".bad"));
                EXPECT_TRUE(queued) << when << ": " << id << " neither sent nor queued";
                EXPECT_EQ(Record(id, "To1"), "<to-" + id + "@far.example>") << when;
            }
            EXPECT_NO_THROW(platform::IniFile(smtp::PortsFileName()).ReadSections()) << when;

            // On a sound disk the rest goes, and nothing stays behind.
            Run();
            for (const auto& id : ids) EXPECT_GE(delivered(id), 1) << when << ": " << id;
            EXPECT_TRUE(OutFiles().empty()) << when;
            // A record whose erasing failed after its message went may stay
            // until the next start-up clears it; it sends nothing.
            for (const auto& section : platform::IniFile(smtp::PortsFileName()).ReadSections())
                EXPECT_EQ(section[0], 'r') << when << ": " << section;
            if (!hit) break;  // the run needs fewer such calls
            ++hits;
        }
    }
    EXPECT_GT(hits, 10);
}

// A power loss at any step of a run over 20 messages, a few with a
// recipient the provider refuses. The disk then holds only what was synced.
// After the restart no message is lost and none is queued without its whole
// record (one that was would go from <> to nobody until suspended); a run
// then delivers the rest. What was sent before the loss may be sent again
// only while the run's removals were not yet synced.
TEST_F(RelayTest, PowerLossAtAnyStepLosesNoMessageAndLeavesNoneWithoutItsRecord) {
    constexpr int kMessages = 20;
    const std::string refused = "<refused@far.example>";
    std::vector<std::string> ids;
    for (int i = 0; i < kMessages; ++i) ids.push_back("p" + std::to_string(100 + i));
    auto refusing = [](int i) { return i % 7 == 3; };
    twtest::PowerLossEnv* power = nullptr;
    provider.onCommand = [&](const std::string& line) {
        if (power && power->Crashed()) return std::string("<close>");
        std::string l = line;
        for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (l.find("refused@") != std::string::npos) return std::string("550 no such user\r\n");
        if (l == "data") return std::string("354 go\r\n");
        if (l == "quit") return std::string("221 bye\r\n");
        return std::string("250 ok\r\n");
    };
    provider.onData = [&](const std::string&) {
        // Nothing leaves a machine that is off.
        if (power && power->Crashed()) {
            provider.messages.pop_back();
            return std::string("<close>");
        }
        return std::string("250 queued\r\n");
    };
    auto delivered = [&](const std::string& id) {
        const std::string text = "Subject: " + id + "\r\n\r\nbody of " + id + "\r\n.\r\n";
        return static_cast<int>(std::count(provider.messages.begin(), provider.messages.end(), text));
    };
    int crashes = 0, mostAgain = 0;
    for (int step = 1;; ++step) {
        const std::string when = "power lost at step " + std::to_string(step);
        SCOPED_TRACE(when);
        const std::string before = home_ + "/before" + std::to_string(step);
        const std::string after = home_ + "/after" + std::to_string(step);
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(before)));
        ProgramDir = before + "/";
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        twtest::SaveUsersFile({{"alice", "alicepw"}});
        twtest::SavePopFile({});
        // The queue as the SMTP server leaves it, in one write.
        std::string records;
        for (int i = 0; i < kMessages; ++i) {
            const std::string& id = ids[i];
            twtest::WriteBytes(Out(id + ".txt"), "Subject: " + id + "\r\n\r\nbody of " + id + "\r\n.\r\n");
            records += "[" + id + "]\r\nrcpt=" + (refusing(i) ? "2" : "1") + "\r\nTo1=<a@far.example>\r\n" +
                       (refusing(i) ? "To2=" + refused + "\r\n" : std::string()) + "From=<ann@far.example>\r\n";
        }
        twtest::WriteBytes(smtp::PortsFileName(), records);
        provider.messages.clear();
        bool crashed = false;
        {
            twtest::PowerLossEnv env(before);
            power = &env;
            platform::ScopedEnv scoped(&env);
            Start();
            env.CrashAt(step);
            Run();
            smtp_.reset();
            FrmSMTP = nullptr;
            servers_.reset();
            FrmServers = nullptr;
            crashed = env.Crashed();
            power = nullptr;
            env.RestoreInto(after);
        }
        std::map<std::string, int> sentBefore;
        for (const auto& id : ids) sentBefore[id] = delivered(id);

        ProgramDir = after + "/";
        Start();
        const auto queuedAfter = OutFiles();
        for (const auto& name : queuedAfter) {
            if (name.size() < 4 || (name.substr(name.size() - 4) != ".txt" && name.substr(name.size() - 4) != ".bad"))
                continue;
            const std::string id = name.substr(0, name.size() - 4);
            EXPECT_EQ(Record(id, "From"), "<ann@far.example>") << name << " is queued without its record";
            const int i = static_cast<int>(std::find(ids.begin(), ids.end(), id) - ids.begin());
            ASSERT_LT(i, kMessages) << name;
            EXPECT_EQ(Record(id, "rcpt"), refusing(i) ? "2" : "1") << name;
            if (refusing(i)) {
                EXPECT_EQ(Record(id, "To2"), refused) << name;
            }
        }
        auto queued = [&](const std::string& id) {
            return std::count(queuedAfter.begin(), queuedAfter.end(), id + ".txt") +
                   std::count(queuedAfter.begin(), queuedAfter.end(), id + ".bad");
        };
        int again = 0;
        for (int i = 0; i < kMessages; ++i) {
            const std::string& id = ids[i];
            if (sentBefore[id] == 0 || refusing(i)) {
                EXPECT_EQ(queued(id), 1) << id << " was lost";
            } else if (queued(id)) {
                ++again;
            }
        }
        if (!crashed) {
            EXPECT_EQ(again, 0) << "a finished run's messages never come back";
        }
        mostAgain = std::max(mostAgain, again);

        Run();
        for (const auto& id : ids) EXPECT_GE(delivered(id), 1) << id << " never reached the provider";
        for (const auto& name : OutFiles()) EXPECT_EQ(name.rfind("p1", 0), 0u) << name;
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        if (!crashed) break;
        ++crashes;
        if (HasFailure()) break;
    }
    EXPECT_GT(crashes, 40) << "a run over 20 messages takes many steps";
    RecordProperty("crash_points", crashes);
    RecordProperty("most_sent_again", mostAgain);
}

// A provider (aiosmtpd) refuses one of three recipients while the disk is
// full: the two it took are marked delivered in memory when ports.dat
// cannot be written, and the marks go with the next write. Once there is
// room again, the next run names only the refused recipient.
TEST_F(RelayTest, DeliveredRecipientsSurviveAFullDisk) {
    twtest::PeerProcess smarthost;
    const std::string spool = home_ + "/smarthost";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(spool)));
    ASSERT_TRUE(smarthost.Start("/usr/bin/python3", {twtest::PeersDir() + "peers_smtp_smarthost.py", spool, "relay",
                                                     "relaypw", "LOGIN,PLAIN", "no@far.example"}));
    ASSERT_TRUE(smarthost.WaitFor("PORT ")) << smarthost.Errors();
    const std::string out = smarthost.Output();
    const int port = std::stoi(out.substr(out.find("PORT ") + 5));
    Start("Auth=1\nLogin=relay\nPass=relaypw\n", port);
    for (int i = 1; i <= 5; ++i) Queue("full" + std::to_string(i), {"<a@far.example>", "<no@far.example>", "<b@far.example>"});

    auto received = [&](const std::string& address) {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(spool)) {
            if (entry.path().extension() != ".json") continue;
            std::string meta;
            platform::ReadFile(entry.path().string(), meta);
            if (meta.find("\"" + address + "\"") != std::string::npos) ++n;
        }
        return n;
    };
    {
        using Op = platform::FaultInjectionEnv::Op;
        platform::FaultInjectionEnv env;
        platform::ScopedEnv scoped(&env);
        env.FailAt(Op::Open, 0, ENOSPC);
        env.FailAt(Op::Append, 0, ENOSPC);
        Run();
    }
    EXPECT_EQ(received("a@far.example"), 5);
    EXPECT_EQ(received("b@far.example"), 5);
    EXPECT_NE(Log().find("Could not write ports.dat"), std::string::npos) << "the failed write is logged";
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(Record("full" + std::to_string(i), "To1"), "") << i;

    Run();
    EXPECT_EQ(received("a@far.example"), 5) << "each good recipient gets each message once";
    EXPECT_EQ(received("b@far.example"), 5);
    for (int i = 1; i <= 5; ++i) {
        const std::string id = "full" + std::to_string(i);
        EXPECT_EQ(Record(id, "Sent1"), "<a@far.example>");
        EXPECT_EQ(Record(id, "Sent3"), "<b@far.example>");
        EXPECT_EQ(Record(id, "To2"), "<no@far.example>");
    }
    // On disk too, for a restart.
    const std::string ports = twtest::ReadBytes(smtp::PortsFileName());
    EXPECT_EQ(ports.find("To1=<a@far.example>"), std::string::npos);
}

}  // namespace
