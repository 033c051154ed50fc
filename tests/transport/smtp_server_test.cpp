// SMTP server: the dialect's routines, and whole sessions over loopback with
// the engine's tables and settings, servers and SMTP server in a temporary program directory.
#include "transport/logins.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/mail_settings.h"
#include "transport/table_owner.h"
#include "transport_test_util.h"
#include "smtp_test_client.h"

#include "codecs/auth.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "engine_state.h"
#include "transport/account_tables.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include <unistd.h>

namespace {

using twtest::TempHome;

using twtest::PumpFor;

std::string Slurp(const std::string& path) {
    std::string data;
    platform::ReadFile(path, data);
    return data;
}

// --- routines ---------------------------------------------------------------------

TEST(SmtpSplitLine, VerbIsTheFirstWordAndEnvelopeAddressesAreClean) {
    struct Case {
        std::string line, command, argument, left;
    } cases[] = {
        {"HELO pc12\r\n", "helo", "pc12", ""},
        {"EHLO [IPv6:::1]\r\n", "ehlo", "[IPv6:::1]", ""},
        {"MAIL FROM:<Ann@Office.Example>\r\nRCPT", "mail from", "<ann@office.example>", "RCPT"},
        {"mail from: <a@b> SIZE=100\r\n", "mail from", "<a@b>", ""},
        {"MAIL FROM:<>\r\n", "mail from", "<>", ""},
        {"RCPT TO:<x@far.example>\r\n", "rcpt to", "<x@far.example>", ""},
        {"rcpt to: plain@far.example NOTIFY=NEVER\r\n", "rcpt to", "plain@far.example", ""},
        {"RCPT TO:<<a@b>,<c@d>>\r\n", "rcpt to", "<<a@b>,<c@d>>", ""},
        {"AUTH PLAIN AGFsaWNlAHB3\r\n", "auth", "PLAIN AGFsaWNlAHB3", ""},
        {"NOOP", "noop", "", ""},
        {"\r\n", "", "", ""},
        {"QUIT\r\nNOOP\r\n", "quit", "", "NOOP\r\n"},
        {"MAIL\r\n", "mail", "", ""},
    };
    for (const auto& c : cases) {
        std::string buffer = c.line, command, argument;
        smtp::SplitSmtpLine(buffer, command, argument);
        EXPECT_EQ(command, c.command) << c.line;
        EXPECT_EQ(argument, c.argument) << c.line;
        EXPECT_EQ(buffer, c.left) << c.line;
    }
    std::string longLine = "RCPT TO:<" + std::string(400, 'a') + ">\r\n", command, argument;
    smtp::SplitSmtpLine(longLine, command, argument);
    EXPECT_EQ(argument.size(), 255u);
}

TEST(SmtpIpFilter, PrefixEndsAtAnOctetAndLoopbackIsAlwaysIn) {
    struct Case {
        const char* remote;
        const char* filter;
        bool admitted;
    } cases[] = {
        {"192.168.1.20", "192.168.1.", true}, {"192.168.1.20", "192.168.1", true},
        {"192.168.10.2", "192.168.1", false}, {"10.0.0.1", "10.0.0.1", true},
        {"110.0.0.15", "10.0.0.1", false},    {"10.0.0.15", "10.0.0.1", false},
        {"10.0.0.15", "", false},             {"127.0.0.1", "", true},
        {"::1", "10.", true},                 {"10.1.2.3", " 10. ", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smtp::IpFilterAdmits(c.remote, c.filter), c.admitted) << c.remote << " / " << c.filter;
}

TEST(SmtpRecipientList, UsualAndListForms) {
    using V = std::vector<std::string>;
    EXPECT_EQ(smtp::SplitRecipientList("<a@b>"), V{"<a@b>"});
    EXPECT_EQ(smtp::SplitRecipientList("a@b"), V{"a@b"});
    EXPECT_EQ(smtp::SplitRecipientList("<<a@b>,<c@d>>"), (V{"<a@b>", "<c@d>"}));
    EXPECT_EQ(smtp::SplitRecipientList("<<a@b> <c@d> <>"), (V{"<a@b>", "<c@d>"}));
}

TEST(SmtpFooters, GoOnlyWhereTheyCannotCorruptTheBody) {
    const std::vector<std::string> footer = {"-- ", ".Office"};
    const std::string plain = "Subject: s\r\n\r\nhello\r\n.\r\n";
    const std::string html =
        "Content-Type: text/html\r\n\r\n<html><body>hi</BODY></html>\r\n.\r\n";
    const std::string qpHtml =
        "Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n<body>x=3D</body>\r\n.\r\n";
    const std::string base64 =
        "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\naGVsbG8=\r\n.\r\n";
    const std::string multipart =
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
        "--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\nAAAA\r\n"
        "--b1--\r\n.\r\n";
    const std::string altHtml =
        "Content-Type: multipart/alternative; boundary=zz\r\n\r\n--zz\r\nContent-Type: text/html\r\n"
        "Content-Transfer-Encoding: 8bit\r\n\r\n<p>x</p></body>\r\n--zz--\r\n.\r\n";
    const std::string uuencoded = "Subject: u\r\n\r\ntext\r\nbegin 644 a.bin\r\nM\r\nend\r\n.\r\n";
    struct Case {
        const char* name;
        std::string message, expected;
    } cases[] = {
        {"plain text: before the end marker, dot-stuffed", plain,
         "Subject: s\r\n\r\nhello\r\n-- \r\n..Office\r\n.\r\n"},
        {"html: inside the body end", html,
         "Content-Type: text/html\r\n\r\n<html><body>hi<DIV>\r\n<BR>-- \r\n<BR>.Office\r\n</DIV></BODY></html>\r\n.\r\n"},
        {"quoted-printable html left alone", qpHtml, qpHtml},
        {"base64 text left alone", base64, base64},
        {"multipart: the end marker is in no part", multipart, multipart},
        {"8bit html part of a multipart", altHtml,
         "Content-Type: multipart/alternative; boundary=zz\r\n\r\n--zz\r\nContent-Type: text/html\r\n"
         "Content-Transfer-Encoding: 8bit\r\n\r\n<p>x</p><DIV>\r\n<BR>-- \r\n<BR>.Office\r\n</DIV></body>\r\n"
         "--zz--\r\n.\r\n"},
        {"uuencoded attachment: before its begin line", uuencoded,
         "Subject: u\r\n\r\ntext\r\n-- \r\n..Office\r\nbegin 644 a.bin\r\nM\r\nend\r\n.\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(smtp::WithHtmlFooter(c.message, footer, {}), c.expected) << c.name;
    EXPECT_EQ(smtp::WithHtmlFooter(plain, {}, {}), plain) << "no footer, no change";
    EXPECT_EQ(smtp::WithHtmlFooter(html, footer, {"<i>x</i>"}),
              "Content-Type: text/html\r\n\r\n<html><body>hi<DIV>\r\n<i>x</i>\r\n</DIV></BODY></html>\r\n.\r\n")
        << "footer.html lines stand as they are";
}

// --- sessions -------------------------------------------------------------------

using Client = twtest::SmtpClient;

class SmtpServerTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return platform::MsgResult::Ok;
        });
        WriteIni("");
        ASSERT_TRUE(twtest::WriteOffice(ProgramDir));
    }
    void TearDown() override {
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        engine_.reset();
        platform::SetDialogHandlerForTesting({});
        TempHome::TearDown();
    }
    void WriteIni(const std::string& smtp) {
        std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary)
            << "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=0\n" << smtp;
    }
    void Start() {
        engine_ = std::make_unique<twtest::EngineState>();
        // The alias "sales" reaches alice twice over with her own address.
        settings::AddAlias(tables::Aliases().Table(), "sales@office.example", "alice");
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
        ASSERT_TRUE(smtp_->SMTPServer.Active());
    }
    std::unique_ptr<Client> Connect() { return std::make_unique<Client>(smtp_->SMTPServer.Port()); }
    std::vector<std::string> Files(const char* folder) {
        return platform::ListFiles(smtp::StoreFolder(folder), "*");
    }
    // Sends a whole message; returns the reply to the end of DATA.
    std::string Send(Client& c, const std::string& from, const std::vector<std::string>& to, const std::string& data) {
        EXPECT_EQ(c.Say("MAIL FROM:<" + from + ">"), "250 Sender OK\r\n");
        for (const auto& t : to) EXPECT_EQ(c.Say("RCPT TO:<" + t + ">"), "250 Recipient OK\r\n") << t;
        EXPECT_EQ(c.Say("DATA"), "354 Off you go then\r\n");
        c.Write(data);
        return c.Reply();
    }

    std::vector<std::string> dialogs_;
    std::unique_ptr<twtest::EngineState> engine_;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
};

TEST_F(SmtpServerTest, DialogueReplies) {
    Start();
    auto c = Connect();
    EXPECT_EQ(c->greeting, "220 hello\r\n");
    struct Step {
        std::string send, reply;
    } steps[] = {
        {"EHLO [IPv6:::1]", "250-Tarnwick\r\n250 AUTH PLAIN LOGIN\r\n"},
        {"HELO pc12", "250 Tarnwick\r\n"},
        {"NOOP", "250 OK\r\n"},
        {"VRFY alice", "502 Command not implemented\r\n"},
        {"DATA", "503 Bad sequence of commands\r\n"},
        {"AUTH CRAM-MD5", "504 Unrecognized authentication type\r\n"},
        {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
        {"*", "501 Authentication cancelled\r\n"},
        {"AUTH LOGIN " + auth::EncodeBase64("alice"), "334 UGFzc3dvcmQ6\r\n"},
        {auth::EncodeBase64("wrong"), "535 user rejected\r\n"},
        {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
        {auth::EncodeBase64("ALICE"), "334 UGFzc3dvcmQ6\r\n"},
        {auth::EncodeBase64("AlicePW"), "235 OK, user accepted\r\n"},
        {"AUTH PLAIN", "334 \r\n"},
        {auth::EncodeBase64(std::string("\0bob\0bobpw", 10)), "235 OK, user accepted\r\n"},
        {"AUTH PLAIN " + auth::EncodeBase64(std::string("\0bob\0nope", 9)), "535 user rejected\r\n"},
        {"AUTH PLAIN =", "535 user rejected\r\n"},
        {"RSET", "250 Ok Resetting state\r\n"},
        {"MAIL FROM:<x@far.example>", "250 Sender OK\r\n"},
        {"RCPT TO:<y@far.example>", "250 Recipient OK\r\n"},
        {std::string(5000, 'x'), "500 Line too long\r\n"},
        {"NOOP", "250 OK\r\n"},
        {"QUIT", "221 See ya later\r\n"},
    };
    for (const auto& s : steps) EXPECT_EQ(c->Say(s.send), s.reply) << s.send.substr(0, 40);
    EXPECT_TRUE(c->Closed());
    // Secrets stay out of the server log.
    std::string log = Slurp(ProgramDir + "smtpsvr.log");
    EXPECT_EQ(log.find(auth::EncodeBase64("AlicePW")), std::string::npos);
    EXPECT_EQ(log.find(auth::EncodeBase64(std::string("\0bob\0bobpw", 10))), std::string::npos);
}

TEST_F(SmtpServerTest, RelayNeedsAuthenticationWhenServerAuthIsOn) {
    WriteIni("ServerAuth=1\n");
    Start();
    ASSERT_TRUE(mailsettings::Current()->smtpServerAuth);
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "501 Not Authenticated\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<bob@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<someone@velmarsh.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<someone@velmarsh.example.far.example>"), "501 Not Authenticated\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<<y@far.example>,<z@far.example>>"), "501 Not Authenticated\r\n");
    // A local sender may relay.
    EXPECT_EQ(c->Say("RSET"), "250 Ok Resetting state\r\n");
    EXPECT_EQ(c->Say("MAIL FROM:<alice@office.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
    auto d = Connect();
    EXPECT_EQ(d->Say("AUTH PLAIN " + auth::EncodeBase64(std::string("\0bob\0bobpw", 10))),
              "235 OK, user accepted\r\n");
    // A failed second log-on changes neither the right to relay nor the user.
    EXPECT_EQ(d->Say("AUTH LOGIN " + auth::EncodeBase64("alice")), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(d->Say(auth::EncodeBase64("guess")), "535 user rejected\r\n");
    EXPECT_EQ(d->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(d->Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(d->Say("DATA"), "354 Off you go then\r\n");
    d->Write("Message-ID: <u1>\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ(d->Reply(), "250 Load and clear\r\n");
    EXPECT_EQ(smtp::ReadPortsValue("u1100405123", "User"), "bob");
}

TEST_F(SmtpServerTest, RecipientsStopAtTheCapAndTheMessageStillGoesToThoseAccepted) {
    Start();
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    // A list form that crosses the cap keeps the addresses before it.
    for (int i = 0; i < 998; ++i)
        ASSERT_EQ(c->Say("RCPT TO:<r" + std::to_string(i) + "@far.example>"), "250 Recipient OK\r\n") << i;
    EXPECT_EQ(c->Say("RCPT TO:<<r998@far.example>,<r999@far.example>,<r1000@far.example>>"),
              "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<bob@office.example>"), "452 Too many recipients\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Message-ID: <cap1>\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ(c->Reply(), "250 Load and clear\r\n");
    EXPECT_EQ(smtp::ReadPortsValue("cap1100405123", "rcpt"), "1000");
    EXPECT_EQ(smtp::ReadPortsValue("cap1100405123", "To1000"), "<r999@far.example>");
}

TEST_F(SmtpServerTest, LocalCopiesAndQueueRecordHoldTheMessageAsSent) {
    Start();
    auto c = Connect();
    EXPECT_EQ(c->Say("AUTH PLAIN " + auth::EncodeBase64(std::string("\0Bob\0bobpw", 10))),
              "235 OK, user accepted\r\n");
    const std::string data =
        "From: bob@office.example\r\nMessage-ID: <m1@pc12.lan>\r\nSubject: Plans\r\n\r\n"
        "line\r\n..dotted\r\n\r\n.\r\n";
    // alice twice (alias and own address): one copy.
    EXPECT_EQ(Send(*c, "Bob@Office.Example", {"sales@office.example", "alice@office.example", "x@Far.Example",
                                              "bob@office.example"},
                   data),
              "250 Load and clear\r\n");
    const std::string id = "m1pc12lan100405123";
    EXPECT_EQ(Files("in"), (std::vector<std::string>{"alice_" + id + ".dat", "bob_" + id + ".dat"}));
    EXPECT_EQ(Files("out"), std::vector<std::string>{id + ".txt"});
    for (const auto& f : {"in/alice_" + id + ".dat", "in/bob_" + id + ".dat", "out/" + id + ".txt"})
        EXPECT_EQ(Slurp(ProgramDir + f), data) << f;
    EXPECT_EQ(smtp::ReadPortsValue(id, "rcpt"), "1");
    EXPECT_EQ(smtp::ReadPortsValue(id, "To1"), "<x@far.example>");
    EXPECT_EQ(smtp::ReadPortsValue(id, "From"), "<bob@office.example>");
    EXPECT_EQ(smtp::ReadPortsValue(id, "User"), "bob");

    // Local recipients only: nothing queued, and a Message-ID is added.
    EXPECT_EQ(Send(*c, "bob@office.example", {"alice@office.example"}, "Subject: x\r\n\r\nbody\r\n.\r\n"),
              "250 Load and clear\r\n");
    auto in = Files("in");
    ASSERT_EQ(in.size(), 3u);
    ASSERT_EQ(in[1].rfind("alice_ubjectxbody", 0), 0u) << in[1];
    std::string second = Slurp(smtp::StoreFolder("in") + in[1]);
    EXPECT_EQ(second.rfind("Subject: x\r\nMessage-ID: <20261207100405123", 0), 0u) << second;
    EXPECT_EQ(Files("out").size(), 1u);
}

TEST_F(SmtpServerTest, ConcurrentSessionsHearTheirReplyOnlyOnceEveryFileIsOnDisk) {
    // The sync of out/, the last step of each message, is held: no reply to
    // any message, nor to what was pipelined behind it, may come before it.
    // The second round puts a footer into what is queued, after alice's
    // copy is made, and a Message-ID into the messages that lack one.
    Start();
    for (const bool footer : {false, true}) {
        SCOPED_TRACE(footer ? "footer for outgoing mail" : "no footer");
        twtest::ChangeSettings([&](MailSettings& s) {
            s.footerAll = false;
            s.footerLines = footer ? std::vector<std::string>{"-- ", "Office"} : std::vector<std::string>{};
        });
        twtest::GatedEnv env("/out");
        platform::ScopedEnv scoped(&env);
        env.SetOpen(false);
        constexpr int kSessions = 4;
        const std::string login = "AUTH PLAIN " + auth::EncodeBase64(std::string("\0Bob\0bobpw", 10)) + "\r\n";
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int k = 0; k < kSessions; ++k) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(smtp_->SMTPServer.Port()));
            const std::string n = std::to_string(footer) + std::to_string(k);
            // Without a Message-ID the first "<...>" names the message.
            const std::string idHeader = footer && k % 2 ? "Subject: <m" : "Message-ID: <m";
            const std::string all = login +
                                    "MAIL FROM:<bob@office.example>\r\nRCPT TO:<alice@office.example>\r\n"
                                    "RCPT TO:<x@far.example>\r\nDATA\r\n" + idHeader + n + "@pc.lan>\r\nSubject: " +
                                    n + "\r\n\r\nbody\r\n.\r\nNOOP\r\n";
            socket->write(all.data(), static_cast<qint64>(all.size()));
            sockets.push_back(std::move(socket));
        }
        std::vector<std::string> got(kSessions);
        std::vector<std::vector<std::string>> journalAtReply(kSessions);
        // The journal as it stands when each session's reply is first seen.
        auto read = [&] {
            for (int k = 0; k < kSessions; ++k) {
                got[k] += sockets[k]->readAll().toStdString();
                if (journalAtReply[k].empty() && got[k].find("250 Load and clear") != std::string::npos)
                    journalAtReply[k] = env.Journal();
            }
        };
        auto allHave = [&](const std::string& text) {
            read();
            for (const auto& g : got)
                if (g.find(text) == std::string::npos) return false;
            return true;
        };
        ASSERT_TRUE(PumpFor([&] { return allHave("354 Off you go then\r\n") && env.Entered() > 0; }));
        PumpFor([] { return false; }, 300);
        read();
        for (int k = 0; k < kSessions; ++k)
            EXPECT_EQ(got[k].substr(got[k].size() - 21), "354 Off you go then\r\n") << "nothing after the text yet: " << k;
        env.SetOpen(true);
        ASSERT_TRUE(PumpFor([&] { return allHave("250 Load and clear\r\n250 OK\r\n"); }));

        const std::string in = home_ + "/in", out = home_ + "/out/";
        for (int k = 0; k < kSessions; ++k) {
            SCOPED_TRACE(k);
            const std::string id = "m" + std::to_string(footer) + std::to_string(k) + "pclan100405123";
            const auto& j = journalAtReply[k];
            auto at = [&](const std::string& entry, size_t from = 0) {
                for (size_t i = from; i < j.size(); ++i)
                    if (j[i].rfind(entry, 0) == 0) return i;
                return std::string::npos;
            };
            const size_t text = at("sync " + out + id + ".txo");
            size_t copy = std::string::npos;
            for (size_t i = 0; i < j.size(); ++i)
                if (j[i].rfind("link " + in + "/alice_" + id + ".dat.tmp", 0) == 0 &&
                    j[i].find(" -> " + in + "/alice_" + id + ".dat") != std::string::npos)
                    copy = i;
            ASSERT_NE(text, std::string::npos);
            ASSERT_NE(copy, std::string::npos);
            const std::string temp = j[copy].substr(5, j[copy].find(" -> ") - 5);
            EXPECT_LT(at("sync " + temp), copy) << "the copy was whole before it was named";
            EXPECT_NE(at("syncfolder " + in, copy), std::string::npos) << "its name was synced";
            const size_t queued = at("rename " + out + id + ".txo -> " + out + id + ".txt");
            ASSERT_NE(queued, std::string::npos);
            EXPECT_LT(text, queued);
            size_t record = at("rename " + home_ + "/ports.dat.tmp");
            if (footer && record == std::string::npos) {
                // Records added to those of the round before are appended
                // in place: synced, with no new name.
                record = at("sync " + home_ + "/ports.dat");
                EXPECT_LT(record, queued) << "the record was on disk before the name";
            } else {
                EXPECT_LT(record, queued);
                EXPECT_LT(at("syncfolder " + home_, record), queued) << "the record was on disk before the name";
            }
            EXPECT_NE(at("syncfolder " + out.substr(0, out.size() - 1), queued), std::string::npos) << "the queued name was synced";
            EXPECT_EQ(smtp::ReadPortsValue(id, "To1"), "<x@far.example>");
            const std::string copied = Slurp(in + "/alice_" + id + ".dat"), sent = Slurp(out + id + ".txt");
            EXPECT_NE(copied.find("Message-ID: <"), std::string::npos);
            EXPECT_NE(sent.find("Message-ID: <"), std::string::npos);
            EXPECT_EQ(copied.find("Office\r\n"), std::string::npos) << "the copy before the footer has none";
            EXPECT_EQ(sent.find("Office\r\n") != std::string::npos, footer);
            if (!footer) continue;
            // The footer went into the text whole (alice's copy, taken
            // before it, has none) before the text was queued.
            size_t rewritten = std::string::npos;
            for (size_t i = 0; i < j.size(); ++i)
                if (j[i].rfind("rename " + out + id + ".txo.tmp", 0) == 0 && j[i].find(" -> " + out + id + ".txo") != std::string::npos)
                    rewritten = i;
            ASSERT_NE(rewritten, std::string::npos);
            const std::string whole = j[rewritten].substr(7, j[rewritten].find(" -> ") - 7);
            EXPECT_LT(at("sync " + whole), rewritten);
            EXPECT_LT(rewritten, queued);
        }
    }
}

// Fails the first name made in one folder (by rename or link) once armed.
// The first rename of all may be ports.dat's, which every waiting message
// shares.
class FirstNameInto : public platform::FaultInjectionEnv {
public:
    void Arm(const std::string& folder) {
        folder_ = folder;
        armed_ = true;
    }
    platform::FsStatus Rename(const std::string& from, const std::string& to) override {
        if (Hit(to)) return platform::FsStatus{EIO};
        return FaultInjectionEnv::Rename(from, to);
    }
    platform::FsStatus Link(const std::string& from, const std::string& to) override {
        if (Hit(to)) return platform::FsStatus{EIO};
        return FaultInjectionEnv::Link(from, to);
    }

private:
    bool Hit(const std::string& to) { return armed_.load() && to.rfind(folder_, 0) == 0 && armed_.exchange(false); }
    std::string folder_;
    std::atomic<bool> armed_{false};
};

TEST_F(SmtpServerTest, AMessageWhoseFilesFailIsRefusedAndLeavesNothingWhileTheOthersAreKept) {
    struct Case {
        const char* step;
        platform::FaultInjectionEnv::Op op;
        // A sync may be one the messages share (ports.dat's, a folder's):
        // it fails every message that waited for it, and only those.
        bool alone;
    };
    // The first of each kind of call, whichever message makes it.
    const Case cases[] = {
        {"a file's sync", platform::FaultInjectionEnv::Op::Sync, false},
        {"a copy's name", platform::FaultInjectionEnv::Op::Rename, true},
        {"a folder's sync", platform::FaultInjectionEnv::Op::SyncFolder, false},
    };
    Start();
    FirstNameInto env;
    platform::ScopedEnv scoped(&env);
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        env.Clear();
        if (c.op == platform::FaultInjectionEnv::Op::Rename) env.Arm(smtp::StoreFolder("in"));
        else env.FailAt(c.op, 1, EIO);
        constexpr int kSessions = 3;
        std::vector<std::unique_ptr<Client>> clients;
        std::vector<std::string> ids;
        for (int k = 0; k < kSessions; ++k) {
            clients.push_back(Connect());
            const std::string n = std::to_string(round) + "x" + std::to_string(k);
            ids.push_back("m" + n + "pclan100405123");
            clients.back()->Write("AUTH PLAIN " + auth::EncodeBase64(std::string("\0Bob\0bobpw", 10)) +
                                  "\r\nMAIL FROM:<bob@office.example>\r\nRCPT TO:<alice@office.example>\r\n"
                                  "RCPT TO:<x@far.example>\r\nDATA\r\nMessage-ID: <m" + n + "@pc.lan>\r\n\r\nbody\r\n.\r\n");
        }
        ++round;
        int refused = 0;
        for (int k = 0; k < kSessions; ++k) {
            for (const char* r : {"235 ", "250 ", "250 ", "250 ", "354 "}) EXPECT_EQ(clients[k]->Reply().substr(0, 4), r);
            const std::string reply = clients[k]->Reply();
            const bool kept = reply == "250 Load and clear\r\n";
            if (!kept) {
                ++refused;
                EXPECT_EQ(reply, "451 Requested action aborted: local error in processing\r\n");
            }
            const std::string& id = ids[k];
            EXPECT_EQ(platform::FileExists(smtp::StoreFolder("in") + "alice_" + id + ".dat"), kept) << id;
            EXPECT_EQ(platform::FileExists(smtp::StoreFolder("out") + id + ".txt"), kept) << id;
            EXPECT_FALSE(platform::FileExists(smtp::StoreFolder("out") + id + ".txo")) << id;
            EXPECT_EQ(smtp::ReadPortsValue(id, "To1").empty(), !kept) << id;
        }
        if (c.alone) EXPECT_EQ(refused, 1) << "the one whose file failed, and only that one";
        else EXPECT_GE(refused, 1);
        for (const auto& name : Files("in")) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
}

TEST_F(SmtpServerTest, EndMarkerAcrossReadsPipelinedCommandAndEmptyMessage) {
    Start();
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Message-ID: <a@b>\r\n\r\nbody\r\n.");
    EXPECT_EQ(c->Reply(300), "") << "not ended yet";
    c->Write("\r\nNOOP\r\n");
    EXPECT_EQ(c->Reply(), "250 Load and clear\r\n");
    EXPECT_EQ(c->Reply(), "250 OK\r\n") << "text after the end marker is the next command";
    auto in = Files("in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(Slurp(smtp::StoreFolder("in") + in[0]), "Message-ID: <a@b>\r\n\r\nbody\r\n.\r\n");

    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    EXPECT_EQ(c->Say("."), "250 Load and clear\r\n") << "an empty message ends";
    EXPECT_EQ(Files("in").size(), 2u);
}

TEST_F(SmtpServerTest, DropMidDataLeavesNothing) {
    Start();
    smtp_->HeldMessageBytes = 0;  // the text goes to its file as it comes
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Subject: half\r\n\r\nsome of it\r\n");
    ASSERT_TRUE(PumpFor([&] { return Files("out").size() == 1; }));
    EXPECT_EQ(Files("out")[0].substr(Files("out")[0].size() - 4), ".txo");
    c->Drop();
    EXPECT_TRUE(PumpFor([&] { return Files("out").empty(); }));
    EXPECT_TRUE(Files("in").empty());
    EXPECT_FALSE(platform::FileExists(smtp::PortsFileName()) &&
                 !platform::IniFile(smtp::PortsFileName()).ReadSections().empty());
}

// A message small enough is held in memory until its end, its id reserved
// meanwhile: two sessions with one Message-ID still get two ids, a larger
// message moves to its file on the way, and one dropped halfway leaves
// nothing, not even its id taken.
TEST_F(SmtpServerTest, HeldMessagesKeepTheirIdsApartAndLeaveNothingWhenDropped) {
    Start();
    smtp_->HeldMessageBytes = 64;
    const std::string head = "Message-ID: <same@pc.lan>\r\n\r\n";
    auto begin = [&](Client& c) {
        EXPECT_EQ(c.Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
        EXPECT_EQ(c.Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
        EXPECT_EQ(c.Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
        EXPECT_EQ(c.Say("DATA"), "354 Off you go then\r\n");
        c.Write(head);
    };
    auto queued = [&] {
        std::vector<std::string> names;
        for (const auto& f : Files("out"))
            if (f.size() > 4 && f.substr(f.size() - 4) == ".txt") names.push_back(f);
        std::sort(names.begin(), names.end());
        return names;
    };
    auto a = Connect(), b = Connect();
    begin(*a);
    begin(*b);
    EXPECT_EQ(a->Reply(200), "");
    EXPECT_TRUE(Files("out").empty()) << "nothing on disk while they are held";
    const std::string shortBody = "short\r\n.\r\n", longBody = std::string(100, 'x') + "\r\n.\r\n";
    a->Write(shortBody);
    b->Write(longBody);
    EXPECT_EQ(a->Reply(), "250 Load and clear\r\n");
    EXPECT_EQ(b->Reply(), "250 Load and clear\r\n");
    auto names = queued();
    ASSERT_EQ(names.size(), 2u);
    const std::string id = names[0].substr(0, names[0].size() - 4);
    EXPECT_EQ(names[1], id + "1.txt");
    std::map<std::string, std::string> texts = {{Slurp(smtp::StoreFolder("out") + names[0]), "a"},
                                                {Slurp(smtp::StoreFolder("out") + names[1]), "b"}};
    EXPECT_EQ(texts.count(head + shortBody), 1u);
    EXPECT_EQ(texts.count(head + longBody), 1u);

    auto dropped = Connect();
    begin(*dropped);
    EXPECT_EQ(dropped->Reply(200), "");
    dropped->Drop();
    twtest::Pump(100);
    auto d = Connect();
    begin(*d);
    d->Write(shortBody);
    EXPECT_EQ(d->Reply(), "250 Load and clear\r\n");
    names = queued();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2], id + "2.txt") << "the dropped message's id is free again";
    for (const auto& f : Files("out")) EXPECT_EQ(f.find(".txo"), std::string::npos) << f;
}

TEST_F(SmtpServerTest, InterleavedClientsKeepTheirOwnMessages) {
    Start();
    auto a = Connect();
    auto b = Connect();
    for (auto* c : {a.get(), b.get()}) {
        EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
        EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
        EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    }
    const std::string ma = "Message-ID: <aaa>\r\n\r\nfrom a 1\r\nfrom a 2\r\n.\r\n";
    const std::string mb = "Message-ID: <bbb>\r\n\r\nfrom b\r\n.\r\n";
    a->Write(ma.substr(0, 25));
    b->Write(mb.substr(0, 10));
    EXPECT_EQ(a->Reply(200), "");
    b->Write(mb.substr(10));
    EXPECT_EQ(b->Reply(), "250 Load and clear\r\n");
    a->Write(ma.substr(25));
    EXPECT_EQ(a->Reply(), "250 Load and clear\r\n");
    auto in = Files("in");
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(Slurp(smtp::StoreFolder("in") + in[0]), ma);  // alice_aaa...
    EXPECT_EQ(Slurp(smtp::StoreFolder("in") + in[1]), mb);
}

TEST_F(SmtpServerTest, InternalMailOnlyReturnsOrRefusesExternalMail) {
    WriteIni("Wait=3\n");
    Start();
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "550 Internal mail only\r\n");
    EXPECT_EQ(c->Say("RSET"), "250 Ok Resetting state\r\n");
    EXPECT_EQ(c->Say("MAIL FROM:<bob@office.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Message-ID: <r1>\r\nSubject: out\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(c->Reply(), "250 Load and clear\r\n");
    EXPECT_TRUE(Files("out").empty());
    auto in = Files("in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].rfind("bob_r1", 0), 0u);
    EXPECT_NE(Slurp(smtp::StoreFolder("in") + in[0]).find("Subject: ### Returned ### - out\r\n"), std::string::npos);
    EXPECT_TRUE(platform::IniFile(smtp::PortsFileName()).ReadSections().empty());
}

// With internal mail only, a message whose sender cannot be given the mail
// back (here the sender's alias went away after its recipients were taken)
// is refused, and nothing of it stays behind.
TEST_F(SmtpServerTest, InternalMailOnlyRefusesWhatItCannotReturn) {
    WriteIni("Wait=3\n");
    Start();
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<sales@office.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<y@far.example>"), "250 Recipient OK\r\n");
    TvdlMemTable& aliases = tables::Aliases().Table();
    for (aliases.First(); !aliases.Eof();) {
        if (aliases.FieldByName("Email").AsString() == "sales@office.example") aliases.Delete();
        else aliases.Next();
    }
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Message-ID: <r2>\r\nSubject: out\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(c->Reply().substr(0, 4), "451 ");
    EXPECT_TRUE(Files("out").empty());
    EXPECT_TRUE(Files("in").empty());
    EXPECT_TRUE(platform::IniFile(smtp::PortsFileName()).ReadSections().empty());
}

TEST_F(SmtpServerTest, AddressFilterClosesOutsiders) {
    WriteIni("IPFilter=1\nIPFilterAddress=10.0.0.\n");
    Start();
    // Loopback always passes.
    auto c = Connect();
    EXPECT_EQ(c->greeting, "220 hello\r\n");
}

TEST_F(SmtpServerTest, StartUpKeepsOnlyRecordsOfMessagesThatExist) {
    std::ofstream(smtp::StoreFolder("out") + "q1.txt") << "x";
    std::ofstream(smtp::StoreFolder("out") + "q2.tx_") << "x";
    for (const char* s : {"q1", "q2", "gone", "4711"}) smtp::WritePortsValue(s, std::string("rcpt"), "1");
    Start();
    EXPECT_EQ(platform::IniFile(smtp::PortsFileName()).ReadSections(), (std::vector<std::string>{"q1", "q2"}));
    smtp_.reset();
    std::remove((smtp::StoreFolder("out") + "q1.txt").c_str());
    std::remove((smtp::StoreFolder("out") + "q2.tx_").c_str());
    smtp_ = std::make_unique<TFrmSMTP>();
    EXPECT_FALSE(platform::FileExists(smtp::PortsFileName()));
}

TEST_F(SmtpServerTest, PortInUseIsReportedAndStartUpGoesOn) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress("127.0.0.1"), 0));
    WriteIni("");
    std::ofstream(ProgramDir + "tarnwick.ini", std::ios::binary)
        << "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=" << taken.serverPort() << "\n";
    engine_ = std::make_unique<twtest::EngineState>();
    smtp_ = std::make_unique<TFrmSMTP>();
    EXPECT_FALSE(smtp_->SMTPServer.Active());
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_EQ(dialogs_[0], smtp::SmtpPortInUseText(taken.serverPort()));
    EXPECT_NE(dialogs_[0].find(", necessary for the SMTP server.\r\nIf you want"), std::string::npos);
    // Saving the settings may move it to a free port.
    ASSERT_TRUE(setup::hooks.reopenSmtpServer);
    EXPECT_TRUE(setup::hooks.reopenSmtpServer(0));
    EXPECT_TRUE(smtp_->SMTPServer.Active());
}

TEST_F(SmtpServerTest, CrashMailsAreRareAndNeverAboutSockets) {
    Start();
    auto t0 = twtest::At(2026, 12, 7, 10, 0, 0, 0);
    platform::SystemTime now = t0;
    platform::SetClockForTesting([&] { return now; });
    smtp_->FormCreate();
    struct Case {
        int minutes, action;
        const char* report;
        bool handled;
    } cases[] = {
        {0, 0, "EAccessViolation at 0040", false},   // first of the run
        {1, 0, "EAccessViolation at 0040", true},    // a minute later
        {2, 3, "EAccessViolation at 0040", false},   // not a mail: untouched
        {61, 0, "EConvertError", false},             // an hour after the last mail
        {200, 0, "class ESocketError raised", true}, // never mailed
    };
    for (const auto& c : cases) {
        now = t0 + std::chrono::minutes(c.minutes);
        bool handled = false;
        smtp_->ErrorMailEvent(c.action, c.report, handled);
        EXPECT_EQ(handled, c.handled) << c.minutes << " " << c.report;
    }
}

// The footer goes into a stored message by streaming: the file becomes what
// the text would, also around lines longer than what is held of a line.
TEST_F(SmtpServerTest, FooterGoesIntoTheFileAsIntoTheText) {
    std::ofstream(ProgramDir + "footer.dat", std::ios::binary) << "-- \r\n.Office\r\n";
    Start();
    const std::vector<std::string> footer = mailsettings::Current()->footerLines;
    ASSERT_EQ(footer, (std::vector<std::string>{"-- ", ".Office"}));
    const std::string held(1 << 20, 'x');
    const std::string htmlHead = "Content-Type: text/html\r\n\r\n";
    const std::vector<std::string> messages = {
        "Subject: s\r\n\r\nhello\r\n.\r\n",
        htmlHead + "<html><body>hi</BODY></html>\r\n.\r\n",
        "Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n<body>x=3D</body>\r\n.\r\n",
        "Content-Type: multipart/alternative; boundary=zz\r\n\r\n--zz\r\nContent-Type: text/html\r\n"
        "Content-Transfer-Encoding: 8bit\r\n\r\n<p>x</p></body>\r\n--zz--\r\n.\r\n",
        "Subject: u\r\n\r\ntext\r\nbegin 644 a.bin\r\nM\r\nend\r\n.\r\n",
        "Subject: bare\n\nline\n.\n",
        "Subject: no end\r\n\r\n.",
        "",
        // "</body>" at the start of a long line, across the end of what is
        // held of it, and past it.
        htmlHead + "</body>" + held + "\r\n.\r\n",
        htmlHead + held.substr(3) + "</bOdY>" + held + "\r\n.\r\n",
        htmlHead + held + held + "</BODY>tail\r\n.\r\n",
        htmlHead + held + "\r\r\n</body>\r\n.\r\n",
        "Subject: long\r\n\r\n" + held + held + "\r\nbegin 644 b\r\n.\r\n",
    };
    int n = 0;
    for (const auto& text : messages) {
        const std::string file = ProgramDir + "m" + std::to_string(n++) + ".txt";
        for (bool html : {true, false}) {
            {
                std::ofstream(file, std::ios::binary) << text;
            }
            ASSERT_TRUE(html ? TFrmSMTP::InsertHtmlFooter(file) : TFrmSMTP::InsertTextFooter(file));
            std::string stored;
            ASSERT_TRUE(platform::ReadFile(file, stored));
            const std::string expected = html ? smtp::WithHtmlFooter(text, footer, {}) : smtp::WithTextFooter(text, footer);
            EXPECT_TRUE(stored == expected) << (html ? "html " : "text ") << n << ": " << text.substr(0, 80);
        }
    }
    // The long-line messages did get their footer.
    EXPECT_NE(smtp::WithHtmlFooter(messages[10], footer, {}), messages[10]);
    EXPECT_NE(smtp::WithHtmlFooter(messages[9], footer, {}).find("x<DIV>\r\n<BR>-- \r\n"), std::string::npos);
}

TEST_F(SmtpServerTest, DeliveryFiltersRunInTheirOrderOnEachCopy) {
    Start();
    twtest::ChangeSettings([](MailSettings& s) {
        s.copyOut = true;
        s.copyOutTo = "bob";
    });
    std::vector<std::string> calls;
    auto name = [](const std::string& path) { return path.substr(path.find_last_of('/') + 1, 5); };
    const smtp::DeliveryHooks units = smtp::deliveryHooks;
    smtp::deliveryHooks.applyRules = [&](const std::string& file, const std::string& user, int kind, bool direction) {
        calls.push_back("rules " + name(file) + " " + user + " " + std::to_string(kind) + "/" +
                        std::to_string(direction));
    };
    smtp::deliveryHooks.autoRespond = [&](const std::string& address, const std::string& user, const std::string&,
                                          const std::string&) { calls.push_back("auto " + address + " " + user); };
    smtp::deliveryHooks.forwardMessage = [&](const std::string& user, const std::string& file, const std::string&) {
        calls.push_back("forward " + user);
        // Forwarding may take the copy away.
        std::remove(file.c_str());
    };
    auto c = Connect();
    EXPECT_EQ(Send(*c, "bob@office.example", {"alice@office.example", "x@far.example"},
                   "Message-ID: <f1>\r\n\r\nbody\r\n.\r\n"),
              "250 Load and clear\r\n");
    EXPECT_EQ(calls, (std::vector<std::string>{"rules alice alice 0/0", "auto <alice@office.example> alice",
                                               "forward alice"}))
        << "the copy of outgoing mail for bob gets no filters";
    EXPECT_EQ(Files("in"), std::vector<std::string>{"bob_f1100405123.dat"});
    // The session's next message has another sender.
    EXPECT_EQ(Send(*c, "alice@office.example", {"y@far.example"}, "Message-ID: <f2>\r\n\r\nbody\r\n.\r\n"),
              "250 Load and clear\r\n");
    calls.clear();
    EXPECT_EQ(c->Say("QUIT"), "221 See ya later\r\n");
    ASSERT_TRUE(PumpFor([&] { return calls.size() >= 2; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"rules f1100 bob 99/1", "rules f2100 alice 99/1"}))
        << "outgoing rules once the session ends, each with its own message's sender";
    smtp::deliveryHooks = units;
}

TEST_F(SmtpServerTest, WindowGoneMidDataLeavesNothing) {
    Start();
    smtp_->HeldMessageBytes = 0;  // the text goes to its file as it comes
    auto c = Connect();
    EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
    c->Write("Subject: half\r\n\r\nsome\r\n");
    ASSERT_TRUE(PumpFor([&] { return Files("out").size() == 1; }));
    smtp_.reset();
    FrmSMTP = nullptr;
    EXPECT_TRUE(Files("out").empty());
    EXPECT_TRUE(c->Closed());
}

// Mail with an empty envelope sender is a report or the like, whatever its
// From says: answering it is how responders start answering each other.
TEST_F(SmtpServerTest, NoOutOfOfficeReplyToMailWithoutEnvelopeSender) {
    Start();
    auto& holidays = tables::Holidays().Table();
    holidays.Append();
    holidays.FieldByName("User").SetAsString("alice");
    holidays.FieldByName("Subject").SetAsString("Away");
    holidays.FieldByName("Message").SetAsString("Back on Monday.");
    holidays.FieldByName("Who").SetAsInteger(0);
    holidays.Post();
    auto c = Connect();
    const std::string text = "From: bob@office.example\r\nMessage-ID: <%>\r\n\r\nbody\r\n.\r\n";
    auto withId = [&](const char* id) { return std::string(text).replace(text.find('%'), 1, id); };
    EXPECT_EQ(Send(*c, "", {"alice@office.example"}, withId("nul1")), "250 Load and clear\r\n");
    auto in = Files("in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].rfind("alice_", 0), 0u) << in[0];
    // The same from bob's own envelope is answered into his mailbox.
    EXPECT_EQ(Send(*c, "bob@office.example", {"alice@office.example"}, withId("bob1")), "250 Load and clear\r\n");
    in = Files("in");
    EXPECT_EQ(std::count_if(in.begin(), in.end(), [](const std::string& n) { return n.rfind("bob_", 0) == 0; }), 1);
}

TEST_F(SmtpServerTest, FilterUnitsAreInTheChain) {
    Start();
    // alice's mail goes on to bob, without a copy for her.
    auto& forwards = tables::Forwards().Table();
    forwards.Append();
    forwards.FieldByName("User").SetAsString("alice");
    forwards.FieldByName("IsLocal").SetAsBoolean(true);
    forwards.FieldByName("ForwardTo").SetAsString("bob");
    forwards.FieldByName("Copy").SetAsString("No");
    forwards.Post();
    auto c = Connect();
    EXPECT_EQ(Send(*c, "x@far.example", {"alice@office.example"}, "Message-ID: <fw1>\r\n\r\nbody\r\n.\r\n"),
              "250 Load and clear\r\n");
    auto in = Files("in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].rfind("bob_", 0), 0u) << in[0];
    // The spam filter's pseudo-recipient gets nothing stored.
    EXPECT_EQ(Send(*c, "bob@office.example", {"SpamAddresses@tarnwick.invalid"},
                   "Message-ID: <sa1>\r\n\r\nfriend@far.example\r\n.\r\n"),
              "250 Load and clear\r\n");
    EXPECT_EQ(Files("in").size(), 1u);
    EXPECT_TRUE(Files("out").empty());
}

}  // namespace

namespace {

TEST_F(SmtpServerTest, IdleOrStalledConnectionsCloseAndOversizedMessagesAreRefused) {
    Start();
    smtp_->SmtpIdleTimeoutMs = 300;
    smtp_->SmtpDataTimeoutMs = 900;
    smtp_->MaxMessageBytes = 1000;

    auto idle = Connect();
    EXPECT_EQ(idle->Reply(3000), "421 Idle too long, closing connection\r\n");
    EXPECT_TRUE(idle->Closed());

    // DATA text gets the longer wait; what arrived of it is dropped.
    auto stalled = Connect();
    EXPECT_EQ(stalled->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
    EXPECT_EQ(stalled->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
    EXPECT_EQ(stalled->Say("DATA"), "354 Off you go then\r\n");
    stalled->Write("Subject: half\r\n\r\nsome of it\r\n");
    EXPECT_EQ(stalled->Reply(500), "") << "still within the DATA wait";
    EXPECT_EQ(stalled->Reply(3000), "421 Idle too long, closing connection\r\n");
    EXPECT_TRUE(stalled->Closed());
    EXPECT_TRUE(PumpFor([&] { return Files("out").empty(); }));

    auto big = Connect();
    EXPECT_EQ(Send(*big, "x@far.example", {"alice@office.example", "y@far.example"},
                   "Subject: big\r\n\r\n" + std::string(600, 'x') + "\r\n" + std::string(600, 'y') + "\r\n.\r\n"),
              "552 Message size exceeds fixed maximum message size\r\n");
    EXPECT_TRUE(Files("in").empty());
    EXPECT_TRUE(Files("out").empty());
    // The session goes on, and a message within the limit is taken.
    EXPECT_EQ(Send(*big, "x@far.example", {"alice@office.example"}, "Subject: small\r\n\r\nok\r\n.\r\n"),
              "250 Load and clear\r\n");
    EXPECT_EQ(Files("in").size(), 1u);
}

// The limit is on the message text, not on the "." line that ends it, also
// when that line comes in pieces.
TEST_F(SmtpServerTest, TextExactlyAtTheSizeLimitIsTaken) {
    Start();
    smtp_->MaxMessageBytes = 1000;
    const std::string head = "Subject: edge\r\n\r\n";
    auto c = Connect();
    for (size_t size : {1000u, 1001u}) {
        EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
        EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
        EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
        c->Write(head + std::string(size - head.size() - 2, 'x') + "\r\n.");
        EXPECT_EQ(c->Reply(300), "");
        c->Write("\r\n");
        EXPECT_EQ(c->Reply(15000), size == 1000 ? "250 Load and clear\r\n"
                                                : "552 Message size exceeds fixed maximum message size\r\n")
            << size;
    }
    EXPECT_EQ(Files("in").size(), 1u);
}

}  // namespace

namespace {

// A byte now and then without a line end, in a command and in the DATA
// text, keeps no connection open past the wait.
TEST_F(SmtpServerTest, TrickleWithoutLineEndsIsClosedAfterTheWait) {
    Start();
    smtp_->SmtpIdleTimeoutMs = 300;
    smtp_->SmtpDataTimeoutMs = 300;
    for (bool inData : {false, true}) {
        auto c = Connect();
        if (inData) {
            EXPECT_EQ(c->Say("MAIL FROM:<x@far.example>"), "250 Sender OK\r\n");
            EXPECT_EQ(c->Say("RCPT TO:<alice@office.example>"), "250 Recipient OK\r\n");
            EXPECT_EQ(c->Say("DATA"), "354 Off you go then\r\n");
        }
        std::string reply;
        for (int i = 0; i < 50 && reply.empty(); ++i) {
            c->Write("x");
            reply = c->Reply(100);
        }
        EXPECT_EQ(reply, "421 Idle too long, closing connection\r\n") << (inData ? "in DATA" : "in a command");
        EXPECT_TRUE(c->Closed());
    }
}

// Every verb in every state of a session: the state a client has reached
// decides how a line is taken, so each cell starts from a fresh connection.
TEST_F(SmtpServerTest, EveryVerbInEveryState) {
    Start();
    // The many wrong log-ons here are far apart for the login brake.
    logins::SetClockForTesting([t = std::int64_t{0}]() mutable { return t += logins::LoginBrake::kForgetMs + 1; });
    const std::string askPass = "334 UGFzc3dvcmQ6\r\n", rejected = "535 user rejected\r\n";
    const std::vector<std::pair<std::string, std::vector<std::string>>> states = {
        {"greeted", {}},
        {"sender", {"MAIL FROM:<x@far.example>"}},
        {"recipient", {"MAIL FROM:<x@far.example>", "RCPT TO:<alice@office.example>"}},
        {"auth user", {"AUTH LOGIN"}},
        {"auth password", {"AUTH LOGIN " + auth::EncodeBase64("alice")}},
        {"auth plain", {"AUTH PLAIN"}},
    };
    struct Row {
        std::string verb;
        std::vector<std::string> replies;  // one per state, in the order above
    } rows[] = {
        {"HELO pc", {"250 Tarnwick\r\n", "250 Tarnwick\r\n", "250 Tarnwick\r\n", askPass, rejected, rejected}},
        {"EHLO pc",
         {"250-Tarnwick\r\n250 AUTH PLAIN LOGIN\r\n", "250-Tarnwick\r\n250 AUTH PLAIN LOGIN\r\n",
          "250-Tarnwick\r\n250 AUTH PLAIN LOGIN\r\n", askPass, rejected, rejected}},
        {"MAIL FROM:<bob@office.example>",
         {"250 Sender OK\r\n", "503 Nested MAIL command\r\n", "503 Nested MAIL command\r\n", askPass, rejected,
          rejected}},
        {"RCPT TO:<bob@office.example>",
         {"503 Bad sequence of commands\r\n", "250 Recipient OK\r\n", "250 Recipient OK\r\n", askPass, rejected,
          rejected}},
        {"DATA",
         {"503 Bad sequence of commands\r\n", "554 No valid recipients\r\n", "354 Off you go then\r\n", askPass,
          rejected, rejected}},
        {"RSET",
         {"250 Ok Resetting state\r\n", "250 Ok Resetting state\r\n", "250 Ok Resetting state\r\n", askPass, rejected,
          rejected}},
        {"NOOP", {"250 OK\r\n", "250 OK\r\n", "250 OK\r\n", askPass, rejected, rejected}},
        {"AUTH CRAM-MD5",
         {"504 Unrecognized authentication type\r\n", "504 Unrecognized authentication type\r\n",
          "504 Unrecognized authentication type\r\n", askPass, rejected, rejected}},
        {"AUTH LOGIN",
         {"334 VXNlcm5hbWU6\r\n", "334 VXNlcm5hbWU6\r\n", "334 VXNlcm5hbWU6\r\n", askPass, rejected, rejected}},
        {"VRFY alice",
         {"502 Command not implemented\r\n", "502 Command not implemented\r\n", "502 Command not implemented\r\n",
          askPass, rejected, rejected}},
        {"*",
         {"502 Command not implemented\r\n", "502 Command not implemented\r\n", "502 Command not implemented\r\n",
          "501 Authentication cancelled\r\n", "501 Authentication cancelled\r\n", "501 Authentication cancelled\r\n"}},
        {"QUIT", {"221 See ya later\r\n", "221 See ya later\r\n", "221 See ya later\r\n", askPass, rejected, rejected}},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(row.replies.size(), states.size()) << row.verb;
        for (size_t i = 0; i < states.size(); ++i) {
            auto c = Connect();
            for (const auto& line : states[i].second) ASSERT_NE(c->Say(line), "") << states[i].first;
            EXPECT_EQ(c->Say(row.verb), row.replies[i]) << row.verb << " in state " << states[i].first;
            // The session goes on from the state that reply left it in: NOOP
            // is a command, or the answer to a log-on question.
            if (row.verb == "QUIT" || row.replies[i] == "354 Off you go then\r\n") continue;
            const std::string next = row.replies[i] == "334 VXNlcm5hbWU6\r\n" ? askPass
                                     : row.replies[i] == askPass              ? rejected
                                                                              : "250 OK\r\n";
            EXPECT_EQ(c->Say("NOOP"), next)
                    << row.verb << " in state " << states[i].first;
        }
    }
    logins::SetClockForTesting({});
}

}  // namespace
