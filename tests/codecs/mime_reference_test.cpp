// The MIME parser and builder against python3's email package: fixtures
// that python writes are parsed here and must give what python reads from
// them; messages built here must parse in python without defects.
#include <gtest/gtest.h>

#include <filesystem>

#include "codecs/headerwords.h"
#include "codecs/qevmsg.h"
#include "mime_testutil.h"

namespace {

using mimetest::Hex;

// The same description mime_peer.py gives of a message.
std::string Describe(TQevMsg& msg) {
    std::string out = "subject " + Hex(msg.Subject) + "\n";
    std::string text;
    for (const std::string& line : msg.Text)
        if (!line.empty()) text += (text.empty() ? "" : "\n") + line;
    out += "text " + Hex(text) + "\n";
    for (std::size_t i = 0; i < msg.Attachments.Count(); ++i)
        out += "att " + Hex(msg.Attachments[i].FileName) + " " + Hex(msg.Attachments[i].GetBody()) + "\n";
    return out;
}

// Python's description without its defects line.
std::string WithoutDefects(const std::string& expect, int* defects = nullptr) {
    std::size_t nl = expect.find('\n');
    if (defects) *defects = std::stoi(expect.substr(8, nl - 8));
    return expect.substr(nl + 1);
}

TEST(MimeReference, ParsesWhatPythonWrote) {
    mimetest::TempDir dir;
    mimetest::Run("/usr/bin/python3 " + mimetest::PeerScript() + " gen " + dir.Path());
    int count = 0;
    for (int i = 1;; ++i) {
        std::string eml = dir.File(std::to_string(i) + ".eml");
        if (!std::filesystem::exists(eml)) break;
        ++count;
        TQevMsg msg;
        msg.SetRawMailText(mimetest::ReadFile(eml));
        msg.ParseRawMail();
        EXPECT_EQ(Describe(msg), WithoutDefects(mimetest::ReadFile(dir.File(std::to_string(i) + ".expect"))))
            << "fixture " << i << ":\n"
            << mimetest::ReadFile(eml);
    }
    EXPECT_GE(count, 8) << "the python reference wrote no fixtures";
}

TEST(MimeReference, BuiltMessageParsesInPythonAndRoundTrips) {
    mimetest::TempDir dir;
    std::string bin;
    for (int i = 0; i < 2000; ++i) bin += static_cast<char>((i * 7919) & 0xFF);
    mimetest::WriteFile(dir.File("data.bin"), bin);
    mimetest::WriteFile(dir.File("note.txt"), "a note\r\n");
    mimetest::WriteFile(dir.File("empty.dat"), "");

    struct Case {
        TTextEncoding encoding;
        bool attachments;
    } cases[] = {{te8Bit, false}, {te8Bit, true}, {teBase64, false}, {teBase64, true}};
    for (const Case& c : cases) {
        TQevMsg msg;
        msg.From = "ann@example.org";
        msg.UserName = "Ann \"the\" Example";
        msg.SendTo = "bob@example.org";
        msg.CC = "carol@example.org";
        msg.Subject = "Quarterly figures";
        msg.Date = "Mon, 07 Dec 2026 09:00:00";
        msg.Text = {"Hello Bob,", "", "the figures are attached.", "-- ", "Ann"};
        msg.TextEncoding = c.encoding;
        if (c.attachments) {
            msg.Attachments.AddFile(dir.File("data.bin"));
            msg.Attachments.AddFile(dir.File("note.txt"));
            msg.Attachments.AddFile(dir.File("empty.dat"));
        }
        msg.FillRawMail();
        const std::string raw = msg.RawMailText();
        const std::string file = dir.File("built.eml");
        mimetest::WriteFile(file, raw);
        int defects = -1;
        std::string python =
            WithoutDefects(mimetest::Run("/usr/bin/python3 " + mimetest::PeerScript() + " dump " + file), &defects);
        EXPECT_EQ(defects, 0) << raw;

        TQevMsg back;
        back.SetRawMailText(raw);
        back.ParseRawMail();
        EXPECT_EQ(Describe(back), python) << raw;
        EXPECT_EQ(back.Text, msg.Text);
        ASSERT_EQ(back.Attachments.Count(), c.attachments ? 3u : 0u);
        if (c.attachments) {
            EXPECT_EQ(back.Attachments[0].FileName, "data.bin");
            EXPECT_EQ(back.Attachments[0].GetBody(), bin);
            EXPECT_EQ(back.Attachments[1].GetBody(), "a note\r\n");
            EXPECT_EQ(back.Attachments[2].GetBody(), "");
        }
        EXPECT_EQ(back.Subject, "Quarterly figures");
        EXPECT_EQ(back.From, "\"Ann the Example\" <ann@example.org>");
    }
}

TEST(MimeReference, EncodedWordsDecodeAsPythonDoes) {
    const std::vector<std::string> values = {
        // the examples of RFC 2047, section 8
        "(=?ISO-8859-1?Q?a?=)",
        "(=?ISO-8859-1?Q?a?= b)",
        "(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)",
        "(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)",
        "(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)",
        "(=?ISO-8859-1?Q?a_b?=)",
        "(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)",
        "=?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>",
        "=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>",
        "=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>",
        "=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?= =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
        // further words
        "=?ISO-8859-1?Q?a?=  \t =?ISO-8859-1?Q?b?=",
        "=?utf-8?b?4oKsIDEwMA==?=",
        "=?UTF-8?Q?=E2=82?= =?UTF-8?Q?=AC?=",
        "=?koi8-r?b?8NLJ18XU?=",
        "=?windows-1251?Q?=CF=F0=E8=E2=E5=F2?=",
        "=?iso-8859-7?q?=C1=E8=DE=ED=E1?=",
        "=?shift_jis?B?k/qWe4zq?=",
        "=?gb2312?B?1tDOxA==?=",
        "Re: =?utf-8?q?caf=C3=A9?= tomorrow",
        "plain text only",
        "=?utf-8?q?x=3Fy?=",
        "=?iso-8859-15?q?=A4uro?=",
    };
    mimetest::TempDir dir;
    std::string input;
    for (const auto& v : values) input += Hex(v) + "\n";
    mimetest::WriteFile(dir.File("words.txt"), input);
    std::string out = mimetest::Run("/usr/bin/python3 " + mimetest::PeerScript() + " words < " + dir.File("words.txt"));
    std::vector<std::string> expected = qev_util::SplitLines(out);
    ASSERT_EQ(expected.size(), values.size()) << out;
    // make_header puts a blank between every two chunks, also where the
    // plain chunk already starts with one; runs of blanks are compared as one.
    auto squeeze = [](std::string s) {
        std::string out;
        for (char c : s)
            if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
        return out;
    };
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(squeeze(HeaderWords::DecodeHeaderText(values[i])), squeeze(mimetest::Unhex(expected[i]))) << values[i];
}

}  // namespace
