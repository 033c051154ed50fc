// SMTP acceptance on a failing disk: every write, fsync, rename and folder
// sync of taking a message in is made to fail in turn, through a
// FaultInjectionEnv under the running server. A message the disk did not
// take gets a 4xx and leaves nothing a reader could take for it; what was
// acknowledged before stays whole; the next message is taken.
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/table_owner.h"
#include "smtp_office.h"
#include "transport_test_util.h"
#include "smtp_test_client.h"

#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "engine_state.h"
#include "transport/account_tables.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include <sys/mount.h>
#include <unistd.h>

namespace {

using Op = platform::FaultInjectionEnv::Op;

constexpr char kStored[] = "250 Load and clear\r\n";
constexpr char kNotStored[] = "451 Requested action aborted: local error in processing\r\n";

const char* OpName(Op op) {
    switch (op) {
        case Op::Open: return "open";
        case Op::Append: return "append";
        case Op::Sync: return "sync";
        case Op::Close: return "close";
        case Op::Read: return "read";
        case Op::Rename: return "rename";
        case Op::Link: return "link";
        case Op::Unlink: return "unlink";
        case Op::SyncFolder: return "syncfolder";
        case Op::List: return "list";
        case Op::CreateFolder: return "createfolder";
    }
    return "?";
}

// A message the server said "250" to, and where it must be.
struct Acked {
    std::string id, data;
    std::vector<std::string> users;
    bool queued = false;
};

class SmtpDiskFaultTest : public twtest::SmtpOffice {
protected:
    void SetUp() override {
        TempHome::SetUp();
        StartServer();
    }
    void TearDown() override {
        StopServer();
        TempHome::TearDown();
    }

    // The reply to the end of DATA of message n, sent to recipients.
    std::string Send(twtest::SmtpClient& c, int n, const std::vector<std::string>& to, size_t bodySize,
                     std::string& data) {
        data = "Message-ID: <m" + std::to_string(n) + "@pc12>\r\nSubject: " + std::to_string(n) + "\r\n\r\n" +
               std::string(bodySize, 'b') + "\r\n.\r\n";
        if (c.Say("MAIL FROM:<bob@office.example>") != "250 Sender OK\r\n") return "MAIL refused";
        for (const auto& t : to)
            if (c.Say("RCPT TO:<" + t + ">") != "250 Recipient OK\r\n") return "RCPT refused";
        if (c.Say("DATA") != "354 Off you go then\r\n") return "DATA refused";
        c.Write(data);
        return c.Reply(15000);
    }

    static std::string IdOf(int n) { return "m" + std::to_string(n) + "pc12100405123"; }

    // Exactly the acknowledged messages are in the store, whole, and nothing
    // else a reader could take for a message; ports.dat parses and holds the
    // records of the queued ones only.
    void ExpectStoreHolds(const std::vector<Acked>& acked, const std::string& when) {
        std::set<std::string> wantIn, wantOut, wantRecords;
        for (const auto& a : acked) {
            for (const auto& u : a.users) {
                wantIn.insert(u + "_" + a.id + ".dat");
                EXPECT_EQ(twtest::ReadBytes(smtp::StoreFolder("in") + u + "_" + a.id + ".dat"), a.data)
                    << when << ": copy of " << a.id << " for " << u;
            }
            if (a.queued) {
                wantOut.insert(a.id + ".txt");
                wantRecords.insert(a.id);
                EXPECT_EQ(twtest::ReadBytes(smtp::StoreFolder("out") + a.id + ".txt"), a.data) << when;
                EXPECT_EQ(smtp::ReadPortsValue(a.id, "rcpt"), "1") << when << ": record of " << a.id;
                EXPECT_EQ(smtp::ReadPortsValue(a.id, "To1"), "<x@far.example>") << when;
            }
        }
        const auto in = platform::ListFiles(smtp::StoreFolder("in"), "*");
        const auto out = platform::ListFiles(smtp::StoreFolder("out"), "*");
        EXPECT_EQ(std::set<std::string>(in.begin(), in.end()), wantIn) << when;
        EXPECT_EQ(std::set<std::string>(out.begin(), out.end()), wantOut) << when;
        const auto sections = platform::IniFile(smtp::PortsFileName()).ReadSections();
        EXPECT_EQ(std::set<std::string>(sections.begin(), sections.end()), wantRecords) << when;
        EXPECT_TRUE(platform::ListFiles(ProgramDir, "*.tmp*").empty()) << when;
    }

};

TEST_F(SmtpDiskFaultTest, NoMessageIsAcknowledgedThatTheDiskDidNotTake) {
    platform::FaultInjectionEnv env;
    scoped_ = std::make_unique<platform::ScopedEnv>(&env);
    struct Shape {
        const char* name;
        std::vector<std::string> to, users;
        size_t body;
    } shapes[] = {
        {"local and external", {"alice@office.example", "bob@office.example", "x@far.example"}, {"alice", "bob"}, 40},
        {"local only", {"alice@office.example", "bob@office.example"}, {"alice", "bob"}, 40},
        {"external, arriving in many reads", {"x@far.example"}, {}, 300 * 1024},
    };
    const Op ops[] = {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename, Op::Link, Op::SyncFolder, Op::Read};

    std::vector<Acked> acked;
    int n = 0, faultsHit = 0;
    std::map<Op, int> refusedBy;
    auto c = std::make_unique<twtest::SmtpClient>(smtp_->SMTPServer.Port());
    ASSERT_EQ(c->greeting, "220 hello\r\n");
    for (const auto& shape : shapes) {
        for (Op op : ops) {
            for (int nth = 1; nth < 200; ++nth) {
                const int error = nth % 2 ? ENOSPC : EIO;
                const std::string when =
                    std::string(shape.name) + ", " + OpName(op) + " #" + std::to_string(nth) + " fails";
                const size_t journalBefore = env.Journal().size();
                env.FailAt(op, nth, error);
                std::string data;
                const std::string reply = Send(*c, ++n, shape.to, shape.body, data);
                env.Clear();
                const std::vector<std::string> journal = env.Journal();
                const bool queued = shape.to.back() == "x@far.example";
                // Where the message is wholly on disk: its queued name's
                // folder synced, or, with nothing queued, the spool file
                // dropped after the copies. Filters that run on the copies
                // after that may fail without taking the message back.
                const std::string out = smtp::StoreFolder("out");
                const std::string spool = out + IdOf(n) + ".txo";
                size_t committed = journal.size();
                for (size_t i = journalBefore; i < journal.size() && committed == journal.size(); ++i) {
                    if (!queued && journal[i] == "unlink " + spool) committed = i;
                    if (queued && journal[i] == "rename " + spool + " -> " + out + IdOf(n) + ".txt" &&
                        i + 1 < journal.size() && journal[i + 1] == "syncfolder " + out.substr(0, out.size() - 1))
                        committed = i + 1;
                }
                std::vector<std::string> before, after;
                for (size_t i = journalBefore; i < journal.size(); ++i)
                    if (journal[i].rfind("failed ", 0) == 0) (i < committed ? before : after).push_back(journal[i]);
                if (before.empty() && after.empty()) {
                    // The message needs fewer such calls: the last one was taken.
                    EXPECT_EQ(reply, kStored) << when;
                    acked.push_back({IdOf(n), data, shape.users, queued});
                    ExpectStoreHolds(acked, when + " (no fault)");
                    break;
                }
                if (before.empty()) {
                    EXPECT_EQ(reply, kStored) << when << ": " << after.front();
                    acked.push_back({IdOf(n), data, shape.users, queued});
                } else {
                    ++faultsHit;
                    ++refusedBy[op];
                    EXPECT_EQ(reply, kNotStored) << when << ": " << before.front();
                }
                ExpectStoreHolds(acked, when);

                // The server goes on, and takes the next message whole.
                const std::string next = Send(*c, ++n, shape.to, shape.body, data);
                ASSERT_EQ(next, kStored) << "the message after: " << when;
                acked.push_back({IdOf(n), data, shape.users, shape.to.back() == "x@far.example"});
                ExpectStoreHolds(acked, "the message after: " + when);
            }
        }
    }
    // Every kind of call of the durable path refused a message somewhere.
    EXPECT_GT(faultsHit, 30);
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename, Op::SyncFolder, Op::Read})
        EXPECT_GT(refusedBy[op], 0) << OpName(op);
    EXPECT_EQ(c->Say("QUIT"), "221 See ya later\r\n");
}

// The order that makes a "250" a promise: the spool file and every copy are
// synced before their names appear, and the names' folders after.
TEST_F(SmtpDiskFaultTest, EveryCopyAndNameIsSyncedBeforeTheReply) {
    platform::FaultInjectionEnv env;
    scoped_ = std::make_unique<platform::ScopedEnv>(&env);
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    std::string data;
    ASSERT_EQ(Send(c, 1, {"alice@office.example", "x@far.example"}, 10, data), kStored);
    const auto journal = env.Journal();
    auto at = [&](const std::string& head) {
        for (size_t i = 0; i < journal.size(); ++i)
            if (journal[i].rfind(head, 0) == 0) return static_cast<int>(i);
        return -1;
    };
    auto lastAt = [&](const std::string& head) {
        int found = -1;
        for (size_t i = 0; i < journal.size(); ++i)
            if (journal[i].rfind(head, 0) == 0) found = static_cast<int>(i);
        return found;
    };
    const std::string in = smtp::StoreFolder("in"), out = smtp::StoreFolder("out");
    const std::string spool = out + IdOf(1) + ".txo";
    const int spoolSynced = at("sync " + spool);
    const int copyRenamed = at("link " + in + "alice_" + IdOf(1) + ".dat.tmp");
    const int inSynced = lastAt("syncfolder " + in.substr(0, in.size() - 1));
    const int queued = at("rename " + spool + " -> " + out + IdOf(1) + ".txt");
    const int outSynced = lastAt("syncfolder " + out.substr(0, out.size() - 1));
    ASSERT_GE(spoolSynced, 0);
    ASSERT_GE(copyRenamed, 0);
    ASSERT_GE(queued, 0);
    EXPECT_LT(spoolSynced, copyRenamed);
    EXPECT_LT(spoolSynced, queued);
    EXPECT_LT(copyRenamed, inSynced);
    EXPECT_LT(queued, outSynced);
    for (const auto& e : journal) EXPECT_EQ(e.rfind("failed", 0), std::string::npos) << e;
}

// The program folder on a real, small disk (a 2 MB tmpfs), filled by
// submissions until the server refuses them: every message it said "250"
// to is whole on disk, the refusals are 4xx, the server goes on answering,
// and once there is room again it takes mail again.
class SmtpFullDiskTest : public SmtpDiskFaultTest {
protected:
    void SetUp() override {
        twtest::EnsureApp();
        twtest::TempHome::SetUp();
        small_ = home_ + "/small";
        std::filesystem::create_directory(small_);
        if (::mount("tmpfs", small_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m,mode=0700") != 0) {
            mounted_ = false;
            GTEST_SKIP() << "a small tmpfs cannot be mounted here (" << std::strerror(errno)
                         << "; uid " << ::getuid() << "): the full-disk test needs root";
        }
        mounted_ = true;
        ProgramDir = small_ + "/";
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        StartServer();
    }
    void TearDown() override {
        StopServer();
        if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
        ProgramDir = home_ + "/";
        twtest::TempHome::TearDown();
    }
    std::string small_;
    bool mounted_ = false;
};

TEST_F(SmtpFullDiskTest, AFullDiskRefusesWithFourHundredsAndKeepsWhatItTook) {
    // Room to give back later: the disk fills up around it.
    const std::string ballast = ProgramDir + "ballast.bin";
    twtest::WriteBytes(ballast, std::string(400 * 1024, 'z'));
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    ASSERT_EQ(c.greeting, "220 hello\r\n");
    const std::vector<std::string> to = {"alice@office.example", "x@far.example"};
    std::vector<Acked> acked;
    int n = 0, refused = 0;
    while (refused < 4 && n < 80) {
        std::string data;
        const std::string reply = Send(c, ++n, to, 60 * 1024, data);
        if (reply == kStored) {
            ASSERT_EQ(refused, 0) << "taken after a refusal with no room made: " << n;
            acked.push_back({IdOf(n), data, {"alice"}, true});
        } else {
            EXPECT_EQ(reply.substr(0, 1), "4") << n << ": " << reply;
            ++refused;
        }
        EXPECT_EQ(c.Say("NOOP"), "250 OK\r\n") << "the server answers after message " << n;
    }
    ASSERT_GT(acked.size(), 3u) << "the disk took too little to say anything";
    ASSERT_EQ(refused, 4) << "the disk never filled";
    ExpectStoreHolds(acked, "disk full");

    // Room again: the next message goes in whole, and the earlier ones stay.
    std::remove(ballast.c_str());
    std::string data;
    ASSERT_EQ(Send(c, ++n, to, 60 * 1024, data), kStored);
    acked.push_back({IdOf(n), data, {"alice"}, true});
    ExpectStoreHolds(acked, "after room was made");
    EXPECT_EQ(c.Say("QUIT"), "221 See ya later\r\n");
}

}  // namespace
