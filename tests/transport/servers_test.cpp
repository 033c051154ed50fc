// Servers object set-up, the user check, the account names of the Send/Recv
// drop-down, and the notices that need its tables.
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/table_owner.h"
#include "transport_test_util.h"

#include "platform/dialogs.h"
#include "platform/files.h"
#include "engine_state.h"
#include "transport/account_tables.h"

#include <QTcpServer>
#include <QTimer>

#include <fstream>
#include <memory>

#include <unistd.h>

namespace {

using twtest::TempHome;

void SaveTable(const std::string& path, const std::vector<std::pair<std::string, TFieldType>>& fields,
               const std::vector<std::vector<std::string>>& rows, const std::string& index,
               const std::string& indexFields) {
    TvdlMemTable t;
    t.FieldDefs().Clear();
    for (const auto& [name, type] : fields) t.FieldDefs().Add(name, type, type == ftString ? 64 : 0);
    t.CreateTable();
    t.IndexDefs().Clear();
    t.AddIndex(index, indexFields, ixPrimary);
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

void SaveUsers(const std::vector<std::vector<std::string>>& rows) {
    SaveTable(ProgramDir + "users.dat", {{"Name", ftString}, {"Password", ftString}}, rows, "ixName", "Name");
}

void SaveAccounts(const std::vector<std::vector<std::string>>& rows) {
    SaveTable(ProgramDir + "pop.dat",
              {{"Name", ftString}, {"Host", ftString}, {"Login", ftString}, {"Password", ftString},
               {"Include", ftBoolean}, {"Leave", ftBoolean}, {"Leavedays", ftInteger}, {"Default", ftString}},
              rows, "ixName", "Name");
}

void WriteIni(const std::string& text) {
    std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary) << text;
}

class ServersTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        WriteIni("[POP]\nLocalPort=0\n");
        SaveUsers({{"alice", "AlicePW"}, {"bob", "bobpw"}});
        SaveAccounts({{"work", "h", "l", "p", "1", "0", "0", "bob"}, {"home", "h", "l", "p", "0", "0", "0", "alice"}});
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return platform::MsgResult::Ok;
        });
    }
    void TearDown() override {
        servers_.reset();
        FrmServers = nullptr;
        platform::SetDialogHandlerForTesting({});
        TempHome::TearDown();
    }
    TFrmServers& Servers() {
        if (!servers_) {
            servers_ = std::make_unique<TFrmServers>();
            FrmServers = servers_.get();
        }
        return *servers_;
    }

    std::vector<std::string> dialogs_;
    std::unique_ptr<TFrmServers> servers_;
};

TEST_F(ServersTest, CheckUserPassword) {
    struct Case {
        const char* user;
        const char* password;
        bool accepted;
    } cases[] = {
        {"alice", "AlicePW", true},  {"alice", "alicepw", true}, {"alice", "ALICEPW", true},
        {"alice", "AlicePW ", false}, {"alice", "", false},      {"nobody", "x", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        servers::SessionSection session;
        std::string canonical = "stale";
        EXPECT_EQ(Servers().CheckUserPassword(c.user, c.password, &session, &canonical), c.accepted)
            << c.user << "/" << c.password;
        EXPECT_EQ(session.Read("log"), c.accepted ? "yes" : "no");
        EXPECT_EQ(canonical, c.accepted ? std::string(c.user) : std::string());
    }
    EXPECT_TRUE(Servers().CheckUserPassword("bob", "BOBPW"));
}

TEST_F(ServersTest, SetUpListensAndCreatesTheInMemoryTables) {
    EXPECT_TRUE(Servers().PopServer.Active());
    EXPECT_TRUE(dialogs_.empty());
    EXPECT_EQ(Servers().TimeOutTimer->interval(), 60000);
    EXPECT_TRUE(Servers().TblID.Active());
    EXPECT_TRUE(Servers().TblAlert.Active());
    EXPECT_NE(Servers().TblAlert.FindField("Message"), nullptr);
    EXPECT_TRUE(Servers().TblUIDL.Active());
}

// [POP] Timeout is the collector's wait for a provider; a POP3 client of
// this server may stay silent for ten minutes whatever it says.
TEST_F(ServersTest, PopTimeoutTimesTheCollectorNotTheServersClients) {
    WriteIni("[POP]\nLocalPort=0\nTimeout=5\n");
    EXPECT_EQ(Servers().TimeOutTimer->interval(), 5000);
    EXPECT_EQ(Servers().PopIdleTimeoutMs, 10 * 60 * 1000);
}

TEST_F(ServersTest, UnreadableUidlFileIsSetAsideToldAndReplacedByAnEmptyOne) {
    std::ofstream(ProgramDir + "uidl.dat", std::ios::binary) << "garbage";
    ASSERT_TRUE(Servers().TblUIDL.Active());
    EXPECT_EQ(Servers().TblUIDL.RecordCount(), 0);
    TvdlMemTable reread;
    reread.LoadFromBinaryFile(ProgramDir + "uidl.dat");
    EXPECT_NE(reread.FindField("Received"), nullptr);
    std::string kept;
    ASSERT_TRUE(platform::ReadFile(ProgramDir + "uidl.dat.bad", kept));
    EXPECT_EQ(kept, "garbage");
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("renamed to uidl.dat.bad"), std::string::npos) << dialogs_[0];
}

TEST_F(ServersTest, ADamagedSettingsFileIsToldOnce) {
    servers::SettingsFileProblemAtStart = "it is empty";
    Servers();
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_EQ(dialogs_[0], "The settings file tarnwick.ini could not be used (it is empty); Tarnwick runs with "
                           "default settings, the servers on ports 25 and 110.");
    Servers().FormCreate();
    EXPECT_EQ(dialogs_.size(), 1u);
}

// NUL bytes spoil only their lines: the rest of the file is read, so the
// warning names the ports the servers take rather than the standard ones.
TEST_F(ServersTest, ASettingsFileWithNulBytesIsToldWhatIsRead) {
    const char ini[] = "[SMTP]\nLocalPort=2525\n[POP]\nLocalPort=0\n[General]\nLogSize=\0\0\0\n";
    WriteIni(std::string(ini, sizeof ini - 1));
    servers::SettingsFileProblemAtStart = platform::IniFile(ProgramDir + "tarnwick.ini").Problem();
    Servers();
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("NUL bytes"), std::string::npos) << dialogs_[0];
    EXPECT_NE(dialogs_[0].find("SMTP server uses port 2525, the POP server port 0"), std::string::npos) << dialogs_[0];
}

TEST_F(ServersTest, MissingUidlFileIsMadeWithoutAWord) {
    ASSERT_TRUE(Servers().TblUIDL.Active());
    EXPECT_TRUE(platform::FileExists(ProgramDir + "uidl.dat"));
    EXPECT_TRUE(dialogs_.empty());
}

TEST_F(ServersTest, PopPortInUseIsReportedAndTheRestRunsOn) {
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress("127.0.0.1"), 0));
    int port = blocker.serverPort();
    WriteIni("[POP]\nLocalPort=" + std::to_string(port) + "\n[General]\nLogging2=1\n");
    procs::LogServerActivity = true;
    EXPECT_FALSE(Servers().PopServer.Active());
    procs::LogServerActivity = false;
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_EQ(dialogs_[0], "There is already an application or service using port " + std::to_string(port) +
                               ", necessary for the POP server.\r\nIf you want to use Tarnwick as your POP "
                               "server then you will have to stop the other application and restart Tarnwick.");
    std::string log;
    ASSERT_TRUE(platform::ReadFile(ProgramDir + "popsvr.log", log));
    EXPECT_NE(log.find("port " + std::to_string(port)), std::string::npos);
    // The rest of the window works without the POP3 server.
    EXPECT_TRUE(Servers().CheckUserPassword("alice", "alicepw"));
}

TEST_F(ServersTest, AccountNamesGoOutForTheSendRecvMenu) {
    twtest::RecordedEvents shown;
    Servers();  // set-up sends them
    ASSERT_EQ(shown->accounts.size(), 1u);
    EXPECT_EQ(shown->accounts.back(), (std::vector<std::string>{"work", "home"}));
    Servers().TblPop.Last();
    Servers().BuildAccountMenu();
    EXPECT_EQ(shown->accounts.back(), (std::vector<std::string>{"work", "home"}));
    EXPECT_EQ(Servers().TblPop.FieldByName("Name").AsString(), "home") << "cursor left where it was";

    SaveAccounts({});
    Servers().FormCreate();
    EXPECT_TRUE(shown->accounts.back().empty());
}

TEST_F(ServersTest, NoticeFallbackUserIsTheFirstAccountsDefault) {
    Servers().TblPop.Last();
    EXPECT_EQ(Servers().NoticeFallbackUser(), "bob");  // the "work" account's
    EXPECT_EQ(Servers().TblPop.FieldByName("Name").AsString(), "home") << "cursor left where it was";
    SaveAccounts({});
    Servers().FormCreate();
    EXPECT_EQ(Servers().NoticeFallbackUser(), "alice");  // first user
    SaveUsers({});
    Servers().FormCreate();
    EXPECT_EQ(Servers().NoticeFallbackUser(), "");
}

class NoticeFlowTest : public ServersTest {
protected:
    void SetUp() override {
        ServersTest::SetUp();
        Servers();
        twtest::KeepSmtpOffTheWellKnownPort();
        smtp_ = std::make_unique<TFrmSMTP>();
    }
    void TearDown() override {
        smtp_.reset();
        ServersTest::TearDown();
    }
    std::string Queue(const std::string& id, const std::string& state, int goes) {
        std::string file = ProgramDir + "out/" + id + state;
        std::ofstream(file, std::ios::binary) << "From: x@far.example\r\nSubject: Plans\r\n\r\nbody\r\n.\r\n";
        smtp::WritePortsValue(id, std::string("Goes"), std::to_string(goes));
        smtp::WritePortsValue(id, std::string("rcpt"), "2");
        smtp::WritePortsValue(id, std::string("From"), "<x@far.example>");
        // As a run leaves it: the first recipient delivered, the second refused.
        smtp::WritePortsValue(id, std::string("Sent1"), "<some@far.example>");
        smtp::WritePortsValue(id, std::string("To2"), "<nobody@far.example>");
        smtp::WritePortsValue(id, std::string("Bad2"), "<nobody@far.example>");
        return file;
    }
    std::vector<std::string> Notices(const std::string& user) {
        return smtp::ListUserFiles(smtp::StoreFolder(smtp::FolderIn), user);
    }
    std::unique_ptr<TFrmSMTP> smtp_;
};

TEST_F(NoticeFlowTest, FailedMessagesAreRequeuedNoticedAndSuspended) {
    struct Case {
        int goes;
        int notices;
        const char* state;
        const char* goesAfter;
    } cases[] = {
        {1, 0, ".txt", "1"}, {9, 0, ".txt", "9"}, {10, 1, ".txt", "10"}, {19, 0, ".txt", "19"},
        {20, 1, ".tx_", "0"}, {30, 1, ".tx_", "0"},
    };
    int id = 0;
    for (const auto& c : cases) {
        std::string name = "q" + std::to_string(++id);
        size_t before = Notices("bob").size();
        smtp_->ProcessFailedMessage(Queue(name, ".bad", c.goes));
        EXPECT_EQ(access((ProgramDir + "out/" + name + c.state).c_str(), F_OK), 0) << c.goes;
        EXPECT_NE(access((ProgramDir + "out/" + name + ".bad").c_str(), F_OK), 0);
        EXPECT_EQ(smtp::ReadPortsValue(name, "Goes"), c.goesAfter);
        auto after = Notices("bob");
        ASSERT_EQ(after.size(), before + c.notices) << c.goes;
        if (c.notices) {
            std::string text;
            // The newest notice: the one not seen before.
            for (const auto& f : after) {
                std::string t;
                platform::ReadFile(smtp::StoreFolder("in") + f, t);
                if (t.find(std::to_string(c.goes) + " attempts:") != std::string::npos) text = t;
            }
            EXPECT_NE(text.find("Subject: ### Failed ### - Plans\r\n"), std::string::npos);
            EXPECT_NE(text.find("Failed recipients:\r\nnobody@far.example\r\n\r\n"), std::string::npos);
            EXPECT_EQ(text.find("suspended") != std::string::npos, c.goes >= 20);
        }
    }
}

TEST_F(NoticeFlowTest, NoUserNoNoticeButStillRequeued) {
    SaveAccounts({});
    SaveUsers({});
    Servers().FormCreate();
    smtp_->ProcessFailedMessage(Queue("q1", ".bad", 10));
    EXPECT_EQ(access((ProgramDir + "out/q1.txt").c_str(), F_OK), 0);
    EXPECT_TRUE(smtp::ListFiles(smtp::StoreFolder("in"), ".dat").empty());
}

// An outside sender cannot be given the mail back: nothing is rewritten or
// stored, and the caller is told so (the SMTP server then refuses the mail).
TEST_F(NoticeFlowTest, ReturnedMailFromAnOutsideSenderIsRefused) {
    std::string file = Queue("r1", ".txt", 0);
    std::string before;
    ASSERT_TRUE(platform::ReadFile(file, before));
    smtp::WritePortsValue("r1", std::string("To1"), "<far@away.example>");
    EXPECT_FALSE(smtp_->ReturnExternalMail(file, 1, "<x@far.example>"));
    std::string after;
    ASSERT_TRUE(platform::ReadFile(file, after));
    EXPECT_EQ(after, before);
    EXPECT_TRUE(smtp::ListFiles(smtp::StoreFolder("in"), ".dat").empty());
}

// A sender at a local domain: the notices go to that user's mailbox.
class LocalSenderTest : public NoticeFlowTest {
protected:
    void SetUp() override {
        NoticeFlowTest::SetUp();
        engine_ = std::make_unique<twtest::EngineState>();
        settings::DefineDomainTable(tables::Domains().Table());
        tables::Domains().Table().Append();
        tables::Domains().Table().FieldByName("Domain").SetAsString("office.lan");
        tables::Domains().Table().Post();
        std::vector<std::string> users;
        ASSERT_TRUE(smtp_->IsLocalAddress("<alice@office.lan>", users));
    }
    void TearDown() override {
        engine_.reset();
        NoticeFlowTest::TearDown();
    }
    std::unique_ptr<twtest::EngineState> engine_;
};

TEST_F(LocalSenderTest, FailureNoticeGoesToTheSender) {
    std::string file = Queue("q1", ".bad", 20);
    smtp::WritePortsValue("q1", std::string("From"), "<alice@office.lan>");
    smtp_->ProcessFailedMessage(file);
    EXPECT_EQ(Notices("alice").size(), 1u);
    EXPECT_TRUE(Notices("bob").empty());
    EXPECT_EQ(access((ProgramDir + "out/q1.tx_").c_str(), F_OK), 0);
}

TEST_F(LocalSenderTest, ReturnedMailMovesIntoTheSendersMailbox) {
    std::string file = Queue("r1", ".txt", 0);
    smtp::WritePortsValue("r1", std::string("To1"), "<far@away.example>");
    // The sender also got a copy as a local recipient: the notice must not
    // replace it.
    std::ofstream(ProgramDir + "in/alice_r1.dat", std::ios::binary) << "copy\r\n.\r\n";
    EXPECT_TRUE(smtp_->ReturnExternalMail(file, 1, "<alice@office.lan>"));
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    EXPECT_EQ(smtp::ReadPortsValue("r1", "rcpt"), "");
    auto files = Notices("alice");
    ASSERT_EQ(files.size(), 2u);
    std::string copy, notice;
    platform::ReadFile(ProgramDir + "in/alice_r1.dat", copy);
    EXPECT_EQ(copy, "copy\r\n.\r\n");
    platform::ReadFile(ProgramDir + "in/" + files[1], notice);
    EXPECT_EQ(files[1], "alice_r11.dat");
    EXPECT_NE(notice.find("Subject: ### Returned ### - Plans\r\n"), std::string::npos);
}

}  // namespace

namespace {

class AdmissionTest : public TempHome {};

TEST_F(AdmissionTest, WithoutAFilterOnlyLocalNetworksAreServedAndRefusalsLogged) {
    struct Case {
        const char* ini;
        const char* address;
        bool admitted;
    } cases[] = {
        {"", "127.0.0.1", true},
        {"", "192.168.4.9", true},
        {"", "fe80::2", true},
        {"", "203.0.113.7", false},
        {"", "2001:db8::7", false},
        {"[SMTP]\nIPFilter=1\nIPFilterAddress=203.0.113.\n", "203.0.113.7", true},
        {"[SMTP]\nIPFilter=1\nIPFilterAddress=203.0.113.\n", "192.168.4.9", false},
        {"[SMTP]\nIPFilter=1\nIPFilterAddress=203.0.113.\n", "127.0.0.1", true},
        {"[SMTP]\nIPFilter=0\nIPFilterAddress=203.0.113.\n", "203.0.113.7", false},
    };
    procs::LogServerActivity = true;
    for (const auto& c : cases) {
        std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary) << c.ini;
        EXPECT_EQ(servers::ConnectionAdmitted(c.address, "popsvr.log"), c.admitted) << c.ini << c.address;
    }
    std::string log;
    platform::ReadFile(ProgramDir + "popsvr.log", log);
    procs::LogServerActivity = false;
    EXPECT_NE(log.find("Connection from 203.0.113.7 refused by the address filter"), std::string::npos) << log;
}

}  // namespace
