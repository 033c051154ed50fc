// Message-ID and footer put into a message file: both planned on the text
// as received and written in one pass give what planning and writing them
// one after the other gives, in either order; the writer leaves the target
// whole or as it was.
#include "transport/message_rewrite.h"
#include "transport/smtp.h"
#include "transport_test_util.h"

#include "platform/env.h"

#include <cerrno>
#include <filesystem>

namespace {

using Op = platform::FaultInjectionEnv::Op;

const std::string kIdLine = "Message-ID: <fixed>\r\n";

class MessageRewriteTest : public twtest::TempHome {
protected:
    std::string file_;
    platform::Env& env_ = *platform::Env::Default();

    void SetUp() override {
        TempHome::SetUp();
        file_ = ProgramDir + "m.txo";
    }
    // One step after the other, each planned on the file as the step
    // before left it.
    std::string OneAfterTheOther(const std::string& text, const rewrite::Footer& footer, bool footerFirst) {
        twtest::WriteBytes(file_, text);
        auto addId = [&] {
            rewrite::Insertion at;
            EXPECT_TRUE(rewrite::MessageIdInFile(env_, file_, kIdLine, at).ok());
            EXPECT_TRUE(rewrite::WriteWithInsertions(env_, file_, file_, {at}).ok());
        };
        auto addFooter = [&] {
            rewrite::Insertion at;
            EXPECT_TRUE(rewrite::FooterInFile(env_, file_, footer, true, at).ok());
            EXPECT_TRUE(rewrite::WriteWithInsertions(env_, file_, file_, {at}).ok());
        };
        if (footerFirst) addFooter();
        addId();
        if (!footerFirst) addFooter();
        return twtest::ReadBytes(file_);
    }
    std::string InOnePass(const std::string& text, const rewrite::Footer& footer) {
        twtest::WriteBytes(file_, text);
        rewrite::Insertion id, foot;
        EXPECT_TRUE(rewrite::MessageIdInFile(env_, file_, kIdLine, id).ok());
        EXPECT_TRUE(rewrite::FooterInFile(env_, file_, footer, true, foot).ok());
        EXPECT_TRUE(rewrite::WriteWithInsertions(env_, file_, file_, {foot, id}).ok());
        return twtest::ReadBytes(file_);
    }
};

TEST_F(MessageRewriteTest, OnePassGivesWhatTwoStepsGiveInEitherOrder) {
    const std::string held(1 << 20, 'x');
    const std::vector<std::pair<const char*, std::string>> messages = {
        {"plain", "Subject: s\r\n\r\nhello\r\n.\r\n"},
        {"has an id", "Message-ID: <a@b>\r\nSubject: s\r\n\r\nhello\r\n.\r\n"},
        {"id after a folded line", "Subject: s\r\n folded\r\nmessage-id: <a>\r\n\r\nx\r\n.\r\n"},
        {"folded last header line", "Content-Type: text/html;\r\n charset=utf-8\r\n\r\n<body>x</BODY>\r\n.\r\n"},
        {"html", "Content-Type: text/html\r\n\r\n<html><body>hi</BODY></html>\r\n.\r\n"},
        {"multipart", "Content-Type: multipart/alternative; boundary=zz\r\n\r\n--zz\r\nContent-Type: text/html\r\n\r\n"
                      "<p>x</p></body>\r\n--zz--\r\n.\r\n"},
        {"uuencoded", "Subject: u\r\n\r\ntext\r\nbegin 644 a.bin\r\nM\r\nend\r\n.\r\n"},
        {"header only", "Subject: none\r\n"},
        {"header ends at the end", "Subject: none\r\n\r\n"},
        {"LF only", "Subject: bare\n\nline\n.\n"},
        {"starts with the empty line", "\r\nbody\r\n.\r\n"},
        {"empty", ""},
        {"CR before CR LF", "Subject: s\r\r\n\r\n</body>\r\r\n.\r\n"},
        {"long header line", "X-Long: " + held + "\r\n\r\nbody\r\n.\r\n"},
        {"body end far into a line", "Content-Type: text/html\r\n\r\n" + held + "</body>\r\n.\r\n"},
    };
    const std::vector<std::pair<const char*, rewrite::Footer>> footers = {
        {"memo", {{"-- ", ".Office", "", "desk@office.example"}, {}}},
        {"footer.html", {{"-- "}, {"<p>x</p>", "", ".<i>y</i>"}}},
        {"footer.html alone", {{}, {"<p>x</p>"}}},
    };
    for (const auto& [what, text] : messages) {
        for (const auto& [which, footer] : footers) {
            SCOPED_TRACE(std::string(what) + ", " + which);
            const std::string once = InOnePass(text, footer);
            EXPECT_TRUE(once == OneAfterTheOther(text, footer, true)) << "footer first";
            EXPECT_TRUE(once == OneAfterTheOther(text, footer, false)) << "Message-ID first";
        }
    }
}

TEST_F(MessageRewriteTest, MessageIdGoesBeforeTheEndOfTheHeaderOnly) {
    struct Case {
        const char* name;
        std::string text;
        std::int64_t at;  // -1: none
    } cases[] = {
        {"plain", "A: 1\r\nB: 2\r\n\r\nbody\r\n", 12},
        {"has one, any case", "MESSAGE-ID: <x>\r\n\r\nbody\r\n", -1},
        {"one in the body does not count", "A: 1\r\n\r\nMessage-ID: <x>\r\n", 6},
        {"no end of the header", "A: 1\r\nB: 2\r\n", -1},
        {"LF only never ends it", "A: 1\n\nbody\n", -1},
        {"empty line first", "\r\nbody", 0},
    };
    for (const auto& c : cases) {
        twtest::WriteBytes(file_, c.text);
        rewrite::Insertion at;
        ASSERT_TRUE(rewrite::MessageIdInFile(env_, file_, kIdLine, at).ok()) << c.name;
        EXPECT_EQ(at.offset, c.at) << c.name;
        if (at.Any()) {
            EXPECT_EQ(at.text, kIdLine) << c.name;
        }
    }
}

TEST_F(MessageRewriteTest, WriterPutsEachTextInPlaceOrLeavesTheTargetAsItWas) {
    const std::string source = ProgramDir + "source";
    twtest::WriteBytes(source, "abcdef");
    struct Case {
        const char* name;
        std::vector<rewrite::Insertion> in;
        std::string want;  // empty: fails, target unchanged
    } cases[] = {
        {"none", {}, "abcdef"},
        {"start, middle and end, given out of order", {{6, "<e>"}, {0, "<s>"}, {3, "<m>"}}, "<s>abc<m>def<e>"},
        {"two at one offset keep their order", {{2, "1"}, {2, "2"}}, "ab12cdef"},
        {"an empty one is nothing", {{-1, "x"}}, "abcdef"},
        {"past the end", {{7, "x"}}, ""},
    };
    for (const auto& c : cases) {
        const std::string target = ProgramDir + "target";
        twtest::WriteBytes(target, "before");
        const platform::FsStatus s = rewrite::WriteWithInsertions(env_, source, target, c.in);
        EXPECT_EQ(s.ok(), !c.want.empty()) << c.name;
        EXPECT_EQ(twtest::ReadBytes(target), c.want.empty() ? "before" : c.want) << c.name;
    }
    // A failing disk at any call: the file is whole one way or the other,
    // and no temp file stays.
    for (Op op : {Op::Open, Op::Read, Op::Append, Op::Sync, Op::Close, Op::Rename}) {
        platform::FaultInjectionEnv env;
        env.FailAt(op, 1, EIO);
        twtest::WriteBytes(file_, "abcdef");
        EXPECT_FALSE(rewrite::WriteWithInsertions(env, file_, file_, {{3, "X"}}).ok());
        EXPECT_EQ(twtest::ReadBytes(file_), "abcdef");
        for (const auto& e : std::filesystem::directory_iterator(ProgramDir))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
}

}  // namespace
