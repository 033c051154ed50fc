// What an accepted message leaves on disk when the footer and the
// Message-ID go into it: every mailbox copy, the queued file, the returned
// mail and the text the safe-list import reads, byte for byte against the
// files in golden/accepted/, for each way the footer can be set. Then the
// same steps on a failing disk.
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/mail_settings.h"
#include "transport/table_owner.h"
#include "smtp_office.h"
#include "transport_test_util.h"
#include "smtp_test_client.h"

#include "filters/spam.h"
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "engine_state.h"
#include "transport/account_tables.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>

namespace {

using Op = platform::FaultInjectionEnv::Op;

constexpr char kStored[] = "250 Load and clear\r\n";
constexpr char kNotStored[] = "451 Requested action aborted: local error in processing\r\n";

// A generated Message-ID ends in six random digits and names this machine;
// the golden files hold them as "######@host".
std::string Masked(const std::string& text) {
    std::string host;
    for (char c : smtp::MessageIdHost())
        host += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : std::string("\\") + c;
    const std::regex generated("(Message-ID: <20261207100405123)[0-9]{6}@" + host + ">");
    return std::regex_replace(text, generated, "$1######@host>");
}

std::string GoldenDir() { return std::string(TW_TEST_SOURCE_DIR) + "/transport/golden/accepted/"; }

// Set to write the golden files from what the server stores now.
bool Recording() { return std::getenv("TW_RECORD_GOLDEN") != nullptr; }

const std::vector<std::string> kFooter = {"-- ", ".Office of the Example Company", "", "desk@office.example"};
const char kHtmlFooter[] = "<p>Example Company</p>\r\n\r\n<p>desk@office.example</p>\r\n";

std::string PlainMessage(const std::string& subject, bool withId) {
    return std::string(withId ? "Message-ID: <" + subject + "@pc12.lan>\r\n" : "") + "Subject: <" + subject +
           ">\r\nFrom: bob@office.example\r\n\r\nHello,\r\n..dotted line\r\n\r\nwrite to sales@far.example\r\n.\r\n";
}

std::string HtmlMessage(const std::string& subject, bool withId) {
    return std::string(withId ? "Message-ID: <" + subject + "@pc12.lan>\r\n" : "") + "Subject: <" + subject +
           ">\r\nFrom: bob@office.example\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain\r\n\r\nHello\r\n--b1\r\nContent-Type: text/html\r\n\r\n"
           "<html><body><p>Hello</p></body></html>\r\n--b1--\r\n.\r\n";
}

struct GoldenCase {
    const char* name;  // also the golden folder
    bool forAll;
    bool footer;       // footer.dat's lines set
    bool html;         // footer.html present
    int wait;
    const char* copyOutTo;
    bool htmlMessage, withId;
    std::vector<std::string> to;
};

// Every way the footer can be set, each with and without a Message-ID in
// the message, local copies, outgoing mail, the copy of outgoing mail,
// mail given back under internal mail only, and the safe-list import.
const GoldenCase kCases[] = {
    {"all-text-noid", true, true, false, 1, "", false, false, {"alice@office.example", "x@far.example"}},
    {"all-text-id", true, true, false, 1, "", false, true, {"alice@office.example", "x@far.example"}},
    {"all-html-noid", true, true, true, 1, "", true, false, {"alice@office.example", "x@far.example"}},
    {"all-memo-in-html-id", true, true, false, 1, "", true, true, {"bob@office.example", "x@far.example"}},
    {"out-text-noid", false, true, false, 1, "bob", false, false, {"alice@office.example", "x@far.example"}},
    {"out-text-id", false, true, false, 1, "", false, true, {"alice@office.example", "bob@office.example",
                                                              "x@far.example"}},
    {"out-html-noid", false, true, true, 1, "", true, false, {"alice@office.example", "x@far.example"}},
    {"out-htmlonly-id", false, false, true, 1, "", true, true, {"alice@office.example", "x@far.example"}},
    {"out-local-only-noid", false, true, false, 1, "", false, false, {"alice@office.example"}},
    {"out-external-only-noid", false, true, false, 1, "", false, false, {"x@far.example"}},
    {"none-noid", false, false, false, 1, "", false, false, {"alice@office.example", "x@far.example"}},
    {"none-all-id", true, false, false, 1, "", true, true, {"alice@office.example", "x@far.example"}},
    {"out-returned-noid", false, true, false, 3, "", false, false, {"alice@office.example", "x@far.example"}},
    {"all-returned-noid", true, true, false, 3, "", false, false, {"x@far.example", "y@far.example"}},
    {"all-safelist-noid", true, true, false, 1, "", false, false, {spam::ImportAddress, "alice@office.example"}},
    {"out-safelist-noid", false, true, false, 1, "", false, false,
     {spam::ImportAddress, "alice@office.example", "x@far.example"}},
};

class SmtpFooterTest : public twtest::SmtpOffice {
protected:
    void SetUp() override {
        TempHome::SetUp();
        StartServer();
        hooks_ = smtp::deliveryHooks;
        // The safe-list import is watched: what it reads is part of what
        // the message became.
        smtp::deliveryHooks.importAddressesFromMessage = [this](const std::string& file) {
            imported_.push_back(twtest::ReadBytes(file));
        };
    }
    void TearDown() override {
        smtp::deliveryHooks = hooks_;
        StopServer();
        TempHome::TearDown();
    }

    // The footer as the settings window leaves it: footer.dat's lines in
    // the settings value, footer.html beside it or not.
    void SetFooter(bool forAll, const std::vector<std::string>& lines, const std::string& html, int wait,
                   const std::string& copyOutTo) {
        twtest::ChangeSettings([&](MailSettings& s) {
            s.footerAll = forAll;
            s.footerLines = lines;
            s.waitCode = wait;
            s.copyOut = !copyOutTo.empty();
            s.copyOutTo = copyOutTo;
        });
        std::remove((ProgramDir + "footer.html").c_str());
        if (!html.empty()) twtest::WriteBytes(ProgramDir + "footer.html", html);
    }

    std::string Send(twtest::SmtpClient& c, const std::string& from, const std::vector<std::string>& to,
                     const std::string& data) {
        if (c.Say("MAIL FROM:<" + from + ">") != "250 Sender OK\r\n") return "MAIL refused";
        for (const auto& t : to)
            if (c.Say("RCPT TO:<" + t + ">") != "250 Recipient OK\r\n") return "RCPT refused";
        if (c.Say("DATA") != "354 Off you go then\r\n") return "DATA refused";
        c.Write(data);
        return c.Reply(15000);
    }

    // The store's files whose names hold id, as "in/name" and "out/name",
    // with their bytes; the import's readings as "import/n".
    std::map<std::string, std::string> FilesOf(const std::string& id) {
        std::map<std::string, std::string> files;
        for (const char* folder : {"in", "out"})
            for (const auto& name : platform::ListFiles(smtp::StoreFolder(folder), "*"))
                if (name.find(id) != std::string::npos)
                    files[std::string(folder) + "/" + name] = twtest::ReadBytes(smtp::StoreFolder(folder) + name);
        for (size_t i = 0; i < imported_.size(); ++i) files["import/" + std::to_string(i + 1)] = imported_[i];
        imported_.clear();
        return files;
    }

    // Message k under subject, with k's settings; the reply to its end.
    std::string SendCase(twtest::SmtpClient& c, const GoldenCase& k, const std::string& subject) {
        SetFooter(k.forAll, k.footer ? kFooter : std::vector<std::string>{}, k.html ? kHtmlFooter : "", k.wait,
                  k.copyOutTo);
        return Send(c, "bob@office.example", k.to,
                    k.htmlMessage ? HtmlMessage(subject, k.withId) : PlainMessage(subject, k.withId));
    }
    // What that message left, masked.
    std::map<std::string, std::string> StoredOf(const GoldenCase& k, const std::string& subject) {
        std::map<std::string, std::string> files = FilesOf(subject + (k.withId ? "pc12lan1004" : "1004"));
        for (auto& [name, bytes] : files) bytes = Masked(bytes);
        return files;
    }

    smtp::DeliveryHooks hooks_;
    std::vector<std::string> imported_;
};

const GoldenCase& CaseNamed(const std::string& name) {
    for (const auto& k : kCases)
        if (name == k.name) return k;
    throw std::invalid_argument(name);
}

std::string SubjectOf(const GoldenCase& k) {
    std::string subject = k.name;
    std::erase(subject, '-');
    return subject;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The golden files of case k for the same message under another subject.
std::map<std::string, std::string> GoldenFiles(const GoldenCase& k, const std::string& subject) {
    const std::string dir = GoldenDir() + k.name + "/";
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files[Replaced(e.path().string().substr(dir.size()), SubjectOf(k), subject)] =
                Replaced(twtest::ReadBytes(e.path().string()), SubjectOf(k), subject);
    return files;
}

TEST_F(SmtpFooterTest, StoredFilesAreByteForByteWhatTheyWere) {
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    ASSERT_EQ(c.greeting, "220 hello\r\n");
    for (const auto& k : kCases) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(SendCase(c, k, SubjectOf(k)), kStored);
        const std::map<std::string, std::string> files = StoredOf(k, SubjectOf(k));
        ASSERT_FALSE(files.empty());
        if (Recording()) {
            const std::string dir = GoldenDir() + k.name + "/";
            std::filesystem::remove_all(dir);
            for (const auto& [name, bytes] : files) {
                std::filesystem::create_directories(std::filesystem::path(dir + name).parent_path());
                twtest::WriteBytes(dir + name, bytes);
            }
            continue;
        }
        const std::map<std::string, std::string> want = GoldenFiles(k, SubjectOf(k));
        EXPECT_EQ(files.size(), want.size());
        for (const auto& [name, bytes] : want) {
            auto got = files.find(name);
            if (got == files.end()) ADD_FAILURE() << "missing " << name;
            else EXPECT_TRUE(got->second == bytes) << name << ":\n" << got->second;
        }
    }
}

// With internal mail only, the sender gets the mail back while the local
// recipients keep their copies of the message as it would have gone out.
TEST_F(SmtpFooterTest, MailGivenBackLeavesTheLocalCopiesWhole) {
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    struct Case {
        const char* name;   // a case that stores the same copies without giving anything back
        bool forAll, footer;
    } cases[] = {
        {"all-text-noid", true, true},
        {"out-text-noid", false, true},
        {"none-noid", false, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const GoldenCase& like = CaseNamed(k.name);
        const std::string subject = "back" + SubjectOf(like);
        SetFooter(k.forAll, k.footer ? kFooter : std::vector<std::string>{}, "", 3, "");
        ASSERT_EQ(Send(c, "bob@office.example", {"alice@office.example", "x@far.example"}, PlainMessage(subject, false)),
                  kStored);
        const auto files = StoredOf(like, subject);
        const auto want = GoldenFiles(like, subject);
        const std::string alice = "in/alice_" + subject + "100405123.dat", bob = "in/bob_" + subject + "100405123.dat";
        ASSERT_TRUE(files.count(alice) && want.count(alice));
        EXPECT_TRUE(files.at(alice) == want.at(alice)) << files.at(alice);
        ASSERT_TRUE(files.count(bob));
        EXPECT_NE(files.at(bob).find("Subject: ### Returned ### - <" + subject + ">\r\n"), std::string::npos);
        // The mail given back holds the message as it would have been queued.
        const std::string queued = want.at("out/" + subject + "100405123.txt");
        const std::string original = "Here is the original message:\r\n \r\n";
        ASSERT_NE(files.at(bob).find(original), std::string::npos);
        EXPECT_EQ(files.at(bob).substr(files.at(bob).find(original) + original.size()), queued);
        EXPECT_EQ(files.size(), 2u);
        EXPECT_TRUE(platform::IniFile(smtp::PortsFileName()).ReadSections().empty());
    }
}

// The safe list is added to in the order of the recipients, the import
// included, though the import waits for the text to be finished.
TEST_F(SmtpFooterTest, SafeListAdditionsKeepTheOrderOfTheRecipients) {
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    std::vector<std::string> calls;
    smtp::deliveryHooks.importAddressesFromMessage = [&](const std::string& file) {
        const std::string text = twtest::ReadBytes(file);
        calls.push_back(text.find("desk@office.example") != std::string::npos ? "import with footer" : "import");
    };
    smtp::deliveryHooks.addSpamAddress = [&](const std::string& address) { calls.push_back(address); };
    SetFooter(true, kFooter, "", 1, "");
    ASSERT_EQ(Send(c, "bob@office.example", {"x1@far.example", spam::ImportAddress, "x2@far.example"},
                   PlainMessage("order", false)),
              kStored);
    EXPECT_EQ(calls, (std::vector<std::string>{"<x1@far.example>", "import with footer", "<x2@far.example>"}));
}

// Every call of the disk in taking a footer message in, failing in turn:
// the Message-ID, the footer, the copies before it, the text kept for the
// safe-list import, the mail given back. A message the disk did not take
// gets a 4xx and leaves nothing; one it took is byte for byte what it
// would be; the next message is taken.
TEST_F(SmtpFooterTest, AFailingDiskRefusesTheMessageAndLeavesNothing) {
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    const Op ops[] = {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Read, Op::Rename, Op::Link, Op::SyncFolder};
    struct Kept {
        const GoldenCase* k;
        std::string subject;
    };
    std::vector<Kept> kept;
    std::map<std::string, int> refusedIn;  // by the step whose call failed
    int n = 0;
    auto step = [](const std::string& failed, const std::string& key, bool givenBack) {
        if (failed.find("footer.html") != std::string::npos) return "footer.html";
        if (failed.find(".txo.tmp0") != std::string::npos) return "text kept for the import";
        if (failed.find(".txo.tmp") != std::string::npos) return "rewrite";
        if (failed.find("read ") == 0 && failed.find(".txo") != std::string::npos) return "reading the text";
        if (givenBack && failed.find("/in/bob_" + key) != std::string::npos) return "mail given back";
        if (failed.find("/in/alice_" + key) != std::string::npos) return "copy";
        return "other";
    };
    for (const char* name : {"all-text-noid", "out-text-noid", "out-html-noid", "out-safelist-noid",
                             "out-returned-noid"}) {
        const GoldenCase& k = CaseNamed(name);
        for (Op op : ops) {
            // A fresh journal for each kind of call keeps it short.
            platform::FaultInjectionEnv env;
            scoped_ = std::make_unique<platform::ScopedEnv>(&env);
            for (int nth = 1; nth < 100; ++nth) {
                const std::string subject = SubjectOf(k) + "n" + std::to_string(++n) + "x";
                const std::string when = std::string(name) + ", call " + std::to_string(static_cast<int>(op)) + " #" +
                                         std::to_string(nth) + " fails";
                SCOPED_TRACE(when);
                const size_t journalBefore = env.Journal().size();
                env.FailAt(op, nth, nth % 2 ? ENOSPC : EIO);
                const std::string reply = SendCase(c, k, subject);
                env.Clear();
                const auto journal = env.Journal();
                std::string failed;
                for (size_t i = journalBefore; i < journal.size() && failed.empty(); ++i)
                    if (journal[i].rfind("failed ", 0) == 0) failed = journal[i].substr(7);
                const auto files = StoredOf(k, subject);
                if (reply == kStored) {
                    EXPECT_EQ(files, GoldenFiles(k, subject)) << failed;
                    // A failed call on the message's own files refuses it.
                    EXPECT_EQ(failed.find(subject), std::string::npos) << failed;
                    kept.push_back({&k, subject});
                } else {
                    EXPECT_EQ(reply, kNotStored) << failed;
                    EXPECT_TRUE(files.empty()) << files.begin()->first;
                    EXPECT_TRUE(platform::IniFile(smtp::PortsFileName()).ReadSection(subject + "100405123").empty());
                    ++refusedIn[step(failed, subject, k.wait == 3)];
                }
                for (const char* folder : {"in", "out"})
                    for (const auto& f : platform::ListFiles(smtp::StoreFolder(folder), "*"))
                        EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
                if (failed.empty()) break;  // the message needs fewer such calls
                // The server goes on.
                const std::string next = SubjectOf(k) + "n" + std::to_string(++n) + "x";
                ASSERT_EQ(SendCase(c, k, next), kStored);
                EXPECT_EQ(StoredOf(k, next), GoldenFiles(k, next)) << "the message after";
                kept.push_back({&k, next});
            }
            // Nothing taken before was touched by the failures after it
            // (the import's readings were counted with their messages).
            // Then they go, so that the folders stay small.
            for (const auto& m : kept) {
                auto want = GoldenFiles(*m.k, m.subject);
                std::erase_if(want, [](const auto& e) { return e.first.rfind("import/", 0) == 0; });
                EXPECT_EQ(StoredOf(*m.k, m.subject), want) << m.subject;
                for (const auto& [name, bytes] : want) std::remove((ProgramDir + name).c_str());
                smtp::WritePortsValue(m.subject + "100405123", std::nullopt);
            }
            kept.clear();
            scoped_.reset();
        }
    }
    for (const char* s : {"footer.html", "rewrite", "reading the text", "copy", "text kept for the import",
                          "mail given back"})
        EXPECT_GT(refusedIn[s], 0) << s;
}

}  // namespace
