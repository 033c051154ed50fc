// Mailbox, outbox and spam counts as the engine sends them out, and the
// immediate Send/Recv that queued mail asks for.
#include "transport_test_util.h"

#include "platform/files.h"
#include "platform/inifile.h"

#include <map>

namespace {

using twtest::WindowsHome;

TEST(FormatByteSize, Boundaries) {
    struct Case {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},           {1023, "1023 bytes"},    {1024, "1 kb"},
        {2047, "1 kb"},           {1023999, "999 kb"},     {1024000, "1.00 mb"},
        {1536000, "1.50 mb"},     {5000000000LL, "4882.81 mb"},  // past 32 bits
    };
    for (const auto& c : cases) EXPECT_EQ(servers::FormatByteSize(c.bytes), c.text) << c.bytes;
}

class Counts : public WindowsHome {
protected:
    std::string ExtraIni() override { return wait_.empty() ? "" : "[SMTP]\nWait=" + wait_ + "\n"; }
    // The last count's mailboxes: user -> (messages, bytes).
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> Mailboxes() {
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> rows;
        for (const auto& [user, total] : Shown().counts.back().mailboxes) rows[user] = {total.count, total.bytes};
        return rows;
    }
    std::string wait_;
};

TEST_F(Counts, MailboxesOutboxAndSpam) {
    CreateWindows();
    PutFile("in", "alice_a1.dat", 100);
    PutFile("in", "alice_a2.dat", 2000);
    PutFile("in", "bob_b1.dat", 10);
    PutFile("in", "bob_x_y.dat", 5000);        // not bob's: "bob_x" is another name
    PutFile("out", "m1.txt", 700);
    PutFile("out", "m2.txt", 1500);
    PutFile("out", "m3.txt", 99);              // sent in the last run: purged
    PutFile("out", "m3.txs", 1);
    PutFile("out", "m4.bad", 4000);            // not queued
    PutFile("Spam1", "alice_s1.dat", 1);
    PutFile("Spam1", "bob_s2.dat", 1);
    PutFile("Spam2", "carol_s3.dat", 1);

    Shown().counts.clear();  // the SMTP object's own count at creation
    servers_->RefreshMailCounts(false);
    ASSERT_EQ(Shown().counts.size(), 1u);
    const events::MailCounts& first = Shown().counts.back();
    EXPECT_TRUE(first.mailboxesCounted);
    using Row = std::map<std::string, std::pair<std::int64_t, std::int64_t>>;
    EXPECT_EQ(Mailboxes(), (Row{{"alice", {2, 2100}}, {"bob", {1, 10}}, {"carol", {0, 0}}}));
    EXPECT_EQ(first.mailboxes.front().first, "alice") << "in the users table's order";
    EXPECT_TRUE(first.outboxCounted);
    EXPECT_EQ(first.outbox, (events::FolderTotal{2, 2200}));
    EXPECT_EQ(servers_->OutboxTotalBytes, 2200);
    EXPECT_FALSE(platform::FileExists(ProgramDir + "out/m3.txt"));
    EXPECT_FALSE(platform::FileExists(ProgramDir + "out/m3.txs"));
    EXPECT_EQ(first.possibleSpam, 2);
    EXPECT_EQ(first.probableSpam, 1);

    // An emptied mailbox and outbox count as empty.
    std::remove((ProgramDir + "in/alice_a1.dat").c_str());
    std::remove((ProgramDir + "in/alice_a2.dat").c_str());
    platform::DeleteFiles(ProgramDir + "out", "*.txt");
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(Mailboxes(), (Row{{"alice", {0, 0}}, {"bob", {1, 10}}, {"carol", {0, 0}}}));
    EXPECT_EQ(Shown().counts.back().outbox, (events::FolderTotal{0, 0}));
}

TEST_F(Counts, QueuedMailAsksForASendRecvOnlyWhenWaitSaysSo) {
    struct Case {
        const char* wait;
        bool autoSend;
        bool queued;
        bool cycleRunning;
        std::vector<events::Cycle> requests;
    } cases[] = {
        {"0", true, true, false, {events::Cycle::Full}},      // full cycle at once
        {"2", true, true, false, {events::Cycle::SendOnly}},  // send only at once
        {"1", true, true, false, {}},                         // wait for the next cycle
        {"3", true, true, false, {}},                         // returned by the SMTP server
        {"0", false, true, false, {}},
        {"2", true, false, false, {}},  // nothing queued
        {"0", true, true, true, {}},    // a cycle already runs
        {"2", true, true, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("Wait=") + c.wait + " auto=" + std::to_string(c.autoSend) +
                     " queued=" + std::to_string(c.queued) + " running=" + std::to_string(c.cycleRunning));
        wait_ = c.wait;
        TearDown();
        SetUp();
        CreateWindows();
        if (c.queued) PutFile("out", "m1.txt", 10);
        Shown().cycleRunning = c.cycleRunning;
        Shown().counts.clear();
        servers_->RefreshMailCounts(c.autoSend);
        EXPECT_EQ(Shown().requests, c.requests);
        EXPECT_EQ(Shown().counts.size(), 1u) << "counted whether or not it asks";
    }
}

}  // namespace
