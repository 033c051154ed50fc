// Desktop addresses of POP3 logins: held until their batched write, read
// back before it, and never lost to a write that failed.
#include "transport/desktops.h"
#include "transport_test_util.h"

#include "platform/env.h"

#include <cerrno>

namespace {

using Op = platform::FaultInjectionEnv::Op;

class Desktops : public twtest::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        ini_ = ProgramDir + "tarnwick.ini";
        twtest::WriteBytes(ini_, "[POP]\r\nLocalPort=110\r\n[Users]\r\nalice=10.0.0.1\r\nalice_count=3\r\n");
    }
    void TearDown() override {
        desktops::Flush();
        TempHome::TearDown();
    }
    std::string ini_;
};

TEST_F(Desktops, ANewAddressIsReadBeforeItsWriteAndWrittenInOneBatch) {
    platform::FaultInjectionEnv env;
    platform::ScopedEnv scoped(&env);
    const std::string before = twtest::ReadBytes(ini_);
    desktops::SetAddress(ini_, "alice", "10.0.0.7");
    desktops::SetAddress(ini_, "bob", "10.0.0.8");
    desktops::SetAddress(ini_, "alice", "10.0.0.9");  // the later login wins
    EXPECT_EQ(twtest::ReadBytes(ini_), before) << "no write per login";
    EXPECT_EQ(desktops::Address(ini_, "ALICE"), "10.0.0.9");
    EXPECT_EQ(desktops::Address(ini_, "bob"), "10.0.0.8");
    EXPECT_EQ(desktops::Address(ini_, "carol"), "");

    // The timer writes both with one rename.
    ASSERT_TRUE(twtest::Until([&] { return env.Calls(Op::Rename) > 0; }, desktops::kFlushDelayMs * 5));
    EXPECT_EQ(env.Calls(Op::Rename), 1);
    EXPECT_EQ(twtest::ReadBytes(ini_),
              "[POP]\r\nLocalPort=110\r\n[Users]\r\nalice=10.0.0.9\r\nalice_count=3\r\nbob=10.0.0.8\r\n");
}

TEST_F(Desktops, AFailedWriteKeepsTheAddressesForTheNextTry) {
    const std::string before = twtest::ReadBytes(ini_);
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Rename}) {
        for (int error : {ENOSPC, EIO}) {
            platform::FaultInjectionEnv env;
            platform::ScopedEnv scoped(&env);
            env.FailAt(op, 0, error);
            desktops::SetAddress(ini_, "alice", "10.0.0.2");
            EXPECT_FALSE(desktops::Flush());
            EXPECT_EQ(twtest::ReadBytes(ini_), before);
            EXPECT_EQ(desktops::Address(ini_, "alice"), "10.0.0.2");
            env.Clear();
            EXPECT_TRUE(desktops::Flush());
            EXPECT_EQ(platform::IniFile(ini_).ReadString("Users", "alice", ""), "10.0.0.2");
            twtest::WriteBytes(ini_, before);
        }
    }
}

// The count announced to a desktop is noted the same way: an alert per
// delivery must not rewrite the settings file each time.
TEST_F(Desktops, AnnouncedCountsWaitForTheBatchedWrite) {
    const std::string before = twtest::ReadBytes(ini_);
    EXPECT_EQ(desktops::AnnouncedCount(ini_, "Alice"), 3);
    EXPECT_EQ(desktops::AnnouncedCount(ini_, "bob"), 0);
    desktops::SetAnnouncedCount(ini_, "alice", 4);
    desktops::SetAnnouncedCount(ini_, "bob", 1);
    desktops::SetAddress(ini_, "bob", "10.0.0.8");
    desktops::SetAnnouncedCount(ini_, "ALICE", 5);
    EXPECT_EQ(twtest::ReadBytes(ini_), before);
    EXPECT_EQ(desktops::AnnouncedCount(ini_, "alice"), 5);
    EXPECT_EQ(desktops::AnnouncedCount(ini_, "bob"), 1);
    ASSERT_TRUE(desktops::Flush());
    EXPECT_EQ(twtest::ReadBytes(ini_), "[POP]\r\nLocalPort=110\r\n[Users]\r\nalice=10.0.0.1\r\nalice_count=5\r\n"
                                       "bob_count=1\r\nbob=10.0.0.8\r\n");
    EXPECT_EQ(desktops::AnnouncedCount(ini_, "alice"), 5);
}

}  // namespace
