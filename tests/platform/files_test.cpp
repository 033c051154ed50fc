// File helpers: masks, case-insensitive names, copies that keep the date.
#include "platform/files.h"
#include "platform/env.h"
#include "platform/inifile.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono;
using twtest::TempDir;

TEST(Files, MatchesMask) {
    struct Case {
        const char* name;
        const char* mask;
        bool match;
    };
    const Case cases[] = {
        {"bob_1234.dat", "bob_*.dat", true},
        {"BOB_1234.DAT", "bob_*.dat", true},      // case ignored
        {"bobby_1234.dat", "bob_*.dat", false},   // another user's mailbox
        {"bob_.dat", "bob_*.dat", true},          // "*" may be empty
        {"bob_1.dat.new", "bob_*.dat", false},
        {"x.txt", "*.txt", true},
        {"x.txo", "*.txt", false},
        {"a.b.txt", "*.txt", true},
        {"noext", "*.*", true},
        {"", "*", true},
        {"a1.tmp", "a?.tmp", true},
        {"a.tmp", "a?.tmp", false},               // "?" is exactly one character
        {"a12.tmp", "a?.tmp", false},
        {"[x].dat", "[x].*", true},               // brackets are plain characters
        {"abcabcabd", "*abd", true},              // needs backtracking
        {"aXbXc", "a*b*c", true},
        {"aXbXd", "a*b*c", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::MatchesMask(c.name, c.mask), c.match) << c.name << " ~ " << c.mask;
}

TEST(Files, ListAndDeleteByMask) {
    TempDir dir;
    for (const char* n : {"b_2.dat", "B_1.dat", "a_9.dat", "b_3.txt", ".hidden.dat"}) dir.Write(n, "x");
    ASSERT_EQ(::mkdir((dir / "b_dir.dat").c_str(), 0755), 0);  // folders are not files
    EXPECT_EQ(platform::ListFiles(dir.Path(), "b_*.dat"), (std::vector<std::string>{"B_1.dat", "b_2.dat"}));
    EXPECT_EQ(platform::ListFiles(dir.Path(), "*.*"),
              (std::vector<std::string>{".hidden.dat", "a_9.dat", "B_1.dat", "b_2.dat", "b_3.txt"}));
    EXPECT_TRUE(platform::ListFiles(dir / "missing", "*").empty());

    EXPECT_TRUE(platform::DeleteFiles(dir.Path(), "B_*.DAT"));
    EXPECT_EQ(platform::ListFiles(dir.Path(), "*"),
              (std::vector<std::string>{".hidden.dat", "a_9.dat", "b_3.txt"}));
    EXPECT_TRUE(platform::FolderExists(dir / "b_dir.dat"));
    EXPECT_TRUE(platform::DeleteFiles(dir / "missing", "*"));
}

TEST(Files, ResolveNoCase) {
    TempDir dir;
    ASSERT_TRUE(platform::CreateFolder(dir / "Spam1"));
    ASSERT_TRUE(platform::CreateFolder(dir / "Addins"));
    dir.Write("Spam1/Bob_1.dat", "x");
    dir.Write("Spam1/bob_2.dat", "y");
    dir.Write("Spam1/BOB_2.dat", "z");
    struct Case {
        const char* relative;
        const char* expected;
    };
    const Case cases[] = {
        {"spam1", "Spam1"},
        {"SPAM1/bob_1.dat", "Spam1/Bob_1.dat"},
        {"spam1/BOB_2.dat", "Spam1/BOB_2.dat"},    // the exact spelling wins
        {"spam1/bob_2.dat", "Spam1/bob_2.dat"},
        {"addins/", "Addins/"},
        {"spam1/new.dat", "Spam1/new.dat"},        // not there yet: kept as written
        {"Spam2/x.dat", "Spam2/x.dat"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::ResolveNoCase(dir.Path(), c.relative), dir.Path() + c.expected) << c.relative;
    // Without the trailing slash on the folder.
    std::string bare = dir.Path().substr(0, dir.Path().size() - 1);
    EXPECT_EQ(platform::ResolveNoCase(bare, "SPAM1"), dir / "Spam1");
}

TEST(Files, CopyKeepsContentAndDate) {
    TempDir dir;
    static const char kBody[] = "Subject: x\r\n\r\nbody\0with nul\r\n.\r\n";
    const std::string body(kBody, sizeof kBody - 1);
    dir.Write("out.txt", body);
    const auto stamp = system_clock::time_point(seconds(1100000000)) + milliseconds(250);
    ASSERT_TRUE(platform::SetFileTime(dir / "out.txt", stamp));

    ASSERT_TRUE(platform::CopyFileKeepDate(dir / "out.txt", dir / "in.dat"));
    EXPECT_EQ(dir.Read("in.dat"), body);
    system_clock::time_point copied;
    ASSERT_TRUE(platform::GetFileTime(dir / "in.dat", copied));
    EXPECT_EQ(duration_cast<milliseconds>(copied.time_since_epoch()).count(),
              duration_cast<milliseconds>(stamp.time_since_epoch()).count());

    // Over an existing file: replaced whole.
    dir.Write("old.dat", std::string(1000, 'o'));
    ASSERT_TRUE(platform::CopyFileKeepDate(dir / "out.txt", dir / "old.dat"));
    EXPECT_EQ(dir.Read("old.dat"), body);

    // Onto itself, directly or through another name of the same file.
    EXPECT_FALSE(platform::CopyFileKeepDate(dir / "out.txt", dir / "out.txt"));
    ASSERT_EQ(::link((dir / "out.txt").c_str(), (dir / "alias.txt").c_str()), 0);
    EXPECT_FALSE(platform::CopyFileKeepDate(dir / "out.txt", dir / "alias.txt"));
    EXPECT_EQ(dir.Read("out.txt"), body);

    // A missing source leaves the target alone, and nothing is left over.
    EXPECT_FALSE(platform::CopyFileKeepDate(dir / "missing", dir / "in.dat"));
    EXPECT_EQ(dir.Read("in.dat"), body);
    EXPECT_FALSE(platform::CopyFileKeepDate(dir / "out.txt", dir / "no/such/dir.dat"));
    EXPECT_EQ(platform::ListFiles(dir.Path(), "*tmp*").size(), 0u);
}

TEST(Files, CreateFolderWithParents) {
    TempDir dir;
    std::string error;
    EXPECT_TRUE(platform::CreateFolder(dir / "a/b/c", &error)) << error;
    EXPECT_TRUE(platform::FolderExists(dir / "a/b/c"));
    EXPECT_TRUE(platform::CreateFolder(dir / "a/b/c/", &error));  // already there, trailing slash
    dir.Write("file", "x");
    EXPECT_FALSE(platform::CreateFolder(dir / "file", &error));
    EXPECT_NE(error.find("file"), std::string::npos);
    error.clear();
    EXPECT_FALSE(platform::CreateFolder(dir / "file/sub", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(platform::CreateFolder("", &error));
}

TEST(Files, SizeAndExistence) {
    TempDir dir;
    dir.Write("five", "12345");
    dir.Write("empty", "");
    std::int64_t size = -1;
    EXPECT_TRUE(platform::FileSize(dir / "five", size));
    EXPECT_EQ(size, 5);
    EXPECT_TRUE(platform::FileSize(dir / "empty", size));
    EXPECT_EQ(size, 0);
    EXPECT_FALSE(platform::FileSize(dir / "missing", size));
    EXPECT_FALSE(platform::FileSize(dir.Path(), size));  // a folder has no file size
    EXPECT_TRUE(platform::FileExists(dir / "five"));
    EXPECT_FALSE(platform::FileExists(dir.Path()));
    EXPECT_TRUE(platform::FolderExists(dir.Path()));
}

TEST(Files, AtomicWriteReplacesWholeAndReadsBack) {
    TempDir dir;
    ASSERT_TRUE(platform::WriteFileAtomic(dir / "ports.dat", "old"));
    ASSERT_TRUE(platform::WriteFileAtomic(dir / "ports.dat", std::string("new\0data", 8)));
    std::string data;
    ASSERT_TRUE(platform::ReadFile(dir / "ports.dat", data));
    EXPECT_EQ(data, std::string("new\0data", 8));
    EXPECT_EQ(platform::ListFiles(dir.Path(), "*"), (std::vector<std::string>{"ports.dat"}));
    EXPECT_FALSE(platform::WriteFileAtomic(dir / "no/such/ports.dat", "x"));
    EXPECT_FALSE(platform::ReadFile(dir / "missing", data));
    EXPECT_TRUE(data.empty());
}

}  // namespace

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01000000;
}

// Sets the umask for the object's life.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

// Everything the program creates is its owner's alone, whichever way it is
// created and whatever the umask; a hard link is the file it names.
TEST(Files, CreatedFilesAndFoldersArePrivateWhateverTheUmask) {
    for (mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        ScopedUmask scoped(mask);
        TempDir dir;
        platform::Env* env = platform::Env::Default();
        struct Case {
            const char* name;
            std::function<bool(const std::string&)> create;
            unsigned mode;
        } cases[] = {
            {"atomic", [](const std::string& p) { return platform::WriteFileAtomic(p, "x"); }, 0600},
            {"copy", [&](const std::string& p) { return platform::CopyFileKeepDate(dir / "atomic", p); }, 0600},
            {"append", [&](const std::string& p) {
                 std::unique_ptr<platform::WritableFile> f;
                 return env->NewWritableFile(p, platform::CreateMode::Append, f).ok() && f->Close().ok();
             }, 0600},
            {"ini", [](const std::string& p) { return platform::IniFile(p).WriteString("S", "K", "v"); }, 0600},
            {"open", [](const std::string& p) {
                 int fd = platform::OpenPrivate(p, O_WRONLY | O_CLOEXEC);
                 return fd >= 0 && ::close(fd) == 0;
             }, 0600},
            {"folder/with/parents", [](const std::string& p) { return platform::CreateFolder(p); }, 0700},
            {"envfolder", [&](const std::string& p) { return env->CreateFolder(p).ok(); }, 0700},
            {"link", [&](const std::string& p) { return env->Link(dir / "atomic", p).ok(); }, 0600},
        };
        for (const auto& c : cases) {
            ASSERT_TRUE(c.create(dir / c.name)) << c.name;
            EXPECT_EQ(ModeOf(dir / c.name), c.mode) << c.name;
        }
        EXPECT_EQ(ModeOf(dir / "folder"), 0700u);
        EXPECT_EQ(ModeOf(dir / "folder/with"), 0700u);
        for (const auto& name : platform::ListFiles(dir.Path(), "*")) EXPECT_EQ(name.find(".tmp"), std::string::npos);
    }
}

TEST(Files, OpenPrivateLeavesAnExistingFileAlone) {
    TempDir dir;
    dir.Write("shared", "x");
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 0640), 0);
    int fd = platform::OpenPrivate(dir / "shared", O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(ModeOf(dir / "shared"), 0640u);
    EXPECT_EQ(dir.Read("shared"), "x");
    EXPECT_LT(platform::OpenPrivate(dir / "shared", O_WRONLY | O_EXCL | O_CLOEXEC), 0);
}

TEST(Files, TightenModesTakesOthersAccessAndSaysWhat) {
    TempDir dir;
    ASSERT_TRUE(platform::CreateFolder(dir / "in/deeper"));
    dir.Write("in/alice_1.dat", "mail");
    dir.Write("in/deeper/x", "mail");
    dir.Write("outside", "x");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "in/link").c_str()), 0);
    struct Entry {
        const char* name;
        unsigned before, after;
    } entries[] = {
        {"in", 0755, 0700}, {"in/deeper", 0777, 0700}, {"in/alice_1.dat", 0644, 0600},
        {"in/deeper/x", 0600, 0600}, {"outside", 0644, 0644},  // reached only through a link
    };
    for (const auto& e : entries) ASSERT_EQ(::chmod((dir / e.name).c_str(), e.before), 0) << e.name;
    std::vector<std::string> changed;
    platform::TightenModes(dir / "in", changed);
    for (const auto& e : entries) EXPECT_EQ(ModeOf(dir / e.name), e.after) << e.name;
    std::vector<std::string> said = {dir / "in: 0755 -> 0700", dir / "in/alice_1.dat: 0644 -> 0600",
                                     dir / "in/deeper: 0777 -> 0700"};
    std::sort(changed.begin(), changed.end());
    std::sort(said.begin(), said.end());
    EXPECT_EQ(changed, said);
    changed.clear();
    platform::TightenModes(dir / "in", changed);
    EXPECT_TRUE(changed.empty());
}

}  // namespace
