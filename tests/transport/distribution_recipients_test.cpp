// Distribution of a fetched message: who gets it (envelope headers, To/Cc,
// quoted names, the default user, copies seen before), the mailbox files,
// and the start-up import of the old folder layout.
#include "filters/spam.h"
#include "transport/table_owner.h"
#include "transport_test_util.h"

#include "platform/files.h"
#include "engine_state.h"

#include <map>
#include <optional>
#include <sstream>

namespace {

using twtest::WindowsHome;

TEST(Distribution, ExtractAddresses) {
    struct Case {
        const char* text;
        std::vector<std::string> addresses;
    } cases[] = {
        {"a@b.c", {"a@b.c"}},
        {"Bob <Bob@X.Org>, carol@y.org; \"d\" <d@z>", {"bob@x.org", "carol@y.org", "d@z"}},
        {"tab\tx@y\r\n z@w ", {"x@y", "z@w"}},
        {"no address here", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(servers::ExtractAddresses(c.text), c.addresses) << c.text;
}

TEST(Distribution, AddressesAndNamesStopAtTheLimit) {
    std::string many;
    for (int i = 0; i < 1500; ++i) many += "\"n" + std::to_string(i) + "\" <a" + std::to_string(i) + "@x>, ";
    bool cut = false;
    auto addresses = servers::ExtractAddresses(many, servers::kMaxAddressesPerMessage, &cut);
    ASSERT_EQ(addresses.size(), 1000u);
    EXPECT_TRUE(cut);
    EXPECT_EQ(addresses.back(), "a999@x");
    auto names = servers::ExtractQuotedNames(many, 2, &cut);
    EXPECT_EQ(names, (std::vector<std::string>{"n0", "n1"}));
    EXPECT_TRUE(cut);
    EXPECT_EQ(servers::ExtractAddresses("a@b, c@d", 2, &cut).size(), 2u);
    EXPECT_FALSE(cut) << "exactly the limit is not a cut";
}

// The header as distribution reads it, whatever the line ends and wherever
// the reads cut them, with overlong lines kept short.
TEST(Distribution, ScanHeader) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"crlf", "To: a@b\r\nSubject: s\r\n\r\nbody\r\n", {"To: a@b", "Subject: s", ""}},
        {"lf and cr", "To: a@b\nCc: c@d\rSubject: s\n\nbody", {"To: a@b", "Cc: c@d", "Subject: s", ""}},
        // CR LF split by the 64 KB read: no empty line, so no early end.
        {"cr lf across a read", "X: " + std::string(65536 - 3 - 1, 'x') + "\r\nTo: a@b\r\n\r\n",
         {"X: " + std::string(65536 - 4, 'x'), "To: a@b", ""}},
        {"no end of line", "To: a@b", {"To: a@b", "."}},  // the end marker a file lacks follows
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        const servers::FetchedHeader h = servers::ScanHeader(in, "\r\n.\r\n");
        EXPECT_EQ(h.lines, c.lines) << c.name;
        EXPECT_FALSE(h.cut) << c.name;
    }

    std::istringstream huge("To: " + std::string(10 * 1000 * 1000, 'a') + "\r\nMessage-ID: <x@y>\r\n\r\n");
    const servers::FetchedHeader h = servers::ScanHeader(huge, "");
    ASSERT_EQ(h.lines.size(), 3u);
    EXPECT_EQ(h.lines[0].size(), 64u * 1024);
    EXPECT_TRUE(h.cut);
    EXPECT_EQ(h.messageId, " <x@y>");  // as the Message-ID table has always kept it
}

TEST(Distribution, ExtractQuotedNames) {
    EXPECT_EQ(servers::ExtractQuotedNames("\"Sales Team\" <s@x>, \"Bob\" <b@x>"),
              (std::vector<std::string>{"sales team", "bob"}));
    EXPECT_EQ(servers::ExtractQuotedNames("\"unclosed <s@x>"), std::vector<std::string>{});
    EXPECT_EQ(servers::ExtractQuotedNames("\"\" <s@x>"), std::vector<std::string>{""});
}

class Distribute : public WindowsHome {
protected:
    void SetUp() override {
        WindowsHome::SetUp();
        twtest::SaveLinkFile({{"sales@office.example", "alice"},
                              {"sales@office.example", "bob"},
                              {"carol@office.example", "carol"},
                              {"al@office.example", "alice"},
                              {"the boss", "carol"}});
        CreateWindows();
        servers_->AccountDefaultUser = "bob";
    }
    // Distributes mess.txt and waits for its outcome: empty text when stored.
    std::string Store() {
        std::optional<std::string> outcome;
        servers_->MoveTempMessage([&](const std::string& failure) { outcome = failure; });
        EXPECT_TRUE(twtest::Until([&] { return outcome.has_value(); }, 10000));
        return outcome.value_or("no outcome");
    }
    // Distributes a message; returns who got a file (user -> stem).
    std::map<std::string, std::string> Deliver(const std::string& header, const std::string& body = "hello") {
        std::string before = Snapshot();
        twtest::WriteBytes(ProgramDir + "mess.txt", header + "\r\n" + body + "\r\n.\r\n");
        EXPECT_EQ(Store(), "");
        EXPECT_FALSE(platform::FileExists(ProgramDir + "mess.txt"));
        std::map<std::string, std::string> got;
        for (const auto& f : platform::ListFiles(ProgramDir + "in", "*.dat")) {
            if (before.find("|" + f + "|") != std::string::npos) continue;
            size_t sep = f.find('_');
            got[f.substr(0, sep)] = f.substr(sep + 1, f.size() - sep - 5);
        }
        return got;
    }
    std::string Snapshot() {
        std::string s = "|";
        for (const auto& f : platform::ListFiles(ProgramDir + "in", "*.dat")) s += f + "|";
        return s;
    }
    static std::vector<std::string> Users(const std::map<std::string, std::string>& got) {
        std::vector<std::string> u;
        for (const auto& [user, stem] : got) u.push_back(user);
        return u;
    }
    std::string Log() { return twtest::ReadBytes(ProgramDir + "pop.log"); }
};

TEST_F(Distribute, RecipientsByEnvelopeToCcNamesAndDefault) {
    struct Case {
        const char* name;
        const char* header;
        std::vector<std::string> users;
    } cases[] = {
        {"envelope wins over To", "Envelope-To: sales@office.example\r\nTo: carol@office.example\r\nMessage-ID: <1@x>\r\n",
         {"alice", "bob"}},
        {"delivered-to in any case", "DELIVERED-TO: carol@office.example\r\nTo: al@office.example\r\nMessage-ID: <2@x>\r\n",
         {"carol"}},
        {"To and Cc", "To: al@office.example\r\nCc: Carol <carol@office.example>\r\nMessage-ID: <3@x>\r\n",
         {"alice", "carol"}},
        {"folded To", "To: al@office.example,\r\n carol@office.example\r\nSubject: x\r\nMessage-ID: <4@x>\r\n",
         {"alice", "carol"}},
        {"Reply-To is not a recipient", "To: x@far.example\r\nReply-To: carol@office.example\r\nMessage-ID: <5@x>\r\n",
         {"bob"}},
        {"quoted name", "To: \"The Boss\" <boss@far.example>\r\nMessage-ID: <6@x>\r\n", {"carol"}},
        {"envelope plus quoted name", "Envelope-To: al@office.example\r\nTo: \"The Boss\" <b@far>\r\nMessage-ID: <7@x>\r\n",
         {"alice", "carol"}},
        {"nobody local: default user", "To: stranger@far.example\r\nMessage-ID: <8@x>\r\n", {"bob"}},
    };
    for (const auto& c : cases) {
        auto got = Deliver(c.header);
        EXPECT_EQ(Users(got), c.users) << c.name << "\n" << Log();
    }
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "pop_hdr.txt"), "envelope-to:\r\ndelivered-to:\r\n");
}

TEST_F(Distribute, RecipientsShareTheStemAndKeepTheTextByteForByte) {
    std::string header = "Envelope-To: sales@office.example\r\nMessage-ID: <Ab-9@X>\r\nSubject: s\r\n";
    auto got = Deliver(header, "..stuffed\r\nline");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got["alice"], got["bob"]);
    EXPECT_EQ(got["alice"], "b9" + smtp::TimeStamp());  // upper-case letters are dropped
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "in/alice_" + got["alice"] + ".dat"),
              header + "\r\n..stuffed\r\nline\r\n.\r\n");
    // The same stem again (same id letters, same time): a new message never
    // replaces the first one's file.
    auto again = Deliver("Envelope-To: al@office.example\r\nMessage-ID: <Ab-9@Y>\r\n");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again["alice"], got["alice"] + "1");
}

// The mailbox copy is streamed from mess.txt: it is the text with the end
// marker it lacks, whatever the text's size and line ends, and the header
// is read as the whole text would be.
TEST_F(Distribute, StoredTextGetsTheEndMarkerItLacks) {
    const std::string big(300000, 'x');
    struct Case {
        const char* name;
        std::string text, stored;
    } cases[] = {
        {"with its marker", "To: al@office.example\r\nMessage-ID: <m1@x>\r\n\r\nhi\r\n.\r\n",
         "To: al@office.example\r\nMessage-ID: <m1@x>\r\n\r\nhi\r\n.\r\n"},
        {"without", "To: al@office.example\r\nMessage-ID: <m2@x>\r\n\r\nhi",
         "To: al@office.example\r\nMessage-ID: <m2@x>\r\n\r\nhi\r\n.\r\n"},
        {"bare line ends", "To: al@office.example\rMessage-ID: <m3@x>\n\nhi\n.\n",
         "To: al@office.example\rMessage-ID: <m3@x>\n\nhi\n.\n\r\n.\r\n"},
        {"large", "To: al@office.example\r\nMessage-ID: <m4@x>\r\n\r\n" + big + "\r\n",
         "To: al@office.example\r\nMessage-ID: <m4@x>\r\n\r\n" + big + "\r\n\r\n.\r\n"},
        // Header only, ending without a line end: the marker's lines are
        // read as the header's last lines.
        {"header only", "To: al@office.example\r\nMessage-ID: <m5@x>", "To: al@office.example\r\nMessage-ID: <m5@x>\r\n.\r\n"},
        {"empty", "", "\r\n.\r\n"},
        {"just the marker", ".\r\n", "\r\n\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        const std::string before = Snapshot();
        twtest::WriteBytes(ProgramDir + "mess.txt", c.text);
        EXPECT_EQ(Store(), "") << c.name;
        std::vector<std::string> fresh;
        for (const auto& f : platform::ListFiles(ProgramDir + "in", "*.dat"))
            if (before.find("|" + f + "|") == std::string::npos) fresh.push_back(f);
        ASSERT_EQ(fresh.size(), 1u) << c.name;
        // The header was read: alice, not the default user, got it.
        if (c.text.size() > 5) {
            EXPECT_EQ(fresh[0].rfind("alice_", 0), 0u) << c.name;
        }
        EXPECT_TRUE(twtest::ReadBytes(ProgramDir + "in/" + fresh[0]) == c.stored) << c.name;
    }
}

TEST_F(Distribute, ASecondCopyGoesOnlyToThoseWhoLackIt) {
    const std::string to = "To: al@office.example\r\nMessage-ID: <dup@x>\r\n";
    EXPECT_EQ(Users(Deliver(to)), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(Deliver(to).empty());  // not to the default user either
    EXPECT_NE(Log().find("++ Already received  <dup@x>, ignoring..."), std::string::npos) << Log();
    // A copy for someone who was only Bcc'd on the first.
    EXPECT_EQ(Users(Deliver("Delivered-To: carol@office.example\r\n" + to)), (std::vector<std::string>{"carol"}));
    // Ids of three characters or fewer are never taken for copies.
    const std::string shortId = "To: al@office.example\r\nMessage-ID: <>\r\n";
    EXPECT_EQ(Deliver(shortId).size(), 1u);
    EXPECT_EQ(Deliver(shortId).size(), 1u);
}

TEST_F(Distribute, EnvelopeHeadersFromPopHdr) {
    twtest::WriteBytes(ProgramDir + "pop_hdr.txt", "X-Original-To:\r\n");
    EXPECT_EQ(Users(Deliver("X-Original-To: carol@office.example\r\nTo: al@office.example\r\nMessage-ID: <h@x>\r\n")),
              (std::vector<std::string>{"carol"}));
    EXPECT_EQ(Users(Deliver("Envelope-To: carol@office.example\r\nTo: al@office.example\r\nMessage-ID: <i@x>\r\n")),
              (std::vector<std::string>{"alice"}));
}

TEST_F(Distribute, NoRecipientAndNoDefaultIsAnErrorNotALoss) {
    servers_->AccountDefaultUser.clear();
    twtest::WriteBytes(ProgramDir + "mess.txt", "To: x@far\r\n\r\nbody\r\n.\r\n");
    EXPECT_THROW(servers_->MoveTempMessage([](const std::string&) { ADD_FAILURE() << "no outcome was due"; }),
                 std::runtime_error);
    EXPECT_TRUE(platform::ListFiles(ProgramDir + "in", "*.dat").empty());
}

TEST_F(Distribute, FiltersRunOnTheMailboxCopyWithTheSettingsWindowsTables) {
    twtest::EngineState engine;
    TvdlMemTable& forwards = tables::Forwards().Table();
    if (!forwards.Active()) settings::DefineForwardTable(forwards);
    forwards.Append();
    forwards.FieldByName("User").SetAsString("alice");
    forwards.FieldByName("IsLocal").SetAsBoolean(true);
    forwards.FieldByName("ForwardTo").SetAsString("carol");
    forwards.FieldByName("Copy").SetAsString("No");
    forwards.Post();
    // The alias comes from the engine's table; forwarding, the last
    // filter, hands alice's copy on to carol.
    auto got = Deliver("To: al@office.example\r\nMessage-ID: <fw@x>\r\n");
    EXPECT_EQ(Users(got), (std::vector<std::string>{"carol"})) << Log();
}

// Held spam is checked as well: released, it reaches the mailbox without
// another check.
TEST_F(Distribute, HeldSpamHasItsAttachmentsDefusedToo) {
    twtest::EngineState engine;
    twtest::ChangeSettings([](MailSettings& s) { s.virusPatterns = {"*.exe"}; });
    spam::TSpamFilter filter;
    filter.CreateSafeListFile();
    filter.Load();
    spam::Settings on = filter.settings();
    on.checkSpam = true;  // an unknown sender is possible spam
    filter.SetSettings(on);
    twtest::WriteBytes(ProgramDir + "mess.txt",
                       "From: x@far.example\r\nTo: al@office.example\r\nMessage-ID: <sp@x>\r\n"
                       "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n--XX\r\n"
                       "Content-Type: application/octet-stream; name=\"setup.exe\"\r\n\r\nTVqQ\r\n--XX--\r\n.\r\n");
    EXPECT_EQ(Store(), "");
    const auto held = platform::ListFiles(ProgramDir + "Spam1", "*.dat");
    ASSERT_EQ(held.size(), 1u) << Log();
    EXPECT_NE(twtest::ReadBytes(ProgramDir + "Spam1/" + held[0]).find("name=\"setup.ex_\""), std::string::npos);
}

TEST_F(Distribute, ImportOfOldFolders) {
    std::filesystem::create_directories(ProgramDir + "alice_111");
    twtest::WriteBytes(ProgramDir + "alice_111/raw.dat", "old one\r\n.\r\n");
    std::filesystem::create_directories(ProgramDir + "bob_222");
    twtest::WriteBytes(ProgramDir + "bob_222/raw.dat", "old two\r\n.\r\n");
    twtest::WriteBytes(ProgramDir + "in/bob_222.dat", "already here\r\n.\r\n");
    std::filesystem::create_directories(ProgramDir + "carol_333");  // no raw.dat: left alone
    EXPECT_EQ(servers::ImportRawMessages(), 2);
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "in/alice_111.dat"), "old one\r\n.\r\n");
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "in/bob_222.dat"), "already here\r\n.\r\n");
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "in/bob_2221.dat"), "old two\r\n.\r\n");
    EXPECT_FALSE(platform::FolderExists(ProgramDir + "alice_111"));
    EXPECT_FALSE(platform::FolderExists(ProgramDir + "bob_222"));
    EXPECT_TRUE(platform::FolderExists(ProgramDir + "carol_333"));
}

}  // namespace
