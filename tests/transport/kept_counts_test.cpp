// Kept folder listings and the kept ports.dat: after every kind of change a
// writer (or a person) can make, the kept answer equals a fresh look at the
// disk.
#include "transport/folder_index.h"
#include "transport/ports_file.h"
#include "transport_test_util.h"

#include "platform/files.h"
#include "platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using twtest::TempHome;

smtp::FileCount Recount(const std::string& folder, const std::vector<std::string>& names) {
    smtp::FileCount c;
    for (const auto& name : names) {
        std::int64_t size = 0;
        if (!platform::FileSize(folder + name, size)) continue;
        ++c.count;
        c.bytes += size;
    }
    return c;
}

// Writes text over path as another program would, dated two seconds after
// the file was: a change no identity check can miss.
void WriteAsSomeoneElse(const std::string& path, const std::string& text) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    twtest::WriteBytes(path, text);
    struct timespec later[2] = {before.st_mtim, before.st_mtim};
    later[0].tv_sec += 2;
    later[1].tv_sec += 2;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
}

class KeptCountsTest : public TempHome {};

TEST_F(KeptCountsTest, KeptCountsEqualARecountAfterEveryChange) {
    const std::string in = smtp::StoreFolder(smtp::FolderIn), out = smtp::StoreFolder(smtp::FolderOut),
                      spam1 = smtp::StoreFolder(smtp::FolderSpam1);
    const std::vector<std::string> users = {"alice", "bob", "bob_x", "Carol"};
    // Listed before any change, so every later change reaches it as a note.
    smtp::KeptFolder(smtp::FolderIn).Files();
    smtp::KeptFolder(smtp::FolderOut).Files();
    smtp::KeptFolder(smtp::FolderSpam1).Files();
    smtp::KeptFolder(smtp::FolderOut).NamesWithExt(smtp::StateQueued);

    struct Step {
        const char* what;
        std::function<void()> run;
    } steps[] = {
        {"delivered", [&] { smtp::WriteMailboxFile(smtp::FolderIn, "alice", "100405123", "0123456789"); }},
        {"delivered again, same stamp", [&] { smtp::WriteMailboxFile(smtp::FolderIn, "alice", "100405123", "abc"); }},
        {"another user", [&] { smtp::WriteMailboxFile(smtp::FolderIn, "bob", "1", "x"); }},
        {"a user whose name extends another", [&] { smtp::WriteMailboxFile(smtp::FolderIn, "bob_x", "2", "yy"); }},
        {"upper-case name", [&] { twtest::WriteBytes(in + "CAROL_7.DAT", "zzzz"); }},
        {"POP3 marker is no message", [&] { twtest::WriteBytes(in + "alice_100405123.del", ""); }},
        {"rewritten longer", [&] { smtp::RewriteFile(in + "alice_100405123.dat", std::string(500, 'm')); }},
        {"grown in place", [&] {
             int fd = ::open((in + "bob_1.dat").c_str(), O_WRONLY | O_APPEND);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::write(fd, "more", 4), 4);
             ::close(fd);
         }},
        {"moved to spam", [&] { std::rename((in + "bob_1.dat").c_str(), (spam1 + "bob_1.dat").c_str()); }},
        {"fetched and deleted", [&] { std::remove((in + "alice_1004051231.dat").c_str()); }},
        {"copied back keeping the date", [&] { smtp::CopyFileKeepDate(spam1 + "bob_1.dat", in + "bob_9.dat"); }},
        {"a folder is no message", [&] { ::mkdir((in + "dave_1.dat").c_str(), 0755); }},
        {"queued", [&] { smtp::WriteQueueFile("q1", "queued text"); }},
        {"arriving", [&] { smtp::CreateQueueFile("q2", smtp::StateReceiving); }},
        {"arrival complete", [&] {
             twtest::WriteBytes(out + "q2.txo", "whole message");
             std::rename((out + "q2.txo").c_str(), (out + "q2.txt").c_str());
         }},
        {"sent marker", [&] { std::rename((out + "q1.txt").c_str(), (out + "q1.txs").c_str()); }},
        {"renamed in upper case", [&] { std::rename((out + "q2.txt").c_str(), (out + "Q2.TXT").c_str()); }},
        {"purged", [&] { platform::DeleteFiles(out, "*.tx*"); }},
    };
    for (const auto& step : steps) {
        step.run();
        for (const auto& user : users) {
            const auto listed = smtp::ListUserFiles(in, user);
            EXPECT_EQ(smtp::KeptFolder(smtp::FolderIn).CountUser(user), Recount(in, listed))
                << step.what << ": " << user;
            std::vector<std::pair<std::string, std::int64_t>> sized;
            for (const auto& name : listed) {
                std::int64_t size = -1;
                platform::FileSize(in + name, size);
                sized.emplace_back(name, size);
            }
            EXPECT_EQ(smtp::KeptFolder(smtp::FolderIn).UserFiles(user), sized) << step.what << ": " << user;
        }
        EXPECT_EQ(smtp::KeptFolder(smtp::FolderOut).CountSuffix(smtp::StateQueued),
                  Recount(out, platform::ListFiles(out, "*.txt")))
            << step.what;
        std::vector<std::string> queued = platform::ListFiles(out, "*.txt");
        std::sort(queued.begin(), queued.end());
        const auto& kept = smtp::KeptFolder(smtp::FolderOut).NamesWithExt(smtp::StateQueued);
        EXPECT_EQ(std::vector<std::string>(kept.begin(), kept.end()), queued) << step.what;
        EXPECT_EQ(smtp::KeptFolder(smtp::FolderOut).CountSuffix(smtp::StateSent),
                  Recount(out, platform::ListFiles(out, "*.txs")))
            << step.what;
        EXPECT_EQ(smtp::KeptFolder(smtp::FolderSpam1).CountSuffix(smtp::MailboxSuffix),
                  Recount(spam1, platform::ListFiles(spam1, "*.dat")))
            << step.what;
    }
}

TEST_F(KeptCountsTest, AFolderMadeAgainIsListedAgain) {
    const std::string spam2 = smtp::StoreFolder(smtp::FolderSpam2);
    twtest::WriteBytes(spam2 + "a_1.dat", "123");
    EXPECT_EQ(smtp::KeptFolder(smtp::FolderSpam2).CountSuffix(".dat").count, 1);
    EXPECT_EQ(smtp::KeptFolder(smtp::FolderSpam2).NamesWithExt(".DAT"), (std::set<std::string>{"a_1.dat"}));
    std::filesystem::remove_all(spam2);
    ::mkdir(spam2.c_str(), 0755);
    twtest::WriteBytes(spam2 + "b_1.dat", "12345");
    twtest::WriteBytes(spam2 + "b_2.dat", "1");
    EXPECT_EQ(smtp::KeptFolder(smtp::FolderSpam2).CountSuffix(".dat"), (smtp::FileCount{2, 6}));
    EXPECT_EQ(smtp::KeptFolder(smtp::FolderSpam2).NamesWithExt(".dat"),
              (std::set<std::string>{"b_1.dat", "b_2.dat"}));
}

// The kept ports.dat against the profile functions that opened the file for
// every call: after each step both files hold the same bytes.
TEST_F(KeptCountsTest, KeptPortsFileWritesWhatTheProfileFunctionsWrote) {
    const std::string keptPath = Path("kept.dat"), refPath = Path("ref.dat");
    smtp::PortsFile kept(keptPath);
    platform::IniFile ref(refPath);
    auto both = [&](const std::string& text) {
        twtest::WriteBytes(keptPath, text);
        twtest::WriteBytes(refPath, text);
    };
    // The writer of a whole record, as it was: erase, then append.
    auto refReplace = [&](const std::string& sec, const std::vector<std::pair<std::string, std::string>>& kv) {
        ref.EraseSection(sec);
        std::string text;
        platform::ReadFile(refPath, text);
        if (!text.empty() && text.back() != '\n') text += "\r\n";
        text += "[" + platform::IniSafe(sec) + "]\r\n";
        for (const auto& [k, v] : kv) text += platform::IniSafe(k) + "=" + platform::IniSafe(v) + "\r\n";
        platform::WriteFileAtomic(refPath, text);
    };
    struct Step {
        const char* what;
        std::function<void()> run;
    } steps[] = {
        {"first key of a new file", [&] { kept.WriteString("q1", "rcpt", "1"); ref.WriteString("q1", "rcpt", "1"); }},
        {"second key", [&] { kept.WriteString("q1", "To1", "<a@x>"); ref.WriteString("q1", "To1", "<a@x>"); }},
        {"key in other case keeps its spelling", [&] { kept.WriteString("Q1", "RCPT", "2"); ref.WriteString("Q1", "RCPT", "2"); }},
        {"second section after a blank line", [&] { kept.WriteString("q2", "From", "x"); ref.WriteString("q2", "From", "x"); }},
        {"value with line breaks", [&] {
             kept.WriteString("q2", "To1", "a\r\n[q1]\r\nrcpt=9"); ref.WriteString("q2", "To1", "a\r\n[q1]\r\nrcpt=9");
         }},
        {"whole record replaced", [&] { kept.ReplaceSection("q1", {{"rcpt", "3"}, {"To1", "<b>"}}); refReplace("q1", {{"rcpt", "3"}, {"To1", "<b>"}}); }},
        {"section erased", [&] { kept.EraseSection("Q2"); ref.EraseSection("Q2"); }},
        {"edited by hand: duplicates, comments, a BOM, LF ends",
         [&] { both("\xEF\xBB\xBF; note\n[q1]\nrcpt = \"4\"\n\n[q3]\nGoes=1\n[Q1]\nrcpt=5\n[q4]"); }},
        {"key inserted after the last key", [&] { kept.WriteString("q1", "Good", "Yes"); ref.WriteString("q1", "Good", "Yes"); }},
        {"several keys at once", [&] {
             kept.WriteStrings("q1", {{"Good", ""}, {"Bad", "Yes"}, {"Bad2", "<c>"}, {"rcpt", "7"}});
             for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
                      {"Good", ""}, {"Bad", "Yes"}, {"Bad2", "<c>"}, {"rcpt", "7"}})
                 ref.WriteString("q1", k, v);
         }},
        {"empty section gets its first key", [&] { kept.WriteString("q4", "Bad", ""); ref.WriteString("q4", "Bad", ""); }},
        {"every copy erased", [&] { kept.EraseSection("q1"); ref.EraseSection("q1"); }},
        {"replaced without a last line end", [&] {
             both("[q3]\r\nGoes=1");
             kept.ReplaceSection("q5", {{"rcpt", "0"}}); refReplace("q5", {{"rcpt", "0"}});
         }},
        {"everything erased", [&] {
             kept.EraseSections({"q3", "q5"});
             ref.EraseSection("q3"); ref.EraseSection("q5");
         }},
    };
    for (const auto& step : steps) {
        step.run();
        EXPECT_EQ(twtest::ReadBytes(keptPath), twtest::ReadBytes(refPath)) << step.what;
        for (const auto& sec : ref.ReadSections())
            for (const auto& key : {"rcpt", "To1", "Goes", "Good", "From"})
                EXPECT_EQ(kept.ReadString(sec, key, "-"), ref.ReadString(sec, key, "-")) << step.what << " " << sec;
        EXPECT_EQ(kept.ReadSections(), ref.ReadSections()) << step.what;
    }
}

TEST_F(KeptCountsTest, KeptPortsFileIsParsedOnlyWhenTheFileChanged) {
    smtp::PortsFile& ports = smtp::Ports();
    ASSERT_TRUE(smtp::WritePortsSection("q1", {{"rcpt", "1"}, {"To1", "<a@x>"}}));
    const auto parses = ports.Parses(), writes = ports.Writes();
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "<a@x>");
        EXPECT_EQ(smtp::ReadPortsValue("nothing", "To1"), "");
    }
    // Writing a value it already holds leaves the file alone; several
    // values go in one write.
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::string("rcpt"), "1"));
    EXPECT_EQ(ports.Writes(), writes);
    ASSERT_TRUE(smtp::WritePortsValues("q1", {{"Good", ""}, {"Bad", ""}, {"Bad1", ""}}));
    EXPECT_EQ(ports.Writes(), writes + 1);
    EXPECT_EQ(ports.Parses(), parses);

    // Someone else's change is seen at the next read, even one that keeps
    // the file's size and inode.
    std::string text = twtest::ReadBytes(smtp::PortsFileName());
    text.replace(text.find("<a@x>"), 5, "<b@y>");
    WriteAsSomeoneElse(smtp::PortsFileName(), text);
    EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "<b@y>");
    EXPECT_EQ(ports.Parses(), parses + 1);
    std::remove(smtp::PortsFileName().c_str());
    EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "");
}

// A relay run's marks and erased records stay in memory until the next
// write of anyone or the end of the run: the file then holds what writing
// each at once would have left, in one write instead of one per change.
TEST_F(KeptCountsTest, ChangesLeftForLaterGoWithTheNextWrite) {
    const std::string keptPath = Path("kept.dat"), refPath = Path("ref.dat");
    smtp::PortsFile kept(keptPath);
    platform::IniFile ref(refPath);
    kept.ReplaceSection("q1", {{"rcpt", "1"}, {"To1", "<a@x>"}});
    kept.ReplaceSection("q2", {{"rcpt", "1"}, {"To1", "<b@y>"}});
    twtest::WriteBytes(refPath, twtest::ReadBytes(keptPath));
    const std::string before = twtest::ReadBytes(keptPath);
    const auto writes = kept.Writes();

    kept.WriteStringsLater("q1", {{"Good", ""}, {"Bad", ""}});
    kept.WriteStringsLater("q1", {{"Good", "Yes"}});
    kept.EraseSectionLater("Q2");
    for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{{"Good", ""}, {"Bad", ""}, {"Good", "Yes"}})
        ref.WriteString("q1", k, v);
    ref.EraseSection("q2");
    // Nothing written yet, but reads answer from the changes.
    EXPECT_EQ(kept.Writes(), writes);
    EXPECT_EQ(twtest::ReadBytes(keptPath), before);
    EXPECT_EQ(kept.ReadString("q1", "Good", "-"), "Yes");
    EXPECT_FALSE(kept.SectionExists("q2"));

    // Another writer's change carries them along.
    kept.WriteString("q3", "rcpt", "0");
    ref.WriteString("q3", "rcpt", "0");
    EXPECT_EQ(kept.Writes(), writes + 1);
    EXPECT_EQ(twtest::ReadBytes(keptPath), twtest::ReadBytes(refPath));

    // The end of a run writes what is left, once; with nothing left, nothing.
    kept.EraseSectionLater("q3");
    ref.EraseSection("q3");
    EXPECT_TRUE(kept.FlushAll());
    EXPECT_TRUE(kept.FlushAll());
    EXPECT_EQ(kept.Writes(), writes + 2);
    EXPECT_EQ(twtest::ReadBytes(keptPath), twtest::ReadBytes(refPath));
}

// New queue records are appended to the file instead of rewriting it, but
// the bytes after each step are those a whole rewrite leaves; anything else
// (a mark in an older record, a hand edit, a failed append) makes the next
// write a whole one again.
TEST_F(KeptCountsTest, NewRecordsAreAppendedAsAWholeWriteWouldLeaveThem) {
    const std::string keptPath = Path("kept.dat"), refPath = Path("ref.dat");
    platform::FaultInjectionEnv env;
    smtp::PortsFile kept(keptPath);
    kept.SetEnv(&env);
    platform::IniFile ref(refPath);
    auto record = [](const std::string& id) {
        return std::vector<std::pair<std::string, std::string>>{{"rcpt", "1"}, {"To1", "<" + id + "@far.example>"}};
    };
    auto refAdd = [&](const std::string& id) {
        std::string text;
        platform::ReadFile(refPath, text);
        text += "[" + id + "]\r\n";
        for (const auto& [k, v] : record(id)) text += k + "=" + v + "\r\n";
        twtest::WriteBytes(refPath, text);
    };
    auto same = [&](const char* what) {
        EXPECT_EQ(twtest::ReadBytes(keptPath), twtest::ReadBytes(refPath)) << what;
        smtp::PortsFile fresh(keptPath);
        EXPECT_EQ(fresh.ReadSections(), ref.ReadSections()) << what;
    };

    ASSERT_TRUE(kept.ReplaceSection("q1", record("q1")));  // the first write is whole
    refAdd("q1");
    ASSERT_TRUE(kept.ReplaceSection("q2", record("q2")));
    refAdd("q2");
    const auto v3 = kept.StageSection("q3", record("q3"));
    kept.StageSection("q4", record("q4"));
    ASSERT_TRUE(kept.Flush(v3));  // both in one append
    refAdd("q3");
    refAdd("q4");
    EXPECT_EQ(kept.Appends(), 2u);
    same("appended records");

    // A relay mark changes an older record: the file is written whole.
    kept.WriteStringsLater("q1", {{"Good", "Yes"}});
    ref.WriteString("q1", "Good", "Yes");
    ASSERT_TRUE(kept.ReplaceSection("q5", record("q5")));
    refAdd("q5");
    EXPECT_EQ(kept.Appends(), 2u);
    same("mark and record");
    ASSERT_TRUE(kept.ReplaceSection("q6", record("q6")));
    refAdd("q6");
    EXPECT_EQ(kept.Appends(), 3u);
    same("appended after a whole write");

    // A record added by hand is kept and the next write is whole.
    refAdd("hand");
    WriteAsSomeoneElse(keptPath, twtest::ReadBytes(refPath));
    ASSERT_TRUE(kept.ReplaceSection("q7", record("q7")));
    refAdd("q7");
    EXPECT_EQ(kept.Appends(), 3u);
    same("after a hand edit");

    // An append whose sync fails may leave part of it: the record is taken
    // back, as a failed message's is, and that write replaces the file.
    ASSERT_TRUE(kept.ReplaceSection("q8", record("q8")));
    refAdd("q8");
    env.FailAt(platform::FaultInjectionEnv::Op::Sync, 1, EIO);
    EXPECT_FALSE(kept.ReplaceSection("q9", record("q9")));
    EXPECT_TRUE(kept.EraseSection("q9"));
    same("after a failed append");
    ASSERT_TRUE(kept.ReplaceSection("q10", record("q10")));
    refAdd("q10");
    same("appending again");
}

}  // namespace
