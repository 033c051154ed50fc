// The collector against a scripted provider (python3 on 127.0.0.1) that
// splits its replies, refuses RETR, UIDL or DELE, goes silent, closes in
// the middle of a message, holds an empty message, trickles or never ends a
// reply, or adds a line to one. Every case must end in
// the next account and a finished collection, with nothing lost and
// nothing delivered twice.
#include "transport_test_util.h"

#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

namespace {

using twtest::PeerProcess;
using twtest::WindowsHome;

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += std::string("\\") + c;
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else out += c;
    }
    return out + "\"";
}

struct Message {
    std::string uid, text;
};

// The provider's transfer form of a message, which is also how the mailbox
// keeps it.
std::string Stuffed(const std::string& text) {
    if (text.empty()) return ".\r\n";
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end - start);
        out += (line.rfind(".", 0) == 0 ? "." : "") + line + "\r\n";
        start = end + 2;
    }
    return out + ".\r\n";
}

Message Mail(const std::string& uid, const std::string& body = "body text") {
    return {uid, "From: sender@far.example\r\nTo: someone@far.example\r\nSubject: " + uid +
                     "\r\nMessage-ID: <" + uid + "@far.example>\r\n\r\n" + body + "\r\n"};
}

class CollectorFake : public WindowsHome {
protected:
    // Starts the provider with two mailboxes: "w1" (account "work", default
    // user alice) and "h1" (account "home", default user bob).
    void Provider(const std::vector<Message>& work, const std::string& workQuirks,
                  const std::vector<Message>& home = {Mail("h-1")}) {
        Serve(work, workQuirks, home);
        twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", "0", "0", "alice"},
                             {"home", "127.0.0.1", "h1", "hpw", "1", "0", "0", "bob"}});
        CreateWindows();
    }
    // (Re)starts the provider over these mailboxes and points both accounts
    // at it.
    void Serve(const std::vector<Message>& work, const std::string& workQuirks, const std::vector<Message>& home) {
        auto box = [](const std::string& password, const std::vector<Message>& msgs, const std::string& quirks) {
            std::string s = "{\"password\":" + Json(password) + ",\"quirks\":{" + quirks + "},\"messages\":[";
            for (size_t i = 0; i < msgs.size(); ++i)
                s += (i ? "," : "") + std::string("[") + Json(msgs[i].uid) + "," + Json(msgs[i].text) + "]";
            return s + "]}";
        };
        provider_ = std::make_unique<PeerProcess>();
        const int port = StartPeer(*provider_, "{\"users\":{\"w1\":" + box("wpw", work, workQuirks) +
                                                   ",\"h1\":" + box("hpw", home, "") + "}}", "state.json");
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        ini.WriteString("POP", "work_port", std::to_string(port));
        ini.WriteString("POP", "home_port", std::to_string(port));
        ini.WriteString("POP", "Timeout", "1");
    }
    // Starts a scripted provider over scenario; its port, 0 when it did not start.
    int StartPeer(PeerProcess& peer, const std::string& scenario, const std::string& state) {
        twtest::WriteBytes(ProgramDir + state + ".scenario", scenario);
        EXPECT_TRUE(peer.Start("/usr/bin/python3", {twtest::PeersDir() + "peers_pop_fake_provider.py",
                                                    ProgramDir + state + ".scenario", ProgramDir + state}));
        if (!peer.WaitFor("PORT ")) {
            ADD_FAILURE() << peer.Errors();
            return 0;
        }
        const std::string out = peer.Output();
        return std::stoi(out.substr(out.find("PORT ") + 5));
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
    // The mailbox's messages, by content.
    std::multiset<std::string> Mailbox(const std::string& user) {
        std::multiset<std::string> out;
        std::string folder = smtp::StoreFolder("in");
        for (const auto& f : smtp::ListUserFiles(folder, user)) out.insert(twtest::ReadBytes(folder + f));
        return out;
    }
    std::multiset<std::string> Texts(const std::vector<Message>& msgs) {
        std::multiset<std::string> out;
        for (const auto& m : msgs) out.insert(Stuffed(m.text));
        return out;
    }
    QJsonObject State() {
        return QJsonDocument::fromJson(QByteArray::fromStdString(twtest::ReadBytes(ProgramDir + "state.json")))
            .object();
    }
    std::vector<std::string> Left(const std::string& login) {
        std::vector<std::string> out;
        for (const auto& v : State()["mailboxes"].toObject()[QString::fromStdString(login)].toArray())
            out.push_back(v.toString().toStdString());
        return out;
    }
    int TimesRetrieved(const std::string& uid) {
        int n = 0;
        for (const auto& v : State()["retrieved"].toArray())
            if (v.toArray()[1].toString().toStdString() == uid) ++n;
        return n;
    }
    // The commands the provider got for login, in order.
    std::vector<std::string> Commands(const std::string& login) {
        std::vector<std::string> out;
        for (const auto& v : State()["commands"].toArray())
            if (v.toArray()[0].toString().toStdString() == login) out.push_back(v.toArray()[1].toString().toStdString());
        return out;
    }
    int Count(const std::vector<std::string>& commands, const std::string& prefix) {
        return static_cast<int>(std::count_if(commands.begin(), commands.end(),
                                              [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    }
    void ExpectHomeDone() {
        EXPECT_EQ(Mailbox("bob"), Texts({Mail("h-1")})) << Log();
        EXPECT_TRUE(Left("h1").empty());
        EXPECT_NE(Log().find("POP collection complete"), std::string::npos) << LogAndHome();
        EXPECT_FALSE(platform::FileExists(ProgramDir + "mess.txt"));
    }

    // A new engine over the same home, as after a restart.
    void Restart() {
        servers_.reset();
        FrmServers = nullptr;
        smtp_.reset();
        FrmSMTP = nullptr;
        CreateWindows();
    }

    void TearDown() override {
        provider_.reset();
        WindowsHome::TearDown();
    }

    std::unique_ptr<PeerProcess> provider_;
};

const std::vector<Message> kThree = {Mail("w-1"), Mail("w-2", "+OK looks like a reply\r\n.leading dot"),
                                     Mail("w-3", "..two dots\r\n.\r\nend")};

TEST_F(CollectorFake, ReadsRepliesAsLinesWhateverThePackets) {
    Provider(kThree, "\"split\":true");
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(kThree)) << Log();
    EXPECT_TRUE(Left("w1").empty());
    ExpectHomeDone();
    EXPECT_FALSE(Shown().Label(events::Label::LastCollection).red);
}

TEST_F(CollectorFake, RefusedOrFailedStepsMoveOnAndLoseNothing) {
    struct Case {
        const char* name;
        const char* quirks;
        std::vector<std::string> delivered;  // after the first cycle
        std::vector<std::string> left;       // on the provider after it
        bool failed;                         // LBLPOPLast red
    } cases[] = {
        {"RETR refused", "\"retr_err\":[2]", {"w-1", "w-3"}, {"w-2"}, false},
        {"UIDL refused", "\"no_uidl\":true", {"w-1", "w-2", "w-3"}, {}, false},
        {"silent after RETR", "\"silent_after\":\"RETR\"", {}, {"w-1", "w-2", "w-3"}, true},
        {"silent after login", "\"silent_after\":\"PASS\"", {}, {"w-1", "w-2", "w-3"}, true},
        {"closed in RETR 2", "\"close_in_retr\":2", {"w-1"}, {"w-1", "w-2", "w-3"}, true},
        {"DELE refused", "\"dele_err\":[1]", {"w-1", "w-2", "w-3"}, {"w-1"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Provider(kThree, std::string(c.quirks) + ",\"first_session_only\":true");
        Cycle();
        std::vector<Message> expected;
        for (const auto& m : kThree)
            for (const auto& uid : c.delivered)
                if (m.uid == uid) expected.push_back(m);
        EXPECT_EQ(Mailbox("alice"), Texts(expected)) << Log();
        EXPECT_EQ(Left("w1"), c.left);
        EXPECT_EQ(Shown().Label(events::Label::LastCollection).red, c.failed);
        ExpectHomeDone();

        // The next cycle, without the fault, completes the account: every
        // message once, none fetched again once stored.
        Cycle();
        EXPECT_EQ(Mailbox("alice"), Texts(kThree)) << Log();
        EXPECT_TRUE(Left("w1").empty());
        for (const auto& uid : c.delivered) EXPECT_EQ(TimesRetrieved(uid), 1) << uid;
        EXPECT_EQ(Mailbox("bob"), Texts({Mail("h-1")}));
    }
}

TEST_F(CollectorFake, EmptyMessage) {
    Provider({{"e-1", ""}, Mail("w-2")}, "");
    Cycle();
    std::multiset<std::string> expected{std::string("\r\n\r\n.\r\n"), Stuffed(Mail("w-2").text)};
    EXPECT_EQ(Mailbox("alice"), expected) << Log();
    EXPECT_TRUE(Left("w1").empty());
    ExpectHomeDone();
}

TEST_F(CollectorFake, RefusedLoginEndsTheAccountOnly) {
    Provider(kThree, "");
    twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wrong", "1", "0", "0", "alice"},
                         {"home", "127.0.0.1", "h1", "hpw", "1", "0", "0", "bob"}});
    servers_->FormCreate();
    Cycle();
    EXPECT_TRUE(Mailbox("alice").empty());
    EXPECT_EQ(Left("w1").size(), 3u);
    EXPECT_NE(Log().find(" Invalid login/password or mailbox busy"), std::string::npos) << LogAndHome();
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
}

TEST_F(CollectorFake, AMessageThatCannotBeStoredStaysOnTheServer) {
    Provider(kThree, "");
    // No local recipient and no default user: nowhere to put it.
    twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", "0", "0", ""},
                         {"home", "127.0.0.1", "h1", "hpw", "1", "0", "0", "bob"}});
    servers_->FormCreate();
    Cycle();
    EXPECT_EQ(Left("w1").size(), 3u) << Log();
    EXPECT_NE(Log().find(" >> message 1 not stored: "), std::string::npos) << LogAndHome();
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    EXPECT_FALSE(servers_->HasDownloaded("work"));
    ExpectHomeDone();
}

TEST_F(CollectorFake, AnUnreachableProviderGivesWayToTheNextAccount) {
    Provider(kThree, "");
    int dead;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress("127.0.0.1"), 0));
        dead = probe.serverPort();
    }
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("POP", "work_port", std::to_string(dead));
    Cycle();
    EXPECT_NE(Log().find("work: couldn't connect."), std::string::npos) << Log();
    // The classic number, and what it means in words.
    EXPECT_NE(Log().find("Pop collection failed with error number 10061: Connection refused"), std::string::npos)
        << Log();
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    EXPECT_EQ(Left("w1").size(), 3u);
    ExpectHomeDone();
}

TEST_F(CollectorFake, SingleAccountAndExcludedAccounts) {
    Provider(kThree, "");
    twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "0", "0", "0", "alice"},
                         {"home", "127.0.0.1", "h1", "hpw", "1", "0", "0", "bob"}});
    servers_->FormCreate();
    Cycle();  // work is not included
    EXPECT_TRUE(Mailbox("alice").empty());
    ExpectHomeDone();
    ::SendOnly = false;
    SingleAccountName = "work";  // chosen alone from the drop-down
    servers_->StartPopCollection();
    ASSERT_TRUE(twtest::Until([&] { return !servers_->Collecting(); }, 30000));
    SingleAccountName.clear();
    EXPECT_EQ(Mailbox("alice"), Texts(kThree));
}

// Collection on a failing disk: each write, sync, rename, link and folder
// sync of fetching and distributing fails in turn. A message the provider
// was told to delete is in the mailbox whole; one that is not stays on the
// provider and the next cycle, on a sound disk, brings it.
TEST_F(CollectorFake, DiskFaultsNeverDeleteWhatIsNotStored) {
    using Op = platform::FaultInjectionEnv::Op;
    int hits = 0;
    // A cycle takes seconds: the first and the third call of each kind
    // stand for the rest (the first message's and a later one's).
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Link, Op::SyncFolder}) {
        for (int nth : {1, 3}) {
            const std::string when = "call " + std::to_string(static_cast<int>(op)) + " #" + std::to_string(nth);
            SCOPED_TRACE(when);
            TearDown();
            SetUp();
            Provider(kThree, "");
            platform::FaultInjectionEnv env;
            platform::ScopedEnv scoped(&env);
            env.FailAt(op, nth, nth % 2 ? ENOSPC : EIO);
            Cycle();
            env.Clear();
            bool hit = false;
            for (const auto& e : env.Journal()) hit = hit || e.rfind("failed ", 0) == 0;

            const std::vector<std::string> left = Left("w1");
            const std::multiset<std::string> stored = Mailbox("alice");
            for (const auto& m : kThree) {
                const bool deleted = std::find(left.begin(), left.end(), m.uid) == left.end();
                if (deleted) {
                    EXPECT_EQ(stored.count(Stuffed(m.text)), 1u) << m.uid << " deleted, not stored\n" << Log();
                }
            }
            for (const auto& f : platform::ListFiles(smtp::StoreFolder("in"), "*"))
                EXPECT_TRUE(f.size() > 4 && f.substr(f.size() - 4) == ".dat") << "a stray file in in/: " << f;

            Cycle();
            EXPECT_TRUE(Left("w1").empty()) << Log();
            const std::multiset<std::string> after = Mailbox("alice");
            for (const auto& m : kThree) EXPECT_GE(after.count(Stuffed(m.text)), 1u) << m.uid << "\n" << Log();
            EXPECT_EQ(after.size(), 3u) << "each message once";
            ExpectHomeDone();
            if (hit) ++hits;
        }
    }
    EXPECT_EQ(hits, 12);
}

// Unique ids that several messages share identify none of them: with
// Leave off each message stored is deleted by its number in that session,
// with Leave on its size and header tell it apart. Either way each is
// delivered once, across cycles and a restart.
TEST_F(CollectorFake, SharedUniqueIdsDeliverEachMessageOnce) {
    const std::vector<Message> box = {
        Mail("same", "first"), Mail("w-2"), {"same", "From: sender@far.example\r\nSubject: no id\r\n\r\nsecond\r\n"}};
    for (const char* leave : {"0", "1"}) {
        SCOPED_TRACE(std::string("leave ") + leave);
        TearDown();
        SetUp();
        Provider(box, "");
        twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", leave, "0", "alice"},
                             {"home", "127.0.0.1", "h1", "hpw", "1", "0", "0", "bob"}});
        servers_->FormCreate();
        Cycle();
        Cycle();
        Restart();
        Cycle();
        EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
        EXPECT_EQ(Left("w1").size(), *leave == '1' ? 3u : 0u) << Log();
    }
}

// A shared id that one message keeps alone later (Leave on): the message
// was delivered under the shared id, and is not delivered again under its
// own; once it is known by it, it is not even fetched again.
TEST_F(CollectorFake, ASharedIdThatBecomesUniqueBringsNoMessageTwice) {
    const std::vector<Message> box = {
        Mail("same", "first"), Mail("w-2"), {"same", "From: sender@far.example\r\nSubject: no id\r\n\r\nsecond\r\n"}};
    Provider(box, "");
    twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", "1", "0", "alice"}});
    servers_->FormCreate();
    Cycle();
    Cycle();
    ASSERT_EQ(Mailbox("alice"), Texts(box)) << Log();
    Serve({box[0], box[1]}, "", {});
    Restart();
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
    EXPECT_EQ(TimesRetrieved("same"), 1);
    EXPECT_EQ(Left("w1").size(), 2u);
}

// A provider that does not dot-stuff: a lone "." in message 1 looks like
// its end and the rest like replies. The session is dropped without DELE
// or QUIT, and nothing of the message is kept or recorded.
TEST_F(CollectorFake, AProviderOutOfStepLosesNothing) {
    Provider({Mail("w-1", "before\r\n.\r\n+OK"), Mail("w-2")}, "\"unstuffed\":true");
    Cycle();
    const auto commands = Commands("w1");
    EXPECT_EQ(Count(commands, "DELE"), 0) << Log();
    EXPECT_EQ(Count(commands, "QUIT"), 0);
    EXPECT_EQ(Left("w1").size(), 2u);
    EXPECT_TRUE(Mailbox("alice").empty());
    EXPECT_FALSE(servers_->HasDownloaded("work"));
    EXPECT_NE(Log().find("work: out of step with the server."), std::string::npos) << Log();
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
}

// A provider that sends a second line to a one-line reply, at once or
// when the next command has gone, is out of step: the session is dropped
// without QUIT, nothing of a message that began with the stray line is
// kept, and only messages stored whole were marked for deleting. The next
// cycle brings each message once.
TEST_F(CollectorFake, ASecondLineToAOneLineReplyDropsTheSession) {
    struct Case {
        const char* name;
        const char* quirks;
        std::vector<Message> stored;  // after the first cycle
    } cases[] = {
        {"after DELE, in the same write", "\"extra_after\":\"DELE\"", {kThree[0]}},
        {"after DELE, once RETR has gone", "\"extra_after\":\"DELE\",\"extra_delay\":0.3", {kThree[0]}},
        {"after USER", "\"extra_after\":\"USER\"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Provider(kThree, std::string(c.quirks) + ",\"first_session_only\":true");
        Cycle();
        const auto commands = Commands("w1");
        EXPECT_EQ(Count(commands, "QUIT"), 0) << Log();
        EXPECT_EQ(Count(commands, "DELE"), static_cast<int>(c.stored.size()));
        EXPECT_EQ(Mailbox("alice"), Texts(c.stored)) << Log();
        EXPECT_EQ(Left("w1").size(), 3u);
        EXPECT_NE(Log().find("work: out of step with the server."), std::string::npos) << Log();
        EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
        ExpectHomeDone();

        Cycle();
        EXPECT_EQ(Mailbox("alice"), Texts(kThree)) << Log();
        EXPECT_TRUE(Left("w1").empty());
        EXPECT_EQ(TimesRetrieved("w-1"), 1);
    }
}

// A message that truly begins with "+OK " is collected, and the messages
// after it; behind a late reply to DELE the same kind of line is RETR's own,
// and nothing of the message is stored (the session is dropped).
TEST_F(CollectorFake, AMessageThatBeginsAsAReplyIsCollected) {
    const Message odd = {"w-odd", "+OK this message truly begins like a reply\r\nFrom: sender@far.example\r\n"
                                  "Subject: odd\r\nMessage-ID: <w-odd@far.example>\r\n\r\n.dot\r\nbody\r\n"};
    const std::vector<Message> box = {Mail("w-1"), odd, Mail("w-3")};
    struct Case {
        const char* name;
        const char* quirks;
        std::vector<Message> stored;  // after the first cycle
    } cases[] = {
        {"in small packets", "\"split\":true", box},
        {"behind a late reply to DELE", "\"extra_after\":\"DELE\",\"extra_delay\":0.3", {box[0]}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Provider(box, std::string(c.quirks) + ",\"first_session_only\":true");
        Cycle();
        EXPECT_EQ(Mailbox("alice"), Texts(c.stored)) << Log();
        EXPECT_EQ(Count(Commands("w1"), "DELE"), static_cast<int>(c.stored.size())) << Log();
        ExpectHomeDone();
        Cycle();
        EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
        EXPECT_TRUE(Left("w1").empty());
    }
}

// A line that comes late after PASS is no STAT reply saying "no messages":
// the session is dropped and the records of the messages kept on the server
// stay, so after a restart (the Message-IDs seen are forgotten) none comes
// twice.
TEST_F(CollectorFake, ALateLineAfterPassKeepsTheRecords) {
    std::vector<Message> box;
    for (int i = 1; i <= 5; ++i) box.push_back(Mail("w-" + std::to_string(i)));
    Provider(box, "");
    twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", "1", "0", "alice"}});
    servers_->FormCreate();
    Cycle();
    ASSERT_EQ(Mailbox("alice"), Texts(box)) << Log();
    const std::string records = twtest::ReadBytes(ProgramDir + "uidl.dat");
    Serve(box, "\"extra_after\":\"PASS\",\"extra_delay\":0.3,\"first_session_only\":true", {});
    Cycle();
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "uidl.dat"), records) << Log();
    EXPECT_NE(Log().find("work: out of step with the server."), std::string::npos) << Log();
    Restart();
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
    EXPECT_EQ(Count(Commands("w1"), "RETR"), 0);
    EXPECT_EQ(Left("w1").size(), 5u);
}

// A STAT count far above what the listings name: only the messages listed
// are asked for, then the session ends.
TEST_F(CollectorFake, OnlyTheMessagesListedAreRetrieved) {
    std::vector<Message> box;
    for (int i = 1; i <= 5; ++i) box.push_back(Mail("w-" + std::to_string(i)));
    Provider(box, "\"stat_count\":2000000");
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log().substr(0, 4000);
    const auto commands = Commands("w1");
    EXPECT_EQ(Count(commands, "RETR"), 5);
    EXPECT_EQ(Count(commands, "QUIT"), 1);
    EXPECT_TRUE(Left("w1").empty());
    ExpectHomeDone();
}

// A listing that keeps coming is let finish however long it takes (many
// messages on a slow line); one that never ends stops at its deadline,
// which grows with what the listing may hold. Nothing is deleted then.
TEST_F(CollectorFake, ASlowListingIsLetFinishAndAnEndlessOneEndsAtItsDeadline) {
    std::vector<Message> box;
    for (int i = 1; i <= 12; ++i) box.push_back(Mail("w-" + std::to_string(i)));
    Provider(box, "\"slow_listing\":0.3");
    // Each listing takes 3.6 s.
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("POP", "Timeout", "2");
    servers_->FormCreate();
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts(box)) << Log();
    EXPECT_TRUE(Left("w1").empty());
    EXPECT_FALSE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();

    TearDown();
    SetUp();
    Provider(kThree, "\"trickle_uidl\":0.5");
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("POP", "Timeout", "3");
    servers_->FormCreate();
    // 2 s and a second for 2 KB of the 19 lines a listing of 3 may hold:
    // long before those lines have come.
    servers_->MessageDeadlineBaseMs = 2000;
    Cycle();
    EXPECT_NE(Log().find("work: the list of messages took too long to arrive."), std::string::npos) << Log();
    const auto commands = Commands("w1");
    EXPECT_EQ(Count(commands, "QUIT"), 0);
    EXPECT_EQ(Count(commands, "DELE"), 0);
    EXPECT_EQ(Left("w1").size(), 3u);
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
}

// A reply that never ends (a greeting trickled a byte at a time, a UIDL
// listing that goes on past its STAT count, also a huge one) ends the
// account within the timeout from when the reply became due or at the
// listing's bound, with the session's log kept to its share; a count too
// large to list ends it at once. Nothing is deleted, and the next account is collected in the same
// run.
TEST_F(CollectorFake, AReplyThatNeverEndsEndsTheAccountInTime) {
    struct Case {
        const char* name;
        const char* quirks;
        bool trickledGreeting;
        const char* outcome;
        double seconds;  // the run takes less
    } cases[] = {
        // A timeout of 1 s, the greeting's on two connections, and the
        // pause between accounts.
        {"trickled greeting", "", true, "work: couldn't connect.", 15},
        {"endless UIDL", "\"endless_uidl\":true", false, "(a UIDL longer than its STAT count)", 15},
        // Two million lines take seconds to read, many on a busy machine.
        {"endless UIDL of the largest count taken", "\"endless_uidl\":true,\"stat_count\":2000000", false,
         "(a UIDL longer than its STAT count)", 240},
        {"a count past the largest taken", "\"stat_count\":2000001", false, "work: too many messages on the server.",
         15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Provider(kThree, c.quirks);
        PeerProcess trickler;
        if (c.trickledGreeting)
            platform::IniFile(ProgramDir + "tarnwick.ini")
                .WriteString("POP", "work_port",
                             std::to_string(StartPeer(trickler, "{\"trickle_greeting\":true,\"users\":{}}",
                                                      "trickler.json")));
        const auto start = std::chrono::steady_clock::now();
        ::SendOnly = false;
        servers_->StartPopCollection();
        ASSERT_TRUE(twtest::Until([&] { return !servers_->Collecting(); }, 300000)) << Log().substr(0, 4000);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, c.seconds);
        const std::string log = Log();
        EXPECT_NE(log.find(c.outcome), std::string::npos) << log.substr(0, 4000);
        EXPECT_LT(log.size(), 200u * 1000) << log.substr(0, 4000);
        const auto commands = Commands("w1");
        EXPECT_EQ(Count(commands, "QUIT"), 0);
        EXPECT_EQ(Count(commands, "DELE"), 0);
        EXPECT_EQ(Left("w1").size(), 3u);
        EXPECT_TRUE(Mailbox("alice").empty());
        EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
        ExpectHomeDone();
    }
}

// A message trickled line by line and never ended holds the cycle only
// until its deadline; the next account and the queued mail follow.
TEST_F(CollectorFake, ATrickledMessageEndsAtItsDeadlineAndQueuedMailGoes) {
    PeerProcess smarthost;
    const std::string spool = home_ + "/smarthost";
    std::filesystem::create_directories(spool);
    ASSERT_TRUE(smarthost.Start("/usr/bin/python3", {twtest::PeersDir() + "peers_smtp_smarthost.py", spool, "relay",
                                                     "relaypw", "LOGIN,PLAIN"}));
    ASSERT_TRUE(smarthost.WaitFor("PORT ")) << smarthost.Errors();
    const std::string out = smarthost.Output();
    {
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        for (const auto& [key, value] : std::map<std::string, std::string>{
                 {"Host", "127.0.0.1"}, {"Port", std::to_string(std::stoi(out.substr(out.find("PORT ") + 5)))},
                 {"Standard", "0"}, {"Auth", "1"}, {"Login", "relay"}, {"Pass", "relaypw"}})
            ini.WriteString("SMTP", key, value);
    }
    twtest::WriteBytes(smtp::StoreFolder(smtp::FolderOut) + "q1.txt", "Subject: queued\r\n\r\nqueued\r\n.\r\n");
    smtp::WritePortsValues("q1", {{"rcpt", "1"}, {"To1", "<far@far.example>"}, {"From", "<alice@office.example>"}});
    Provider(kThree, "\"trickle_retr\":2");
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("POP", "Timeout", "60");
    servers_->FormCreate();
    servers_->MessageDeadlineBaseMs = 3000;
    Cycle();
    ASSERT_TRUE(twtest::Until([&] { return std::filesystem::exists(spool + "/0001.json"); }, 30000)) << Log();
    EXPECT_NE(Log().find("work: message 2 took too long to arrive."), std::string::npos) << Log();
    EXPECT_EQ(Count(Commands("w1"), "QUIT"), 0);
    EXPECT_EQ(Left("w1").size(), 3u);
    EXPECT_EQ(Mailbox("alice"), Texts({kThree[0]}));
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
}

// A message listed over the size limit stays on the server, noted once;
// the messages after it are collected, cycle after cycle.
TEST_F(CollectorFake, AMessageListedOverTheLimitIsLeftAndTheNextDelivered) {
    const std::vector<Message> box = {Mail("w-1"), Mail("w-2", std::string(5000, 'x')), Mail("w-3")};
    Provider(box, "");
    smtp_->MaxMessageBytes = 4000;
    Cycle();
    Cycle();
    EXPECT_EQ(Mailbox("alice"), Texts({box[0], box[2]})) << Log();
    EXPECT_EQ(Left("w1"), std::vector<std::string>{"w-2"});
    EXPECT_EQ(Count(Commands("w1"), "RETR 2"), 0);
    const std::string note =
        "work: message 2 too large (" + std::to_string(box[1].text.size()) + " bytes), left on the server";
    const std::string log = Log();
    EXPECT_NE(log.find(note), std::string::npos) << log;
    EXPECT_EQ(log.find(note), log.rfind(note));
    EXPECT_EQ(std::count(Shown().statuses.begin(), Shown().statuses.end(), note), 1);
    EXPECT_FALSE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
}

// A message that never ends is cut at the SMTP server's size limit: the
// partial file goes, the connection is dropped so that nothing can be
// deleted, and the next account goes on.
TEST_F(CollectorFake, AnEndlessMessageStopsAtTheSizeLimit) {
    Provider(kThree, "\"endless_retr\":2");
    smtp_->MaxMessageBytes = 2 * 1000 * 1000;
    Cycle();
    const auto commands = Commands("w1");
    EXPECT_EQ(Count(commands, "DELE 2"), 0) << Log();
    EXPECT_EQ(Count(commands, "RETR 3"), 0);
    EXPECT_EQ(Count(commands, "QUIT"), 0);
    EXPECT_EQ(Left("w1").size(), 3u);
    EXPECT_EQ(Mailbox("alice"), Texts({kThree[0]}));
    EXPECT_NE(Log().find(" >> message 2 is over 2000000 bytes"), std::string::npos) << Log();
    EXPECT_TRUE(Shown().Label(events::Label::LastCollection).red);
    ExpectHomeDone();
    for (const auto& f : platform::ListFiles(ProgramDir, "*")) {
        std::int64_t size = 0;
        ASSERT_TRUE(platform::FileSize(ProgramDir + f, size));
        EXPECT_LT(size, 1000 * 1000) << f;
    }
}

// Only a header whose name is an envelope header names the envelope; the
// same words inside another header, or on a line folded into it, do not.
TEST_F(CollectorFake, EnvelopeHeadersCountOnlyByTheirName) {
    struct Case {
        const char* uid;
        const char* header;
        const char* user;  // who gets it; alice is the account's default user
    } cases[] = {
        {"inside-subject", "Subject: hi Envelope-To: carol@office.example\r\n", "alice"},
        {"folded-into-subject", "Subject: hi\r\n Envelope-To: carol@office.example\r\n", "alice"},
        {"inside-other", "X-Note: delivered-to: carol@office.example\r\n", "alice"},
        {"own-line", "Subject: hi\r\nEnvelope-To: carol@office.example\r\n", "carol"},
        {"value-folded", "Delivered-To:\r\n\tcarol@office.example\r\n", "carol"},
        {"blank-before-colon", "ENVELOPE-TO : carol@office.example\r\n", "carol"},
    };
    twtest::SaveLinkFile({{"carol@office.example", "carol"}});
    std::vector<Message> box;
    for (const auto& c : cases)
        box.push_back({c.uid, std::string("From: sender@far.example\r\nTo: someone@far.example\r\n") + c.header +
                                  "Message-ID: <" + c.uid + "@far.example>\r\n\r\nbody\r\n"});
    Provider(box, "");
    Cycle();
    for (size_t i = 0; i < box.size(); ++i) {
        const std::string other = std::string(cases[i].user) == "alice" ? "carol" : "alice";
        EXPECT_EQ(Mailbox(cases[i].user).count(Stuffed(box[i].text)), 1u) << cases[i].uid << "\n" << Log();
        EXPECT_EQ(Mailbox(other).count(Stuffed(box[i].text)), 0u) << cases[i].uid;
    }
    ExpectHomeDone();
}

// Both servers keep greeting while messages whose To: line holds 10 MB of
// addresses are fetched and distributed, each to two users; only the first
// thousand addresses of such a message are looked up. Work that grew with
// the line would hold the event loop for many seconds; an honest greeting
// on a busy machine may take a few hundred milliseconds, so the bound is
// seconds (the times are printed; speed is the benchmarks' to judge).
TEST_F(CollectorFake, GreetingsStayPromptWhileAHugeToLineIsDistributed) {
    std::string to = "To: sales@office.example";
    for (int i = 0; to.size() < 10 * 1000 * 1000; ++i) to += ", user" + std::to_string(i) + "@far.example";
    std::vector<Message> box;
    for (int m = 1; m <= 3; ++m) {
        const std::string uid = "big-" + std::to_string(m);
        box.push_back({uid, "From: sender@far.example\r\n" + to + "\r\nSubject: " + uid + "\r\nMessage-ID: <" + uid +
                                "@far.example>\r\n\r\nbody\r\n"});
    }
    // The thousandth address is looked up, the next one is not.
    twtest::SaveLinkFile({{"sales@office.example", "alice"},
                          {"user998@far.example", "carol"},
                          {"user999@far.example", "dave"}});
    Provider(box, "");
    ASSERT_TRUE(smtp_->SMTPServer.Active());
    ASSERT_TRUE(servers_->PopServer.Active());

    PeerProcess probe;
    ASSERT_TRUE(probe.Start("/usr/bin/python3", {twtest::PeersDir() + "peers_greeting_probe.py",
                                                 std::to_string(smtp_->SMTPServer.Port()),
                                                 std::to_string(servers_->PopServer.Port())}));
    ASSERT_TRUE(probe.WaitFor("READY")) << probe.Errors();

    // When each message began to arrive and when its distribution ended, on
    // the clock the probe uses, stamped as the collector logs them.
    struct Stamping : twtest::RecordingEvents {
        std::vector<std::pair<double, double>> windows;
        void LogLine(const std::string& fileName, const std::string& line) override {
            const double now =
                std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
            if (line.rfind(" receiving message...", 0) == 0) windows.emplace_back(now, 0.0);
            else if ((line.rfind(" >> mark ", 0) == 0 || line.rfind(" >> don't mark ", 0) == 0) && !windows.empty() &&
                     windows.back().second == 0.0)
                windows.back().second = now;
            RecordingEvents::LogLine(fileName, line);
        }
    } stamping;
    events::Set(&stamping);
    const auto& windows = stamping.windows;
    ::SendOnly = false;
    servers_->StartPopCollection();
    const bool ended = twtest::Until([&] { return !servers_->Collecting(); }, 180000);
    events::Unset(&stamping);
    ASSERT_TRUE(ended) << Log().substr(0, 4000);
    twtest::Pump(100);
    const std::string out = probe.Output();
    probe.Stop();

    ASSERT_GE(windows.size(), 3u);  // and the other account's message
    std::map<std::string, double> worst;
    std::map<std::string, int> tries, during;
    std::string slow;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind, server;
        double start = 0, end = 0;
        in >> kind >> server;
        ASSERT_NE(kind, "F") << line;
        if (kind != "P") continue;
        in >> start >> end;
        ++tries[server];
        for (const auto& [from, to] : windows) {
            if (start >= to || end <= from) continue;
            ++during[server];
            worst[server] = std::max(worst[server], end - start);
            if (end - start > 0.03) slow += line + "\n";
            break;
        }
    }
    double busy = 0;
    for (const auto& [from, to] : windows) busy += to - from;
    for (const char* server : {"smtp", "pop3"}) {
        SCOPED_TRACE(server);
        // The tries must really fall into the distributions.
        EXPECT_GE(during[server], 3) << "distribution took " << busy << " s in all, tries " << tries[server];
        EXPECT_LT(worst[server], 2.0) << "worst greeting of " << during[server] << " tries; slow ones:\n" << slow;
    }
    std::cout << "fetching and distribution " << busy << " s; worst greeting meanwhile: smtp " << worst["smtp"] * 1000
              << " ms of " << during["smtp"] << " tries, pop3 " << worst["pop3"] * 1000 << " ms of "
              << during["pop3"] << " tries\n";

    // The mailboxes are compared by count: a failure must not print 30 MB.
    for (const char* user : {"alice", "carol"}) {
        const auto got = Mailbox(user);
        for (const auto& m : box) EXPECT_EQ(got.count(Stuffed(m.text)), 1u) << user << " " << m.uid;
    }
    EXPECT_TRUE(Mailbox("dave").empty()) << "an address past the first thousand was looked up";
    EXPECT_TRUE(Left("w1").empty());
    const std::string log = Log();
    EXPECT_LT(log.size(), 4u * 1000 * 1000);
    EXPECT_NE(log.find("names more than 1000 addresses"), std::string::npos);
}

}  // namespace
