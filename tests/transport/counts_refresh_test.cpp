// Mailbox counts on the main window and the tray, the outbox and spam
// counters, and the immediate Send/Recv that queued mail may start.
#include "transport_test_util.h"

#include "platform/files.h"
#include "platform/inifile.h"

#include <QAction>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>

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
    std::map<std::string, std::string> Rows() {
        std::map<std::string, std::string> rows;
        for (int i = 0; i < main_->PopList->topLevelItemCount(); ++i)
            rows[main_->PopList->topLevelItem(i)->text(0).toStdString()] =
                main_->PopList->topLevelItem(i)->text(1).toStdString();
        return rows;
    }
    QAction* SendOnly() {
        for (QAction* a : main_->PopupMenu2->actions())
            if (a->property("Tag").toInt() == TFrmMain::TagSendOnly) return a;
        return nullptr;
    }
    int CyclesStarted() {
        std::string log = twtest::ReadBytes(ProgramDir + "connect.log");
        int n = 0;
        for (size_t at = 0; (at = log.find("Starting connection", at)) != std::string::npos; ++at) ++n;
        return n;
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

    servers_->RefreshMailCounts(false);
    EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"alice", "2 (2 kb)"}, {"bob", "1 (10 bytes)"}}));
    EXPECT_EQ(main_->TrayImage(), 2);
    EXPECT_NE(main_->TrayHint().find("\ralice: 2 (2 kb)\rbob: 1 (10 bytes)"), std::string::npos)
        << main_->TrayHint();
    EXPECT_EQ(main_->LblsmtpCount->text().toStdString(), "2 (2 kb)");
    EXPECT_EQ(servers_->OutboxTotalBytes, 2200);
    EXPECT_FALSE(platform::FileExists(ProgramDir + "out/m3.txt"));
    EXPECT_FALSE(platform::FileExists(ProgramDir + "out/m3.txs"));
    ASSERT_NE(SendOnly(), nullptr);
    EXPECT_TRUE(SendOnly()->isEnabled());
    EXPECT_EQ(main_->LblSpam1->text().toStdString(), "2 possible");
    EXPECT_EQ(main_->LblSpam1->property("Tag").toInt(), 2);
    EXPECT_EQ(main_->LblSpam2->text().toStdString(), "1 probable");
    EXPECT_EQ(main_->LblSpam2->property("Tag").toInt(), 1);

    // An emptied mailbox loses its row; an empty outbox disables "Send Only".
    std::remove((ProgramDir + "in/alice_a1.dat").c_str());
    std::remove((ProgramDir + "in/alice_a2.dat").c_str());
    platform::DeleteFiles(ProgramDir + "out", "*.txt");
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"bob", "1 (10 bytes)"}}));
    EXPECT_EQ(main_->LblsmtpCount->text().toStdString(), "0 (0 bytes)");
    EXPECT_FALSE(SendOnly()->isEnabled());

    // A failed step shows in the tray whatever the mailboxes hold.
    TFrmMain::SetLabelRed(main_->LBLPOPLast);
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(main_->TrayImage(), 3);
    std::remove((ProgramDir + "in/bob_b1.dat").c_str());
    TFrmMain::SetParentFont(main_->LBLPOPLast);
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(main_->TrayImage(), 0);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(Counts, TrayHintIsLeftToARunningStep) {
    CreateWindows();
    PutFile("in", "alice_a1.dat", 10);
    main_->SetStatusLine("work: collecting", true);
    main_->SetTrayHint("Tarnwick: active");
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(main_->TrayHint(), "Tarnwick: active");
    main_->SetStatusLine("Idle", false);
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(main_->TrayHint(), main_->IdleTrayHint());
}

TEST_F(Counts, QueuedMailStartsASendRecvOnlyWhenWaitSaysSo) {
    struct Case {
        const char* wait;
        bool autoSend;
        bool queued;
        bool cycleRunning;
        int started;
        bool sendOnly;
    } cases[] = {
        {"0", true, true, false, 1, false},  // full cycle at once
        {"2", true, true, false, 1, true},   // send only at once
        {"1", true, true, false, 0, false},  // wait for the next cycle
        {"3", true, true, false, 0, false},  // returned by the SMTP server
        {"0", false, true, false, 0, false},
        {"2", true, false, false, 0, false},  // nothing queued
        {"0", true, true, true, 0, false},   // a cycle already runs
        {"2", true, true, true, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("Wait=") + c.wait + " auto=" + std::to_string(c.autoSend) +
                     " queued=" + std::to_string(c.queued) + " running=" + std::to_string(c.cycleRunning));
        wait_ = c.wait;
        TearDown();
        SetUp();
        CreateWindows();
        if (c.queued) PutFile("out", "m1.txt", 10);
        if (c.cycleRunning) main_->BtnSendRec->setEnabled(false);
        ::SendOnly = false;
        servers_->RefreshMailCounts(c.autoSend);
        EXPECT_EQ(CyclesStarted(), c.started);
        if (c.started) {
            EXPECT_EQ(::SendOnly, c.sendOnly);
        }
    }
}

}  // namespace
