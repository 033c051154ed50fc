// The spam window's report button, address book requests and the file
// import into the window's safe list.
#include "filters/windows/spam_add_window.h"
#include "filters/windows/spam_window.h"
#include "filters/filters_env.h"
#include "filters/spam_env.h"
#include "transport/smtp.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "tables/memtable.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

platform::SystemTime At(int day, int hour, int minute) { return spamtest::December(day, hour, minute, 5, 123); }

using spamtest::ReadText;

// Runs python3's email parser over a message file: prints "ok" and the
// subject and body when the parse reports no defects.
std::string PythonParse(const std::string& file) {
    const std::string script = ProgramDir + "parse.py";
    platform::WriteFileAtomic(script,
                              "import email, email.policy, sys\n"
                              "data = open(sys.argv[1], 'rb').read()\n"
                              "m = email.message_from_bytes(data)\n"
                              "d = email.message_from_bytes(data, policy=email.policy.default)\n"
                              "bad = list(m.defects) + list(d.defects)\n"
                              "for k, v in d.items():\n"
                              "    if k.lower() != 'message-id': bad += list(getattr(v, 'defects', []))\n"
                              "print('ok' if not bad else 'defects %r' % bad)\n"
                              "print(d['subject']); print(d.get_content_type())\n"
                              "sys.stdout.write(d.get_content().replace('\\r\\n', '\\n'))\n");
    return filters_test::Shell("/usr/bin/python3 " + script + " " + file);
}

class SpamReportTest : public spamtest::SpamHome {
protected:
    void SetUp() override {
        SpamHome::SetUp();
        if (HasFatalFailure()) return;
        SetNow(At(7, 10, 4));
        spamtest::WriteUsers({"alice", "bob"}, false);
        settingsForm_ = std::make_unique<TFrmSettings>();
        FrmSettings = settingsForm_.get();
        spamForm_ = std::make_unique<TFrmSpam>();
        FrmSpam = spamForm_.get();
    }
    void TearDown() override {
        TFrmSpamAddresses::ExecForTesting = nullptr;
        TFrmSpam::PickFileForTesting = nullptr;
        spamForm_.reset();
        FrmSpam = nullptr;
        settingsForm_.reset();
        FrmSettings = nullptr;
        SpamHome::TearDown();
    }
    TFrmSpam& Spam() { return *spamForm_; }
    void SetBrowser(const std::string& text) {
        FrmSettings->LblBrowserAddress->setText(QString::fromStdString(text));
        FrmSettings->PublishSettings();
    }

private:
    std::unique_ptr<TFrmSettings> settingsForm_;
    std::unique_ptr<TFrmSpam> spamForm_;
};

// --- reports -----------------------------------------------------------------

TEST_F(SpamReportTest, ReportIsAWellFormedMail) {
    Held(smtp::FolderSpam1, "bob_1.dat", "x");
    Held(smtp::FolderSpam1, "bob_2.dat", "x");
    Held(smtp::FolderSpam2, "alice_3.dat", "x");
    SetBrowser("http://server:2600");
    Spam().CBXReport->setCurrentIndex(Spam().CBXReport->findText("bob"));
    Spam().SendSpamReport(true);
    ASSERT_EQ(Files(smtp::FolderIn), (std::vector<std::string>{"bob_20261207100405123.dat"}));
    EXPECT_EQ(dialogs, (std::vector<std::string>{"Spam report sent to bob."}));
    const std::string file = smtp::StoreFolder(smtp::FolderIn) + "bob_20261207100405123.dat";
    const std::string text = ReadText(file);
    EXPECT_EQ(text.substr(0, text.find("\r\n\r\n") + 4),
              "Message-ID: <100405123@" + smtp::MessageIdHost() + ">\r\n"
              "From: \"Tarnwick\" <tarnwick@localhost>\r\n"
              "To: \"bob\" <bob@localhost>\r\n"
              "Subject: Spam report\r\n"
              "Date: Mon, 07 Dec 2026 10:04:05 " + smtp::ZoneText(platform::NowLocal().utcOffsetMinutes) + "\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\n");
    const std::string parsed = PythonParse(file);
    EXPECT_EQ(parsed,
              "ok\nSpam report\ntext/plain\n"
              "Hello bob\n\n"
              "Here is your spam report, generated at 10:04 07 Dec 2026:\n\n"
              "There are currently 2 possible spam messages and 1 probable spam messages.\n"
              "You can delete or save your spam at http://server:2600/spam\n\n\n\n\n"
              "Do not reply to this message - it was generated automatically!!!\n\n"
              "Tarnwick.\n\n\n\n.\n");
}

TEST_F(SpamReportTest, ReportWithoutBrowserAndWithoutUser) {
    SetBrowser("not operative");
    Spam().SendSpamReport(true);  // no report user: nothing at all
    EXPECT_TRUE(Files(smtp::FolderIn).empty());
    EXPECT_TRUE(dialogs.empty());
    Spam().CBXReport->setCurrentIndex(Spam().CBXReport->findText("alice"));
    Spam().SendSpamReport(false);
    Spam().SendSpamReport(false);  // the same millisecond: a second file, not a replaced one
    const auto files = Files(smtp::FolderIn);
    ASSERT_EQ(files.size(), 2u);
    const std::string text = ReadText(smtp::StoreFolder(smtp::FolderIn) + files[0]);
    EXPECT_NE(text.find("\r\nYou don't have browser support switched on, so you cannot delete these spam messages "
                        "through your browser - you should turn it on in your Tarnwick settings!\r\n"),
              std::string::npos);
    EXPECT_TRUE(dialogs.empty());
    // A report that cannot be written is not confirmed as sent.
    std::filesystem::rename(smtp::StoreFolder(smtp::FolderIn), ProgramDir + "in.away");
    ASSERT_TRUE(platform::WriteFileAtomic(ProgramDir + "in", "not a folder"));
    EXPECT_FALSE(Spam().SendSpamReport(true));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0], "The spam report could not be written into the mailbox of alice.");
}

TEST_F(SpamReportTest, AddressBookRequests) {
    SetBrowser("http://server:2600");
    TFrmSpamAddresses::ExecForTesting = [](TFrmSpamAddresses& w) {
        EXPECT_EQ(w.CheckListBox1->count(), 2);
        for (int i = 0; i < w.CheckListBox1->count(); ++i)
            EXPECT_EQ(w.CheckListBox1->item(i)->checkState(), Qt::Checked);
        w.CheckListBox1->findItems("alice", Qt::MatchExactly).front()->setCheckState(Qt::Unchecked);
        return true;
    };
    Spam().BtnSpamGetAddsClick();
    ASSERT_EQ(Files(smtp::FolderIn), (std::vector<std::string>{"bob_100405123.dat"}));
    const std::string file = smtp::StoreFolder(smtp::FolderIn) + "bob_100405123.dat";
    const std::string text = ReadText(file);
    EXPECT_EQ(text.rfind("From: \"Tarnwick\" <tarnwick@localhost>\r\n", 0), 0u);  // no Message-ID line
    EXPECT_EQ(PythonParse(file),
              "ok\nTarnwick address book import\ntext/plain\n"
              "Dear bob\n\n"
              "Your Tarnwick administrator is setting up an anti-spam filter which will cut out spam and only let "
              "valid emails through.  \n"
              "Please visit http://server:2600/safeaddresses to upload your address book and let your contacts' "
              "emails through safely\n\n\n\n.\n");

    // Cancel writes nothing; without browser control only a hint is shown.
    TFrmSpamAddresses::ExecForTesting = [](TFrmSpamAddresses&) { return false; };
    EXPECT_EQ(spam_add::WriteAddressBookRequests(), 0);
    SetBrowser("not operative");
    Spam().BtnSpamGetAddsClick();
    EXPECT_EQ(Files(smtp::FolderIn).size(), 1u);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0],
              "You need to set \"control through browser\" ON in the remote setup.  Click on Tools, Settings and "
              "select the Remote tab.");
}

// --- address import -------------------------------------------------------------

TEST_F(SpamReportTest, ImportFromFile) {
    const std::string file = ProgramDir + "contacts.csv";
    platform::WriteFileAtomic(file,
                              "Name,E-mail\r\n"
                              "Ann,ann@example.com,Bob,bob@example.com\r\n"
                              "Ann again,ANN@example.com\n"
                              "x@y\n");
    TFrmSpam::PickFileForTesting = [file] { return file; };
    Spam().BtnSpamEmailImportClick();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[1], "2 email addresses imported.");
    EXPECT_EQ(Spam().safeList(), (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
    EXPECT_TRUE(Spam().BtnApply->isEnabled());
    // Nothing reaches spam.dat before the window is saved.
    TvdlMemTable t;
    t.LoadFromBinaryFile(ProgramDir + "spam.dat");
    EXPECT_EQ(t.RecordCount(), 0);
    platform::WriteFileAtomic(file, "carol@example.net\n");
    Spam().BtnSpamEmailImportClick();
    EXPECT_EQ(dialogs.back(), "1 email address imported.");
}

}  // namespace
