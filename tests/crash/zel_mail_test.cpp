// The report mail against scripted SMTP and DNS servers on loopback: the
// exact bytes of each dialogue, the message layout (checked with python's
// email package), time limits and the routes.
#include <gtest/gtest.h>

#include <chrono>

#include "crash/zel_mail.h"
#include "crash/zel_report.h"
#include "crash_servers.h"
#include "crash_test_util.h"
#include "platform/clock.h"

using namespace zelExcept;

namespace {

const platform::SystemTime kNow = std::chrono::system_clock::from_time_t(1796634303);  // 2026-12-07 09:05:03 UTC
const std::string kHeader =
    "To: <bugs@x.example>\r\n"
    "From: zelExcept <bugs@x.example>\r\n"
    "Subject: =?UTF-8?Q?tarnwick=20error=20report?=\r\n"
    "Date: 7 Dec 2026 09:05:03 UT\r\n"
    "Message-ID: <01dd862a0b75c980@zelExcept>\r\n";

// Fixed clock, a fixed greeting name and short time limits for each test;
// the settings block and the environment are restored afterwards.
class ZelMail : public ::testing::Test {
protected:
    void SetUp() override {
        savedSettings_ = Settings();
        savedEnv_ = MailEnvironment();
        platform::SetClockForTesting([] { return kNow; });
        MailEnvironment().HeloName = "tester";
        MailEnvironment().ReadTimeoutMs = 2000;
        MailEnvironment().DeadlineMs = 5000;
        MailEnvironment().RootServers.clear();
        MailEnvironment().DnsWaitsMs = {200, 200, 200};
        MailEnvironment().Connected = [] { return false; };
        MailEnvironment().ResultBox = [this](const std::string& caption, const std::string& text, bool sent) {
            boxes_.push_back(caption + "|" + text + "|" + (sent ? "sent" : "failed"));
        };
        Settings().Recipient = "bugs@x.example";
    }
    void TearDown() override {
        Settings() = savedSettings_;
        MailEnvironment() = savedEnv_;
        platform::SetClockForTesting({});
    }

    std::vector<std::string> boxes_;

private:
    TSettingsBlock savedSettings_;
    TMailEnvironment savedEnv_;
};

}  // namespace

TEST_F(ZelMail, DialoguesByteForByte) {
    const std::string body = "line one\r\n.\r\n.hidden\nbare\rend";
    const std::string data = kHeader +
                             "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n"
                             "Content-Transfer-Encoding: 8bit\r\n\r\nline one\r\n..\r\n..hidden\r\nbare\r\nend";
    const std::string mail = "MAIL FROM:<bugs@x.example>\r\nRCPT TO:<bugs@x.example>\r\nDATA\r\n" + data + "\r\n.\r\n";
    struct Case {
        const char* what;
        crashtest::SmtpScript script;
        std::string account, password, recipients;
        bool result;
        std::string transcript;
    } cases[] = {
        {"plain, a \".\" line stuffed", {}, "", "", "bugs@x.example", true, "EHLO tester\r\n" + mail + "QUIT\r\n"},
        {"AUTH LOGIN offered last",
         {.Ehlo = "250-scripted\r\n250 AUTH PLAIN LOGIN\r\n"},
         "crash-user", "p4ss word", "bugs@x.example", true,
         "EHLO tester\r\nAUTH LOGIN\r\nY3Jhc2gtdXNlcg==\r\ncDRzcyB3b3Jk\r\n" + mail + "QUIT\r\n"},
        {"AUTH=LOGIN form", {.Ehlo = "250-scripted\r\n250-AUTH=LOGIN\r\n250 8BITMIME\r\n"}, "crash-user", "",
         "bugs@x.example", true, "EHLO tester\r\nAUTH LOGIN\r\nY3Jhc2gtdXNlcg==\r\n\r\n" + mail + "QUIT\r\n"},
        {"credentials but no AUTH LOGIN", {.Ehlo = "250-scripted\r\n250 AUTH PLAIN CRAM-MD5\r\n"}, "crash-user",
         "p4ss word", "bugs@x.example", false, "EHLO tester\r\nQUIT\r\n"},
        {"QUIT not answered 221", {.Quit = "250 still here\r\n"}, "", "", "bugs@x.example", false,
         "EHLO tester\r\n" + mail + "QUIT\r\n"},
        {"EHLO refused, HELO taken", {.Ehlo = "502 unknown\r\n"}, "", "", "bugs@x.example", true,
         "EHLO tester\r\nHELO tester\r\n" + mail + "QUIT\r\n"},
        {"EHLO and HELO refused", {.Ehlo = "502 unknown\r\n", .Helo = "502 unknown\r\n"}, "", "", "bugs@x.example",
         false, "EHLO tester\r\nHELO tester\r\n"},
        {"short last reply line", {.Ehlo = "250-scripted\r\n250\r\n"}, "", "", "bugs@x.example", true,
         "EHLO tester\r\n" + mail + "QUIT\r\n"},
        {"no recipient accepted", {.Rcpt = "550 no such user\r\n"}, "", "", "a@x.example; b@x.example", false,
         "EHLO tester\r\nMAIL FROM:<a@x.example>\r\nRCPT TO:<a@x.example>\r\nRCPT TO:<b@x.example>\r\nQUIT\r\n"},
    };
    for (const Case& c : cases) {
        crashtest::ScriptedSmtpServer server(c.script);
        bool sent = SendSmtpMail("", c.recipients, "tarnwick error report", "127.0.0.1", server.Port(), c.account,
                                 c.password, "", body);
        EXPECT_EQ(sent, c.result) << c.what;
        // The session has ended once the client returns; the server may
        // still be reading the last bytes.
        for (int i = 0; i < 100 && server.Received().size() < c.transcript.size(); ++i) usleep(10000);
        EXPECT_EQ(server.Received(), c.transcript) << c.what;
    }
}

TEST_F(ZelMail, NeitherSubjectNorBodyResetsInstead) {
    crashtest::ScriptedSmtpServer server;
    EXPECT_TRUE(SendSmtpMail("Crash <crash@office.example>", "bugs@x.example", "", "127.0.0.1", server.Port(), "",
                             "", "", ""));
    for (int i = 0; i < 100 && server.Received().find("QUIT") == std::string::npos; ++i) usleep(10000);
    EXPECT_EQ(server.Received(),
              "EHLO tester\r\nMAIL FROM:<crash@office.example>\r\nRCPT TO:<bugs@x.example>\r\nRSET\r\nQUIT\r\n");
}

TEST_F(ZelMail, LineBreaksInAddressesStayInsideTheirLine) {
    crashtest::ScriptedSmtpServer server;
    EXPECT_TRUE(SendSmtpMail("Eve <eve@x.example>\r\nRCPT TO:<victim@y.example>", "bugs@x.example\r\nRSET", "",
                             "127.0.0.1", server.Port(), "", "", "", ""));
    for (int i = 0; i < 100 && server.Received().find("QUIT") == std::string::npos; ++i) usleep(10000);
    EXPECT_EQ(server.Received(), "EHLO tester\r\nMAIL FROM:<eve@x.example>RCPT TO:<victim@y.example>\r\n"
                                 "RCPT TO:<bugs@x.exampleRSET>\r\nRSET\r\nQUIT\r\n");
    const std::string data = MailData("Eve\r\nBcc: x@y <eve@x.example>", "a@x\nCc: b@y", "s", "", "r", kNow);
    EXPECT_EQ(data.find("\r\nBcc:"), std::string::npos);
    EXPECT_EQ(data.find("\r\nCc:"), std::string::npos);
}

TEST_F(ZelMail, ServersThatStallOrNeverStopEndWithinTheLimits) {
    MailEnvironment().ReadTimeoutMs = 300;
    MailEnvironment().DeadlineMs = 800;
    {
        crashtest::ScriptedSmtpServer silent({.Silent = true});
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendSmtpMail("", "bugs@x.example", "s", "127.0.0.1", silent.Port(), "", "", "", "r"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(silent.Received(), "");
    }
    {
        // Every line comes well within the read limit, the reply never ends.
        MailEnvironment().ReadTimeoutMs = 1000;
        crashtest::ScriptedSmtpServer chatty({.Trickle = true});
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendSmtpMail("", "bugs@x.example", "s", "127.0.0.1", chatty.Port(), "", "", "", "r"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    // Nobody listening.
    int port = 0;
    int fd = crashtest::ListenLoopback(SOCK_STREAM, port);
    close(fd);
    EXPECT_FALSE(SendSmtpMail("", "bugs@x.example", "s", "127.0.0.1", port, "", "", "", "r"));
}

TEST_F(ZelMail, HeaderForms) {
    EXPECT_EQ(EnvelopeForm("a@b.example"), "<a@b.example>");
    EXPECT_EQ(EnvelopeForm("Mira Kell <mira@b.example>"), "<mira@b.example>");
    EXPECT_EQ(HeaderForm("a@b.example"), "<a@b.example>");
    EXPECT_EQ(HeaderForm("Mira Kell <mira@b.example>"), "Mira Kell <mira@b.example>");
    EXPECT_EQ(SplitRecipients(" a@x ;b@y,, c@z "), (std::vector<std::string>{"a@x", "b@y", "c@z"}));
    EXPECT_EQ(EncodedSubject("tarnwick error report"), "=?UTF-8?Q?tarnwick=20error=20report?=");
    EXPECT_EQ(EncodedSubject("Fehler: \xc3\xa4!"), "=?UTF-8?Q?Fehler=3A=20=C3=A4=21?=");
    EXPECT_EQ(MailDateText(kNow), "7 Dec 2026 09:05:03 UT");
    EXPECT_EQ(MailDateText(std::chrono::system_clock::from_time_t(1767225599)), "31 Dec 2025 23:59:59 UT");
    EXPECT_EQ(MailMessageId(kNow), "<01dd862a0b75c980@zelExcept>");
    EXPECT_EQ(MailtoUrl("bugs@x.example", "a b?", "1%\r\n\"#+<>"),
              "mailto:bugs@x.example?subject=a%20b%3F&body=1%25%0D%0A%22%23%2B%3C%3E");
    // A long report is cut, but never inside an escape.
    for (std::size_t pad = 0; pad < 3; ++pad) {
        std::string url = MailtoUrl("b@x", "s", std::string(pad, 'x') + std::string(60000, ' '));
        EXPECT_LE(url.size(), 100u * 1024) << pad;
        EXPECT_GT(url.size(), 100u * 1024 - 3) << pad;
        EXPECT_EQ(url.substr(url.size() - 3), "%20") << pad;
    }
}

TEST_F(ZelMail, AttachmentsDecodeWithPythonsEmailPackage) {
    crashtest::TempDir dir;
    std::string binary;
    for (int i = 0; i < 1000; ++i) binary += char(i * 7);
    crashtest::WriteFile(dir.File("bugreport.txt"), binary);
    crashtest::WriteFile(dir.File("shot.PNG"), "\x89PNG\r\n.\r\n");
    const std::string report = "date/time         : now\r\n.\r\nexception message : Gr\xc3\xbc\xc3\x9f" "e.";
    std::string data = MailData("", "bugs@x.example", "tarnwick error report",
                                dir.File("bugreport.txt") + "|" + dir.File("missing.txt") + "|" + dir.File("shot.PNG"),
                                report, kNow);
    // As the server stores it: the stuffing undone.
    std::string stored;
    for (std::size_t at = 0; at < data.size();) {
        std::size_t eol = data.find("\r\n", at);
        std::string line = data.substr(at, eol == std::string::npos ? std::string::npos : eol + 2 - at);
        stored += line.rfind("..", 0) == 0 ? line.substr(1) : line;
        at = eol == std::string::npos ? data.size() : eol + 2;
    }
    crashtest::WriteFile(dir.File("mail.eml"), stored);
    const std::string script = R"(import email, sys
from email import policy
m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=policy.compat32)
print(m.get_content_type(), m['Subject'])
for p in m.walk():
    if p.is_multipart(): continue
    print(p.get_content_type(), p.get_content_charset(), p.get_filename(), p.get_payload(decode=True).hex())
)";
    bool ok = false;
    std::string out = crashtest::RunPython(dir, script, dir.File("mail.eml"), &ok);
    ASSERT_TRUE(ok) << out;
    // The parser hands text parts back with plain line feeds.
    std::string text = report;
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    EXPECT_EQ(out, "multipart/mixed =?UTF-8?Q?tarnwick=20error=20report?=\n"
                   "text/plain utf-8 None " + crashtest::ToHex(text) + "\n"
                   "application/octet-stream None bugreport.txt " + crashtest::ToHex(binary) + "\n"
                   "image/png None shot.PNG " + crashtest::ToHex("\x89PNG\r\n.\r\n") + "\n");
}

TEST_F(ZelMail, OwnServerOnLoopbackIsUsedWhileOffline) {
    crashtest::ScriptedSmtpServer server;
    Settings().SmtpPort = server.Port();
    EXPECT_TRUE(MailBugReport("date/time : x", true));
    EXPECT_EQ(server.Sessions(), 1);
    EXPECT_TRUE(boxes_.empty());

    // Another host needs the network.
    Settings().SmtpHost = "mail.x.example";
    EXPECT_FALSE(MailBugReport("date/time : x", true));
    EXPECT_EQ(server.Sessions(), 1);
}

TEST_F(ZelMail, InteractiveMailReportsItsResult) {
    crashtest::ScriptedSmtpServer server;
    Settings().SmtpPort = server.Port();
    Settings().MailSentText = "Sent.%LF%Thanks.";
    EXPECT_TRUE(MailBugReport("r", false));
    crashtest::ScriptedSmtpServer refusing({.Rcpt = "550 no\r\n"});
    Settings().SmtpPort = refusing.Port();
    EXPECT_FALSE(MailBugReport("r", false));
    EXPECT_EQ(boxes_, (std::vector<std::string>{"mail bug report|Sent.\r\nThanks.|sent",
                                                "mail bug report|Sorry, sending the mail didn't work.|failed"}));
    // The mail client is offered only to a person; when it opens, the
    // failure box stays away.
    std::string url;
    MailEnvironment().OpenUrl = [&](const std::string& u) {
        url = u;
        return true;
    };
    Settings().RouteMailto = true;
    EXPECT_FALSE(MailBugReport("r", true));
    EXPECT_EQ(url, "");
    EXPECT_FALSE(MailBugReport("r", false));
    EXPECT_EQ(url, "mailto:bugs@x.example?subject=tarnwick%20error%20report&body=r");
    EXPECT_EQ(boxes_.size(), 2u);
}

TEST_F(ZelMail, DirectRouteFindsTheBestExchanger) {
    crashtest::ScriptedSmtpServer server;
    crashtest::ScriptedDnsServer dns({{20, "mx2.x.example"}, {10, "mx1.x.example"}},
                                     {{"mx2.x.example", "127.0.0.2"}, {"mx1.x.example", "127.0.0.1"}});
    MailEnvironment().DnsServers = {{"127.0.0.1", dns.Port()}};
    MailEnvironment().MxPort = server.Port();
    Settings().RouteDirectMx = true;
    Settings().RouteSmtpServer = false;
    Settings().Recipient = "Bugs <bugs@x.example>";

    // Offline, the direct route is not tried.
    EXPECT_FALSE(MailBugReport("r", true));
    EXPECT_EQ(dns.LastQuestion(), "");

    MailEnvironment().Connected = [] { return true; };
    EXPECT_TRUE(MailBugReport("r", true));
    EXPECT_EQ(dns.LastQuestion(), "x.example");
    EXPECT_EQ(server.Sessions(), 1);

    std::string address;
    EXPECT_TRUE(LookupMailExchanger("x.example", address));
    EXPECT_EQ(address, "127.0.0.1");
    // Asked where a parent zone would answer: the referral is followed.
    crashtest::ScriptedDnsServer parent({{5, "mx.y.example"}}, {{"mx.y.example", "127.0.0.1"}}, 2);
    MailEnvironment().DnsServers = {{"127.0.0.1", parent.Port()}};
    address.clear();
    EXPECT_TRUE(LookupMailExchanger("y.example", address));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(parent.Queries(), 3);

    // A server that never answers: the lookup gives up after its waits.
    int port = 0;
    int quiet = crashtest::ListenLoopback(SOCK_DGRAM, port);
    MailEnvironment().DnsServers = {{"127.0.0.1", port}};
    EXPECT_FALSE(LookupMailExchanger("x.example", address));
    close(quiet);
}
