// Message browser actions on real files: nothing is lost, nothing is
// overwritten, and queue states change only as asked.
#include "browser/details.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include "browser_env.h"
#include "platform/inifile.h"

namespace {

using browsertest::Days;
using browsertest::Message;

class DetailsActions : public browsertest::BrowserEnv {
protected:
    void SetUp() override {
        BrowserEnv::SetUp();
        form = std::make_unique<TFrmDetails>();
    }
    void TearDown() override {
        form.reset();
        BrowserEnv::TearDown();
    }
    // Lists the view and ticks the rows of the given files (all when empty).
    void List(int mode, const std::string& user, const std::vector<std::string>& tick = {}) {
        form->FillMessageList(mode, user);
        for (int i = 0; i < form->RowCount(); ++i) {
            const std::string path = form->RowPath(i);
            bool on = tick.empty();
            for (const auto& t : tick) on = on || path == Path(t);
            form->SetRowTicked(i, on);
        }
    }
    void Target(const std::string& user) {
        form->ComboBox1->clear();
        form->ComboBox1->addItem(QString::fromStdString(user));
    }
    bool Listed(const std::string& rel) const { return form->FindRow(Path(rel)) >= 0; }
    std::string Ini(const std::string& section, const std::string& key) {
        return platform::IniFile(ProgramDir + "tarnwick.ini").ReadString(section, key, "");
    }
    std::unique_ptr<TFrmDetails> form;
};

TEST_F(DetailsActions, MoveGivesTheFileToTheOtherUserKeepingItsDate) {
    const std::string text = Message("a@x", "anna", "one");
    Put("in/anna_x1.dat", text, Days(3));
    const auto date = DateOf("in/anna_x1.dat");
    List(details::ModeInbox, "anna");
    Target("bob");
    form->InMailBtns(form->BtnMove);
    EXPECT_FALSE(Exists("in/anna_x1.dat"));
    EXPECT_EQ(Read("in/bob_x1.dat"), text);
    EXPECT_EQ(DateOf("in/bob_x1.dat"), date);
    EXPECT_EQ(form->RowCount(), 0);
    EXPECT_TRUE(dialogs.empty());
    EXPECT_EQ(Files("in"), std::vector<std::string>{"bob_x1.dat"});  // no temp file left behind
    EXPECT_FALSE(form->BtnMove->isEnabled());
}

TEST_F(DetailsActions, MoveNeverOverwritesTheTargetUsersMessage) {
    Put("in/anna_x1.dat", Message("a@x", "anna", "anna's"));
    Put("in/bob_x1.dat", Message("a@x", "bob", "bob's own"));
    List(details::ModeInbox, "anna");
    Target("bob");
    form->InMailBtns(form->BtnMove);
    EXPECT_FALSE(Exists("in/anna_x1.dat"));
    EXPECT_EQ(Read("in/bob_x1.dat"), Message("a@x", "bob", "bob's own"));
    EXPECT_EQ(Read("in/bob_x11.dat"), Message("a@x", "anna", "anna's"));
}

TEST_F(DetailsActions, MoveThatFailsSaysSoAndKeepsTheRow) {
    Put("in/anna_x1.dat", Message("a@x", "anna", "one"));
    Put("in/anna_x2.dat", Message("a@x", "anna", "two"));
    List(details::ModeInbox, "anna");
    Target("bob");
    // Taken away by a mail client after the list was made.
    std::remove(Path("in/anna_x1.dat").c_str());
    form->InMailBtns(form->BtnMove);
    EXPECT_EQ(dialogs,
              std::vector<std::string>{"There was a problem moving that email - couldn't gain exclusive access."});
    EXPECT_TRUE(Listed("in/anna_x1.dat"));
    EXPECT_FALSE(Listed("in/anna_x2.dat"));
    EXPECT_TRUE(Exists("in/bob_x2.dat"));
    EXPECT_FALSE(Exists("in/bob_x1.dat"));
}

TEST_F(DetailsActions, CopyAddsAFileForTheOtherUserUnlessItHasOne) {
    Put("in/anna_x1.dat", Message("a@x", "anna", "one"), Days(2));
    Put("in/anna_x2.dat", Message("a@x", "anna", "two"));
    Put("in/bob_x2.dat", Message("a@x", "bob", "bob's"));
    List(details::ModeInbox, "anna");
    Target("bob");
    form->InMailBtns(form->BtnCopy);
    EXPECT_EQ(Read("in/bob_x1.dat"), Read("in/anna_x1.dat"));
    EXPECT_EQ(DateOf("in/bob_x1.dat"), DateOf("in/anna_x1.dat"));
    EXPECT_EQ(Read("in/bob_x2.dat"), Message("a@x", "bob", "bob's"));
    EXPECT_FALSE(Exists("in/bob_x21.dat"));
    // Rows stay, unticked.
    EXPECT_EQ(form->RowCount(), 2);
    for (int i = 0; i < form->RowCount(); ++i) EXPECT_EQ(form->RowTicked(i), false);
}

TEST_F(DetailsActions, DeleteFromMailboxKeepsACopyWhileRetentionIsOn) {
    struct Case {
        int retention;
        platform::MsgResult answer;
        bool deleted;
        bool kept;
    } cases[] = {
        {30, platform::MsgResult::Yes, true, true},
        {0, platform::MsgResult::Yes, true, false},
        {30, platform::MsgResult::No, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.retention);
        platform::IniFile(ProgramDir + "tarnwick.ini").WriteInteger("Remote", "DeletedDays", c.retention);
        std::remove(Path("WebDeleted/anna_x1.dat").c_str());
        Put("in/anna_x1.dat", Message("a@x", "anna", "one"));
        answer = c.answer;
        dialogs.clear();
        List(details::ModeInbox, "anna");
        form->InMailBtns(form->BtnDelIn);
        EXPECT_EQ(dialogs, std::vector<std::string>{"All ticked emails will be deleted, are you sure?"});
        EXPECT_EQ(Exists("in/anna_x1.dat"), !c.deleted);
        EXPECT_EQ(Listed("in/anna_x1.dat"), !c.deleted);
        EXPECT_EQ(Exists("WebDeleted/anna_x1.dat"), c.kept);
    }
}

TEST_F(DetailsActions, DeletedCopiesNeverReplaceEarlierOnes) {
    Put("WebDeleted/anna_x1.dat", "deleted last week");
    Put("in/anna_x1.dat", Message("a@x", "anna", "one"));
    List(details::ModeInbox, "anna");
    form->InMailBtns(form->BtnDelIn);
    EXPECT_EQ(Read("WebDeleted/anna_x1.dat"), "deleted last week");
    EXPECT_EQ(Read("WebDeleted/anna_x11.dat"), Message("a@x", "anna", "one"));
}

TEST_F(DetailsActions, RestoreDeletedSpamIntoTheMailbox) {
    Put("Deleted/anna_s1.dat", Message("s@x", "anna", "wanted after all"), Days(1));
    Put("Deleted/anna_s2.dat", Message("s@x", "anna", "restored twice"));
    Put("in/anna_s2.dat", "already there");
    const auto date = DateOf("Deleted/anna_s1.dat");
    List(details::ModeDeleted, "");
    form->InMailBtns(form->BtnRestoreDel);
    EXPECT_EQ(Read("in/anna_s1.dat"), Message("s@x", "anna", "wanted after all"));
    EXPECT_EQ(DateOf("in/anna_s1.dat"), date);
    EXPECT_FALSE(Exists("Deleted/anna_s1.dat"));
    // The mailbox copy is not replaced, and the deleted one is not lost.
    EXPECT_EQ(Read("in/anna_s2.dat"), "already there");
    EXPECT_TRUE(Exists("Deleted/anna_s2.dat"));
    EXPECT_EQ(form->RowCount(), 0);
    EXPECT_TRUE(dialogs.empty());
}

TEST_F(DetailsActions, DeleteDeletedSpamForGood) {
    Put("Deleted/anna_s1.dat", "x");
    Put("Deleted/anna_s2.dat", "y");
    List(details::ModeDeleted, "", {"Deleted/anna_s1.dat"});
    form->InMailBtns(form->BtnDelDel);
    EXPECT_FALSE(Exists("Deleted/anna_s1.dat"));
    EXPECT_TRUE(Exists("Deleted/anna_s2.dat"));
    EXPECT_EQ(form->RowCount(), 1);
}

TEST_F(DetailsActions, DeleteQueuedMailRemovesItsQueueRecord) {
    Put("out/q1.txt", Message("a@x", "z@y", "queued"));
    Put("out/q2.txt", Message("a@x", "z@y", "stays"));
    smtp::WritePortsValue("q1", std::string("To1"), "<z@y>");
    smtp::WritePortsValue("q2", std::string("To1"), "<z@y>");
    List(details::ModeOutbox, "", {"out/q1.txt"});
    form->OutMailBtns(form->BtnDelOut);
    EXPECT_EQ(dialogs, std::vector<std::string>{"All ticked emails will be permanently deleted, are you sure?"});
    EXPECT_FALSE(Exists("out/q1.txt"));
    EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "");
    EXPECT_EQ(smtp::ReadPortsValue("q2", "To1"), "<z@y>");
    EXPECT_TRUE(Exists("out/q2.txt"));
    EXPECT_FALSE(form->BtnSuspend->isEnabled());
}

TEST_F(DetailsActions, SuspendAndUnsuspendChangeOnlyTheExtension) {
    const std::string text = Message("a@x", "z@y", "queued");
    Put("out/q1.txt", text);
    smtp::WritePortsValue("q1", std::string("Goes"), "3");
    List(details::ModeOutbox, "");

    form->OutMailBtns(form->BtnSuspend);
    EXPECT_FALSE(Exists("out/q1.txt"));
    EXPECT_EQ(Read("out/q1.tx_"), text);
    ASSERT_EQ(form->RowCount(), 1);
    EXPECT_EQ(form->RowPath(0), Path("out/q1.tx_"));
    EXPECT_EQ(form->RowImage(0), 1);
    EXPECT_TRUE(form->RowTicked(0));

    form->OutMailBtns(form->BtnUnSuspend);
    EXPECT_EQ(Read("out/q1.txt"), text);
    EXPECT_FALSE(Exists("out/q1.tx_"));
    EXPECT_EQ(form->RowPath(0), Path("out/q1.txt"));
    EXPECT_EQ(form->RowImage(0), 0);
    EXPECT_EQ(smtp::ReadPortsValue("q1", "Goes"), "3");  // attempts unchanged
}

TEST_F(DetailsActions, SuspendLeavesArrivingSentAndCollidingFilesAlone) {
    Put("out/a.txo", "arriving");
    Put("out/b.txs", "");
    Put("out/c.txt", "queued");
    Put("out/c.tx_", "suspended earlier");
    List(details::ModeOutbox, "");
    form->OutMailBtns(form->BtnSuspend);
    form->OutMailBtns(form->BtnUnSuspend);
    EXPECT_EQ(Read("out/a.txo"), "arriving");
    EXPECT_TRUE(Exists("out/b.txs"));
    EXPECT_FALSE(Exists("out/b.txt"));
    EXPECT_EQ(Read("out/c.txt"), "queued");
    EXPECT_EQ(Read("out/c.tx_"), "suspended earlier");
}

TEST_F(DetailsActions, DeleteSpamKeepsItInDeletedAndCountsIt) {
    Put("Spam1/anna_s1.dat", Message("s@x", "anna", "spam"), Days(1));
    Put("Deleted/anna_s1.dat", "deleted before");
    const auto date = DateOf("Spam1/anna_s1.dat");
    List(details::ModePossible, "");
    form->SpamBtns(form->BtnSpamDel);
    EXPECT_TRUE(dialogs.empty());
    EXPECT_FALSE(Exists("Spam1/anna_s1.dat"));
    EXPECT_EQ(Read("Deleted/anna_s1.dat"), "deleted before");
    EXPECT_EQ(Read("Deleted/anna_s11.dat"), Message("s@x", "anna", "spam"));
    EXPECT_EQ(DateOf("Deleted/anna_s11.dat"), date);
    EXPECT_EQ(Ini("SpamStats", "SpamDeleted"), "1");
    EXPECT_EQ(form->RowCount(), 0);
}

TEST_F(DetailsActions, SaveSpamReleasesTheTickedIntoTheMailbox) {
    Put("Spam2/anna_s1.dat", Message("s@x", "anna", "wanted"));
    Put("Spam2/bob_s2.dat", Message("s@x", "bob", "not ticked"));
    struct Case {
        bool addAddress;
        platform::MsgResult answer;
        const char* question;
        bool released;
    } cases[] = {
        {false, platform::MsgResult::Cancel, "All ticked emails will be restored.", false},
        {true, platform::MsgResult::Cancel,
         "All ticked emails will be restored and the sender's email address(es) considered safe from now on.", false},
        {false, platform::MsgResult::Ok, "All ticked emails will be restored.", true},
    };
    for (const Case& c : cases) {
        dialogs.clear();
        answer = c.answer;
        List(details::ModeProbable, "", {"Spam2/anna_s1.dat"});
        form->CHBSpamAddAddress->setChecked(c.addAddress);
        form->SpamBtns(form->BtnSpamOK);
        EXPECT_EQ(dialogs, std::vector<std::string>{c.question});
        EXPECT_EQ(Exists("in/anna_s1.dat"), c.released);
        EXPECT_EQ(Exists("Spam2/anna_s1.dat"), !c.released);
        EXPECT_EQ(Listed("Spam2/anna_s1.dat"), !c.released);
    }
    EXPECT_TRUE(Exists("Spam2/bob_s2.dat"));
    EXPECT_TRUE(Listed("Spam2/bob_s2.dat"));
}

TEST_F(DetailsActions, ShowButtonsSwitchBetweenSpamFolders) {
    Put("Spam1/anna_s1.dat", "x");
    Put("Spam2/anna_s2.dat", "y");
    form->FillMessageList(details::ModePossible);
    form->SpamBtns(form->BtnProbable);
    EXPECT_EQ(form->Mode(), details::ModeProbable);
    EXPECT_TRUE(Listed("Spam2/anna_s2.dat"));
    form->SpamBtns(form->BtnPossible);
    EXPECT_TRUE(Listed("Spam1/anna_s1.dat"));
    EXPECT_TRUE(form->BtnPossible->isChecked());
    EXPECT_FALSE(form->BtnProbable->isChecked());
}

}  // namespace
