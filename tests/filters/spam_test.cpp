// Spam classification, the safe list, the statistics and the round trip of
// the [Spam], [SpamWords] and [SpamUsers] sections through the window.
#include "filters/spam.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "tables/memtable.h"
#include "transport/store.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

void EnsureApp() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_filters";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

platform::SystemTime At(int hour, int minute) {
    platform::LocalTime lt;
    lt.year = 2026;
    lt.month = 12;
    lt.day = 7;
    lt.hour = hour;
    lt.minute = minute;
    return platform::FromLocal(lt);
}

void WriteUsers(const std::vector<std::string>& names) {
    TvdlMemTable t;
    settings::DefineUsersTable(t);
    for (const auto& n : names) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.FieldByName("Password").SetAsString("pw");
        t.Post();
    }
    t.SaveToBinaryFile(ProgramDir + "users.dat");
}

std::string ReadText(const std::string& path) {
    std::string s;
    platform::ReadFile(path, s);
    return s;
}

class SpamEnv : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        savedLogging_ = procs::LogClientActivity;
        procs::LogClientActivity = true;
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetClockForTesting([] { return At(10, 4); });
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs.push_back(call.text);
            if (call.value != nullptr) {
                if (inputs.empty()) return platform::MsgResult::Cancel;
                *call.value = inputs.front();
                inputs.erase(inputs.begin());
                return platform::MsgResult::Ok;
            }
            return answer;
        });
        WriteUsers({"alice", "bob", "carol"});
        settingsForm_ = std::make_unique<TFrmSettings>();
        FrmSettings = settingsForm_.get();
    }
    void TearDown() override {
        spamForm_.reset();
        FrmSpam = nullptr;
        settingsForm_.reset();
        FrmSettings = nullptr;
        platform::SetDialogHandlerForTesting(nullptr);
        platform::SetClockForTesting({});
        procs::LogClientActivity = savedLogging_;
        ProgramDir = savedDir_;
    }

    TFrmSpam& Spam() {
        if (!spamForm_) {
            spamForm_ = std::make_unique<TFrmSpam>();
            FrmSpam = spamForm_.get();
        }
        return *spamForm_;
    }
    void Reopen() {
        spamForm_.reset();
        FrmSpam = nullptr;
        Spam();
    }
    platform::IniFile Ini() const { return platform::IniFile(ProgramDir + "tarnwick.ini"); }
    std::string PopLog() const { return ReadText(ProgramDir + "pop.log"); }

    std::vector<std::string> dialogs;
    std::vector<std::string> inputs;
    platform::MsgResult answer = platform::MsgResult::Ok;

private:
    QTemporaryDir dir_;
    std::string savedDir_;
    bool savedLogging_ = true;
    std::unique_ptr<TFrmSettings> settingsForm_;
    std::unique_ptr<TFrmSpam> spamForm_;
};

void TickUser(TFrmSpam& f, const std::string& user) {
    auto items = f.CHBSpamUsers->findItems(QString::fromStdString(user), Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    items.front()->setCheckState(Qt::Checked);
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
        TFrmSpam& f = Spam();
        f.CHBCheckSpam->setChecked(c.filterOn);
        for (int i = 0; i < f.CHBSpamUsers->count(); ++i) f.CHBSpamUsers->item(i)->setCheckState(Qt::Unchecked);
        for (const auto& u : c.badUsers) TickUser(f, u);
        f.TblSpam2.EmptyTable();
        for (const auto& s : c.safe) {
            f.TblSpam2.Append();
            f.TblSpam2.FieldByName("Type").SetAsInteger(1);
            f.TblSpam2.FieldByName("Item").SetAsString(s);
            f.TblSpam2.Post();
        }
        QStringList good, bad;
        for (const auto& w : c.good) good << QString::fromStdString(w);
        for (const auto& w : c.bad) bad << QString::fromStdString(w);
        f.GoodList->setPlainText(good.join('\n'));
        f.BadList->setPlainText(bad.join('\n'));

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
    TFrmSpam& f = Spam();
    f.CHBCheckSpam->setChecked(true);
    f.GoodList->setPlainText("");
    f.BadList->setPlainText("pills\ncheap\n\nfree");
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
    f.CHBCheckSpam->setChecked(false);
    held = 0;
    EXPECT_EQ(f.CheckSpam("bob", "a@b.c", "cheap pills", held), 0);
    EXPECT_EQ(held, 3);
}

// --- safe list --------------------------------------------------------------------------

TEST_F(SpamClassify, AddSpamAddress) {
    TFrmSpam& f = Spam();
    f.TblSpam2.Append();
    f.TblSpam2.FieldByName("Type").SetAsInteger(1);
    f.TblSpam2.FieldByName("Item").SetAsString("*@known.org");
    f.TblSpam2.Post();
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
    // Classification sees the new entry at once; the window at its next load.
    int held = 0;
    f.CHBCheckSpam->setChecked(true);
    EXPECT_EQ(f.CheckSpam("bob", "ann@example.com", "", held), 0);
    EXPECT_EQ(f.safeList().size(), 0u);
    f.LoadSpamSettings();
    EXPECT_EQ(f.safeList().size(), 4u);
}

TEST_F(SpamClassify, AnAddressBookIsAddedAsOneBatch) {
    Spam();
    // Duplicates inside the batch and entries a domain covers count once or not at all.
    std::vector<std::string> book = {"*@wild.example", "a@x.example", "A@X.example", "b@x.example", "no address"};
    for (int i = 0; i < 2000; ++i) book.push_back("user" + std::to_string(i) + "@many.example");
    EXPECT_EQ(spam::AddSpamAddresses(spam::SafeSender, book), 2003);
    EXPECT_EQ(spam::AddSpamAddresses(spam::SafeSender, {"c@wild.example", "b@x.example"}), 0);
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    EXPECT_EQ(t.RecordCount(), 2003);
}

TEST_F(SpamClassify, WindowSaveKeepsAddressesAddedMeanwhile) {
    TFrmSpam& f = Spam();
    inputs = {"Mine@Example.com"};
    f.BtnSpamAddEmailClick();
    // While the window holds unsaved edits, the SMTP server adds a recipient.
    EXPECT_TRUE(spam::AddSpamAddress(1, "outgoing@example.net"));
    f.SaveSpamSettings();
    f.LoadSpamSettings();
    EXPECT_EQ(f.safeList(), (std::vector<std::string>{"mine@example.com", "outgoing@example.net"}));
    // A deletion in the window is not undone by that merge.
    f.BtnSpamDelEmailClick();
    f.SaveSpamSettings();
    f.LoadSpamSettings();
    EXPECT_EQ(f.safeList().size(), 1u);
}

TEST_F(SpamClassify, AddEditDeleteButtons) {
    TFrmSpam& f = Spam();
    EXPECT_FALSE(f.BtnApply->isEnabled());
    inputs = {"A@B.com"};
    f.BtnSpamAddEmailClick();
    EXPECT_TRUE(f.BtnApply->isEnabled());
    inputs = {"a@b.COM"};
    f.BtnSpamAddEmailClick();
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back(), "That email address is already present");
    EXPECT_EQ(f.safeList(), (std::vector<std::string>{"a@b.com"}));
    inputs = {"no-at"};  // the window does not insist on an "@"
    f.BtnSpamAddEmailClick();
    ASSERT_TRUE(f.TblSpam.FindKey({1, "a@b.com"}));
    inputs = {"C@D.com"};
    f.BtnSpamEditEmailClick();
    EXPECT_EQ(f.safeList(), (std::vector<std::string>{"c@d.com", "no-at"}));
    ASSERT_TRUE(f.TblSpam.FindKey({1, "no-at"}));
    f.BtnSpamDelEmailClick();
    EXPECT_EQ(f.safeList(), (std::vector<std::string>{"c@d.com"}));
    // Cancel forgets the unsaved list.
    f.BtnCancelClick();
    EXPECT_TRUE(f.safeList().empty());
}

// --- statistics ------------------------------------------------------------------------

TEST_F(SpamClassify, StatisticsCountAndReset) {
    TFrmSpam& f = Spam();
    spam::IncSpamStat("SpamDeleted");
    spam::IncSpamStat("SpamDeleted");
    spam::IncSpamStat("SpamSaved");
    EXPECT_EQ(Ini().ReadInteger("SpamStats", "SpamDeleted", 0), 2);
    EXPECT_EQ(Ini().ReadString("SpamStats", "StatsSince", ""), "07 Dec");
    // A counter created later restarts StatsSince.
    platform::SetClockForTesting([] { return At(10, 4) + std::chrono::hours(24 * 3); });
    spam::IncSpamStat("SpamDeleted");
    EXPECT_EQ(Ini().ReadString("SpamStats", "StatsSince", ""), "07 Dec");
    spam::IncSpamStat("SpamIdentified");
    EXPECT_EQ(Ini().ReadString("SpamStats", "StatsSince", ""), "10 Dec");
    f.ShowSpamStats();
    EXPECT_EQ(f.EditSpamDeleted->text().toStdString(), "3/4 ");
    EXPECT_EQ(f.EditSpamSuccessRatio->text().toStdString(), "75.0% ");
    f.BtnSpamResetClick();
    EXPECT_FALSE(Ini().SectionExists("SpamStats"));
    EXPECT_EQ(f.EditSpamRatio->text().toStdString(), "n/a ");
    EXPECT_EQ(f.GPBStats->title().toStdString(), "Spam Stats (since 10 Dec)");
}

// --- settings round trip -------------------------------------------------------------------

TEST_F(SpamClassify, DefaultsOfAnEmptyFile) {
    TFrmSpam& f = Spam();
    EXPECT_TRUE(platform::FileExists(ProgramDir + "spam.dat"));
    EXPECT_FALSE(f.CHBCheckSpam->isChecked());
    EXPECT_TRUE(f.CHBWebBookmark->isChecked());
    EXPECT_TRUE(f.CHBWebLimit->isChecked());
    EXPECT_EQ(f.SpinWebCount->value(), 100);
    EXPECT_EQ(f.SpinPreview->value(), 50);
    EXPECT_FALSE(f.RbtOneLine->isChecked());
    EXPECT_TRUE(f.RbtTwoLines->isChecked());
    EXPECT_FALSE(f.CHBReport->isChecked());
    EXPECT_TRUE(f.RbtSpamEvery->isChecked());
    EXPECT_EQ(f.SpinReport->value(), 10);
    EXPECT_EQ(f.EditReportTime->time(), QTime(17, 0));
    EXPECT_TRUE(f.CHBSpamAddOut->isChecked());
    EXPECT_EQ(f.GoodList->toPlainText().toStdString(), "order\nbooking\nflight\ntravel");
    EXPECT_EQ(f.BadList->toPlainText().toStdString(), "viagra\npills\nprescription");
    EXPECT_FALSE(f.BadUsersShown());
    EXPECT_EQ(f.CBXReport->count(), 3);
    EXPECT_EQ(f.CBXReport->currentIndex(), -1);
    // Report controls follow the report box.
    EXPECT_FALSE(f.CBXReport->isEnabled());
    EXPECT_FALSE(f.BtnReport->isEnabled());
    EXPECT_FALSE(f.BtnApply->isEnabled());
}

TEST_F(SpamClassify, SettingsRoundTrip) {
    TFrmSpam& f = Spam();
    f.CHBCheckSpam->setChecked(true);
    f.CHBWebBookmark->setChecked(false);
    f.CHBWebLimit->setChecked(false);
    f.SpinWebCount->setValue(250);
    f.SpinPreview->setValue(0);
    f.RbtOneLine->setChecked(true);
    f.CHBReport->setChecked(true);
    EXPECT_TRUE(f.CBXReport->isEnabled());
    EXPECT_FALSE(f.BtnReport->isEnabled());  // no report user yet
    f.CBXReport->setCurrentIndex(f.CBXReport->findText("carol"));
    EXPECT_TRUE(f.BtnReport->isEnabled());
    f.RbtSpamDaily->setChecked(true);
    f.SpinReport->setValue(25);
    f.EditReportTime->setTime(QTime(8, 30));
    f.CHBSpamAddOut->setChecked(false);
    f.GoodList->setPlainText("invoice\n\nmeeting notes");
    f.BadList->setPlainText("x89824\nlottery");
    f.SetBadUsersShown(true);
    TickUser(f, "bob");
    EXPECT_TRUE(f.BtnApply->isEnabled());
    f.BtnApplyClick();
    EXPECT_FALSE(f.BtnApply->isEnabled());

    auto ini = Ini();
    EXPECT_EQ(ini.ReadString("SpamWords", "Good1", ""), "invoice");
    EXPECT_EQ(ini.ReadString("SpamWords", "Good2", ""), "meeting notes");  // empty line skipped
    EXPECT_FALSE(ini.ValueExists("SpamWords", "Good3"));
    EXPECT_EQ(ini.ReadString("Spam", "ReportUser", ""), "carol");
    EXPECT_EQ(ini.ReadString("Spam", "ReportDailyTime", ""), "08:30");
    EXPECT_TRUE(ini.ValueExists("Spam", "ShowBoomark"));
    EXPECT_TRUE(ini.ReadBool("Spam", "SpamWordsInstalled", false));
    EXPECT_TRUE(ini.ReadBool("SpamUsers", "bob", false));
    EXPECT_FALSE(ini.ValueExists("SpamUsers", "alice"));

    Reopen();
    TFrmSpam& g = Spam();
    EXPECT_TRUE(g.CHBCheckSpam->isChecked());
    EXPECT_FALSE(g.CHBWebBookmark->isChecked());
    EXPECT_FALSE(g.CHBWebLimit->isChecked());
    EXPECT_EQ(g.SpinWebCount->value(), 250);
    EXPECT_EQ(g.SpinPreview->value(), 0);
    EXPECT_TRUE(g.RbtOneLine->isChecked());
    EXPECT_FALSE(g.RbtTwoLines->isChecked());
    EXPECT_TRUE(g.CHBReport->isChecked());
    EXPECT_EQ(g.CBXReport->currentText().toStdString(), "carol");
    EXPECT_TRUE(g.RbtSpamDaily->isChecked());
    EXPECT_FALSE(g.RbtSpamEvery->isChecked());
    EXPECT_EQ(g.SpinReport->value(), 25);
    EXPECT_EQ(g.EditReportTime->time(), QTime(8, 30));
    EXPECT_FALSE(g.CHBSpamAddOut->isChecked());
    // No built-in words any more; the bad list ends at the stored end mark.
    EXPECT_EQ(g.GoodList->toPlainText().toStdString(), "invoice\nmeeting notes");
    EXPECT_EQ(g.BadList->toPlainText().toStdString(), "");
    EXPECT_TRUE(g.BadUsersShown());
    auto bob = g.CHBSpamUsers->findItems("bob", Qt::MatchExactly);
    ASSERT_EQ(bob.size(), 1);
    EXPECT_EQ(bob.front()->checkState(), Qt::Checked);
    EXPECT_FALSE(g.BtnApply->isEnabled());

    // Hiding the bad users page stores Use false and drops every user key.
    g.SetBadUsersShown(false);
    g.SaveSpamSettings();
    EXPECT_FALSE(Ini().ReadBool("SpamUsers", "Use", true));
    EXPECT_FALSE(Ini().ValueExists("SpamUsers", "bob"));
}

TEST_F(SpamClassify, BadUsersTabOnRightClick) {
    TFrmSpam& f = Spam();
    answer = platform::MsgResult::Yes;
    f.CHBCheckSpamMouseDown(true);
    EXPECT_EQ(dialogs.back(), "Show bad users tab?");
    EXPECT_TRUE(f.BadUsersShown());
    EXPECT_TRUE(f.BtnApply->isEnabled());
    answer = platform::MsgResult::No;
    f.CHBCheckSpamMouseDown(true);
    EXPECT_FALSE(f.BadUsersShown());
}

TEST_F(SpamClassify, ShowLoadsStoredStateAndOkSavesOnlyChanges) {
    TFrmSpam& f = Spam();
    f.CHBCheckSpam->setChecked(true);  // an unsaved edit...
    TFrmSpam::ExecForTesting = [](TFrmSpam& w) {
        // ...is gone when the window is shown again.
        EXPECT_FALSE(w.CHBCheckSpam->isChecked());
        EXPECT_FALSE(w.BtnApply->isEnabled());
        w.BtnOKClick();
    };
    f.ShowSpamSettings();
    EXPECT_FALSE(Ini().SectionExists("Spam"));
    TFrmSpam::ExecForTesting = [](TFrmSpam& w) {
        w.SpinPreview->setValue(33);
        w.BtnOKClick();
    };
    f.ShowSpamSettings();
    TFrmSpam::ExecForTesting = nullptr;
    EXPECT_EQ(Ini().ReadInteger("Spam", "PreviewSize", 0), 33);
}

}  // namespace

namespace {

// A damaged spam.dat is set aside and the filter runs on with its settings
// and an empty safe list; the person at the machine is told.
TEST_F(SpamClassify, DamagedSafeListIsSetAsideAndTheFilterStaysOn) {
    const std::string garbage = "this is no table file\r\n";
    ASSERT_TRUE(platform::WriteFileAtomic(ProgramDir + "spam.dat", garbage));
    Ini().WriteBool("Spam", "CheckSpam", true);
    TFrmSpam& f = Spam();
    EXPECT_EQ(ReadText(ProgramDir + "spam.dat.bad"), garbage);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_NE(dialogs[0].find("spam.dat"), std::string::npos);
    EXPECT_NE(ReadText(ProgramDir + "connect.log").find("spam.dat"), std::string::npos);
    EXPECT_TRUE(f.CHBCheckSpam->isChecked());
    int held = 0;
    EXPECT_EQ(f.CheckSpam("bob", "Someone <a@far.example>", "hello", held), 1);

    // The new list takes entries and the setup window opens.
    spam::AddSpamAddress(spam::SafeSender, "a@far.example");
    bool shown = false;
    TFrmSpam::ExecForTesting = [&](TFrmSpam& w) {
        shown = true;
        EXPECT_EQ(w.safeList(), (std::vector<std::string>{"a@far.example"}));
    };
    f.ShowSpamSettings();
    TFrmSpam::ExecForTesting = nullptr;
    EXPECT_TRUE(shown);
    EXPECT_EQ(f.CheckSpam("bob", "a@far.example", "hello", held), 0);
    EXPECT_EQ(dialogs.size(), 1u);
}

}  // namespace
