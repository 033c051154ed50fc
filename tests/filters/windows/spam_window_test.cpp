// The spam filter's setup window: its copy of the safe list and how it
// reaches spam.dat's owner, the statistics, and the round trip of the
// [Spam], [SpamWords] and [SpamUsers] sections through its controls.
#include "filters/windows/spam_window.h"
#include "filters/spam_env.h"

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
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

platform::SystemTime At(int hour, int minute) { return spamtest::December(7, hour, minute); }

void WriteUsers(const std::vector<std::string>& names) { spamtest::WriteUsers(names, false); }

using spamtest::ReadText;

class SpamEnv : public spamtest::SpamHome {
protected:
    void SetUp() override {
        SpamHome::SetUp();
        if (HasFatalFailure()) return;
        procs::LogClientActivity = true;
        SetNow(At(10, 4));
        WriteUsers({"alice", "bob", "carol"});
        settingsForm_ = std::make_unique<TFrmSettings>();
        FrmSettings = settingsForm_.get();
    }
    void TearDown() override {
        spamForm_.reset();
        FrmSpam = nullptr;
        settingsForm_.reset();
        FrmSettings = nullptr;
        SpamHome::TearDown();
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

private:
    std::unique_ptr<TFrmSettings> settingsForm_;
    std::unique_ptr<TFrmSpam> spamForm_;
};

void TickUser(TFrmSpam& f, const std::string& user) {
    auto items = f.CHBSpamUsers->findItems(QString::fromStdString(user), Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    items.front()->setCheckState(Qt::Checked);
}

class SpamWindow : public SpamEnv {};

TEST_F(SpamWindow, WindowSaveKeepsAddressesAddedMeanwhile) {
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

TEST_F(SpamWindow, AddEditDeleteButtons) {
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

TEST_F(SpamWindow, StatisticsCountAndReset) {
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

TEST_F(SpamWindow, DefaultsOfAnEmptyFile) {
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

TEST_F(SpamWindow, SettingsRoundTrip) {
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

TEST_F(SpamWindow, BadUsersTabOnRightClick) {
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

TEST_F(SpamWindow, ShowLoadsStoredStateAndOkSavesOnlyChanges) {
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
TEST_F(SpamWindow, DamagedSafeListIsSetAsideAndTheFilterStaysOn) {
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
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "Someone <a@far.example>", "hello", held), 1);

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
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "a@far.example", "hello", held), 0);
    EXPECT_EQ(dialogs.size(), 1u);
}

// What the window shows is what classification reads: an unsaved edit of
// the switches, words or bad users counts at once, and Cancel takes it back.
TEST_F(SpamWindow, EditsReachTheRunningFilterBeforeTheyAreSaved) {
    TFrmSpam& f = Spam();
    f.CHBCheckSpam->setChecked(true);
    f.GoodList->setPlainText("");
    f.BadList->setPlainText("lottery");
    int held = 0;
    EXPECT_EQ(spam::Filter()->CheckSpam("alice", "a@b.example", "Lottery win", held), spam::ProbableSpam);
    TickUser(f, "bob");
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "a@b.example", "hello", held), spam::ProbableSpam);
    f.CHBSpamAddOut->setChecked(false);
    EXPECT_FALSE(spam::Filter()->settings().addOutAddress);
    f.SpinWebCount->setValue(42);
    EXPECT_EQ(spam::Filter()->settings().webPageLimit, 42);
    f.BtnCancelClick();
    EXPECT_FALSE(spam::Filter()->settings().checkSpam);
    EXPECT_TRUE(spam::Filter()->settings().addOutAddress);
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "a@b.example", "hello", held), spam::NotSpam);
    // The filter runs as long as its window lives.
    Reopen();
    EXPECT_NE(spam::Filter(), nullptr);
}

// A window opened before another writer changed the safe list saves only
// its own edits: an address the web page or the SMTP server added, or one
// they removed, is not undone by the window's older copy.
TEST_F(SpamWindow, AStaleWindowCopyNeverOverwritesNewerEntries) {
    TFrmSpam& f = Spam();
    ASSERT_TRUE(spam::AddSpamAddress(spam::SafeSender, "old@a.example"));
    ASSERT_TRUE(spam::AddSpamAddress(spam::SafeSender, "gone@a.example"));
    f.LoadSpamSettings();
    ASSERT_EQ(f.safeList(), (std::vector<std::string>{"gone@a.example", "old@a.example"}));

    // Meanwhile: an address book upload through the web adds many, and an
    // entry disappears from the list without the window.
    ASSERT_EQ(spam::AddSpamAddresses(spam::SafeSender, {"web1@b.example", "web2@b.example"}), 2);
    ASSERT_TRUE(spam::SafeList().Change(ProgramDir, [](TvdlMemTable& t) {
        ASSERT_TRUE(t.FindKey({spam::SafeSender, "gone@a.example"}));
        t.Delete();
    }));

    // The window, unaware, adds one of its own and saves with OK.
    inputs = {"Mine@C.example"};
    f.BtnSpamAddEmailClick();
    f.BtnOKClick();

    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    std::vector<std::string> items;
    for (t.First(); !t.Eof(); t.Next()) items.push_back(t.FieldByName("Item").AsString());
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"mine@c.example", "old@a.example", "web1@b.example", "web2@b.example"}));
    // The window now shows the list as it is, and so does classification.
    EXPECT_EQ(f.safeList(), items);
    f.CHBCheckSpam->setChecked(true);
    int held = 0;
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "web2@b.example", "x", held), spam::NotSpam);
    EXPECT_EQ(spam::Filter()->CheckSpam("bob", "gone@a.example", "x", held), spam::PossibleSpam);
}

// The same for the outgoing mail path while the window's copy holds a
// deletion: the deletion is made, the new recipient stays.
TEST_F(SpamWindow, AStaleWindowDeletionKeepsAddressesTheMailPathAdded) {
    TFrmSpam& f = Spam();
    ASSERT_TRUE(spam::AddSpamAddress(spam::SafeSender, "drop@a.example"));
    f.LoadSpamSettings();
    ASSERT_TRUE(f.TblSpam.FindKey({spam::SafeSender, "drop@a.example"}));
    f.BtnSpamDelEmailClick();
    ASSERT_TRUE(spam::AddSpamAddress(spam::SafeSender, "recipient@out.example"));
    f.BtnApplyClick();
    EXPECT_FALSE(f.BtnApply->isEnabled());
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    ASSERT_EQ(t.RecordCount(), 1);
    t.First();
    EXPECT_EQ(t.FieldByName("Item").AsString(), "recipient@out.example");
}

}  // namespace
