// The release of held spam through the delivery chain, the reports the
// running filter sends, and the import of safe addresses from a message:
// the engine without its windows.
#include "filters/spam.h"
#include "filters/spam_env.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "tables/memtable.h"
#include "transport/mail_settings.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QTime>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

platform::SystemTime At(int day, int hour, int minute) { return spamtest::December(day, hour, minute, 5, 123); }

using spamtest::ReadText;

class SpamReportTest : public spamtest::SpamHome {
protected:
    void SetUp() override {
        SpamHome::SetUp();
        if (HasFatalFailure()) return;
        SetNow(At(7, 10, 4));
        spamtest::WriteUsers({"alice", "bob"}, true);
        TvdlMemTable forwards;
        settings::DefineForwardTable(forwards);
        tables::Forwards().Adopt(forwards);
        mailsettings::Publish(
            std::make_shared<MailSettings>(mailsettings::Read(ProgramDir, tables::UserNames(), "")));
        filter_.CreateSafeListFile();
        filter_.Load();
    }
    void TearDown() override {
        mailsettings::Publish(nullptr);
        tables::Forwards().Close();
        tables::Users().Close();
        SpamHome::TearDown();
    }
    // A setting changed as the window changes it: through the filter's value.
    template <class F>
    void Set(F change) {
        spam::Settings s = filter_.settings();
        change(s);
        filter_.SetSettings(s);
    }
    static int Stat(const std::string& key) { return Ini().ReadInteger("SpamStats", key, 0); }

    spam::TSpamFilter filter_;
};

// --- reports -----------------------------------------------------------------

TEST_F(SpamReportTest, DailyReportOncePerDayAfterItsTime) {
    Set([](spam::Settings& s) {
        s.reportUser = "bob";
        s.report = true;
        s.reportDaily = true;
        s.reportEvery = false;
        s.reportTime = QTime(17, 0);
    });
    struct Step {
        int day, hour, minute;
        size_t reportsAfter;
    } steps[] = {
        {7, 16, 59, 0}, {7, 17, 0, 1}, {7, 17, 30, 1}, {7, 23, 59, 1}, {8, 9, 0, 1}, {8, 17, 1, 2},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.day) + " " + std::to_string(s.hour) + ":" + std::to_string(s.minute));
        SetNow(At(s.day, s.hour, s.minute));
        filter_.CheckDailyReport();
        EXPECT_EQ(Files(smtp::FolderIn).size(), s.reportsAfter);
    }
    EXPECT_EQ(platform::IniFile(ProgramDir + "tarnwick.ini").ReadString("Spam", "LastDailyReprt", ""), "2026-12-08");
    // Every-mode does not report daily.
    Set([](spam::Settings& s) {
        s.reportEvery = true;
        s.reportDaily = false;
    });
    SetNow(At(9, 18, 0));
    filter_.CheckDailyReport();
    EXPECT_EQ(Files(smtp::FolderIn).size(), 2u);
}

TEST_F(SpamReportTest, ReportEveryDue) {
    Set([](spam::Settings& s) {
        s.reportEveryAmount = 10;
        s.report = true;
        s.reportEvery = true;
    });
    for (int held : {0, 10, 20, 100}) EXPECT_TRUE(filter_.ReportEveryDue(held)) << held;
    for (int held : {1, 9, 11, 15}) EXPECT_FALSE(filter_.ReportEveryDue(held)) << held;
    Set([](spam::Settings& s) {
        s.reportEvery = false;
        s.reportDaily = true;
    });
    EXPECT_FALSE(filter_.ReportEveryDue(10));
    Set([](spam::Settings& s) {
        s.reportEvery = true;
        s.reportDaily = false;
        s.report = false;
    });
    EXPECT_FALSE(filter_.ReportEveryDue(10));
}

// --- release -----------------------------------------------------------------

TEST_F(SpamReportTest, ReleaseMovesTheMessageKeepingItsDate) {
    const std::string held = Held(smtp::FolderSpam2, "bob_abc123.dat", "Subject: hi\r\n\r\nbody\r\n.\r\n");
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    ASSERT_TRUE(platform::SetFileTime(held, when));
    EXPECT_TRUE(spam::ReleaseSpam(held));
    EXPECT_FALSE(platform::FileExists(held));
    const std::string dest = smtp::StoreFolder(smtp::FolderIn) + "bob_abc123.dat";
    EXPECT_EQ(ReadText(dest), "Subject: hi\r\n\r\nbody\r\n.\r\n");
    std::chrono::system_clock::time_point got;
    ASSERT_TRUE(platform::GetFileTime(dest, got));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(got - when).count(), 0);
    EXPECT_EQ(Stat("SpamSaved"), 1);
}

TEST_F(SpamReportTest, ReleaseRunsTheDeliveryChain) {
    // Forwarding, the last filter, sees the released copy.
    TvdlMemTable& t = tables::Forwards().Table();
    t.Append();
    t.FieldByName("User").SetAsString("bob");
    t.FieldByName("IsLocal").SetAsBoolean(true);
    t.FieldByName("ForwardTo").SetAsString("alice");
    t.FieldByName("Copy").SetAsString("No");
    t.Post();
    const std::string held = Held(smtp::FolderSpam1, "bob_f1.dat", "From: a@b.example\r\nSubject: s\r\n\r\nx\r\n.\r\n");
    EXPECT_TRUE(spam::ReleaseSpam(held));
    const auto in = Files(smtp::FolderIn);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].rfind("alice_", 0), 0u) << in[0];
    EXPECT_EQ(Stat("SpamSaved"), 1);
}

TEST_F(SpamReportTest, ReleaseNeverLosesOrDuplicatesAMessage) {
    struct Case {
        const char* name;
        std::string existing;  // content already in in/ under the same name ("" none)
        std::vector<std::string> inAfter;
        int saved;
    } cases[] = {
        {"same message already delivered", "M", {"bob_s1.dat"}, 0},
        {"another message under that name", "OTHER", {"bob_s1.dat", "bob_s11.dat"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteFiles(smtp::StoreFolder(smtp::FolderIn), "*");
        platform::IniFile(ProgramDir + "tarnwick.ini").EraseSection("SpamStats");
        Held(smtp::FolderIn, "bob_s1.dat", c.existing);
        const std::string held = Held(smtp::FolderSpam1, "bob_s1.dat", "M");
        EXPECT_TRUE(spam::ReleaseSpam(held));
        EXPECT_FALSE(platform::FileExists(held));
        EXPECT_EQ(Files(smtp::FolderIn), c.inAfter);
        EXPECT_EQ(ReadText(smtp::StoreFolder(smtp::FolderIn) + "bob_s1.dat"), c.existing);
        EXPECT_EQ(Stat("SpamSaved"), c.saved);
    }
}

TEST_F(SpamReportTest, ReleaseRefusesWhatIsNotHeldSpam) {
    const std::string users = ProgramDir + "users.dat";
    const std::string deleted = Held(smtp::FolderDeleted, "bob_x.dat", "M");
    const std::string noUser = Held(smtp::FolderSpam1, "nouser.dat", "M");
    const std::string noStamp = Held(smtp::FolderSpam1, "bob_.dat", "M");
    const std::string other = Held(smtp::FolderSpam1, "bob_x.txt", "M");
    for (const std::string& path : {users, deleted, noUser, noStamp, other,
                                    smtp::StoreFolder(smtp::FolderSpam1) + "../" + smtp::FolderDeleted + "/bob_x.dat",
                                    smtp::StoreFolder(smtp::FolderSpam1) + "bob_missing.dat"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(spam::ReleaseSpam(path));
    }
    for (const std::string& path : {users, deleted, noUser, noStamp, other}) EXPECT_TRUE(platform::FileExists(path));
    EXPECT_TRUE(Files(smtp::FolderIn).empty());
}

TEST_F(SpamReportTest, ReleaseKeepsTheHeldFileWhenTheMailboxCannotBeWritten) {
    const std::string held = Held(smtp::FolderSpam1, "bob_k.dat", "M");
    const std::string in = smtp::StoreFolder(smtp::FolderIn);
    std::filesystem::rename(in, ProgramDir + "in.away");
    ASSERT_TRUE(platform::WriteFileAtomic(ProgramDir + "in", "not a folder"));
    EXPECT_FALSE(spam::ReleaseSpam(held));
    EXPECT_EQ(ReadText(held), "M");
    EXPECT_EQ(Stat("SpamSaved"), 0);
}

// --- address import -------------------------------------------------------------

TEST_F(SpamReportTest, ImportFromMessageReadsBodyLinesOnly) {
    const std::string msg = ProgramDir + "import.txt";
    platform::WriteFileAtomic(msg,
                              "From: bob@office.lan\r\n"
                              "To: " + std::string(spam::ImportAddress) + "\r\n"
                              "\r\n"
                              "Ann Other <Ann@Example.com>\r\n"
                              "plain@example.org\r\n"
                              "no address on this line\r\n"
                              "plain@example.org\r\n"
                              ".\r\n");
    EXPECT_EQ(spam::ImportAddressesFromMessage(msg), 2);
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    std::vector<std::string> items;
    for (t.First(); !t.Eof(); t.Next()) items.push_back(t.FieldByName("Item").AsString());
    EXPECT_EQ(items, (std::vector<std::string>{"ann@example.com", "plain@example.org"}));
}

TEST_F(SpamReportTest, AddressCandidates) {
    struct Case {
        std::string line;
        std::vector<std::string> expected;
    } cases[] = {
        {"\"Ann\",Ann@Example.com,\"Bob\",bob@x.org", {"ann@example.com", "bob@x.org"}},
        {"name <a@b.cd>|x=y@zz.net", {"a@b.cd", "y@zz.net"}},
        {"a@b c@d @ x@y.z", {"x@y.z"}},  // 4 characters or fewer are no address
        {"tab\tsep@tab.org\tend", {"sep@tab.org"}},
        {"double a@b@c.com", {"a@b@c.com"}},
        {"no address", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(spam::AddressCandidates(c.line), c.expected);
    }
}

}  // namespace
