// Mail store: queue ids, Message-ID insertion, names that never collide,
// ports.dat records, user-file matching and the copy and rewrite helpers.
#include "transport/smtp.h"
#include "transport_test_util.h"

#include "platform/inifile.h"

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

using twtest::TempHome;

std::string Read(const std::string& path) {
    std::string data;
    EXPECT_TRUE(platform::ReadFile(path, data)) << path;
    return data;
}

void Write(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

class StoreTest : public TempHome {};

TEST_F(StoreTest, MakeQueueIdTakesLettersAndDigitsOfTheFirstBracketedText) {
    struct Case {
        std::string chunk, id;
    } cases[] = {
        {"Message-ID: <pc12.lan>\r\n", "pc12lan100405123"},
        {"<pc12.lan>", "pc12lan100405123"},
        // No "<": the first 50 characters, upper case dropped.
        {"From: Someone At Work\r\nSubject: Hello\r\n", "romomeonetorkubjectello100405123"},
        {"x <AbC.12@Host.EXAMPLE> <later>", "b12ost100405123"},
        // At most 50 characters after the "<", even without a ">".
        {"<" + std::string(60, 'a'), std::string(50, 'a') + "100405123"},
        {"", "100405123"},
    };
    for (const auto& c : cases) EXPECT_EQ(TFrmSMTP::MakeQueueId(c.chunk), c.id) << c.chunk;
}

TEST_F(StoreTest, StampsFollowTheClock) {
    EXPECT_EQ(smtp::TimeStamp(), "100405123");
    EXPECT_EQ(smtp::DateTimeStamp(), "20261207100405123");
    std::string web = smtp::WebQueueId();
    ASSERT_EQ(web.size(), 22u);
    EXPECT_EQ(web.substr(0, 17), "20261207100405123");
    EXPECT_EQ(web.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(StoreTest, AddMessageIdInsertsOnceAndKeepsEveryOtherByte) {
    const std::string idLine = "Message-ID: <20261207100405123";
    struct Case {
        std::string name, text;
        bool adds;
    } cases[] = {
        {"plain", "From: a@b\r\nSubject: x\r\n\r\nbody\rwith lone CR\nand LF\r\n.\r\n", true},
        {"upper", "MESSAGE-ID: <x@y>\r\nSubject: x\r\n\r\nbody\r\n", false},
        {"mixed", "Subject: x\r\nmessage-Id:<x@y>\r\n\r\nbody\r\n", false},
        {"in body only", "Subject: x\r\n\r\nMessage-ID: <in@body>\r\n", true},
        {"no empty line", "Subject: x\r\nFrom: y\r\n", false},
        {"empty file", "", false},
        {"empty header", "\r\nbody\r\n", true},
        {"header longer than a read", "X-Long: " + std::string(70000, 'a') + "\r\nB: 1\r\n\r\nb\r\n", true},
        {"CR LF across reads", std::string(65535, 'h') + "\r\n\r\nb\r\n", true},
    };
    for (const auto& c : cases) {
        std::string file = Path("out/m.txt");
        Write(file, c.text);
        ASSERT_TRUE(TFrmSMTP::AddMessageId(file)) << c.name;
        std::string after = Read(file);
        if (!c.adds) {
            EXPECT_EQ(after, c.text) << c.name;
            continue;
        }
        size_t at = after.find(idLine);
        ASSERT_NE(at, std::string::npos) << c.name;
        size_t end = after.find("\r\n", at);
        std::string line = after.substr(at, end - at);
        // 17 digits of date and time, 6 random digits, then this machine's
        // name: a valid id has both sides of an "@".
        EXPECT_EQ(line.substr(std::string("Message-ID: <").size() + 23), "@" + smtp::MessageIdHost() + ">") << line;
        EXPECT_EQ(after.substr(0, at) + after.substr(end + 2), c.text) << c.name;
        EXPECT_EQ(after.substr(end + 2, 2), "\r\n") << "inserted right before the empty line";
        ASSERT_TRUE(TFrmSMTP::AddMessageId(file));
        EXPECT_EQ(Read(file), after) << "a second call adds nothing";
    }
}

TEST_F(StoreTest, TwoIdsInOneMillisecondGiveTwoFiles) {
    std::string id1 = smtp::CreateQueueFile("pc12lan100405123", smtp::StateReceiving);
    std::string id2 = smtp::CreateQueueFile("pc12lan100405123", smtp::StateReceiving);
    EXPECT_EQ(id1, "pc12lan100405123");
    ASSERT_FALSE(id2.empty());
    EXPECT_NE(id1, id2);
    EXPECT_EQ(access(Path("out/" + id1 + ".txo").c_str(), F_OK), 0);
    EXPECT_EQ(access(Path("out/" + id2 + ".txo").c_str(), F_OK), 0);

    // Any state of the id, a mailbox copy or a queue record holds it.
    Write(Path("out/a1.bad"), "x");
    Write(Path("in/bob_b1.dat"), "x");
    ASSERT_TRUE(smtp::WritePortsValue("c1", std::string("rcpt"), "1"));
    EXPECT_EQ(smtp::CreateQueueFile("a1", smtp::StateQueued), "a11");
    EXPECT_EQ(smtp::CreateQueueFile("b1", smtp::StateQueued), "b11");
    EXPECT_EQ(smtp::CreateQueueFile("c1", smtp::StateQueued), "c11");

    std::string q1 = smtp::WriteQueueFile("20261207100405123", "first");
    std::string q2 = smtp::WriteQueueFile("20261207100405123", "second");
    ASSERT_FALSE(q1.empty());
    ASSERT_FALSE(q2.empty());
    EXPECT_NE(q1, q2);
    EXPECT_EQ(Read(Path("out/" + q1 + ".txt")), "first");
    EXPECT_EQ(Read(Path("out/" + q2 + ".txt")), "second");
}

TEST_F(StoreTest, MailboxWritersNeverOverwrite) {
    std::string stamp = smtp::TimeStamp();
    std::string a = smtp::WriteMailboxFile(smtp::FolderIn, "bob", stamp, "one");
    std::string b = smtp::WriteMailboxFile(smtp::FolderIn, "bob", stamp, "two");
    std::string c = smtp::WriteMailboxFile("spam1", "bob", stamp, "three");
    EXPECT_EQ(a, Path("in/bob_100405123.dat"));
    EXPECT_EQ(b, Path("in/bob_1004051231.dat"));
    EXPECT_EQ(c, Path("Spam1/bob_100405123.dat")) << "folder found whatever its spelling";
    EXPECT_EQ(Read(a), "one");
    EXPECT_EQ(Read(b), "two");
    EXPECT_EQ(smtp::ListUserFiles(smtp::StoreFolder("IN"), "bob").size(), 2u);
    // No temp file is left behind.
    EXPECT_EQ(smtp::ListFiles(smtp::StoreFolder("in"), ".tmp").size(), 0u);
}

TEST_F(StoreTest, UserFilesMatchExactlyOneUser) {
    struct Case {
        const char* file;
        const char* user;
        bool match;
    } cases[] = {
        {"bob_123.dat", "bob", true},
        {"Bob_123.DAT", "bob", true},
        {"bob_x_123.dat", "bob", false},
        {"bob_x_123.dat", "bob_x", true},
        {"bobby_123.dat", "bob", false},
        {"bob_.dat", "bob", false},
        {"bob_123.dat.new", "bob", false},
        {"bob_123.del", "bob", false},
        {"bob123.dat", "bob", false},
        {"bob_123.dat", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(smtp::IsUserFile(c.file, c.user), c.match) << c.file << " / " << c.user;

    for (const char* f : {"bob_1.dat", "bob_x_2.dat", "bob_3.dat", "alice_4.dat", "bob_5.del"})
        Write(Path(std::string("in/") + f), "x");
    mkdir(Path("in/bob_6.dat").c_str(), 0755);  // a folder is never a message
    EXPECT_EQ(smtp::ListUserFiles(smtp::StoreFolder("in"), "bob"), (std::vector<std::string>{"bob_1.dat", "bob_3.dat"}));
    EXPECT_EQ(smtp::ListUserFiles(smtp::StoreFolder("in"), "bob_x"), (std::vector<std::string>{"bob_x_2.dat"}));
}

TEST_F(StoreTest, PortsDatRecords) {
    EXPECT_EQ(smtp::ReadPortsValue("q1", "rcpt"), "");
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::string("rcpt"), "2"));
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::string("To1"), "<a@x>"));
    ASSERT_TRUE(smtp::WritePortsValue("q2", std::string("To1"), "<b@x>\r\n[q1]\r\nrcpt=9"));
    EXPECT_EQ(smtp::ReadPortsValue("Q1", "RCPT"), "2") << "keys and sections ignore case";
    EXPECT_EQ(smtp::ReadPortsValue("q1", "rcpt"), "2") << "a value never becomes lines of the file";
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::string("To1"), ""));
    EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "");
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::nullopt));
    EXPECT_EQ(smtp::ReadPortsValue("q1", "rcpt"), "");
    EXPECT_NE(smtp::ReadPortsValue("q2", "To1"), "");
}

TEST_F(StoreTest, WholeQueueRecordInOneWrite) {
    ASSERT_TRUE(smtp::WritePortsValue("q1", std::string("Goes"), "3"));
    ASSERT_TRUE(smtp::WritePortsValue("q2", std::string("rcpt"), "1"));
    // A file written by hand may lack the last line end.
    std::string text;
    ASSERT_TRUE(platform::ReadFile(smtp::PortsFileName(), text));
    Write(smtp::PortsFileName(), text.substr(0, text.size() - 2));
    ASSERT_TRUE(smtp::WritePortsSection("Q1", {{"rcpt", "2"}, {"To1", "<a@x>"}, {"To2", "<b@x>\r\n[q2]\r\nrcpt=9"}}));
    EXPECT_EQ(smtp::ReadPortsValue("q1", "Goes"), "") << "the old record is replaced whole";
    EXPECT_EQ(smtp::ReadPortsValue("q1", "rcpt"), "2");
    EXPECT_EQ(smtp::ReadPortsValue("q1", "To1"), "<a@x>");
    EXPECT_EQ(smtp::ReadPortsValue("q2", "rcpt"), "1") << "other records kept, values stay one line";
    ASSERT_TRUE(smtp::WritePortsSection("q3", {}));
    EXPECT_TRUE(platform::IniFile(smtp::PortsFileName()).SectionExists("q3"));
}

TEST_F(StoreTest, ReadPortsValueWithEmptySectionOpensNoFile) {
    // A file that answers for an empty section name if anyone asks it.
    Write(smtp::PortsFileName(), "[]\r\nuser=intruder\r\n[ ]\r\nuser=intruder\r\n");
    EXPECT_EQ(smtp::ReadPortsValue("", "user"), "");
    // A folder in place of ports.dat would make any open fail loudly.
    unlink(smtp::PortsFileName().c_str());
    mkdir(smtp::PortsFileName().c_str(), 0755);
    EXPECT_EQ(smtp::ReadPortsValue("", "user"), "");
    EXPECT_FALSE(smtp::WritePortsValue("", std::string("user"), "x"));
}

TEST_F(StoreTest, StripAngleBrackets) {
    EXPECT_EQ(smtp::StripAngleBrackets("<a@b>"), "a@b");
    EXPECT_EQ(smtp::StripAngleBrackets("\"X\" <<a@b>>"), "\"X\" a@b");
    EXPECT_EQ(smtp::StripAngleBrackets(""), "");
}

TEST_F(StoreTest, CopyFileKeepDate) {
    std::string src = Path("out/q.txt"), dst = Path("in/bob_q.dat");
    Write(src, "message\r\n.\r\n");
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), old, 0), 0);
    Write(dst, "old target");
    ASSERT_TRUE(smtp::CopyFileKeepDate(src, dst));
    EXPECT_EQ(Read(dst), "message\r\n.\r\n");
    struct stat st {};
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);

    // Onto itself: refused, and the file is not emptied.
    EXPECT_FALSE(smtp::CopyFileKeepDate(src, Path("out/../out/q.txt")));
    EXPECT_EQ(Read(src), "message\r\n.\r\n");

    // Missing source: a failure, and the target stays.
    EXPECT_FALSE(smtp::CopyFileKeepDate(Path("out/none.txt"), dst));
    EXPECT_EQ(Read(dst), "message\r\n.\r\n");

    // A copy that cannot be written leaves nothing behind; one that cannot
    // be read leaves the target as it was.
    EXPECT_FALSE(smtp::CopyFileKeepDate(src, Path("nofolder/x.dat")));
    EXPECT_FALSE(smtp::CopyFileKeepDate(Path("Deleted"), dst));
    EXPECT_EQ(Read(dst), "message\r\n.\r\n");
    EXPECT_TRUE(smtp::ListFiles(Path("in/"), ".tmp").empty());
}

TEST_F(StoreTest, LinesSplitOnCrLfOnlyAndJoinBack) {
    for (std::string text : {std::string(""), std::string("a"), std::string("a\r\n"), std::string("\r\n\r\n"),
                             std::string("a\rb\nc\r\n\n\r"), std::string("x\r\n.\r\n"), std::string("\r")}) {
        EXPECT_EQ(smtp::JoinLines(smtp::SplitLines(text)), text);
    }
    EXPECT_EQ(smtp::SplitLines("a\nb\r\nc").size(), 2u);
}

TEST_F(StoreTest, RewriteReplacesWholeAndLeavesNoNewFile) {
    std::string file = Path("out/r.txt");
    Write(file, "old");
    ASSERT_TRUE(smtp::RewriteFile(file, "new\r\n"));
    EXPECT_EQ(Read(file), "new\r\n");
    EXPECT_NE(access((file + ".new").c_str(), F_OK), 0);
}

TEST_F(StoreTest, EndMarkerRule) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a\r\n.\r\n", "a\r\n.\r\n"},
        {"a\r\n", "a\r\n\r\n.\r\n"},
        {"a", "a\r\n.\r\n"},
        {"\r\n.\r\n", "\r\n.\r\n\r\n.\r\n"},  // five bytes are not enough
    };
    for (const auto& c : cases) EXPECT_EQ(smtp::WithEndMarker(c.in), c.out);
    std::string file = Path("out/e.txt");
    Write(file, "a\r\n");
    ASSERT_TRUE(TFrmSMTP::SendMessageFile(file));
    ASSERT_TRUE(TFrmSMTP::SendMessageFile(file));
    EXPECT_EQ(Read(file), "a\r\n\r\n.\r\n");
}

TEST_F(StoreTest, FoldersAreCreatedOnceInTheirSpelling) {
    for (const auto& name : smtp::StoreFolderNames()) {
        struct stat st {};
        EXPECT_EQ(stat(Path(name).c_str(), &st), 0) << name;
    }
    EXPECT_EQ(smtp::StoreFolder("spam2"), Path("Spam2/"));
    EXPECT_EQ(smtp::StoreFolder("addins"), Path("Addins/"));
    EXPECT_TRUE(smtp::CreateStoreFolders({"spam1", "attach"}));
    EXPECT_EQ(smtp::StoreFolder("attach"), Path("attach/"));
}

}  // namespace

namespace {

TEST_F(StoreTest, CrashLeftoversAreRemovedAndMessagesKept) {
    const std::vector<std::string> leftovers = {
        "out/a1.txo", "out/a2.txo.new.tmp123", "out/~tw77-1.tmp", "out/q.txt.new",
        "in/alice_5.dat.new", "in/~tw1-2.tmp", "Spam1/~tw3-4.tmp", "uidl.dat.tmp55", "users.$$$",
    };
    const std::vector<std::string> kept = {
        "out/q.txt", "out/r.bad", "out/s.tx_", "in/alice_5.dat", "in/alice_6.dat", "uidl.dat",
        "tarnwick.ini", "Addins/x.tmp1", "in/notes.tmp", "mess.tmpx",
    };
    for (const auto& f : leftovers) Write(Path(f), "x");
    for (const auto& f : kept) {
        ::mkdir(Path("Addins").c_str(), 0755);
        Write(Path(f), "x");
    }
    std::vector<std::string> removed = smtp::RemoveCrashLeftovers();
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> want = leftovers;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(removed, want);
    for (const auto& f : leftovers) EXPECT_NE(access(Path(f).c_str(), F_OK), 0) << f;
    for (const auto& f : kept) EXPECT_EQ(access(Path(f).c_str(), F_OK), 0) << f;
}

}  // namespace
