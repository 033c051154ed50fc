// Parsing and building of MIME messages by TQevMsg.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>

#include "codecs/qevmsg.h"
#include "mime_testutil.h"

namespace {

TQevMsg& Parse(TQevMsg& msg, const std::string& raw) {
    msg.SetRawMailText(raw);
    msg.ParseRawMail();
    return msg;
}

TEST(ParseRawMail, MessageHeaders) {
    TQevMsg m;
    Parse(m,
          "Received: from relay.example.org\r\n"
          "To: a@x.org, b@y.org\r\n"
          "CC: \"Doe, John\" <jd@x.org>, Mary (the boss) <m@x.org>\r\n"
          "Reply-To: =?utf-8?q?J=C3=B6rg?= <j@x.org>\r\n"
          "Subject: folded\r\n"
          "\tsubject; with semicolon\r\n"
          "Message-ID: <id@x>\r\n"
          "Content-Type: text/plain;\r\n charset=us-ascii\r\n"
          "\r\n"
          "body\r\n");
    EXPECT_EQ(m.From, "ved: from relay.example.org");  // no From header: the first line from its 6th character
    EXPECT_EQ(m.SendTo, "\"a@x.org\" <a@x.org>, \"b@y.org\" <b@y.org>");
    EXPECT_EQ(m.CC, "\"\" <jd@x.org>, \"the boss\" <m@x.org>");
    EXPECT_EQ(m.ReplyTo, "\"J\xC3\xB6rg\" <j@x.org>");
    EXPECT_EQ(m.Subject, "folded\tsubject; with semicolon");
    EXPECT_EQ(m.MessageId, "<id@x>");
    EXPECT_EQ(m.ContentType, "TEXT/PLAIN");
    EXPECT_EQ(m.ContentTransferEncoding, "7BIT");
    EXPECT_EQ(m.Headers.size(), 9u);
    EXPECT_EQ(m.Text, (qev_util::TStrings{"body"}));
    EXPECT_TRUE(m.RawMail.empty());

    TQevMsg keep;
    keep.ClearRawMailAfterParse = false;
    Parse(keep, "From: =?iso-8859-1?q?Andr=E9?= <a@x>\r\n\r\nx\r\n");
    EXPECT_EQ(keep.From, "Andr\xC3\xA9 <a@x>");
    EXPECT_EQ(keep.RawMail.size(), 3u);
}

TEST(ParseRawMail, BodyParts) {
    struct Case {
        const char* what;
        std::string raw;
        qev_util::TStrings text;
        std::vector<std::pair<std::string, std::string>> attachments;
    } cases[] = {
        {"quoted-printable text keeps underscores",
         "Subject: s\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\na=3Db_c=\r\nd\r\n",
         {"a=b_cd"}, {}},
        {"leading blank lines of a text part go",
         "Subject: s\r\n\r\n\r\n\r\ntext\r\n", {"text"}, {}},
        {"alternative: plain to Text, HTML as an attachment named after the subject",
         "Subject: Report v2.1\r\nContent-Type: multipart/alternative; boundary=\"Ab\"; x=y\r\n\r\n"
         "--Ab\r\nContent-Type: text/plain\r\n\r\nplain\r\n--Ab\r\nContent-Type: text/html\r\n\r\n<b>h</b>\r\n--Ab--\r\n",
         {"plain"}, {{"Report v2.html", "<b>h</b>"}}},
        {"boundary compared with its case",
         "Subject: s\r\nContent-Type: multipart/mixed; boundary=Ab\r\n\r\n--ab\r\nno\r\n--Ab\r\n\r\nyes\r\n--Ab--\r\n",
         {"yes"}, {}},
        {"no delimiter line: no parts",
         "Subject: s\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\nonly preamble\r\n", {}, {}},
        {"missing closing delimiter: the last part runs to the end",
         "Subject: s\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n\r\none\r\n--zz\r\n"
         "Content-Type: application/octet-stream; name=a.bin\r\nContent-Transfer-Encoding: base64\r\n\r\nYWJj\r\n",
         {"one"}, {{"a.bin", "abc"}}},
        {"uuencoded block becomes an attachment",
         "Subject: s\r\n\r\nbefore\r\nbegin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\nafter\r\n",
         {"before", "after"}, {{"cat.txt", "Cat"}}},
        {"a begin line without uuencoded data stays text",
         "Subject: s\r\n\r\nbegin 644 the meeting at ten\r\nwe talk about money\r\nend\r\n",
         {"begin 644 the meeting at ten", "we talk about money", "end"}, {}},
        {"a begin line with nothing after it stays text",
         "Subject: s\r\n\r\nbegin 644 the meeting\r\n\r\nend\r\n", {"begin 644 the meeting", "", "end"}, {}},
        {"a damaged block stays text; a good block after it is still found",
         "Subject: s\r\n\r\nbegin 644 bad.bin\r\n#0V%T\r\nnot uuencoded\r\nbegin 644 good.bin\r\n#0V%T\r\nend\r\n",
         {"begin 644 bad.bin", "#0V%T", "not uuencoded"}, {{"good.bin", "Cat"}}},
        {"names lose path and control characters",
         "Subject: s\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n"
         "Content-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"../..\\\\x\t<y>.pdf\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nYQ==\r\n--zz--\r\n",
         {}, {{"....xy.pdf", "a"}}},
        {"encoded-word and RFC 2231 names",
         "Subject: s\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n"
         "Content-Type: text/plain; name=\"=?utf-8?q?=C3=BC.txt?=\"\r\n\r\nu\r\n--zz\r\n"
         "Content-Type: application/octet-stream\r\nContent-Disposition: attachment;\r\n"
         " filename*0*=utf-8''%C3%A4;\r\n filename*1=\".bin\"\r\n\r\nraw\r\n--zz--\r\n",
         {}, {{"\xC3\xBC.txt", "u"}, {"\xC3\xA4.bin", "raw"}}},
        {"message/rfc822 is parsed as a part, its headers do not change the message's",
         "Subject: outer\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n"
         "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: text/html\r\n\r\n<i>x</i>\r\n--zz--\r\n",
         {}, {{"outer.html", "<i>x</i>"}}},
        {"unnamed 7bit non-text part goes to Text; unnamed base64 picture is named after the subject",
         "Subject: pic\r\nContent-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n"
         "Content-Type: application/x-thing\r\n\r\nthing\r\n--zz\r\nContent-Type: image/gif\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nR0lG\r\n--zz--\r\n",
         {"thing"}, {{"pic.gif", "GIF"}}},
        {"quoted-printable attachment without its final line break",
         "Subject: s\r\nContent-Type: text/plain; name=q.txt\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "caf=E9\r\nline\r\n",
         {}, {{"q.txt", "caf\xE9\r\nline"}}},
    };
    for (const Case& c : cases) {
        TQevMsg m;
        Parse(m, c.raw);
        EXPECT_EQ(m.Text, c.text) << c.what;
        std::vector<std::pair<std::string, std::string>> got;
        for (std::size_t i = 0; i < m.Attachments.Count(); ++i)
            got.emplace_back(m.Attachments[i].FileName, m.Attachments[i].GetBody());
        EXPECT_EQ(got, c.attachments) << c.what;
    }
}

TEST(ParseRawMail, DeepNestingStopsAtTheCap) {
    std::string raw = "Subject: deep\r\n";
    const int depth = 5000;
    for (int i = 0; i < depth; ++i)
        raw += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
    raw += "Content-Type: text/plain\r\n\r\ndeepest\r\n";
    TQevMsg m;
    Parse(m, raw);
    EXPECT_TRUE(m.Text.empty());

    std::string shallow = "Subject: s\r\n";
    for (int i = 0; i < 10; ++i)
        shallow += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
    shallow += "Content-Type: text/plain\r\n\r\nfound\r\n";
    TQevMsg s;
    Parse(s, shallow);
    EXPECT_EQ(s.Text, qev_util::TStrings{"found"});
}

TEST(ParseRawMail, EmptyRawMailChangesNothing) {
    TQevMsg m;
    m.Subject = "kept";
    m.ParseRawMail();
    EXPECT_EQ(m.Subject, "kept");
}

class FillRawMailTest : public ::testing::Test {
protected:
    static TQevMsg& Basic(TQevMsg& m) {
        m.From = "ann@example.org";
        m.SendTo = "bob@example.org";
        m.Subject = "Hi";
        m.Date = "Mon, 07 Dec 2026 09:00:00";
        m.XMailer = "mailer";
        m.Text = {"one", ".", ".two"};
        return m;
    }
    static std::vector<std::string> HeaderNames(const TQevMsg& m) {
        std::vector<std::string> names;
        for (const auto& l : m.RawMail) {
            if (l.empty()) break;
            names.push_back(l.substr(0, l.find(':')));
        }
        return names;
    }
    mimetest::TempDir dir_;
};

TEST_F(FillRawMailTest, HeaderOrderAndPlainBody) {
    TQevMsg m;
    Basic(m);
    m.BCC = "secret@example.org";
    m.Priority = prHigh;
    m.ExtraHeaders = {"X-Attachment: none"};
    m.FillRawMail();
    EXPECT_EQ(HeaderNames(m), (std::vector<std::string>{"Message-Id", "Date", "X-Priority", "From", "X-Mailer", "To",
                                                        "MIME-Version", "Subject", "Content-Type",
                                                        "Content-Transfer-Encoding", "X-Attachment"}));
    const std::string raw = m.RawMailText();
    EXPECT_NE(raw.find("\r\nX-Priority: 2\r\n"), std::string::npos);
    EXPECT_NE(raw.find("\r\nFrom: ann@example.org\r\n"), std::string::npos);
    EXPECT_NE(raw.find("Content-Type: text/plain; charset=ISO-8859-1\r\nContent-Transfer-Encoding: 8Bit\r\n"),
              std::string::npos);
    EXPECT_EQ(raw.find("secret"), std::string::npos);
    EXPECT_NE(raw.find("\r\n\r\none\r\n..\r\n..two\r\n"), std::string::npos);

    TQevMsg full;
    Basic(full);
    full.UserName = "Ann";
    full.CC = "c@x";
    full.ReplyTo = "r@x";
    full.InReplyTo = "<p@x>";
    full.FillRawMail();
    EXPECT_EQ(HeaderNames(full),
              (std::vector<std::string>{"Message-Id", "Date", "X-Priority", "From", "In-Reply-To", "Reply-To", "X-Mailer",
                                        "To", "CC", "MIME-Version", "Subject", "Content-Type",
                                        "Content-Transfer-Encoding"}));
    EXPECT_EQ(full.RawMail[3], "From: \"Ann\" <ann@example.org>");
}

TEST_F(FillRawMailTest, FromWithoutAtSignStops) {
    TQevMsg m;
    Basic(m);
    m.From = "ann";
    m.RawMail = {"old"};
    try {
        m.FillRawMail();
        FAIL();
    } catch (const qev_util::EQevError& e) {
        EXPECT_STREQ(e.what(), "\"From\" address not complete.");
    }
    EXPECT_TRUE(m.RawMail.empty());
}

TEST_F(FillRawMailTest, ValuesCannotInjectHeaders) {
    mimetest::WriteFile(dir_.File("a.txt"), "x");
    TQevMsg m;
    Basic(m);
    m.Subject = "Hi\r\nBcc: victim@x";
    m.UserName = "Ann\\\"\r\nX-Evil: 1";
    m.SendTo = "bob@x\nX-Evil: 2";
    m.ExtraHeaders = {"X-Attachment: a\r\nX-Evil: 3", "", "X-Extra: 5"};
    TAttachedFile& f = m.Attachments.AddFile(dir_.File("a.txt"));
    f.FileName = "a\"\r\nX-Evil: 4.txt";
    m.FillRawMail();
    std::size_t headerEnd = qev_util::HeaderBlockEnd(m.RawMail);
    EXPECT_EQ(m.RawMail.at(headerEnd - 1), "X-Extra: 5");  // an empty extra line does not end the headers
    for (const auto& line : m.RawMail) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(line.rfind("X-Evil", 0), 0u) << line;
        EXPECT_NE(line.rfind("Bcc", 0), 0u) << line;
    }
    EXPECT_NE(m.RawMailText().find("filename=\"a  X-Evil: 4.txt\""), std::string::npos);
}

TEST_F(FillRawMailTest, AttachmentsAndBase64Text) {
    std::string bytes(1024, '\x7f');
    mimetest::WriteFile(dir_.File("k.bin"), bytes);
    TQevMsg m;
    Basic(m);
    m.TextEncoding = teBase64;
    m.CharSet = "utf-8";
    m.Attachments.AddFile(dir_.File("k.bin"));
    m.FillRawMail();
    EXPECT_EQ(m.Subject, "=?utf-8?B?SGk=?=");
    EXPECT_EQ(m.Attachments[0].GetBody(), bytes);
    EXPECT_EQ(m.Attachments[0].ContentType, "application/octet-stream");
    const std::string& last = m.Attachments[0].Base64.back();
    EXPECT_EQ(last.substr(last.size() - 2), "==");

    std::vector<std::string> body(m.RawMail.begin() + static_cast<long>(qev_util::HeaderBlockEnd(m.RawMail)) + 1,
                                  m.RawMail.end());
    const std::string delimiter = body.at(0);
    EXPECT_EQ(delimiter.rfind("----_QEV_bound_", 0), 0u);
    EXPECT_EQ(body.at(1), "Content-Type: text/plain; charset=utf-8");
    EXPECT_EQ(body.at(2), "Content-Transfer-Encoding: base64");
    EXPECT_EQ(body.at(4), "b25lDQouDQoudHdvDQo=");  // "one\r\n.\r\n.two\r\n": no dot doubling in Base64
    EXPECT_EQ(body.at(5), delimiter);
    EXPECT_EQ(body.at(6), "Content-Type: application/octet-stream; name=\"k.bin\"");
    EXPECT_EQ(body.at(8), "Content-Disposition: attachment; filename=\"k.bin\"");
    EXPECT_EQ(body[body.size() - 2], delimiter + "--");
    EXPECT_NE(m.RawMailText().find("multipart/mixed; boundary=\"" + delimiter.substr(2) + "\"\r\n"), std::string::npos);
}

// Attachments are encoded and decoded in memory: nothing depends on the
// temporary folder, which other programs share.
TEST_F(FillRawMailTest, AttachmentsNeedNoTemporaryFolder) {
    const std::string bytes = "\x01\x02 attached \xff";
    mimetest::WriteFile(dir_.File("k.bin"), bytes);
    struct UnusableTempFolder {
        std::string kept = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        explicit UnusableTempFolder(const std::string& path) { setenv("TMPDIR", path.c_str(), 1); }
        ~UnusableTempFolder() { kept.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", kept.c_str(), 1); }
    } gone(dir_.File("no such folder"));
    TQevMsg m;
    Basic(m);
    m.Attachments.AddFile(dir_.File("k.bin"));
    m.FillRawMail();
    TQevMsg base64, uu;
    Parse(base64, m.RawMailText());
    ASSERT_EQ(base64.Attachments.Count(), 1u);
    EXPECT_EQ(base64.Attachments[0].GetBody(), bytes);
    Parse(uu, "Subject: s\r\n\r\nbegin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\n");
    ASSERT_EQ(uu.Attachments.Count(), 1u);
    EXPECT_EQ(uu.Attachments[0].GetBody(), "Cat");
}

TEST_F(FillRawMailTest, MissingSourceFileRaises) {
    TQevMsg m;
    Basic(m);
    m.Attachments.AddFile(dir_.File("gone.bin"));
    EXPECT_THROW(m.FillRawMail(), qev_util::EFOpenError);
}

TEST(AttachedFile, BodyAccess) {
    TAttachedFiles files;
    TAttachedFile& f = files.AddFile("/some/where/Photo.JPG");
    EXPECT_EQ(f.FileName, "Photo.JPG");
    EXPECT_EQ(f.ContentType, "image/jpeg");
    *f.Body = "bytes";
    std::ostringstream out;
    f.SaveToStream(out);
    EXPECT_EQ(out.str(), "bytes");
    f.Body.reset();
    try {
        f.SaveToStream(out);
        FAIL();
    } catch (const qev_util::EQevError& e) {
        EXPECT_STREQ(e.what(), "AttachedFile.Body = nil");
    }
    EXPECT_THROW(files.GetItem(1), std::out_of_range);
}

TEST(QevUtil, HeaderHelpers) {
    const qev_util::TStrings block = {"Subject: a", "  b", "X-Other: c", "", "Subject: body"};
    EXPECT_EQ(qev_util::FindHeader(block, "SUBJECT:"), "Subject: a  b");
    EXPECT_EQ(qev_util::FindHeader(block, "X-OTHER:"), "X-Other: c");
    EXPECT_EQ(qev_util::FindHeader(block, "TO:"), "");
    EXPECT_EQ(qev_util::HeaderValue("Content-Type: text/plain ; x=y", "CONTENT-TYPE:", true), "text/plain");

    struct {
        const char* value;
        const char* name;
        const char* out;
    } params[] = {
        {"text/plain; name=a.txt", "name", "a.txt"},
        {"text/plain; NAME = \"a; b.txt\" ; x=1", "name", "a; b.txt"},
        {"text/plain; name=\"q\\\"uote\"", "name", "q\"uote"},
        {"text/plain; filename=f; name=n", "name", "n"},
        {"x; name*=iso-8859-1'de'%E4.txt", "name", "\xC3\xA4.txt"},
        {"x; name*0=\"lo\"; name*1=\"ng\"", "name", "long"},
        {"x; name*1=\"ng\"", "name", ""},
        {"multipart/mixed; boundary=\"==b==\"", "boundary", "==b=="},
    };
    for (const auto& p : params) EXPECT_EQ(qev_util::GetParameter(p.value, p.name), p.out) << p.value;
    EXPECT_EQ(qev_util::FindBoundary("Content-Type: multipart/mixed; Boundary=\"MiXeD\"; charset=x"), "--MiXeD");
    EXPECT_EQ(qev_util::FindBoundary("Content-Type: multipart/mixed"), "");

    struct {
        const char* name;
        const char* type;
    } types[] = {{"a.PDF", "application/pdf"}, {"b.odt", "application/vnd.oasis.opendocument.text"},
                 {"noext", "application/octet-stream"}, {"x.unknownext", "application/octet-stream"}};
    for (const auto& t : types) EXPECT_EQ(qev_util::ContentTypeOfExtension(t.name), t.type) << t.name;
    EXPECT_EQ(qev_util::GetTempPath().back(), '/');
}

// A "<" inside a quoted name or a comment is never the address.
TEST(QevUtil, HeaderAddressAsAReaderTakesIt) {
    struct {
        const char* value;
        const char* address;
        const char* name;
    } cases[] = {
        {"\"<img src=x onerror=alert(11)>\" <evil@outside.example>", "evil@outside.example",
         "<img src=x onerror=alert(11)>"},
        {"\"<boss@office.test>\" <spammer@far.example>", "spammer@far.example", "<boss@office.test>"},
        {"(<boss@office.test>) Spam  Mail <spammer@far.example>", "spammer@far.example", "Spam Mail"},
        {"\"a \\\"<q>\\\" b\" <x@y.example>", "x@y.example", "a \"<q>\" b"},
        {"bare@y.example (Bare <b@c>)", "bare@y.example", ""},
        {"<\"odd>local\"@y.example>", "\"odd>local\"@y.example", ""},
        {"<@relay.example:route@y.example>", "route@y.example", ""},
        {" , first@y.example; second@y.example", "first@y.example", ""},
        {"\"unclosed <u@y.example>", "\"unclosed <u@y.example>", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const qev_util::Mailbox m = qev_util::FirstMailbox(c.value);
        EXPECT_EQ(m.address, c.address) << c.value;
        EXPECT_EQ(m.name, c.name) << c.value;
    }
    // A typed list: ";" separates as "," does, but not inside quotes.
    std::vector<std::string> entries;
    const std::string list = "Kunde M\xc3\xbcller <kunde2@outside.example>; alice@localhost,\"x; y\" <z@q.example>";
    qev_util::Mailbox m;
    for (std::size_t pos = 0; pos < list.size();) {
        pos = qev_util::NextMailbox(list, pos, m);
        entries.push_back(m.address);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"kunde2@outside.example", "alice@localhost", "z@q.example"}));
    EXPECT_EQ(qev_util::EncodeAddressList(list),
              "=?UTF-8?B?S3VuZGUgTcO8bGxlcg==?= <kunde2@outside.example>, alice@localhost, \"x; y\" <z@q.example>");
}

TEST(QevUtil, MessageIdsAndBoundariesAreFreshAndInRange) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = qev_util::MakeMessageId("x.y.z", 2026, 3, 4);
        ASSERT_EQ(id.size(), std::string("<QEV.2026.03.04.@x.y.z>").size() + 16);
        EXPECT_EQ(id.rfind("<QEV.2026.03.04.", 0), 0u);
        EXPECT_EQ(id.substr(id.size() - 7), "@x.y.z>");
        for (char c : id.substr(16, 16)) EXPECT_TRUE(c >= 'a' && c <= 't') << id;
        std::string b = qev_util::MakeBoundary();
        ASSERT_EQ(b.size(), 25u);
        EXPECT_EQ(b.rfind("--_QEV_bound_", 0), 0u);
        for (char c : b.substr(13)) EXPECT_TRUE(c >= 'a' && c <= 'y') << b;
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_TRUE(seen.insert(b).second);
    }
}

// Built messages are dated by the program's clock, not the machine's.
TEST(QevUtil, MessageIdDateFollowsTheGivenClock) {
    qev_util::SetNowSource([]() -> std::time_t {
        std::tm t{};
        t.tm_year = 2031 - 1900;
        t.tm_mon = 6;
        t.tm_mday = 15;
        t.tm_hour = 12;
        t.tm_isdst = -1;
        return std::mktime(&t);
    });
    EXPECT_EQ(qev_util::MakeMessageId("x.y.z").rfind("<QEV.2031.07.15.", 0), 0u);
    qev_util::SetNowSource(nullptr);
}

}  // namespace
