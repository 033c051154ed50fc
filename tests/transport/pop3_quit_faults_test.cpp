// QUIT of a POP3 session when the disk fails under its deletions: python3's
// poplib deletes messages while the file system refuses an unlink or the
// folder's sync. The client must never take "+OK" for deletions that are
// not on disk, no message it did not delete may suffer, the server serves
// on, and the next session finds a mailbox that matches the folder.
#include "transport/servers.h"
#include "transport_test_util.h"

#include "platform/env.h"
#include "platform/files.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/desktops.h"
#include "transport/store.h"

#include <cerrno>
#include <filesystem>
#include <map>

namespace {

using Op = platform::FaultInjectionEnv::Op;
using twtest::PeerProcess;

class Pop3QuitFaults : public twtest::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        twtest::WriteBytes(ProgramDir + "tarnwick.ini", "[POP]\nLocalPort=0\n");
        ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "alice", "alicepw"));
        ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "bob", "bobpw"));
        for (int i = 1; i <= 4; ++i) Put("alice", "m" + std::to_string(i));
        Put("bob", "b1");
        servers_ = std::make_unique<TFrmServers>();
        ASSERT_TRUE(servers_->PopServer.Active());
    }
    void TearDown() override {
        servers_.reset();
        TempHome::TearDown();
    }
    void Put(const std::string& user, const std::string& stamp) {
        const std::string text = "Subject: " + stamp + "\r\n\r\nbody of " + stamp + "\r\n.\r\n";
        twtest::WriteBytes(smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName(user, stamp), text);
        stored_[user + "/" + stamp] = text;
    }
    // Every message file of the user that is still there, by stamp; each
    // must hold exactly what was stored.
    std::vector<std::string> Left(const std::string& user) {
        std::vector<std::string> stamps;
        for (const auto& [key, text] : stored_) {
            if (key.rfind(user + "/", 0) != 0) continue;
            const std::string stamp = key.substr(user.size() + 1);
            const std::string path = smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName(user, stamp);
            if (!std::filesystem::exists(path)) continue;
            EXPECT_EQ(twtest::ReadBytes(path), text) << stamp << " was damaged";
            stamps.push_back(stamp);
        }
        return stamps;
    }
    // One session: logs in, waits for `ready` (faults go in there), deletes
    // the numbered messages and quits. Its output: "UIDL ..." and "QUIT ...".
    std::string Session(const std::string& user, const std::vector<int>& dele,
                        const std::function<void()>& ready = {}) {
        PeerProcess client;
        std::vector<std::string> args{twtest::PeersDir() + "peers_pop_dele_quit.py", "127.0.0.1",
                                      std::to_string(servers_->PopServer.Port()), user, user + "pw"};
        for (int n : dele) args.push_back(std::to_string(n));
        EXPECT_TRUE(client.Start("/usr/bin/python3", args));
        EXPECT_TRUE(client.WaitFor("UIDL")) << client.Errors();
        // The login's address is written now, so that the faults below
        // meet only the QUIT's own disk work.
        desktops::Flush();
        if (ready) ready();
        client.Process().write("go\n");
        EXPECT_TRUE(client.WaitFinished()) << client.Errors();
        return client.Output();
    }

    std::unique_ptr<TFrmServers> servers_;
    std::map<std::string, std::string> stored_;
};

TEST_F(Pop3QuitFaults, NoOkForDeletionsThatAreNotOnDisk) {
    const std::string notRemoved = "QUIT-ERR -ERR some deleted messages not removed";
    struct Case {
        const char* name;
        Op op;
        int nth;    // which call of op fails (0: every one)
        int error;
        std::string reply;
        std::vector<std::string> left;  // alice's messages after the QUIT
    } cases[] = {
        {"no fault", Op::Unlink, -1, 0, "QUIT +OK", {"m2", "m4"}},
        {"first unlink EIO", Op::Unlink, 1, EIO, notRemoved, {"m1", "m2", "m4"}},
        {"second unlink ENOSPC", Op::Unlink, 2, ENOSPC, notRemoved, {"m2", "m3", "m4"}},
        {"every unlink EIO", Op::Unlink, 0, EIO, notRemoved, {"m1", "m2", "m3", "m4"}},
        {"folder sync EIO", Op::SyncFolder, 1, EIO, notRemoved, {"m2", "m4"}},
        {"folder sync ENOSPC", Op::SyncFolder, 0, ENOSPC, notRemoved, {"m2", "m4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stored_.clear();
        platform::DeleteFiles(ProgramDir + "in", "*.dat");
        for (int i = 1; i <= 4; ++i) Put("alice", "m" + std::to_string(i));
        Put("bob", "b1");

        platform::FaultInjectionEnv env;
        platform::ScopedEnv scoped(&env);
        const std::string out = Session("alice", {1, 3}, [&] {
            if (c.nth >= 0) env.FailAt(c.op, c.nth, c.error);
        });
        EXPECT_NE(out.find("UIDL m1 m2 m3 m4"), std::string::npos) << out;
        EXPECT_NE(out.find(c.reply + "\n"), std::string::npos) << out;
        EXPECT_EQ(Left("alice"), c.left);
        EXPECT_EQ(Left("bob"), std::vector<std::string>{"b1"});

        // The server serves on, and the next session sees what is on disk.
        env.Clear();
        std::string ids = "UIDL";
        for (const auto& stamp : c.left) ids += " " + stamp;
        std::vector<int> all;
        for (size_t i = 1; i <= c.left.size(); ++i) all.push_back(static_cast<int>(i));
        const std::string again = Session("alice", all);
        EXPECT_NE(again.find(ids + "\n"), std::string::npos) << again;
        EXPECT_NE(again.find("QUIT +OK"), std::string::npos) << again;
        EXPECT_TRUE(Left("alice").empty());
        EXPECT_EQ(Left("bob"), std::vector<std::string>{"b1"});
    }
}

TEST_F(Pop3QuitFaults, OkComesAfterTheRemovalsAndTheFolderSync) {
    platform::FaultInjectionEnv env;
    platform::ScopedEnv scoped(&env);
    const std::string out = Session("alice", {2});
    EXPECT_NE(out.find("QUIT +OK"), std::string::npos) << out;
    const std::string folder = smtp::StoreFolder(smtp::FolderIn);
    std::vector<std::string> journal;
    for (const auto& entry : env.Journal())
        if (entry.find(folder) != std::string::npos) journal.push_back(entry);
    EXPECT_EQ(journal, (std::vector<std::string>{"unlink " + folder + smtp::MailboxFileName("alice", "m2"),
                                                 "syncfolder " + folder}));
}

}  // namespace
