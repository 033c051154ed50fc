// Pieces of the collector that stand on their own: the end marker found
// across chunks, the unique ids of a UIDL listing, and the downloaded-message
// record as the settings window reaches it.
#include "transport_test_util.h"

#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"

namespace {

using twtest::WindowsHome;

class CollectorRecord : public WindowsHome {
protected:
    void SetUp() override {
        WindowsHome::SetUp();
        CreateWindows();
    }
};

TEST_F(CollectorRecord, EndMarkerAcrossChunks) {
    struct Case {
        std::vector<std::string> chunks;
        size_t completeAt;  // index of the chunk that completes the message
    } cases[] = {
        {{"Subject: a\r\n\r\nbody\r\n.\r\n"}, 0},
        {{"Subject: a\r\n\r\nbody\r\n.", "\r\n"}, 1},
        {{"Subject: a\r\n\r\nbody\r", "\n", ".", "\r", "\n"}, 4},
        {{".\r\n"}, 0},                          // the empty message
        {{"x\r\n..\r\n", "more\r\n.\r\n"}, 1},   // a stuffed dot is not the end
    };
    for (const auto& c : cases) {
        servers_->TempTail = "\r\n";  // a message starts a line
        std::string all;
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            all += c.chunks[i];
            EXPECT_EQ(servers_->AppendTempMessage(c.chunks[i]), i == c.completeAt) << all;
        }
        EXPECT_EQ(twtest::ReadBytes(ProgramDir + "mess.txt"), all);
        std::remove((ProgramDir + "mess.txt").c_str());
    }
}

TEST_F(CollectorRecord, ListedUniqueIds) {
    servers_->Memo1 = {"1 abc", "2 def ", "10 xyz", "11"};
    EXPECT_EQ(servers_->GetListedUidl(1), "abc");
    EXPECT_EQ(servers_->GetListedUidl(2), "def");
    EXPECT_EQ(servers_->GetListedUidl(10), "xyz");
    EXPECT_EQ(servers_->GetListedUidl(11), "");
    EXPECT_EQ(servers_->GetListedUidl(3), "");
}

TEST_F(CollectorRecord, ForgettingAnAccountThroughTheSettingsHooks) {
    TvdlMemTable& t = servers_->TblUIDL;
    for (const char* account : {"work", "home", "work"}) {
        t.Append();
        t.FieldByName("POP").SetAsString(account);
        t.FieldByName("UIDL").SetAsString(std::string("u") + std::to_string(t.RecordCount()));
        t.Post();
    }
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("POP", "work_size", "5000");
    ASSERT_TRUE(setup::hooks.hasDownloaded);
    EXPECT_TRUE(setup::hooks.hasDownloaded("work"));
    setup::hooks.forgetDownloaded("work");
    EXPECT_FALSE(setup::hooks.hasDownloaded("work"));
    EXPECT_TRUE(setup::hooks.hasDownloaded("home"));
    EXPECT_EQ(platform::IniFile(ProgramDir + "tarnwick.ini").ReadInteger("POP", "work_size", -1), 0);
    TvdlMemTable saved;
    saved.LoadFromBinaryFile(ProgramDir + "uidl.dat");
    EXPECT_EQ(saved.RecordCount(), 1);
}

TEST_F(CollectorRecord, SendOnlyGoesStraightToTheRelayRun) {
    twtest::SavePopFile({{"work", "127.0.0.1", "w", "p", "1", "0", "0", "alice"}});
    servers_->FormCreate();
    ::SendOnly = true;
    servers_->StartPopCollection();
    ::SendOnly = false;
    EXPECT_FALSE(servers_->Collecting());
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "pop.log").find("Started POP collection"), std::string::npos);
}

TEST_F(CollectorRecord, NoAccountsIsACompleteCollection) {
    servers_->StartPopCollection();
    EXPECT_FALSE(servers_->Collecting());
    EXPECT_NE(twtest::ReadBytes(ProgramDir + "pop.log").find("No POP accounts!"), std::string::npos);
    EXPECT_FALSE(Shown().Label(events::Label::LastCollection).bold);
}

}  // namespace
