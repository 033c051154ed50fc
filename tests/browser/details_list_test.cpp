// Message browser: which files each view lists, how the list sorts, which
// buttons a tick enables, and the purge of old web mail copies.
#include "browser/details.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QThread>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeWidget>

#include <algorithm>
#include <set>

#include "browser_env.h"
#include "platform/inifile.h"
#include "settings/setup.h"
#include "tables/memtable.h"

namespace {

using browsertest::Days;
using browsertest::Message;

class DetailsList : public browsertest::BrowserEnv {
protected:
    void TearDown() override {
        TFrmDetails::ExecForTesting = nullptr;
        form.reset();
        BrowserEnv::TearDown();
    }
    TFrmDetails& Form() {
        if (!form) form = std::make_unique<TFrmDetails>();
        return *form;
    }
    std::set<std::string> Listed() {
        std::set<std::string> names;
        for (int i = 0; i < Form().RowCount(); ++i) {
            const std::string p = Form().RowPath(i);
            names.insert(p.substr(p.find_last_of('/') + 1));
        }
        return names;
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
    std::unique_ptr<TFrmDetails> form;
};

TEST_F(DetailsList, EachViewListsItsFolderAndTicksOnlySpam) {
    Put("in/anna_1.dat", Message("a@x", "anna", "one"));
    Put("in/anna_2.dat", Message("a@x", "anna", "two"));
    Put("in/bob_3.dat", Message("a@x", "bob", "three"));
    Put("in/anna_x_4.dat", Message("a@x", "anna_x", "not anna's"));
    Put("in/anna_5.del", "");
    Put("out/q1.txt", Message("a@x", "z@y", "queued"));
    Put("out/q2.tx_", Message("a@x", "z@y", "suspended"));
    Put("out/q3.txo", "partial");
    Put("out/q4.bad", Message("a@x", "z@y", "failed"));
    Put("Deleted/anna_6.dat", Message("s@x", "anna", "gone"));
    Put("Spam1/anna_7.dat", Message("s@x", "anna", "maybe"));
    Put("Spam2/bob_8.dat", Message("s@x", "bob", "surely"));
    Put("Spam2/notes.txt", "not a message");

    struct Case {
        int mode;
        std::string user;
        std::set<std::string> names;
        bool ticked;
    } cases[] = {
        {details::ModeInbox, "anna", {"anna_1.dat", "anna_2.dat"}, false},
        {details::ModeInbox, "bob", {"bob_3.dat"}, false},
        {details::ModeOutbox, "", {"q1.txt", "q2.tx_", "q3.txo"}, false},
        {details::ModeDeleted, "", {"anna_6.dat"}, false},
        {details::ModePossible, "", {"anna_7.dat"}, true},
        {details::ModeProbable, "", {"bob_8.dat"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        Form().FillMessageList(c.mode, c.user);
        EXPECT_EQ(Listed(), c.names);
        for (int i = 0; i < Form().RowCount(); ++i) EXPECT_EQ(Form().RowTicked(i), c.ticked);
        EXPECT_EQ(Form().BtnPossible->isChecked(), c.mode == details::ModePossible);
        EXPECT_EQ(Form().BtnProbable->isChecked(), c.mode == details::ModeProbable);
    }
    // The suspended message is marked; the others are not.
    Form().FillMessageList(details::ModeOutbox);
    for (int i = 0; i < Form().RowCount(); ++i)
        EXPECT_EQ(Form().RowImage(i), Form().RowPath(i).ends_with(".tx_") ? 1 : 0) << Form().RowPath(i);
}

TEST_F(DetailsList, RowShowsDateSizeAndDecodedHeaders) {
    const auto stamp = browsertest::At(2026, 3, 5, 8, 9);
    Put("in/anna_1.dat", Message("\"Ann Example\" <a@x>", "anna", "=?UTF-8?B?R3LDvMOfZQ==?="));
    ASSERT_TRUE(platform::SetFileTime(Path("in/anna_1.dat"), stamp));
    Form().FillMessageList(details::ModeInbox, "anna");
    ASSERT_EQ(Form().RowCount(), 1);
    QTreeWidgetItem* row = Form().Row(0);
    EXPECT_EQ(row->text(details::ColReceived).toStdString(), "05 Mar 08:09");
    EXPECT_EQ(row->text(details::ColSize).toStdString(), std::to_string(Read("in/anna_1.dat").size()) + " bytes");
    EXPECT_EQ(row->text(details::ColFrom).toStdString(), "Ann Example <a@x>");
    EXPECT_EQ(row->text(details::ColSubject).toStdString(), "Grüße");
    EXPECT_EQ(row->text(details::ColFilename).toStdString(), Path("in/anna_1.dat"));
    EXPECT_TRUE(Form().ListView1->isColumnHidden(details::ColFilename));
}

// Date (with its tick box) and size are shown whole, whatever the font.
TEST_F(DetailsList, DateAndSizeAreNotCut) {
    Put("in/anna_1.dat", Message("a@x", "anna", "short", std::string(900, 'x')));
    Put("in/anna_2.dat", Message("a@x", "anna", "long", std::string(1500000, 'x')));
    Form().FillMessageList(details::ModeInbox, "anna");
    Form().show();
    QApplication::processEvents();
    const QFontMetrics metrics = Form().ListView1->fontMetrics();
    for (int i = 0; i < Form().RowCount(); ++i) {
        QTreeWidgetItem* row = Form().Row(i);
        EXPECT_GT(Form().ListView1->columnWidth(details::ColSize),
                  metrics.horizontalAdvance(row->text(details::ColSize)))
            << row->text(details::ColSize).toStdString();
        // The tick box sits in the same column, before the date.
        EXPECT_GT(Form().ListView1->columnWidth(details::ColReceived),
                  metrics.horizontalAdvance(row->text(details::ColReceived)) + 16);
    }
}

TEST_F(DetailsList, SortsNewestFirstThenByClickedColumn) {
    // name, age in minutes, size padding, sender
    Put("in/anna_a.dat", Message("carol@x", "anna", "s") + std::string(300, 'x'), std::chrono::minutes(30));
    Put("in/anna_b.dat", Message("Bob@x", "anna", "s"), std::chrono::minutes(10));
    Put("in/anna_c.dat", Message("alice@x", "anna", "s") + std::string(100, 'x'), std::chrono::minutes(20));
    auto order = [this] {
        std::string s;
        for (int i = 0; i < Form().RowCount(); ++i) s += Form().RowPath(i)[Form().RowPath(i).size() - 5];
        return s;
    };
    Form().FillMessageList(details::ModeInbox, "anna");
    EXPECT_EQ(order(), "bca");  // newest first

    struct Step {
        int column;
        std::string expected;
        bool ascending;
    } steps[] = {
        {details::ColFrom, "cba", true},      // alice, Bob, carol: case ignored
        {details::ColFrom, "abc", false},     // same column again flips
        {details::ColSize, "bca", true},
        {details::ColReceived, "acb", true},  // oldest first
        {details::ColReceived, "bca", false},
    };
    for (const Step& s : steps) {
        Form().ListView1ColumnClick(s.column);
        EXPECT_EQ(order(), s.expected) << "column " << s.column;
        EXPECT_EQ(Form().SortAscending(), s.ascending);
    }
    // A new list starts over: Received, newest first.
    Form().FillMessageList(details::ModeInbox, "anna");
    EXPECT_EQ(Form().SortColumn(), details::ColReceived);
    EXPECT_FALSE(Form().SortAscending());
    EXPECT_EQ(order(), "bca");
}

TEST_F(DetailsList, TicksEnableTheActionButtons) {
    WriteUsers({"anna", "bob"});
    Put("in/anna_1.dat", Message("a@x", "anna", "one"));
    TFrmDetails::ExecForTesting = [](TFrmDetails& f) {
        EXPECT_FALSE(f.BtnDelIn->isEnabled());
        EXPECT_FALSE(f.BtnMove->isEnabled());
        f.SetRowTicked(0, true);
        for (QWidget* w : std::initializer_list<QWidget*>{f.BtnDelIn, f.BtnMove, f.BtnCopy, f.ComboBox1})
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        f.AllNone(false);
        EXPECT_FALSE(f.BtnDelIn->isEnabled());
        f.AllNone(true);
        EXPECT_TRUE(f.RowTicked(0));
        EXPECT_TRUE(f.BtnDelIn->isEnabled());
        // Move and copy need somebody to move to.
        f.ComboBox1->clear();
        f.ListView1Change();
        EXPECT_TRUE(f.BtnDelIn->isEnabled());
        EXPECT_FALSE(f.BtnMove->isEnabled());
        EXPECT_FALSE(f.BtnCopy->isEnabled());
    };
    Form().ShowInbox("anna");
}

TEST_F(DetailsList, EntryPointsSetCaptionPageAndUsers) {
    WriteUsers({"carl", "anna", "bob"});
    Put("in/anna_1.dat", Message("a@x", "anna", "one"));
    Put("Spam1/anna_2.dat", Message("a@x", "anna", "maybe"));
    Put("Spam2/anna_3.dat", Message("a@x", "anna", "surely"));
    std::vector<std::string> seen;
    TFrmDetails::ExecForTesting = [&seen](TFrmDetails& f) {
        std::string users;
        for (int i = 0; i < f.ComboBox1->count(); ++i) users += f.ComboBox1->itemText(i).toStdString() + ",";
        seen.push_back(f.windowTitle().toStdString() + "|" + f.ActivePage() + "|" + std::to_string(f.Mode()) + "|" +
                       users + "|" + std::to_string(f.RowCount()));
    };
    Form().ShowInbox("anna");
    Form().ShowOutbox();
    Form().ShowSpam(true);
    Form().ShowSpam(false);
    // The users table keeps its index order (by name).
    EXPECT_EQ(seen, (std::vector<std::string>{"Inbox for anna|InBox|1|bob,carl,|1", "Outbox|OutBox|2|bob,carl,|0",
                                              "Spam|Spam|4|bob,carl,|1", "Spam|Spam|5|bob,carl,|1"}));
}

TEST_F(DetailsList, OutboxStartsWithItsButtonsOff) {
    Put("out/q1.txt", Message("a@x", "z@y", "queued"));
    TFrmDetails::ExecForTesting = [](TFrmDetails& f) {
        for (QWidget* w : std::initializer_list<QWidget*>{f.BtnDelOut, f.BtnSuspend, f.BtnUnSuspend, f.ComboBox1})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        f.SetRowTicked(0, true);
        EXPECT_TRUE(f.BtnSuspend->isEnabled());
    };
    Form().ShowOutbox();
}

TEST_F(DetailsList, DeletedSpamFillsOnceTheWindowIsUp) {
    for (int i = 0; i < 5; ++i) Put("Deleted/anna_" + std::to_string(i) + ".dat", Message("s@x", "anna", "x"));
    int before = -1, after = -1;
    TFrmDetails::ExecForTesting = [&](TFrmDetails& f) {
        before = f.RowCount();
        QElapsedTimer waited;
        waited.start();
        while (f.RowCount() < 5 && waited.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(1);
        }
        after = f.RowCount();
        EXPECT_EQ(f.windowTitle().toStdString(), "Deleted Spam");
        EXPECT_EQ(f.ActivePage(), "Deleted");
    };
    Form().ShowDeletedSpam();
    EXPECT_EQ(before, 0);
    EXPECT_EQ(after, 5);
}

TEST_F(DetailsList, PreviewPaneFollowsTheSetting) {
    Put("in/anna_1.dat", Message("a@x", "anna", "one"));
    for (bool view : {false, true}) {
        platform::IniFile(ProgramDir + "tarnwick.ini").WriteBool("General", "ViewMessages", view);
        Form().FillMessageList(details::ModeInbox, "anna");
        EXPECT_EQ(Form().PanelPreview->isVisibleTo(&Form()), view);
    }
}

TEST_F(DetailsList, PurgeRemovesCopiesAtOrPastTheirRetention) {
    // age in days (negative: dated in the future), retention, kept?
    struct Case {
        int ageDays;
        int retention;
        bool kept;
    } cases[] = {
        {29, 30, true}, {30, 30, false}, {31, 30, false}, {0, 0, false}, {400, 0, false}, {-1, 0, true}, {2, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ageDays) + "/" + std::to_string(c.retention));
        Put("WebSent/anna_1.dat", "x", Days(c.ageDays));
        Put("WebSent/keep.txt", "not a message", Days(1000));
        details::PurgeOldFiles(Path("WebSent/"), c.retention);
        EXPECT_EQ(Exists("WebSent/anna_1.dat"), c.kept);
        EXPECT_TRUE(Exists("WebSent/keep.txt"));
    }
}

TEST_F(DetailsList, CreationPurgesSentAndDeletedByTheirOwnRetention) {
    platform::IniFile ini(ProgramDir + "tarnwick.ini");
    ini.WriteInteger("Remote", "SentDays", 10);
    ini.WriteInteger("Remote", "DeletedDays", 0);
    Put("WebSent/anna_old.dat", "x", Days(11));
    Put("WebSent/anna_new.dat", "x", Days(9));
    Put("WebDeleted/anna_new.dat", "x", std::chrono::hours(1));
    Put("WebSaved/anna_old.dat", "x", Days(500));
    Form();
    EXPECT_FALSE(Exists("WebSent/anna_old.dat"));
    EXPECT_TRUE(Exists("WebSent/anna_new.dat"));
    EXPECT_FALSE(Exists("WebDeleted/anna_new.dat"));
    EXPECT_TRUE(Exists("WebSaved/anna_old.dat"));
}

TEST(DetailsNames, MovedFileTakesTheNewUsersName) {
    struct Case {
        const char* file;
        const char* user;
        const char* expected;
    } cases[] = {
        {"anna_x1.dat", "bob", "bob_x1.dat"},
        {"anna_b_c.dat", "bob", "bob_b_c.dat"},  // from the first "_" on
        {"x1.dat", "bob", "bob_x1.dat"},
    };
    for (const Case& c : cases) EXPECT_EQ(details::RenameForUser(c.file, c.user), c.expected) << c.file;
    EXPECT_EQ(details::QueueIdOfFile("pc12lan100405123.tx_"), "pc12lan100405123");
}

}  // namespace

namespace {

class DetailsLayout : public browsertest::BrowserEnv {};

TEST_F(DetailsLayout, PreviewKeepsItsShareOfTheHeight) {
    TFrmDetails form;
    form.resize(800, 500);
    form.show();
    QCoreApplication::processEvents();
    const int total = form.Splitter1->sizes()[0] + form.Splitter1->sizes()[1];
    form.Splitter1->setSizes({total * 3 / 5, total * 2 / 5});
    for (int height : {1000, 450, 700}) {
        form.resize(800, height);
        QCoreApplication::processEvents();
        const QList<int> sizes = form.Splitter1->sizes();
        EXPECT_NEAR(static_cast<double>(sizes[1]) / (sizes[0] + sizes[1]), 0.4, 0.03) << height;
    }
    form.hide();
}

}  // namespace
