// Program directory and the one-copy-per-home lock.
#include "platform/process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace {

using platform::InstanceLock;

class HomeEnv {
public:
    HomeEnv() {
        const char* old = std::getenv("TARNWICK_HOME");
        if (old) saved_ = old;
    }
    ~HomeEnv() {
        if (saved_)
            ::setenv("TARNWICK_HOME", saved_->c_str(), 1);
        else
            ::unsetenv("TARNWICK_HOME");
    }

private:
    std::optional<std::string> saved_;
};

TEST(ProgramDir, FromEnvironmentOrExecutable) {
    HomeEnv guard;
    twtest::TempDir dir;
    const std::string bare = dir.Path().substr(0, dir.Path().size() - 1);

    ::setenv("TARNWICK_HOME", bare.c_str(), 1);
    EXPECT_EQ(platform::ResolveProgramDir(), dir.Path());  // slash added
    ::setenv("TARNWICK_HOME", (bare + "/sub/..").c_str(), 1);
    ::mkdir((dir / "sub").c_str(), 0755);
    EXPECT_EQ(platform::ResolveProgramDir(), dir.Path());  // one spelling per home
    ::setenv("TARNWICK_HOME", (dir / "not-yet").c_str(), 1);
    EXPECT_EQ(platform::ResolveProgramDir(), dir / "not-yet/");

    const std::string exeDir = platform::ExecutableDir();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '/');
    EXPECT_EQ(::access((exeDir + "test_platform").c_str(), X_OK), 0) << exeDir;
    ::setenv("TARNWICK_HOME", "", 1);  // empty counts as unset
    EXPECT_EQ(platform::ResolveProgramDir(), exeDir);
    ::unsetenv("TARNWICK_HOME");
    EXPECT_EQ(platform::ResolveProgramDir(), exeDir);
}

TEST(InstanceLock, SecondHolderOnSameHomeIsRefused) {
    twtest::TempDir home, other;
    InstanceLock first, second, elsewhere;
    ASSERT_TRUE(first.Acquire(home.Path())) << first.ErrorText();
    EXPECT_TRUE(first.Held());
    EXPECT_FALSE(second.Acquire(home.Path()));
    EXPECT_TRUE(second.ErrorText().empty());  // refused because of the other copy, not an error
    EXPECT_TRUE(elsewhere.Acquire(other.Path()));
    first.Release();
    EXPECT_TRUE(second.Acquire(home.Path().substr(0, home.Path().size() - 1)));  // without slash
}

// Another process, started fresh (exec), holds the lock through flock(1)
// until its standard input closes.
TEST(InstanceLock, AnotherProcessIsRefusedUntilTheHolderEnds) {
    twtest::TempDir home;
    const std::string lockFile = home.Path() + InstanceLock::FileName;
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::execl("/usr/bin/flock", "flock", "-n", lockFile.c_str(), "-c", "echo y; exec cat >/dev/null",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    char c = 0;
    ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    InstanceLock second;
    EXPECT_FALSE(second.Acquire(home.Path()));
    EXPECT_TRUE(second.ErrorText().empty());
    ::close(toChild[1]);  // the holder ends
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(second.Acquire(home.Path()));
    ::close(fromChild[0]);
}

// And the other way round: a process started while we hold it is refused.
TEST(InstanceLock, HeldLockRefusesAnotherProcess) {
    twtest::TempDir home;
    InstanceLock lock;
    ASSERT_TRUE(lock.Acquire(home.Path()));
    const std::string command =
        "/usr/bin/flock -n '" + home.Path() + InstanceLock::FileName + "' true";
    EXPECT_NE(std::system(command.c_str()), 0);
    lock.Release();
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(InstanceLock, UnusableFolderIsAnError) {
    InstanceLock lock;
    EXPECT_FALSE(lock.Acquire("/nonexistent/tarnwick-home/"));
    EXPECT_FALSE(lock.ErrorText().empty());
    EXPECT_FALSE(lock.Held());
}

}  // namespace
