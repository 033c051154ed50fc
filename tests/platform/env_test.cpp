// The file-system interface: atomic writes and copies under injected faults.
#include "platform/env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

using platform::FaultInjectionEnv;
using Op = FaultInjectionEnv::Op;

std::vector<std::string> Entries(platform::Env& env, const std::string& folder) {
    std::vector<std::string> names;
    env.ListFolder(folder, names);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Env, AtomicWriteSyncsTheDataBeforeItsNameAndTheFolderAfter) {
    twtest::TempDir dir;
    FaultInjectionEnv env;
    ASSERT_TRUE(env.WriteFileAtomic(dir / "users.dat", "new").ok());
    EXPECT_EQ(dir.Read("users.dat"), "new");

    std::vector<std::string> j = env.Journal();
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0].rfind("sync " + dir / "users.dat.tmp", 0), 0u) << j[0];
    EXPECT_EQ(j[1].rfind("rename " + dir / "users.dat.tmp", 0), 0u) << j[1];
    EXPECT_EQ(j[2], "syncfolder " + dir.Path().substr(0, dir.Path().size() - 1));
}

TEST(Env, AFailedStepOfAnAtomicWriteLeavesTheOldFileAndNoTemp) {
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename}) {
        twtest::TempDir dir;
        dir.Write("users.dat", "old");
        FaultInjectionEnv env;
        env.FailAt(op, 1, op == Op::Append ? ENOSPC : EIO);
        platform::FsStatus s = env.WriteFileAtomic(dir / "users.dat", "new");
        EXPECT_FALSE(s.ok()) << static_cast<int>(op);
        EXPECT_EQ(dir.Read("users.dat"), "old") << static_cast<int>(op);
        EXPECT_EQ(Entries(env, dir.Path()), std::vector<std::string>{"users.dat"}) << static_cast<int>(op);
    }
}

TEST(Env, AFolderSyncThatFailsIsReportedThoughTheNewFileIsInPlace) {
    twtest::TempDir dir;
    FaultInjectionEnv env;
    env.FailAt(Op::SyncFolder, 1, EIO);
    EXPECT_EQ(env.WriteFileAtomic(dir / "a", "x").error, EIO);
    EXPECT_EQ(dir.Read("a"), "x");
}

TEST(Env, FaultsCountCallsFromWhenTheyAreSet) {
    twtest::TempDir dir;
    FaultInjectionEnv env;
    ASSERT_TRUE(env.WriteFileAtomic(dir / "a", "1").ok());
    env.FailAt(Op::Rename, 2, EIO);  // the second rename from here on
    EXPECT_TRUE(env.WriteFileAtomic(dir / "b", "2").ok());
    EXPECT_EQ(env.WriteFileAtomic(dir / "c", "3").error, EIO);
    EXPECT_TRUE(env.WriteFileAtomic(dir / "d", "4").ok());
    EXPECT_EQ(env.Calls(Op::Rename), 4);

    env.FailAt(Op::Sync, 0, EIO);  // every call
    EXPECT_FALSE(env.WriteFileAtomic(dir / "e", "5").ok());
    EXPECT_FALSE(env.WriteFileAtomic(dir / "f", "6").ok());
    env.Clear();
    EXPECT_TRUE(env.WriteFileAtomic(dir / "g", "7").ok());
}

TEST(Env, ACopyOntoItsOwnFileFailsSoNoCallerUnlinksTheOnlyCopy) {
    twtest::TempDir dir;
    dir.Write("msg.dat", "body");
    ASSERT_EQ(::link((dir / "msg.dat").c_str(), (dir / "alias.dat").c_str()), 0);
    platform::Env& env = *platform::Env::Default();

    EXPECT_EQ(env.CopyFile(dir / "msg.dat", dir / "msg.dat").error, EINVAL);
    EXPECT_EQ(env.CopyFile(dir / "msg.dat", dir / "alias.dat").error, EINVAL);
    EXPECT_EQ(env.CopyFile(dir / "missing.dat", dir / "x.dat").error, ENOENT);
    EXPECT_FALSE(env.SameFile(dir / "missing.dat", dir / "x.dat"));

    ASSERT_TRUE(env.CopyFile(dir / "msg.dat", dir / "copy.dat").ok());
    EXPECT_EQ(dir.Read("copy.dat"), "body");
    EXPECT_FALSE(env.SameFile(dir / "msg.dat", dir / "copy.dat"));
}

TEST(Env, ExclusiveCreateRefusesATakenName) {
    twtest::TempDir dir;
    dir.Write("q.txo", "x");
    std::unique_ptr<platform::WritableFile> f;
    EXPECT_EQ(platform::Env::Default()->NewWritableFile(dir / "q.txo", platform::CreateMode::Exclusive, f).error,
              EEXIST);
    ASSERT_TRUE(platform::Env::Default()->NewWritableFile(dir / "q.txo", platform::CreateMode::Append, f).ok());
    ASSERT_TRUE(f->Append("y").ok());
    ASSERT_TRUE(f->Close().ok());
    EXPECT_EQ(dir.Read("q.txo"), "xy");
}

}  // namespace
