// Attachment check: pattern matching, risk labels, defusing of names in
// delivered messages (checked with python3's email parser), the notices and
// the move to possible spam.
#include "filters/virus.h"

#include "filters_env.h"

#include <algorithm>
#include <filesystem>
#include <random>

namespace {

using filters_test::FiltersEnv;
using filters_test::Read;
using filters_test::Shell;
using filters_test::Write;

TEST(VirusPatterns, WildcardMatchesWholeNameIgnoringCase) {
    struct Case {
        const char* name;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"setup.exe", "*.exe", true},
        {"SETUP.EXE", "*.exe", true},
        {"setup.exe.txt", "*.exe", false},
        {"report.pdf.exe", "*.exe", true},
        {"a.bat", "?.bat", true},
        {"ab.bat", "?.bat", false},
        {".exe", "*.exe", true},
        {"exe", "*.exe", false},
        {"", "*", true},
        {"", "?", false},
        {"abc", "a*b*c", true},
        {"aXbYc", "a*b*c", true},
        {"acb", "a*b*c", false},
        {"mississippi", "*sip*", true},
        {"mississippi", "m*iss*ppi", true},
        // Many stars must not make the match slow.
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*a*a*a*c", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(virus::WildcardMatch(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
}

TEST(VirusPatterns, RiskLabels) {
    struct Case {
        const char* name;
        bool application;
        const char* label;
    };
    const Case cases[] = {
        {"setup.exe", true, "(25%)"},
        {"setup.exe", false, "(95%)"},
        {"report.pdf.exe", true, "(95%)"},
        {"readme", true, "(95%)"},
        {"run.pif", true, "(90%)"},
        {"tool.com", true, "(90%)"},
        {"go.bat", true, "(85%)"},
        {"nice.scr", true, "(80%)"},
        {"sexy.exe", true, "(90%)"},
        {"love.exe", true, "(85%)"},
        {"foryou.exe", true, "(80%)"},
        {"a.js", true, "(70%)"},
        {"data.bin", true, "(20%)"},
    };
    for (const auto& c : cases) EXPECT_EQ(virus::RiskLabel(c.name, c.application), c.label) << c.name;
}

TEST(VirusPatterns, StripChar) {
    EXPECT_EQ(virus::StripChar("\"a\"b\"", '"', ""), "ab");
    EXPECT_EQ(virus::StripChar("a.b.c", '.', "::"), "a::b::c");
}

class Virus : public FiltersEnv {
protected:
    void SetUp() override {
        FiltersEnv::SetUp();
        SetPatterns({"*.exe", "*.scr"});
    }
    void SetPatterns(const std::vector<std::string>& patterns) {
        auto ini = Ini();
        ini.WriteInteger("Virus", "FileCount", static_cast<long long>(patterns.size()));
        for (std::size_t i = 0; i < patterns.size(); ++i)
            ini.WriteString("Virus", "File" + std::to_string(i + 1), patterns[i]);
        PublishIni();
    }

    // python3's email parser on a file: the defects of every part and the
    // attachment names, one per line.
    static std::string Parse(const std::string& path) {
        const std::string script =
            "import email,sys\n"
            "from email import policy\n"
            "m=email.message_from_binary_file(open(sys.argv[1],'rb'),policy=policy.default)\n"
            "for p in m.walk():\n"
            "  for d in p.defects: print('DEFECT',type(d).__name__)\n"
            "  if p.get_filename(): print('FILE',p.get_filename())\n"
            "print('SUBJECT',m['subject'])\n"
            // The older reading of the same module, as other clients do it.
            "for p in email.message_from_binary_file(open(sys.argv[1],'rb'),policy=policy.compat32).walk():\n"
            "  if p.get_filename(): print('OLDFILE',p.get_filename())\n";
        const std::string scriptPath = ProgramDir + "parse.py";
        Write(scriptPath, script);
        int status = 0;
        std::string out = Shell("/usr/bin/python3 " + scriptPath + " " + path + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        return out;
    }

    static std::string Mime(const std::string& partHeaders) {
        return "From: Sender <sender@outside.example>\r\n"
               "To: bob@office.example\r\n"
               "Subject: files\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
               "\r\n"
               "--XX\r\n"
               "Content-Type: text/plain\r\n"
               "\r\n"
               "Hello\r\n"
               "--XX\r\n" +
               partHeaders +
               "\r\n"
               "TVqQAAMAAAAEAAAA\r\n"
               "--XX--\r\n"
               ".\r\n";
    }
};

TEST_F(Virus, DefusesEveryNameFormAtItsLastCharacter) {
    struct Case {
        const char* part;        // the part's header lines
        const char* defusedFile;  // the name python reads afterwards
        const char* notice;       // the notice line
    };
    const Case cases[] = {
        {"Content-Type: application/octet-stream; name=\"setup.exe\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"setup.exe\"\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        // A parameter after the name cannot hide it.
        {"Content-Type: application/octet-stream; name=\"report.pdf.exe\"; x-mac-type=0\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=report.pdf.exe; size=12\r\n",
         "report.pdf.ex_", "report.pdf.exe was renamed report.pdf.ex_ (95%)"},
        // Folded parameters inside the part's header.
        {"Content-Type: image/gif;\r\n"
         "\tname=\"nice.scr\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment;\r\n"
         "\tfilename=\"nice.scr\"\r\n",
         "nice.sc_", "nice.scr was renamed nice.sc_ (95%)"},
        // An encoded name is judged by what it says.
        {"Content-Type: application/octet-stream; name=\"=?utf-8?B?c2V0dXAuZXhl?=\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"=?utf-8?B?c2V0dXAuZXhl?=\"\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        // RFC 2231 names, also with the last character escaped.
        {"Content-Type: application/octet-stream\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename*=utf-8''setup.ex%65\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        // The disposition before the type: the type still says what the
        // part is.
        {"Content-Disposition: attachment; filename=\"setup.exe\"\r\n"
         "Content-Type: application/octet-stream\r\n"
         "Content-Transfer-Encoding: base64\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        // A name in RFC 2231 sections is judged joined.
        {"Content-Type: application/octet-stream\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename*0=\"set\"; filename*1=\"up.exe\"\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        {"Content-Type: text/plain\r\n"
         "Content-Disposition: attachment;\r\n"
         " filename*1*=up.ex%65;\r\n"
         " filename*0*=utf-8''set\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (95%)"},
        // An empty last section: the last character is found in the one
        // before.
        {"Content-Type: application/octet-stream; name*0=\"setup.exe\"; name*1=\"\"\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
        // Far down a long part header.
        {"Content-Type: application/octet-stream\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-ID: <a@b>\r\n"
         "Content-Description: the installer\r\n"
         "X-One: 1\r\n"
         "X-Two: 2\r\n"
         "X-Three: 3\r\n"
         "X-Four: 4\r\n"
         "Content-Disposition: attachment; filename=\"setup.exe\"\r\n",
         "setup.ex_", "setup.exe was renamed setup.ex_ (25%)"},
    };
    for (const auto& c : cases) {
        const std::string file = Deliver("bob", "100000001", Mime(c.part));
        EXPECT_TRUE(virus::CheckIncomingAttachments(file, "bob", 0)) << c.part;
        const std::string parsed = Parse(file);
        EXPECT_EQ(parsed.find("DEFECT"), std::string::npos) << parsed;
        EXPECT_NE(parsed.find(std::string("FILE ") + c.defusedFile), std::string::npos) << parsed;
        // Neither reading finds a risky name left.
        EXPECT_EQ(parsed.find(".exe\n"), std::string::npos) << parsed;
        // The body is left as it was.
        EXPECT_NE(Read(file).find("TVqQAAMAAAAEAAAA\r\n--XX--\r\n.\r\n"), std::string::npos);

        const auto notices = smtp::ListUserFiles(In(), "bob");
        ASSERT_EQ(notices.size(), 2u) << c.part;
        const std::string noticePath = In() + (notices[0] == "bob_100000001.dat" ? notices[1] : notices[0]);
        const std::string notice = Read(noticePath);
        EXPECT_NE(notice.find("Subject: Virus Possibility\r\n"), std::string::npos);
        EXPECT_EQ(notice.substr(notice.size() - 85),
                  "\r\nThis email was generated automatically generated by Tarnwick - do not reply.\r\n\r\n.\r\n");
        EXPECT_NE(notice.find("\r\n" + std::string(c.notice) + "\r\n"), std::string::npos) << notice;
        // The file is listed once although both its parameters were changed.
        EXPECT_EQ(notice.find(c.notice), notice.rfind(c.notice));
        const std::string noticeParse = Parse(noticePath);
        EXPECT_EQ(noticeParse.find("DEFECT"), std::string::npos) << noticeParse;
        EXPECT_NE(noticeParse.find("SUBJECT Virus Possibility"), std::string::npos);
        std::remove(noticePath.c_str());
        std::remove(file.c_str());
    }
}

// The three ways a name went past the check, read the way a mail client
// reads them: python sees setup.exe before and setup.ex_ after, in every
// part, also inside an enclosed message.
TEST_F(Virus, NamesAreFoundWhereverAClientFindsThem) {
    const std::string text =
        "From: Sender <sender@outside.example>\r\n"
        "To: bob@office.example\r\n"
        "Subject: files\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
        "\r\n"
        "--outer\r\n"
        "Content-Disposition: attachment; filename=\"one.exe\"\r\n"
        "Content-Type: application/octet-stream\r\n"
        "\r\n"
        "QQ==\r\n"
        "--outer\r\n"
        "Content-Type: application/octet-stream;\r\n"
        "\tx-unix-mode=0644\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-ID: <x@y>\r\n"
        "Content-Description: tool\r\n"
        "X-Note: 1\r\n"
        "Content-Disposition: attachment; filename=\"two.exe\"\r\n"
        "\r\n"
        "QQ==\r\n"
        "--outer\r\n"
        "Content-Type: message/rfc822\r\n"
        "\r\n"
        "From: a@b.example\r\n"
        "Subject: inner\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=inner\r\n"
        "\r\n"
        "--inner\r\n"
        "Content-Type: application/octet-stream\r\n"
        "Content-Disposition: attachment; filename*0=\"thr\"; filename*1=\"ee.exe\"\r\n"
        "\r\n"
        "QQ==\r\n"
        "--inner--\r\n"
        "--outer--\r\n"
        ".\r\n";
    const std::string file = Deliver("bob", "100000010", text);
    const std::string before = Parse(file);
    for (const char* name : {"one.exe", "two.exe", "three.exe"})
        EXPECT_NE(before.find(std::string("FILE ") + name + "\n"), std::string::npos) << before;
    EXPECT_TRUE(virus::CheckIncomingAttachments(file, "bob", 0));
    const std::string after = Parse(file);
    EXPECT_EQ(after.find("DEFECT"), std::string::npos) << after;
    EXPECT_EQ(after.find(".exe\n"), std::string::npos) << after;
    for (const char* name : {"one.ex_", "two.ex_", "three.ex_"})
        EXPECT_NE(after.find(std::string("FILE ") + name + "\n"), std::string::npos) << after;
    const std::string defused = Read(file);
    EXPECT_EQ(defused.size(), text.size());  // each name changed in place
    EXPECT_NE(defused.find("filename*0=\"thr\"; filename*1=\"ee.ex_\""), std::string::npos);
}

TEST_F(Virus, UuencodedFileIsDefused) {
    const std::string file = Deliver("bob", "100000002",
                                     "From: a@b.example\r\nSubject: uu\r\n\r\ntext\r\n"
                                     "begin 755 tool.exe\r\nM86)C\r\n`\r\nend\r\n.\r\n");
    EXPECT_TRUE(virus::CheckIncomingAttachments(file, "bob", 0));
    EXPECT_NE(Read(file).find("\r\nbegin 755 tool.ex_\r\n"), std::string::npos);
}

TEST_F(Virus, HarmlessMessageKeepsItsBytesAndGetsNoNotice) {
    const std::string text = Mime(
        "Content-Type: application/pdf; name=\"setup.exe.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n");
    // Lines ending in a bare LF stay as they are, too.
    const std::string file = Deliver("bob", "100000003", text + "tail\nline");
    EXPECT_FALSE(virus::CheckIncomingAttachments(file, "bob", 0));
    EXPECT_EQ(Read(file), text + "tail\nline");
    EXPECT_EQ(smtp::ListUserFiles(In(), "bob").size(), 1u);
}

TEST_F(Virus, NoPatternsMeansNothingIsRisky) {
    Ini().DeleteKey("Virus", "FileCount");
    PublishIni();
    EXPECT_FALSE(virus::IsRiskyName("setup.exe"));
    // A count without its keys falls back to the default pattern.
    Ini().WriteInteger("Virus", "FileCount", 1);
    Ini().DeleteKey("Virus", "File1");
    PublishIni();
    EXPECT_TRUE(virus::IsRiskyName("setup.exe"));
    EXPECT_FALSE(virus::IsRiskyName("setup.scr"));
}

TEST_F(Virus, BareLineEndsAreCheckedToo) {
    const std::string file = Deliver("bob", "100000004",
                                     "Subject: lf\n\n--XX\nContent-Type: application/x-msdownload; name=a.exe\n\nQQ==\n");
    EXPECT_TRUE(virus::CheckIncomingAttachments(file, "bob", 0));
    EXPECT_EQ(Read(file), "Subject: lf\n\n--XX\nContent-Type: application/x-msdownload; name=a.ex_\n\nQQ==\n");
}

TEST_F(Virus, InboxMessageMovesToPossibleSpamWithItsNotice) {
    twtest::ChangeSettings([](MailSettings& s) { s.virusToSpam = true; });
    const std::string part = "Content-Type: application/octet-stream; name=\"setup.exe\"\r\n";
    const std::string inbox = Deliver("bob", "100000005", Mime(part));
    EXPECT_TRUE(virus::CheckIncomingAttachments(inbox, "bob", 0));
    EXPECT_FALSE(platform::FileExists(inbox));
    const auto spam = smtp::ListUserFiles(Spam1(), "bob");
    ASSERT_EQ(spam.size(), 2u);
    EXPECT_TRUE(smtp::ListUserFiles(In(), "bob").empty());
    EXPECT_NE(Read(Spam1() + "bob_100000005.dat").find("name=\"setup.ex_\""), std::string::npos);

    // Mail that is already spam, or that came from a colleague, stays put.
    const std::string local = Deliver("bob", "100000006", Mime(part));
    EXPECT_TRUE(virus::CheckIncomingAttachments(local, "bob", 1));
    EXPECT_TRUE(platform::FileExists(local));
    EXPECT_NE(Read(local).find("name=\"setup.ex_\""), std::string::npos);
    EXPECT_EQ(smtp::ListUserFiles(In(), "bob").size(), 2u);
}

TEST_F(Virus, MoveToSpamNeverOverwritesAnEarlierSpamFile) {
    twtest::ChangeSettings([](MailSettings& s) { s.virusToSpam = true; });
    Write(Spam1() + "bob_100000007.dat", "older spam\r\n.\r\n");
    const std::string inbox =
        Deliver("bob", "100000007", Mime("Content-Type: application/octet-stream; name=\"a.exe\"\r\n"));
    EXPECT_TRUE(virus::CheckIncomingAttachments(inbox, "bob", 0));
    EXPECT_EQ(Read(Spam1() + "bob_100000007.dat"), "older spam\r\n.\r\n");
    EXPECT_EQ(smtp::ListUserFiles(Spam1(), "bob").size(), 3u);
}

TEST_F(Virus, WithoutASpamFolderTheInboxCopyIsStillDefused) {
    twtest::ChangeSettings([](MailSettings& s) { s.virusToSpam = true; });
    std::filesystem::remove_all(Spam1());
    const std::string inbox =
        Deliver("bob", "100000008", Mime("Content-Type: application/octet-stream; name=\"a.exe\"\r\n"));
    EXPECT_TRUE(virus::CheckIncomingAttachments(inbox, "bob", 0));
    EXPECT_NE(Read(inbox).find("name=\"a.ex_\""), std::string::npos);
}

TEST_F(Virus, MissingFileDoesNothing) {
    EXPECT_FALSE(virus::CheckIncomingAttachments(In() + "bob_gone.dat", "bob", 0));
    EXPECT_TRUE(Files(In()).empty());
}

// A nested message made from a seed: multiparts within multiparts and
// enclosed messages, names risky and harmless in either header field (plain,
// quoted, folded or in RFC 2231 sections), CR LF or bare LF line ends.
std::string NestedMessage(std::mt19937& rng, int depth, const std::string& eol) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char* const names[] = {"setup.exe", "notes.txt", "nice.scr", "photo.jpg", "report.pdf.exe"};
    std::string head = "X-Depth: " + std::to_string(depth) + eol;
    const int kind = depth >= 3 ? 0 : pick(3);
    if (kind == 1) {
        const std::string b = "b" + std::to_string(depth) + "_" + std::to_string(pick(1000));
        std::string text = head + "Content-Type: multipart/mixed;" + eol + "\tboundary=\"" + b + "\"" + eol + eol +
                           "preamble" + eol;
        for (int i = 1 + pick(3); i > 0; --i) text += "--" + b + eol + NestedMessage(rng, depth + 1, eol);
        return text + "--" + b + "--" + eol;
    }
    if (kind == 2)
        return head + "Content-Type: message/rfc822" + eol + eol + "Subject: inner" + eol +
               NestedMessage(rng, depth + 1, eol);
    const std::string name = names[pick(5)];
    const std::string half = name.substr(0, name.size() / 2), rest = name.substr(name.size() / 2);
    std::string fields[2];
    fields[0] = std::string("Content-Type: ") + (pick(2) ? "application/octet-stream" : "image/gif");
    fields[1] = "Content-Disposition: attachment";
    switch (pick(4)) {
        case 0: fields[0] += "; name=\"" + name + "\""; break;
        case 1: fields[1] += ";" + eol + " filename=" + name; break;
        case 2: fields[1] += "; filename*0=\"" + half + "\"; filename*1=\"" + rest + "\""; break;
        default: fields[1] += "; filename*=utf-8''" + half + "%" + "41" + rest; break;
    }
    if (pick(2)) std::swap(fields[0], fields[1]);
    std::string body;
    for (int i = pick(4); i > 0; --i) body += "TVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAAAAAA" + eol;
    return head + fields[0] + eol + "X-Pad: 1" + eol + fields[1] + eol + eol + body;
}

// The check reads a message in pieces: however the text is cut, the
// result and the notice are those of the whole text at once, and the file
// that CheckIncomingAttachments leaves is that text.
TEST_F(Virus, StreamingAgreesWithWholeTextHoweverCut) {
    std::vector<std::string> texts = {
        Mime("Content-Type: application/octet-stream; name=\"setup.exe\"\r\n"
             "Content-Disposition: attachment;\r\n\tfilename*1*=up.ex%65;\r\n filename*0*=utf-8''set\r\n"),
        Mime("Content-Disposition: attachment; filename=\"=?utf-8?B?c2V0dXAuZXhl?=\"\r\n"),
        "Subject: lf\n\n--XX\nContent-Type: application/x-msdownload; name=a.exe\n\nQQ==\n",
        "From: a@b.example\r\nSubject: uu\r\n\r\ntext\r\nbegin 755 tool.exe\r\nM86)C\r\n`\r\nend\r\n.\r\n",
        "no line end at all; name=a.exe",
        "Content-Type: text/plain; name=x.exe\r",
    };
    std::mt19937 rng(23);
    for (int i = 0; i < 40; ++i) {
        const std::string eol = i % 4 == 3 ? "\n" : "\r\n";
        texts.push_back("From: a@b.example" + eol + "Subject: generated " + std::to_string(i) + eol +
                        "MIME-Version: 1.0" + eol + NestedMessage(rng, 0, eol) + "." + eol);
    }
    int n = 0;
    for (const auto& text : texts) {
        std::vector<std::string> wholeNotice;
        const std::string whole = virus::DefuseText(text, wholeNotice);
        for (size_t cut : {1u, 2u, 3u, 7u, 64u, 4096u}) {
            std::vector<std::string> notice;
            std::string out;
            virus::DefuseStream stream(notice, [&](const char* p, size_t size) {
                out.append(p, size);
                return true;
            });
            for (size_t pos = 0; pos < text.size(); pos += cut)
                stream.Feed(text.data() + pos, std::min(cut, text.size() - pos));
            EXPECT_TRUE(stream.Finish());
            EXPECT_EQ(out, whole) << "cut " << cut << "\n" << text;
            EXPECT_EQ(notice, wholeNotice) << "cut " << cut << "\n" << text;
            EXPECT_EQ(stream.Changed(), whole != text) << text;
        }
        const std::string stamp = std::to_string(200000000 + n++);
        const std::string file = Deliver("bob", stamp, text);
        EXPECT_EQ(virus::CheckIncomingAttachments(file, "bob", 1), !wholeNotice.empty());
        EXPECT_EQ(Read(file), whole);
    }
    // The generated messages, read as a mail client reads them: every
    // risky name python finds was defused.
    int risky = 0;
    for (const auto& name : smtp::ListUserFiles(In(), "bob")) {
        const std::string parsed = Parse(In() + name);
        EXPECT_EQ(parsed.find(".exe\n"), std::string::npos) << parsed;
        EXPECT_EQ(parsed.find(".scr\n"), std::string::npos) << parsed;
        if (parsed.find(".ex_\n") != std::string::npos || parsed.find(".sc_\n") != std::string::npos) ++risky;
    }
    EXPECT_GT(risky, 10);
}

// What is held stays bounded: a body far larger than a header block and a
// header block past the bound go through, and a name after them is found.
TEST_F(Virus, LargeBodiesAndBlocksGoThroughInPieces) {
    const std::string big(3 * virus::DefuseStream::kMaxHeld, 'A');
    std::string text = "Subject: big\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n--XX\r\n"
                       "Content-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 3000; ++i) text += big.substr(0, 1000) + "\r\n";
    text += big + "\r\n--XX\r\n";
    for (int i = 0; i < 2000; ++i) text += "X-Filler: " + big.substr(0, 1000) + "\r\n";
    text += "Content-Type: application/octet-stream; name=\"setup.exe\"\r\n\r\nQQ==\r\n--XX--\r\n.\r\n";
    const std::string file = Deliver("bob", "100000020", text);
    EXPECT_TRUE(virus::CheckIncomingAttachments(file, "bob", 1));
    std::string expected = text;
    expected.replace(expected.find("setup.exe"), 9, "setup.ex_");
    EXPECT_TRUE(Read(file) == expected);
}

TEST_F(Virus, OutgoingWarningListsEveryAttachment) {
    twtest::ChangeSettings([](MailSettings& s) {
        s.virusCheckOut = true;
        s.virusWarnUser = "carol";
    });
    EXPECT_FALSE(virus::NotifyOutgoingRisk("alice@office.example", {"notes.txt", "photo.jpg"}));
    EXPECT_TRUE(Files(In()).empty());

    EXPECT_TRUE(virus::NotifyOutgoingRisk("alice@office.example", {"notes.txt", "setup.exe"}));
    const auto files = smtp::ListUserFiles(In(), "carol");
    ASSERT_EQ(files.size(), 1u);
    const std::string text = Read(In() + files[0]);
    EXPECT_NE(text.find("Subject: Outgoing Virus Possibility\r\n"), std::string::npos);
    EXPECT_NE(text.find("An email has just been sent from alice@office.example which contained file(s) which "
                        "might have contained a virus.\r\n\r\nThe following files were attached:\r\n\r\n"
                        "notes.txt\r\nsetup.exe\r\n\r\n"
                        "This email was generated automatically generated by Tarnwick - do not reply.\r\n\r\n.\r\n"),
              std::string::npos)
        << text;

    twtest::ChangeSettings([](MailSettings& s) { s.virusCheckOut = false; });
    EXPECT_FALSE(virus::NotifyOutgoingRisk("alice@office.example", {"setup.exe"}));
}

}  // namespace
