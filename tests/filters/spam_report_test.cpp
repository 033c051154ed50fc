// Spam reports, address book requests, the release of held spam and the
// import of safe addresses.
#include "filters/spam.h"
#include "filters/spam_add.h"
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
#include <QTemporaryDir>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
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

platform::SystemTime At(int day, int hour, int minute) {
    platform::LocalTime lt;
    lt.year = 2026;
    lt.month = 12;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = 5;
    lt.millisecond = 123;
    return platform::FromLocal(lt);
}

std::string ReadText(const std::string& path) {
    std::string s;
    platform::ReadFile(path, s);
    return s;
}

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
    std::string out;
    FILE* p = ::popen(("/usr/bin/python3 " + script + " " + file).c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

class SpamReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        SetNow(At(7, 10, 4));
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs.push_back(call.text);
            return platform::MsgResult::Ok;
        });
        TvdlMemTable t;
        settings::DefineUsersTable(t);
        for (const char* n : {"alice", "bob"}) {
            t.Append();
            t.FieldByName("Name").SetAsString(n);
            t.FieldByName("Password").SetAsString("pw");
            t.Post();
        }
        t.SaveToBinaryFile(ProgramDir + "users.dat");
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
        platform::SetDialogHandlerForTesting(nullptr);
        platform::SetClockForTesting({});
        ProgramDir = savedDir_;
    }
    void SetNow(platform::SystemTime t) {
        platform::SetClockForTesting([t] { return t; });
    }
    TFrmSpam& Spam() { return *spamForm_; }
    void SetBrowser(const std::string& text) {
        FrmSettings->LblBrowserAddress->setText(QString::fromStdString(text));
        FrmSettings->PublishSettings();
    }
    std::vector<std::string> Files(const char* folder) const {
        return platform::ListFiles(smtp::StoreFolder(folder), "*");
    }
    std::string Held(const char* folder, const std::string& name, const std::string& content) {
        const std::string path = smtp::StoreFolder(folder) + name;
        EXPECT_TRUE(platform::WriteFileAtomic(path, content));
        return path;
    }
    int Stat(const std::string& key) const {
        return platform::IniFile(ProgramDir + "tarnwick.ini").ReadInteger("SpamStats", key, 0);
    }

    std::vector<std::string> dialogs;

private:
    QTemporaryDir dir_;
    std::string savedDir_;
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
              "Date: Mon, 07 Dec 2026 10:04:05\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain;\r\n\r\n");
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

TEST_F(SpamReportTest, DailyReportOncePerDayAfterItsTime) {
    TFrmSpam& f = Spam();
    f.CBXReport->setCurrentIndex(f.CBXReport->findText("bob"));
    f.CHBReport->setChecked(true);
    f.RbtSpamDaily->setChecked(true);
    f.EditReportTime->setTime(QTime(17, 0));
    struct Step {
        int day, hour, minute;
        size_t reportsAfter;
    } steps[] = {
        {7, 16, 59, 0}, {7, 17, 0, 1}, {7, 17, 30, 1}, {7, 23, 59, 1}, {8, 9, 0, 1}, {8, 17, 1, 2},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.day) + " " + std::to_string(s.hour) + ":" + std::to_string(s.minute));
        SetNow(At(s.day, s.hour, s.minute));
        f.CheckDailyReport();
        EXPECT_EQ(Files(smtp::FolderIn).size(), s.reportsAfter);
    }
    EXPECT_EQ(platform::IniFile(ProgramDir + "tarnwick.ini").ReadString("Spam", "LastDailyReprt", ""), "2026-12-08");
    // Every-mode does not report daily.
    f.RbtSpamEvery->setChecked(true);
    SetNow(At(9, 18, 0));
    f.CheckDailyReport();
    EXPECT_EQ(Files(smtp::FolderIn).size(), 2u);
}

TEST_F(SpamReportTest, ReportEveryDue) {
    TFrmSpam& f = Spam();
    f.SpinReport->setValue(10);
    f.CHBReport->setChecked(true);
    f.RbtSpamEvery->setChecked(true);
    for (int held : {0, 10, 20, 100}) EXPECT_TRUE(f.ReportEveryDue(held)) << held;
    for (int held : {1, 9, 11, 15}) EXPECT_FALSE(f.ReportEveryDue(held)) << held;
    f.RbtSpamDaily->setChecked(true);
    EXPECT_FALSE(f.ReportEveryDue(10));
    f.RbtSpamEvery->setChecked(true);
    f.CHBReport->setChecked(false);
    EXPECT_FALSE(f.ReportEveryDue(10));
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
    Spam().LoadSpamSettings();
    EXPECT_EQ(Spam().safeList(), (std::vector<std::string>{"ann@example.com", "plain@example.org"}));
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
