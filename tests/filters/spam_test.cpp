// Spam classification, the safe list and its owner, and the settings as
// tarnwick.ini holds them: the running filter without its window.
#include "filters/spam.h"
#include "filters/spam_env.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/table_owner.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "tables/memtable.h"
#include "transport/store.h"


#include <gtest/gtest.h>

#include <QTime>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

platform::SystemTime At(int hour, int minute) { return spamtest::December(7, hour, minute); }

void WriteUsers(const std::vector<std::string>& names) { spamtest::WriteUsers(names, true); }

using spamtest::ReadText;

class SpamEnv : public spamtest::SpamHome {
protected:
    void SetUp() override {
        SpamHome::SetUp();
        if (HasFatalFailure()) return;
        procs::LogClientActivity = true;
        SetNow(At(10, 4));
        WriteUsers({"alice", "bob", "carol"});
    }
    void TearDown() override {
        filter_.reset();
        tables::Users().Close();
        SpamHome::TearDown();
    }

    // The filter as start-up leaves it.
    spam::TSpamFilter& Spam() {
        if (!filter_) {
            filter_ = std::make_unique<spam::TSpamFilter>();
            filter_->CreateSafeListFile();
            filter_->Load();
        }
        return *filter_;
    }
    // A setting changed as the window changes it: through the filter's value.
    template <class F>
    void Set(F change) {
        spam::Settings s = Spam().settings();
        change(s);
        Spam().SetSettings(s);
    }

private:
    std::unique_ptr<spam::TSpamFilter> filter_;
};

void AddSafe(TvdlMemTable& t, const std::string& item) {
    t.Append();
    t.FieldByName("Type").SetAsInteger(1);
    t.FieldByName("Item").SetAsString(item);
    t.Post();
}

// --- small routines -------------------------------------------------------------

TEST(SpamText, LettersDomainAndCleanAddress) {
    struct Case {
        std::string in, letters, domain, clean;
    } cases[] = {
        {"V.i.a-g r@a 99", "Viagra", "a 99", "v.i.a-g r@a 99"},
        {"\"Bob Smith\" <Bob@Example.COM>", "BobSmithBobExampleCOM", "Example.COM>", "bob@example.com"},
        {"no-at-sign", "noatsign", "no-at-sign", "no-at-sign"},
        {"<a@b@c>", "abc", "b@c>", "a@b@c"},
        {"x>y<z@w>", "xyzw", "w>", "z@w"},
        {"caf\xc3\xa9 @", "caf", "", "caf\xc3\xa9 @"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(spam::LettersOnly(c.in), c.letters);
        EXPECT_EQ(spam::GetDomain(c.in), c.domain);
        EXPECT_EQ(spam::CleanAddress(c.in), c.clean);
    }
}

TEST(SpamText, ImportPseudoAddress) {
    EXPECT_TRUE(spam::IsImportAddress(spam::ImportAddress));
    EXPECT_TRUE(spam::IsImportAddress("<SpamAddresses@Tarnwick.INVALID>"));
    EXPECT_TRUE(spam::IsImportAddress(" spamaddresses@tarnwick.invalid "));
    EXPECT_FALSE(spam::IsImportAddress("spamaddresses@localhost"));
    EXPECT_FALSE(spam::IsImportAddress("xspamaddresses@tarnwick.invalid"));
}

TEST(SpamText, StatsFormatting) {
    struct Case {
        int s, n, d, v;
        const char *count, *ratio, *deleted, *success;
    } cases[] = {
        {0, 0, 0, 0, "0/0 ", "n/a ", "0/0 ", "n/a "},
        {1, 2, 3, 0, "1/3 ", "33.3% ", "3/3 ", "100.0% "},
        {2, 1, 1, 7, "2/3 ", "66.7% ", "1/8 ", "12.5% "},
        {0, 5, 0, 4, "0/5 ", "0.0% ", "0/4 ", "0.0% "},
    };
    for (const auto& c : cases) {
        auto t = spam::FormatStats(c.s, c.n, c.d, c.v, "07 Dec");
        EXPECT_EQ(t.caption, "Spam Stats (since 07 Dec)");
        EXPECT_EQ(t.spamCount, c.count);
        EXPECT_EQ(t.spamRatio, c.ratio);
        EXPECT_EQ(t.spamDeleted, c.deleted);
        EXPECT_EQ(t.successRatio, c.success);
    }
}

// --- classification ------------------------------------------------------------------

struct ClassCase {
    const char* name;
    bool filterOn;
    std::vector<std::string> badUsers, safe, good, bad;
    std::string user, from, subject;
    int expected;
    std::string logLine;  // expected in pop.log (empty: nothing logged)
};

class SpamClassify : public SpamEnv {};

TEST_F(SpamClassify, Rules) {
    const ClassCase cases[] = {
        {"filter off", false, {"bob"}, {}, {}, {"viagra"}, "bob", "x@y.com", "viagra", 0, ""},
        {"unknown sender", true, {}, {}, {}, {}, "bob", "X@Y.com", "hello", 1,
         "== Spamcheck: <x@y.com> unknown and no recognised words, possible spam."},
        {"bad user beats safe sender and good word", true, {"bob"}, {"x@y.com"}, {"order"}, {}, "BOB", "x@y.com",
         "your order", 2, "== Spamcheck: \"BOB\" found in bad user list, probable spam."},
        {"unticked bad user", true, {}, {}, {}, {}, "alice", "a@b.cc", "hi", 1, ""},
        {"display name and brackets", true, {}, {"friend@home.org"}, {}, {"pills"}, "bob",
         "\"My Friend\" <Friend@HOME.org>", "pills", 0,
         "== Spamcheck: <friend@home.org> found in safe address list, not spam."},
        {"safe address inside a quoted name", true, {}, {"boss@office.test"}, {}, {}, "bob",
         "\"<boss@office.test>\" <spammer@far.example>", "x", 1,
         "== Spamcheck: <spammer@far.example> unknown and no recognised words, possible spam."},
        {"domain entry", true, {}, {"*@home.org"}, {}, {}, "bob", "anyone@home.org", "x", 0,
         "== Spamcheck: <*@home.org> found in safe address list, not spam."},
        {"address without at", true, {}, {"*@localpart"}, {}, {}, "bob", "localpart", "x", 0, ""},
        {"bad word with dots", true, {}, {}, {}, {"viagra"}, "bob", "s@p.am", "Cheap V.I.A.G.R.A now", 2,
         "== Spamcheck: (bob)\"viagra\" found in bad word list, probable spam."},
        {"good and bad word", true, {}, {}, {"Flight"}, {"pills"}, "bob", "s@p.am", "pills for your FLIGHT", 0,
         "== Spamcheck: (bob)\"Flight\" found in good word list, not spam."},
        {"substring match", true, {}, {}, {"order"}, {}, "bob", "s@p.am", "border crossing", 0, ""},
        {"blank word never matches", true, {}, {}, {" "}, {}, "bob", "s@p.am", "two words", 1, ""},
        {"phrase", true, {}, {}, {}, {"free money"}, "bob", "s@p.am", "Get FREE MONEY", 2, ""},
        {"line break in sender", true, {}, {}, {}, {}, "bob", "a@b\n== Spamcheck: forged", "x", 1,
         "== Spamcheck: <a@b == spamcheck: forged> unknown and no recognised words, possible spam."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((ProgramDir + "pop.log").c_str());
        platform::IniFile(ProgramDir + "tarnwick.ini").EraseSection("SpamStats");
        spam::TSpamFilter& f = Spam();
        Set([&](spam::Settings& s) {
            s.checkSpam = c.filterOn;
            s.badUsers = c.badUsers;
            s.goodWords = c.good;
            s.badWords = c.bad;
        });
        TvdlMemTable& list = spam::SafeList().Table();
        list.EmptyTable();
        for (const auto& s : c.safe) AddSafe(list, s);

        int held = -1;
        EXPECT_EQ(f.CheckSpam(c.user, c.from, c.subject, held), c.expected);
        EXPECT_EQ(held, 0);
        const std::string log = PopLog();
        if (c.filterOn) {
            if (!c.logLine.empty()) {
                EXPECT_NE(log.find(c.logLine + "\r\n"), std::string::npos) << log;
            }
            // Exactly one counter per call while the filter is on.
            auto ini = Ini();
            EXPECT_EQ(ini.ReadInteger("SpamStats", "SpamIdentified", 0) +
                          ini.ReadInteger("SpamStats", "NonSpamIdentified", 0),
                      1);
            EXPECT_EQ(ini.ReadInteger("SpamStats", c.expected > 0 ? "SpamIdentified" : "NonSpamIdentified", 0), 1);
        } else {
            EXPECT_EQ(log, "");
            EXPECT_FALSE(Ini().SectionExists("SpamStats"));
        }
    }
}

TEST_F(SpamClassify, EveryHitIsLoggedAndHeldCountSeesBothFolders) {
    spam::TSpamFilter& f = Spam();
    Set([](spam::Settings& s) {
        s.checkSpam = true;
        s.goodWords = {};
        s.badWords = {"pills", "cheap", "", "free"};
    });
    ASSERT_FALSE(smtp::WriteMailboxFile(smtp::FolderSpam1, "bob", "1", "x").empty());
    ASSERT_FALSE(smtp::WriteMailboxFile(smtp::FolderSpam2, "bob", "2", "x").empty());
    ASSERT_FALSE(smtp::WriteMailboxFile(smtp::FolderSpam2, "alice", "3", "x").empty());
    ASSERT_FALSE(smtp::WriteNewFile(smtp::StoreFolder(smtp::FolderSpam2), "note", "", ".txt", "x").empty());
    int held = 0;
    EXPECT_EQ(f.CheckSpam("bob", "a@b.c", "cheap pills, free", held), 2);
    EXPECT_EQ(held, 3);
    const std::string log = PopLog();
    for (const char* w : {"\"pills\"", "\"cheap\"", "\"free\""})
        EXPECT_NE(log.find(std::string("== Spamcheck: (bob)") + w + " found in bad word list"), std::string::npos);
    // Off: no classification, but the held count is still given.
    Set([](spam::Settings& s) { s.checkSpam = false; });
    held = 0;
    EXPECT_EQ(f.CheckSpam("bob", "a@b.c", "cheap pills", held), 0);
    EXPECT_EQ(held, 3);
}

// --- safe list --------------------------------------------------------------------------

TEST_F(SpamClassify, AddSpamAddress) {
    spam::TSpamFilter& f = Spam();
    AddSafe(spam::SafeList().Table(), "*@known.org");
    struct Case {
        std::string address;
        bool added;
    } cases[] = {
        {"\"Ann\" <Ann@Example.COM>", true},
        {"ann@example.com", false},        // already there
        {"someone@known.org", false},      // covered by the domain entry
        {"no address here", false},        // no "@"
        {"  zed@example.com  ", true},     // a whole line of an import
        {std::string(70, 'a') + "@x.y", true},
        {std::string(70, 'a') + "@x.z", false},  // cut to the same 64 characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(spam::AddSpamAddress(1, c.address), c.added);
    }
    // Saved whole to spam.dat: a fresh load sees exactly these entries.
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    std::vector<std::string> items;
    for (t.First(); !t.Eof(); t.Next()) items.push_back(t.FieldByName("Item").AsString());
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"*@known.org", std::string(64, 'a'), "ann@example.com",
                                              "zed@example.com"}));
    // Classification sees the new entry at once.
    int held = 0;
    Set([](spam::Settings& s) { s.checkSpam = true; });
    EXPECT_EQ(f.CheckSpam("bob", "ann@example.com", "", held), 0);
    EXPECT_EQ(spam::SafeList().Table().RecordCount(), 4);
}

TEST_F(SpamClassify, AnAddressBookIsAddedAsOneBatch) {
    Spam();
    // Duplicates inside the batch and entries a domain covers count once or not at all.
    std::vector<std::string> book = {"*@wild.example", "a@x.example", "A@X.example", "b@x.example", "no address"};
    for (int i = 0; i < 2000; ++i) book.push_back("user" + std::to_string(i) + "@many.example");
    platform::FaultInjectionEnv counting;
    spam::SafeList().SetEnv(&counting);
    EXPECT_EQ(spam::AddSpamAddresses(spam::SafeSender, book), 2003);
    EXPECT_EQ(spam::AddSpamAddresses(spam::SafeSender, {"c@wild.example", "b@x.example"}), 0);
    spam::SafeList().SetEnv(nullptr);
    EXPECT_EQ(counting.Calls(platform::FaultInjectionEnv::Op::Rename), 1) << "spam.dat saved once for the batch";
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    EXPECT_EQ(t.RecordCount(), 2003);
}

// Without a running filter nothing reaches spam.dat.
TEST_F(SpamClassify, NothingIsAddedWithoutARunningFilter) {
    EXPECT_FALSE(spam::AddSpamAddress(spam::SafeSender, "a@b.example"));
    EXPECT_EQ(spam::AddSpamAddresses(spam::SafeSender, {"a@b.example"}), 0);
    EXPECT_FALSE(platform::FileExists(ProgramDir + "spam.dat"));
}

// A safe list that cannot be saved keeps what the file holds: the owner
// never holds an entry that a restart would not find.
TEST_F(SpamClassify, AnEntryThatCannotBeSavedIsNotKept) {
    Spam();
    ASSERT_TRUE(spam::AddSpamAddress(spam::SafeSender, "first@a.example"));
    // A folder where the file's temporary copy would go makes every save fail.
    ASSERT_EQ(std::remove((ProgramDir + "spam.dat").c_str()), 0);
    ASSERT_EQ(::mkdir((ProgramDir + "spam.dat").c_str(), 0700), 0);
    EXPECT_FALSE(spam::AddSpamAddress(spam::SafeSender, "second@a.example"));
    EXPECT_FALSE(spam::SafeList().Table().FindKey({spam::SafeSender, "second@a.example"}));
    EXPECT_TRUE(spam::SafeList().Table().FindKey({spam::SafeSender, "first@a.example"}));
}

// --- settings in the file ------------------------------------------------------------------

TEST_F(SpamClassify, SettingsReadAsTheWindowCanShowThem) {
    const std::vector<std::string> users = {"alice", "bob", "carol"};
    spam::Settings d = spam::ReadSettings(users);
    EXPECT_FALSE(d.checkSpam);
    EXPECT_TRUE(d.webLimited);
    EXPECT_EQ(d.webPageLimit, 100);
    EXPECT_EQ(d.previewSize, 50);
    EXPECT_EQ(d.reportEveryAmount, 10);
    EXPECT_EQ(d.reportTime, QTime(17, 0));
    EXPECT_EQ(d.goodWords, spam::BuiltInGoodWords());
    EXPECT_EQ(d.badWords, spam::BuiltInBadWords());

    struct Case {
        const char* key;
        const char* value;
        int pageLimit, preview, every;
    } cases[] = {
        {"PageLimit", "2", 5, 50, 10},
        {"PageLimit", "123456", 99999, 50, 10},
        {"PreviewSize", "95", 100, 80, 10},
        {"PreviewSize", "-3", 100, 0, 10},
        {"ReportEveryAmount", "1", 100, 50, 5},
        {"ReportEveryAmount", "100000", 100, 50, 9999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Ini().EraseSection("Spam");
        Ini().WriteString("Spam", c.key, c.value);
        const spam::Settings s = spam::ReadSettings(users);
        EXPECT_EQ(s.webPageLimit, c.pageLimit);
        EXPECT_EQ(s.previewSize, c.preview);
        EXPECT_EQ(s.reportEveryAmount, c.every);
    }

    // A report user or bad user who is no longer a local user is dropped;
    // an unreadable report time is the default one.
    Ini().WriteString("Spam", "ReportUser", "dave");
    Ini().WriteString("Spam", "ReportDailyTime", "half past");
    Ini().WriteBool("SpamUsers", "dave", true);
    Ini().WriteBool("SpamUsers", "carol", true);
    const spam::Settings s = spam::ReadSettings(users);
    EXPECT_EQ(s.reportUser, "");
    EXPECT_EQ(s.reportTime, QTime(17, 0));
    EXPECT_EQ(s.badUsers, (std::vector<std::string>{"carol"}));
}

TEST_F(SpamClassify, SettingsWrittenAreReadBack) {
    const std::vector<std::string> users = {"alice", "bob", "carol"};
    spam::Settings s;
    s.checkSpam = true;
    s.webPageLimit = 250;
    s.oneLine = true;
    s.twoLines = false;
    s.report = true;
    s.reportUser = "carol";
    s.reportDaily = true;
    s.reportEvery = false;
    s.reportTime = QTime(8, 30);
    s.goodWords = {"invoice", "", "meeting notes"};
    s.badWords = {"x89824", "lottery"};
    s.badUsersShown = true;
    s.badUsers = {"bob"};
    spam::WriteSettings(s);
    EXPECT_EQ(Ini().ReadString("SpamWords", "Good2", ""), "meeting notes");
    EXPECT_EQ(Ini().ReadString("Spam", "ReportDailyTime", ""), "08:30");

    const spam::Settings r = spam::ReadSettings(users);
    EXPECT_TRUE(r.checkSpam);
    EXPECT_EQ(r.webPageLimit, 250);
    EXPECT_TRUE(r.oneLine);
    EXPECT_FALSE(r.twoLines);
    EXPECT_EQ(r.reportUser, "carol");
    EXPECT_TRUE(r.reportDaily);
    EXPECT_FALSE(r.reportEvery);
    EXPECT_EQ(r.reportTime, QTime(8, 30));
    EXPECT_EQ(r.goodWords, (std::vector<std::string>{"invoice", "meeting notes"}));
    // The bad list ends at the stored end mark.
    EXPECT_TRUE(r.badWords.empty());
    EXPECT_EQ(r.badUsers, (std::vector<std::string>{"bob"}));

    // With their page hidden the bad users are not kept.
    s.badUsersShown = false;
    spam::WriteSettings(s);
    EXPECT_FALSE(Ini().ValueExists("SpamUsers", "bob"));
    EXPECT_TRUE(spam::ReadSettings(users).badUsers.empty());
}

}  // namespace

namespace {

// A damaged spam.dat is set aside and the filter runs on with its settings
// and an empty safe list; the person at the machine is told.
TEST_F(SpamClassify, DamagedSafeListIsSetAsideAndTheFilterStaysOn) {
    const std::string garbage = "this is no table file\r\n";
    ASSERT_TRUE(platform::WriteFileAtomic(ProgramDir + "spam.dat", garbage));
    Ini().WriteBool("Spam", "CheckSpam", true);
    spam::TSpamFilter& f = Spam();
    EXPECT_EQ(ReadText(ProgramDir + "spam.dat.bad"), garbage);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_NE(dialogs[0].find("spam.dat"), std::string::npos);
    EXPECT_NE(ReadText(ProgramDir + "connect.log").find("spam.dat"), std::string::npos);
    EXPECT_TRUE(f.settings().checkSpam);
    int held = 0;
    EXPECT_EQ(f.CheckSpam("bob", "Someone <a@far.example>", "hello", held), 1);

    // The new list takes entries, and a reload finds them.
    spam::AddSpamAddress(spam::SafeSender, "a@far.example");
    f.Load();
    EXPECT_EQ(f.CheckSpam("bob", "a@far.example", "hello", held), 0);
    EXPECT_EQ(dialogs.size(), 1u);
}

}  // namespace
