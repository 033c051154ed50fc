// Mail that the settings window writes itself, and the postbox repair and
// clean-up: welcome message, support request, queue repair, folder delete.
#include "settings_env.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "transport/account_tables.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "transport/transport_test_util.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using settings_test::SettingsEnv;

std::string Read(const std::string& path) {
    std::string data;
    platform::ReadFile(path, data);
    return data;
}

class SettingsMail : public SettingsEnv {
protected:
    void SetUp() override {
        SettingsEnv::SetUp();
        platform::LocalTime t;
        t.year = 2026, t.month = 12, t.day = 7, t.hour = 9, t.minute = 30, t.second = 15, t.millisecond = 42;
        const auto fixed = platform::FromLocal(t);
        platform::SetClockForTesting([fixed] { return fixed; });
        ASSERT_TRUE(smtp::CreateStoreFolders({"in", "out"}));
    }
    void TearDown() override {
        platform::SetClockForTesting({});
        SettingsEnv::TearDown();
    }
    std::string In() const { return Dir() + "in/"; }
    std::string Out() const { return Dir() + "out/"; }
    void Put(const std::string& path, const std::string& text = "x\r\n.\r\n") {
        ASSERT_TRUE(platform::WriteFileAtomic(path, text));
    }
};

// python3's email package reads the welcome message: a MIME structure with
// no defects, both parts decoded as meant.
TEST_F(SettingsMail, WelcomeMailIsWellFormedMime) {
    const std::string path = setup::WriteWelcomeMail("ann.lee");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path, In() + "ann.lee_093015042.dat");
    const std::string text = Read(path);
    EXPECT_EQ(text.substr(text.size() - 5), "\r\n.\r\n");
    EXPECT_EQ(text.rfind("Message-ID: <093015042@" + smtp::MessageIdHost() + ">\r\n", 0), 0u);
    // The mailer lines follow the MIME header, and the mail ends at its
    // closing boundary with no footer line after it.
    EXPECT_NE(text.find("\tboundary=\"----=_NextPart_000_0094_01C200EB.808660C0\"\r\n"
                        "X-Priority: 3\r\nX-MSMail-Priority: Normal\r\n"
                        "X-Mailer: Microsoft Outlook Express 5.50.4522.1200\r\n"
                        "X-MimeOLE: Produced By Microsoft MimeOLE V5.50.4522.1200\r\n"
                        "\r\nThis is a multi-part message in MIME format.\r\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 54), "------=_NextPart_000_0094_01C200EB.808660C0--\r\n\r\n\r\n.\r\n");

    const char* script = R"PY(
import sys, email, email.utils
from email import policy
raw = open(sys.argv[1], 'rb').read()
msg = email.message_from_bytes(raw, policy=policy.compat32)
bad = list(msg.defects)
for part in msg.walk():
    bad += list(part.defects)
assert not bad, bad
assert msg.get_content_type() == 'multipart/alternative', msg.get_content_type()
assert msg['Subject'] == 'Welcome to Tarnwick!'
assert msg['To'] == '"ann.lee" <ann.lee@localhost>', msg['To']
assert msg['Date'].startswith('Mon, 07 Dec 2026 09:30:15 '), msg['Date']
assert email.utils.parsedate_tz(msg['Date'])[9] is not None, 'no zone: ' + msg['Date']
mid = email.message_from_bytes(raw, policy=policy.default)['Message-ID']
assert not mid.defects, (str(mid), mid.defects)
parts = msg.get_payload()
assert [p.get_content_type() for p in parts] == ['text/plain', 'text/html']
plain = parts[0].get_payload(decode=True).decode('cp1252')
assert plain.startswith('Dear ann.lee\r\n'), repr(plain[:40])
assert 'through Tarnwick.\r\n\r\nDo not reply' in plain, repr(plain)
html = parts[1].get_payload(decode=True).decode('cp1252')
assert 'MARGIN-LEFT: 25px; COLOR: #000080;' in html, html
assert 'name=GENERATOR>' in html
assert '<DIV>Dear ann.lee </DIV>' in html
print('ok')
)PY";
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("/usr/bin/python3", {"-c", script, QString::fromStdString(path)});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
}

TEST_F(SettingsMail, WelcomeMailsNeverOverwriteEachOther) {
    // The clock stands still: same millisecond, same user.
    const std::string a = setup::WriteWelcomeMail("bob");
    const std::string b = setup::WriteWelcomeMail("bob");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(smtp::ListUserFiles(In(), "bob").size(), 2u);
    // A name that could leave the mailbox folder gets no file.
    EXPECT_TRUE(setup::WriteWelcomeMail("../x").empty());
}

TEST_F(SettingsMail, AddingAUserWritesItsWelcome) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    TFrmMailAccount::ExecForTesting = [](TFrmMailAccount& d) {
        d.EditLogin->setText("carol");
        d.EditPassword->setText("pw");
        return true;
    };
    f.UserBtnsFor(f.BtnAddUser);
    const auto files = smtp::ListUserFiles(In(), "carol");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(Read(In() + files[0]).find("Subject: Welcome to Tarnwick!\r\n"), std::string::npos);
}

TEST_F(SettingsMail, SupportRequestIsQueuedWithItsRecord) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    struct Case {
        std::string name, address, question;
    };
    for (const Case& c : {Case{"", "a@b.example", "q"}, Case{"Ann", "", "q"}, Case{"Ann", "a@b.example", ""}}) {
        messages.clear();
        f.EditSupportName->setText(QString::fromStdString(c.name));
        f.EditSupportEmail->setText(QString::fromStdString(c.address));
        f.MemoSupport->setPlainText(QString::fromStdString(c.question));
        f.BtnSendSupportClick();
        EXPECT_EQ(messages, (std::vector<std::string>{"You must complete all the boxes"}));
    }
    EXPECT_TRUE(platform::ListFiles(Out(), "*").empty());

    messages.clear();
    f.EditSupportName->setText("Ann \"Boss\" Lee");
    f.EditSupportEmail->setText("ann@office.example");
    f.MemoSupport->setPlainText("It stops.\n.\nWhy?");
    f.BtnSendSupportClick();
    EXPECT_EQ(messages, (std::vector<std::string>{"Support request sent."}));
    const auto files = platform::ListFiles(Out(), "*");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files[0].size(), 22u + 4u) << files[0];
    EXPECT_EQ(files[0].substr(0, 17), "20261207093015042");
    EXPECT_EQ(files[0].substr(22), ".txt");
    const std::string id = files[0].substr(0, 22);
    EXPECT_EQ(smtp::ReadPortsValue(id, "rcpt"), "1");
    EXPECT_EQ(smtp::ReadPortsValue(id, "To1"), std::string("<") + setup::kSupportAddress + ">");
    EXPECT_EQ(smtp::ReadPortsValue(id, "From"), "<ann@office.example>");
    const std::string text = Read(Out() + files[0]);
    EXPECT_EQ(text.rfind("Message-ID: <" + id + "@" + smtp::MessageIdHost() + ">\r\nFrom: \"Ann Boss Lee\" <ann@office.example>\r\n"
                         "To: \"Tarnwick Support\" <" + std::string(setup::kSupportAddress) + ">\r\nSubject: ", 0),
              0u);
    EXPECT_NE(text.find("\r\nContent-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << text;
    // The question's lone "." is stuffed: it must not end the message early.
    EXPECT_NE(text.find("\r\n\r\nIt stops.\r\n..\r\nWhy?\r\n\r\n.\r\n"), std::string::npos) << text;
}

TEST_F(SettingsMail, SupportRequestWithoutItsRecordIsNotLeftInTheQueue) {
    // ports.dat cannot be written: a folder stands in its place.
    fs::create_directory(Dir() + "ports.dat");
    EXPECT_THROW(setup::QueueSupportRequest("Ann", "a@b.example", {"q"}, "s"), std::runtime_error);
    EXPECT_TRUE(platform::ListFiles(Out(), "*").empty());
}

TEST_F(SettingsMail, SupportHeaderFieldsCannotBeBrokenOut) {
    const std::string m =
        setup::SupportMessage("id1", "Eve\r\nBcc: x@y", "e@v.example>\r\nX-Evil: 1", {"hello"}, "Subj\nX: y");
    EXPECT_EQ(m.find("\r\nBcc:"), std::string::npos);
    EXPECT_EQ(m.find("\r\nX-Evil"), std::string::npos);
    EXPECT_EQ(m.find("\nX: y"), std::string::npos);
    EXPECT_NE(m.find("From: \"EveBcc: x@y\" <e@v.exampleX-Evil:1>\r\n"), std::string::npos) << m;
}

// A question typed as one long paragraph: no line of the request is longer
// than a mail system takes, and python reads the question back.
TEST_F(SettingsMail, SupportQuestionOfOneLongParagraphKeepsLinesWithinBounds) {
    std::string paragraph = ".";
    while (paragraph.size() < 1500) paragraph += "Gr\xc3\xbc\xc3\x9f" "e = regards, ";
    const std::string m = setup::SupportMessage("id1", "Ann", "ann@office.example", {paragraph, "."}, "s");
    for (const auto& line : smtp::SplitLines(m)) EXPECT_LE(line.size(), 998u) << line;
    const std::string path = Dir() + "support.eml";
    ASSERT_TRUE(platform::WriteFileAtomic(path, m.substr(0, m.size() - 3)));
    QProcess p;
    p.start("/usr/bin/python3", {"-c",
                                 "import email, email.policy, sys\n"
                                 "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)\n"
                                 "sys.stdout.buffer.write('\\n'.join(m.get_content().splitlines()).encode())",
                                 QString::fromStdString(path)});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.readAllStandardOutput().toStdString(), paragraph + "\n.\n");
}

TEST_F(SettingsMail, RepairDeletesOnlyQueueFilesWithoutSender) {
    struct Case {
        std::string file;
        std::string from;    // the record's From; empty: none
        bool kept;
    };
    const Case cases[] = {
        {"sent1.txs", "", false},
        {"queued1.txt", "<a@b.example>", true},
        {"queued2.txt", "", false},
        {"held1.tx_", "<a@b.example>", true},
        {"stale1.txo", "", false},           // left from a broken connection
        {"queued1.txt.new", "", true},       // a rewrite in progress, not a queue file
    };
    for (const Case& c : cases) {
        Put(Out() + c.file);
        const std::string id = c.file.substr(0, c.file.find('.'));
        if (!c.from.empty()) smtp::WritePortsValue(id, std::string("From"), c.from);
    }
    // A session section of an older layout protects nothing any more.
    smtp::WritePortsValue("40123", std::string("id"), "stale1");
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.BtnRepairClick();
    for (const Case& c : cases) EXPECT_EQ(fs::exists(Out() + c.file), c.kept) << c.file;
    EXPECT_EQ(messages, (std::vector<std::string>{"Postboxes repaired - 3 repair(s) made"}));
    messages.clear();
    f.BtnRepairClick();
    EXPECT_EQ(messages, (std::vector<std::string>{"No repairs necessary"}));
}

// A real client halfway through a message too large to hold in memory: its
// file in out/ has no queue record yet, and neither the repair nor emptying
// the outbox may take it from under the server.
TEST_F(SettingsMail, QueueCleanUpsLeaveAMessageStillArriving) {
    setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
    Put(Dir() + "tarnwick.ini", "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=0\n");
    TFrmSettings& f = Form();
    f.LoadSettings();
    TFrmServers servers;
    FrmServers = &servers;
    TFrmSMTP smtp;
    FrmSMTP = &smtp;
    struct Reset {
        ~Reset() {
            FrmSMTP = nullptr;
            FrmServers = nullptr;
        }
    } reset;
    ASSERT_TRUE(smtp.SMTPServer.Active());

    // Sends the first half of the text, says so, and sends the rest (and the
    // end marker) when told; prints the server's reply to the end.
    const std::string client = R"(
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=60)
s.ehlo('client.example')
s.mail('ann@far.example')
code, _ = s.rcpt('bob@far.example')
if code != 250: sys.exit('recipient refused: %d' % code)
code, _ = s.docmd('DATA')
if code != 354: sys.exit('DATA refused: %d' % code)
text = b'Subject: big\r\n\r\n' + b''.join(b'line %06d ' % i + b'x' * 60 + b'\r\n' for i in range(10000))
half = len(text) // 2
s.sock.sendall(text[:half])
print('half', flush=True)
sys.stdin.readline()
s.sock.sendall(text[half:] + b'.\r\n')
code, _ = s.getreply()
print('reply', code, flush=True)
s.quit()
)";
    for (const bool emptyOutbox : {false, true}) {
        SCOPED_TRACE(emptyOutbox ? "empty outbox" : "repair");
        twtest::PeerProcess python;
        ASSERT_TRUE(python.Start("/usr/bin/python3", {"-c", client, std::to_string(smtp.SMTPServer.Port())}));
        ASSERT_TRUE(python.WaitFor("half", 30000)) << python.Errors();
        // The server has taken enough to have its file.
        ASSERT_TRUE(twtest::Until([&] { return !platform::ListFiles(Out(), "*.txo").empty(); }, 30000));
        const std::string arriving = platform::ListFiles(Out(), "*.txo").front();
        if (emptyOutbox) f.EmptyPostboxesFor(f.BtnEmptyOutbox);
        else f.BtnRepairClick();
        EXPECT_TRUE(fs::exists(Out() + arriving));

        python.Process().write("go\n");
        ASSERT_TRUE(python.WaitFinished(60000)) << python.Errors();
        EXPECT_NE(python.Output().find("reply 250"), std::string::npos) << python.Output() << python.Errors();
        const std::vector<std::string> queued = platform::ListFiles(Out(), "*.txt");
        ASSERT_EQ(queued.size(), 1u) << ::testing::PrintToString(platform::ListFiles(Out(), "*"));
        EXPECT_NE(Read(Out() + queued.front()).find("line 009999 "), std::string::npos);
        const std::string id = queued.front().substr(0, queued.front().size() - 4);
        EXPECT_EQ(smtp::ReadPortsValue(id, "To1"), "<bob@far.example>");
        fs::remove(Out() + queued.front());
        EXPECT_TRUE(platform::ListFiles(Out(), "*.txo").empty());
    }
}

TEST_F(SettingsMail, EmptyPostboxesAsksFirst) {
    Put(Out() + "a1.txt");
    Put(Out() + "a2.tx_");
    Put(In() + "bob_1.dat");
    Put(In() + "bob_x_2.dat");  // another user's mailbox
    Put(In() + "ann_3.dat");
    TFrmSettings& f = Form();
    f.LoadSettings();
    EXPECT_TRUE(f.GPBEmpty->isHidden());
    f.CBXEmpty->addItems({"bob", "bob_x"});
    f.CBXEmpty->setCurrentIndex(0);

    platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
        messages.push_back(call.text);
        return platform::MsgResult::No;
    });
    f.EmptyPostboxesFor(f.BtnEmptyOutbox);
    f.EmptyPostboxesFor(f.BtnEmptyUser);
    EXPECT_EQ(messages, (std::vector<std::string>{"All outbox messages will be deleted.  Are you sure?",
                                                  "All bob's messages will be deleted.  Are you sure?"}));
    EXPECT_EQ(platform::ListFiles(Out(), "*").size(), 2u);
    EXPECT_EQ(platform::ListFiles(In(), "*").size(), 3u);

    platform::SetDialogHandlerForTesting([](platform::DialogCall&) { return platform::MsgResult::Yes; });
    f.EmptyPostboxesFor(f.BtnEmptyUser);
    EXPECT_EQ(platform::ListFiles(In(), "*"), (std::vector<std::string>{"ann_3.dat", "bob_x_2.dat"}));
    f.EmptyPostboxesFor(f.BtnEmptyOutbox);
    EXPECT_TRUE(platform::ListFiles(Out(), "*").empty());
}

TEST_F(SettingsMail, DeleteFolderTreeStaysInsideTheTree) {
    const std::string tree = Dir() + "old_1234/";
    fs::create_directories(tree + "a/b");
    Put(tree + "raw.dat");
    Put(tree + "a/b/deep.dat");
    const std::string outside = Dir() + "keep/";
    fs::create_directories(outside);
    Put(outside + "precious.dat");
    fs::create_directory_symlink(outside, tree + "a/link");
    setup::DeleteFolderTree(tree);
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_TRUE(fs::exists(outside + "precious.dat"));
    // A link given as the tree itself is not followed either.
    fs::create_directory_symlink(outside, Dir() + "alias");
    setup::DeleteFolderTree(Dir() + "alias");
    EXPECT_TRUE(fs::exists(outside + "precious.dat"));
    setup::DeleteFolderTree(Dir() + "does-not-exist");
}

TEST_F(SettingsMail, SecondCopySeesTheFirst) {
    platform::InstanceLock first;
    ASSERT_TRUE(first.Acquire(Dir()));
    EXPECT_TRUE(setup::IsAlreadyRunning());
    first.Release();
    EXPECT_FALSE(setup::IsAlreadyRunning());
}

}  // namespace
