// Stored-message helpers on message files as the store writes them
// (dot-stuffed, ending with "\r\n.\r\n").
#include <gtest/gtest.h>

#include "codecs/details.h"
#include "mime_testutil.h"

namespace {

class DetailsTest : public ::testing::Test {
protected:
    std::string Store(const std::string& name, const std::string& text) {
        std::string path = dir_.File(name);
        mimetest::WriteFile(path, text);
        return path;
    }
    struct Headers {
        std::string from, to, subject, date;
        int count = 99;
        std::vector<std::string> names;
    };
    Headers Read(const std::string& path) {
        Headers h;
        details::ReadMessageHeaders(path, h.from, h.to, h.subject, h.date, h.count, h.names);
        return h;
    }
    mimetest::TempDir dir_;
};

TEST_F(DetailsTest, ReadMessageHeaders) {
    std::string filler;
    for (int i = 0; i < 95; ++i) filler += "X-Filler: " + std::to_string(i) + "\r\n";
    struct {
        const char* what;
        std::string text;
        Headers want;
    } cases[] = {
        {"first occurrence wins, quotes removed, words decoded",
         "FROM: \"Ann Example\" <ann@x>\r\nfrom: second <s@x>\r\nTo: \"Bob\" <bob@x>\r\n"
         "Subject: \"quoted\" =?iso-8859-1?q?caf=E9?=\r\nDate: Mon, 7 Dec 2026\r\n\r\nFrom: body <b@x>\r\n.\r\n",
         {"Ann Example <ann@x>", "Bob <bob@x>", "\"quoted\" caf\xC3\xA9", "Mon, 7 Dec 2026", -1, {}}},
        {"folded values are unfolded, no blank after the colon is needed",
         "From:ann@x\r\nSubject: long\r\n subject\r\n\r\n.\r\n", {"ann@x", "", "long subject", "", -1, {}}},
        {"attachment headers are case-sensitive; a count that is not a number is 0",
         "x-attachmentcount: 3\r\nX-AttachmentCount: many\r\nX-Attachment: a.txt\r\nX-Attachment: b.pdf\r\n\r\n.\r\n",
         {"", "", "", "", 0, {"a.txt", "b.pdf"}}},
        {"lines after the 100th are not examined",
         "Date: d\r\n" + filler + "X-Attachment: 97th\r\nX-Attachment: 98th\r\nX-Attachment: 99th\r\n"
         "X-Attachment: 100th\r\nSubject: 101st\r\n\r\n.\r\n",
         {"", "", "", "d", -1, {"97th", "98th", "99th", "100th"}}},
    };
    for (const auto& c : cases) {
        Headers h = Read(Store("m.dat", c.text));
        EXPECT_EQ(h.from, c.want.from) << c.what;
        EXPECT_EQ(h.to, c.want.to) << c.what;
        EXPECT_EQ(h.subject, c.want.subject) << c.what;
        EXPECT_EQ(h.date, c.want.date) << c.what;
        EXPECT_EQ(h.count, c.want.count) << c.what;
        EXPECT_EQ(h.names, c.want.names) << c.what;
    }
    Headers gone = Read(dir_.File("vanished.dat"));
    EXPECT_EQ(gone.count, -1);
    EXPECT_TRUE(gone.from.empty() && gone.names.empty());
}

TEST_F(DetailsTest, SplitMessageParts) {
    std::string window = "Content-Type: application/pdf\r\n";
    for (int i = 0; i < 11; ++i) window += "X-Other" + std::to_string(i) + ": 1\r\n";
    struct {
        const char* what;
        std::string text;
        std::vector<std::string> names;
    } cases[] = {
        {"a count header: only the listed names",
         "X-AttachmentCount: 1\r\nX-Attachment: a.txt\r\n\r\nbegin 644 other.bin\r\n.\r\n", {"a.txt"}},
        {"without a count: listed names, uuencoded blocks and name= parameters, no duplicates",
         "X-Attachment: a.txt\r\n\r\n--b\r\nContent-Type: text/plain; name=\"a.txt\"\r\n\r\n"
         "--b\r\nContent-Type: application/octet-stream;\r\n\tNAME=\"evil.exe\"; x=\"y\"\r\n\r\nbegin 644 uu.bin\r\n"
         "begin 644 uu.bin\r\n.\r\n",
         {"a.txt", "evil.exe", "uu.bin"}},
        {"encoded names are decoded", "\r\nContent-Type: x; name=\"=?utf-8?q?r=C3=A9.exe?=\"\r\n.\r\n", {"r\xC3\xA9.exe"}},
        {"unquoted, RFC 2231 and folded names are found as well",
         "\r\nContent-Type: application/x; name=plain.exe\r\n\r\nContent-Disposition: attachment;\r\n"
         " filename*=utf-8''%C3%BC.scr\r\nContent-Type: x;\r\n\r\n name=\"late.txt\"\r\n.\r\n",
         {"plain.exe", "\xC3\xBC.scr"}},
        {"an empty line closes the window", "\r\nContent-Type: x;\r\n\r\n name=\"late.txt\"\r\n.\r\n", {}},
        {"a name= 12 lines below a Content-Type, outside it, is not found",
         "\r\n" + window + "X-Note: name=\"far.txt\"\r\n.\r\n", {}},
        {"an HTML body listed first is not an attachment",
         "\r\nContent-Type: text/html; name=\".html\"\r\nContent-Type: x; name=\"b.doc\"\r\n.\r\n", {"b.doc"}},
    };
    for (const auto& c : cases) EXPECT_EQ(details::SplitMessageParts(Store("p.dat", c.text)), c.names) << c.what;
    EXPECT_TRUE(details::SplitMessageParts(dir_.File("vanished.dat")).empty());
}

TEST_F(DetailsTest, GetMessageBody) {
    struct {
        const char* what;
        std::string text;
        bool html;
        std::string body;
    } cases[] = {
        {"plain text without the end marker, stuffed lines restored",
         "Subject: s\r\n\r\nline one\r\n..dot line\r\n...\r\n.\r\n", false, "line one\r\n.dot line\r\n..\r\n"},
        {"base64 text decodes across a stuffed-looking line",
         "Subject: s\r\nContent-Transfer-Encoding: base64\r\n\r\naGVsbG8=\r\n.\r\n", false, "hello\r\n"},
        {"the HTML part when there is one",
         "Subject: s\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n\r\nplain\r\n--b\r\n"
         "Content-Type: text/html\r\n\r\n<p>x</p>\r\n..\r\n--b--\r\n.\r\n",
         true, "<p>x</p>\r\n."},
        {"nothing after the end marker", "Subject: s\r\n\r\nbody\r\n.\r\ntrailing junk\r\n", false, "body\r\n"},
    };
    for (const auto& c : cases) {
        bool html = !c.html;
        std::string body = "stale";
        details::GetMessageBody(Store("b.dat", c.text), html, body);
        EXPECT_EQ(html, c.html) << c.what;
        EXPECT_EQ(body, c.body) << c.what;
    }
    bool html = true;
    std::string body = "stale";
    details::GetMessageBody(dir_.File("vanished.dat"), html, body);
    EXPECT_FALSE(html);
    EXPECT_EQ(body, "");
}

TEST_F(DetailsTest, DecodeAttachment) {
    const std::string path = Store(
        "a.dat",
        "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n--b\r\n"
        "Content-Type: application/octet-stream; name=\"My File/1.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "AAEC\r\n--b\r\nContent-Type: application/octet-stream; name=\"100%.txt\"\r\n\r\nall\r\n--b--\r\n.\r\n");
    struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"My%20File1.bin", std::string("\0\1\2", 3)},
        {"my%20file1.BIN", std::string("\0\1\2", 3)},
        {"My%20File%2f1.bin", std::string("\0\1\2", 3)},  // the name as the message states it
        {"My%20File%2f2.bin", "Couldn't decode the attachment My File/2.bin"},
        {"100%25.txt", "all"},
        {"100%252e.txt", "Couldn't decode the attachment 100%2e.txt"},  // decoded once, not repeatedly
        {"%4D%79%20File1.bin", std::string("\0\1\2", 3)},
        {"absent.bin", "Couldn't decode the attachment absent.bin"},
    };
    for (const auto& c : cases) {
        std::string data = "stale";
        details::DecodeAttachment(path, c.name, data);
        EXPECT_EQ(data, c.data) << c.name;
    }
    std::string data;
    details::DecodeAttachment(dir_.File("vanished.dat"), "x", data);
    EXPECT_EQ(data, "That email seems to have been collected elsewhere");
}

TEST_F(DetailsTest, UnreadableFileRaises) {
    // A folder where a message file should be: it exists but cannot be read.
    const std::string path = dir_.File("folder.dat");
    std::filesystem::create_directory(path);
    std::string from, to, subject, date;
    int count = 0;
    std::vector<std::string> names;
    bool html;
    std::string body;
    EXPECT_THROW(details::ReadMessageHeaders(path, from, to, subject, date, count, names), details::EInOutError);
    EXPECT_THROW(details::GetMessageBody(path, html, body), details::EInOutError);
}

}  // namespace
