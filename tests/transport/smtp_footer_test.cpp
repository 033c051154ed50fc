// What an accepted message leaves on disk when the footer and the
// Message-ID go into it: every mailbox copy, the queued file, the returned
// mail and the text the safe-list import reads, byte for byte against the
// files in golden/accepted/, for each way the footer can be set. Then the
// same steps on a failing disk.
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/mail_settings.h"
#include "transport/table_owner.h"
#include "transport_test_util.h"
#include "smtp_test_client.h"

#include "filters/spam.h"
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "engine_state.h"
#include "transport/account_tables.h"

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

// A generated Message-ID ends in six random digits; the golden files hold
// them as "######".
std::string Masked(const std::string& text) {
    static const std::regex generated("(Message-ID: <20261207100405123)[0-9]{6}>");
    return std::regex_replace(text, generated, "$1######>");
}

std::string GoldenDir() { return std::string(TW_TEST_SOURCE_DIR) + "/transport/golden/accepted/"; }

// Set to write the golden files from what the server stores now.
bool Recording() { return std::getenv("TW_RECORD_GOLDEN") != nullptr; }

class SmtpFooterTest : public twtest::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::SetDialogHandlerForTesting([](platform::DialogCall&) { return platform::MsgResult::Ok; });
        twtest::WriteBytes(ProgramDir + "tarnwick.ini", "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=0\n");
        ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "alice", "alicepw"));
        ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "bob", "bobpw"));
        TvdlMemTable domains;
        settings::DefineDomainTable(domains);
        domains.Append();
        domains.FieldByName("Domain").SetAsString("office.example");
        domains.Post();
        domains.SaveToBinaryFile(ProgramDir + "domain.dat");
        engine_ = std::make_unique<twtest::EngineState>();
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
        ASSERT_TRUE(smtp_->SMTPServer.Active());
        hooks_ = smtp::deliveryHooks;
        // The safe-list import is watched: what it reads is part of what
        // the message became.
        smtp::deliveryHooks.importAddressesFromMessage = [this](const std::string& file) {
            imported_.push_back(twtest::ReadBytes(file));
        };
    }
    void TearDown() override {
        smtp::deliveryHooks = hooks_;
        scoped_.reset();
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        engine_.reset();
        platform::SetDialogHandlerForTesting({});
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

    std::unique_ptr<platform::ScopedEnv> scoped_;
    std::unique_ptr<twtest::EngineState> engine_;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
    smtp::DeliveryHooks hooks_;
    std::vector<std::string> imported_;
};

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

TEST_F(SmtpFooterTest, StoredFilesAreByteForByteWhatTheyWere) {
    twtest::SmtpClient c(smtp_->SMTPServer.Port());
    ASSERT_EQ(c.greeting, "220 hello\r\n");
    for (const auto& k : kCases) {
        SCOPED_TRACE(k.name);
        SetFooter(k.forAll, k.footer ? kFooter : std::vector<std::string>{}, k.html ? kHtmlFooter : "", k.wait,
                  k.copyOutTo);
        // The subject in angle brackets makes the queue id of a message
        // without Message-ID.
        std::string subject = k.name;
        std::erase(subject, '-');
        const std::string data = k.htmlMessage ? HtmlMessage(subject, k.withId) : PlainMessage(subject, k.withId);
        ASSERT_EQ(Send(c, "bob@office.example", k.to, data), kStored);
        std::map<std::string, std::string> files = FilesOf(subject + (k.withId ? "pc12lan1004" : "1004"));
        ASSERT_FALSE(files.empty());
        const std::string dir = GoldenDir() + k.name + "/";
        if (Recording()) {
            std::filesystem::remove_all(dir);
            for (const auto& [name, bytes] : files) {
                std::filesystem::create_directories(std::filesystem::path(dir + name).parent_path());
                twtest::WriteBytes(dir + name, Masked(bytes));
            }
            continue;
        }
        std::set<std::string> want;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
            if (e.is_regular_file()) want.insert(e.path().string().substr(dir.size()));
        std::set<std::string> got;
        for (const auto& [name, bytes] : files) got.insert(name);
        EXPECT_EQ(got, want);
        for (const auto& [name, bytes] : files)
            if (want.count(name)) {
                EXPECT_TRUE(Masked(bytes) == twtest::ReadBytes(dir + name)) << name << ":\n" << bytes;
            }
    }
}

}  // namespace
