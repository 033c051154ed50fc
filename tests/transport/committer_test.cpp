// The committer: grouped folder syncs, ports.dat written once for all that
// was staged, the order in which a message's files reach the disk, and
// outcomes that come back to the owner's thread.
#include "transport/committer.h"
#include "transport/ports_file.h"
#include "transport_test_util.h"

#include "platform/files.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

namespace {

using platform::FaultInjectionEnv;
using Op = FaultInjectionEnv::Op;
using twtest::TempHome;

using twtest::GatedEnv;

size_t Count(const std::vector<std::string>& journal, const std::string& entry) {
    return static_cast<size_t>(std::count(journal.begin(), journal.end(), entry));
}

// Index of the first entry starting with prefix at or after from; npos when none.
size_t Find(const std::vector<std::string>& journal, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < journal.size(); ++i)
        if (journal[i].rfind(prefix, 0) == 0) return i;
    return std::string::npos;
}

TEST(FolderSyncsTest, CallersDuringASyncShareTheNextOneAndItsOutcome) {
    struct Case {
        const char* name;
        int failNth;  // the folder sync that fails, 0: none
        int first, others;
    };
    const Case cases[] = {
        {"all succeed", 0, 0, 0},
        {"the sync under way fails", 1, EIO, 0},
        {"the shared sync fails", 2, 0, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GatedEnv env;
        if (c.failNth) env.FailAt(Op::SyncFolder, c.failNth, EIO);
        commit::FolderSyncs syncs(&env);
        const std::string folder = ::testing::TempDir();
        env.SetOpen(false);
        int first = -1;
        std::thread leader([&] { first = syncs.Sync(folder).error; });
        ASSERT_TRUE(env.WaitEntered(1));
        constexpr int kLate = 5;
        std::vector<int> late(kLate, -1);
        std::vector<std::thread> threads;
        for (int i = 0; i < kLate; ++i) threads.emplace_back([&, i] { late[i] = syncs.Sync(folder).error; });
        while (syncs.Asked() < 1 + kLate) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(env.Entered(), 1) << "callers wait for the sync under way to end";
        env.SetOpen(true);
        leader.join();
        for (auto& t : threads) t.join();
        EXPECT_EQ(first, c.first);
        for (int e : late) EXPECT_EQ(e, c.others);
        EXPECT_EQ(syncs.Made(), 2u) << "one sync for all who came during the first";
        EXPECT_EQ(env.Calls(Op::SyncFolder), 2);
    }
}

TEST(FolderSyncsTest, AnotherFolderIsNotHeldUpBehindOne) {
    GatedEnv env;
    commit::FolderSyncs syncs(&env);
    env.SetOpen(false);
    std::thread one([&] { syncs.Sync("/"); });
    ASSERT_TRUE(env.WaitEntered(1));
    std::thread other([&] { syncs.Sync(::testing::TempDir()); });
    EXPECT_TRUE(env.WaitEntered(2));
    env.SetOpen(true);
    one.join();
    other.join();
}

class CommitterTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        ports_ = std::make_shared<smtp::PortsFile>(Path("ports.dat"));
        ports_->SetEnv(&env_);
    }
    // One message with two local copies and a queue record.
    commit::MessageFiles Message(const std::string& id) {
        twtest::WriteBytes(Path("out/" + id + ".txo"), "Subject: " + id + "\r\n\r\nbody\r\n.\r\n");
        commit::MessageFiles m;
        m.data = Path("out/" + id + ".txo");
        m.copies = {Path("in/alice_" + id + ".dat"), Path("in/bob_" + id + ".dat")};
        m.ports = ports_;
        m.portsVersion = ports_->StageSection(id, {{"rcpt", "1"}, {"To1", "<x@far.example>"}});
        m.queued = Path("out/" + id + ".txt");
        return m;
    }
    std::vector<std::string> Temps(const std::string& folder) {
        std::vector<std::string> temps;
        for (const auto& name : platform::ListFiles(smtp::StoreFolder(folder), "*"))
            if (name.find(".tmp") != std::string::npos) temps.push_back(name);
        return temps;
    }

    FaultInjectionEnv env_;
    std::shared_ptr<smtp::PortsFile> ports_;
};

TEST_F(CommitterTest, EveryFileAndNameIsSyncedBeforeTheMessageIsQueued) {
    commit::Committer committer(&env_, 2);
    const auto m = Message("m1");
    ASSERT_TRUE(commit::StoreMessage(committer, m).ok());
    const std::string text = "Subject: m1\r\n\r\nbody\r\n.\r\n";
    EXPECT_EQ(twtest::ReadBytes(Path("in/alice_m1.dat")), text);
    EXPECT_EQ(twtest::ReadBytes(Path("in/bob_m1.dat")), text);
    EXPECT_EQ(twtest::ReadBytes(Path("out/m1.txt")), text);
    EXPECT_FALSE(platform::FileExists(m.data));
    EXPECT_NE(twtest::ReadBytes(Path("ports.dat")).find("[m1]\r\nrcpt=1\r\nTo1=<x@far.example>\r\n"), std::string::npos);
    EXPECT_TRUE(Temps("in").empty());

    const auto j = env_.Journal();
    const std::string in = home_ + "/in", out = home_ + "/out";
    const size_t queued = Find(j, "rename " + m.data + " -> " + m.queued);
    ASSERT_NE(queued, std::string::npos);
    EXPECT_LT(Find(j, "sync " + m.data), queued) << "the received text is whole before it is queued";
    size_t lastCopy = 0;
    for (const auto& copy : m.copies) {
        size_t named = std::string::npos;
        for (size_t i = 0; i < j.size(); ++i)
            if (j[i].size() > copy.size() && j[i].compare(j[i].size() - copy.size(), copy.size(), copy) == 0) named = i;
        ASSERT_NE(named, std::string::npos) << copy;
        ASSERT_EQ(j[named].rfind("link ", 0), 0u) << "a name is taken by link, never over another file";
        const std::string temp = j[named].substr(5, j[named].find(" -> ") - 5);
        EXPECT_LT(Find(j, "sync " + temp), named) << "a copy is whole before it has its name";
        lastCopy = std::max(lastCopy, named);
    }
    const size_t record = Find(j, "rename " + Path("ports.dat.tmp"));
    const size_t recordSynced = Find(j, "syncfolder " + home_, record);
    ASSERT_NE(recordSynced, std::string::npos);
    EXPECT_LT(recordSynced, queued) << "the relay finds no queued message without its record";
    // The folders are synced once every name is made: the first of those
    // syncs then covers them all.
    const size_t inSynced = Find(j, "syncfolder " + in, lastCopy);
    ASSERT_NE(inSynced, std::string::npos);
    EXPECT_GT(inSynced, queued);
    EXPECT_EQ(Find(j, "syncfolder " + out, queued), j.size() - 1) << "the queued name is synced last";
    EXPECT_EQ(Count(j, "syncfolder " + in), 1u) << "one sync of in/ for both copies";
}

// A name already taken (here by another file of the same id in the
// sender's mailbox, as a returned notice once took it) is never replaced:
// the copy and the notice each take the next free name, and the caller
// learns which.
TEST_F(CommitterTest, TakenNamesAreKeptAndTheNewFilesTakeTheNext) {
    commit::Committer committer(&env_, 2);
    struct Case {
        const char* name;
        bool returned;
        std::vector<std::string> taken;  // in/ names there before
        std::vector<std::string> copies, notices;  // in/ names made
    };
    const Case cases[] = {
        {"a copy's name is taken", false, {"alice_t1.dat"}, {"alice_t11.dat", "bob_t1.dat"}, {}},
        {"the sender's copy and the notice", true, {}, {"alice_t2.dat", "bob_t2.dat"}, {"alice_t21.dat"}},
        {"both taken before", true, {"alice_t3.dat", "alice_t31.dat"}, {"alice_t32.dat", "bob_t3.dat"},
         {"alice_t33.dat"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = c.copies.front().substr(6, 2);
        for (const auto& t : c.taken) twtest::WriteBytes(Path("in/" + t), "other " + t);
        auto m = Message(id);
        if (c.returned) {
            m.returnedStem = Path("in/alice_" + id);
            m.returnedSuffix = ".dat";
            m.returnedFor = {"<x@far.example>"};
            m.queued.clear();
        }
        std::vector<std::string> named;
        ASSERT_TRUE(commit::StoreMessage(committer, m, &named).ok());
        std::vector<std::string> want;
        for (const auto& n : c.copies) want.push_back(Path("in/" + n));
        EXPECT_EQ(named, want);
        for (const auto& t : c.taken) EXPECT_EQ(twtest::ReadBytes(Path("in/" + t)), "other " + t);
        for (const auto& n : c.copies) EXPECT_EQ(twtest::ReadBytes(Path("in/" + n)).find("Subject: " + id), 0u) << n;
        for (const auto& n : c.notices)
            EXPECT_NE(twtest::ReadBytes(Path("in/" + n)).find("### Returned ###"), std::string::npos) << n;
        EXPECT_TRUE(Temps("in").empty());
    }
}

TEST_F(CommitterTest, AFailedStepFailsTheMessageAndLeavesNoPartialFile) {
    struct Case {
        const char* step;
        Op op;
        int nth;
        bool queuedNamed;  // the queued name was made before the failure
    };
    // Writes: the two copies, the record appended to ports.dat. Syncs:
    // ports.dat, text, alice's copy, bob's copy. Links: the two copies.
    // Renames: the queued name. Folder syncs: in/, out/.
    const Case cases[] = {
        {"a copy's write", Op::Append, 2, false},
        {"the record's write", Op::Append, 3, false},
        {"the record's sync", Op::Sync, 1, false},
        {"the text's sync", Op::Sync, 2, false},
        {"a copy's sync", Op::Sync, 4, false},
        {"a copy's name", Op::Link, 1, false},
        {"the other copy's name", Op::Link, 2, false},
        {"the queued name", Op::Rename, 1, false},
        {"in/'s sync", Op::SyncFolder, 1, true},
        {"out/'s sync", Op::SyncFolder, 2, true},
    };
    commit::Committer committer(&env_, 2);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        env_.Clear();
        const std::string id = "f" + std::to_string(++n);
        // After a failed write ports.dat is written whole once: done here,
        // so that each message's record is appended.
        ASSERT_TRUE(ports_->WriteString("before", "n", id));
        const auto m = Message(id);
        env_.FailAt(c.op, c.nth, EIO);
        EXPECT_EQ(commit::StoreMessage(committer, m).error, EIO);
        EXPECT_EQ(platform::FileExists(m.queued), c.queuedNamed);
        EXPECT_TRUE(Temps("in").empty());
        EXPECT_TRUE(platform::ListFiles(ProgramDir, "ports.dat.tmp*").empty());
        for (const auto& copy : m.copies)
            if (platform::FileExists(copy)) {
                EXPECT_EQ(twtest::ReadBytes(copy), "Subject: " + id + "\r\n\r\nbody\r\n.\r\n") << copy;
            }
    }
}

// Marks that must not be lost survive failed writes, also a new read of the
// file that another writer changed meanwhile, and reach the file with the
// next write that succeeds; an erasure that follows a removal never reaches
// the file before the removal's folder is synced.
TEST_F(CommitterTest, KeptMarksAndErasuresAfterAFolderSync) {
    ASSERT_TRUE(ports_->ReplaceSection("m", {{"rcpt", "2"}, {"To1", "<a@x>"}, {"To2", "<b@x>"}}));
    ASSERT_TRUE(ports_->ReplaceSection("gone", {{"rcpt", "1"}}));
    env_.FailAt(Op::Open, 0, ENOSPC);
    EXPECT_FALSE(ports_->WriteStringsKept("m", {{"Sent1", "<a@x>"}, {"To1", ""}}));
    EXPECT_FALSE(ports_->FlushAll());
    // Someone else writes the file: it is read again, the marks stay.
    std::string text = twtest::ReadBytes(Path("ports.dat"));
    twtest::WriteBytes(Path("ports.dat"), text + "[other]\r\nk=v\r\n");
    EXPECT_EQ(ports_->ReadString("other", "k", ""), "v");
    EXPECT_EQ(ports_->ReadString("m", "To1", "?"), "");
    EXPECT_EQ(ports_->ReadString("m", "Sent1", ""), "<a@x>");
    env_.Clear();

    const std::string out = home_ + "/out";
    ports_->EraseSectionLater("gone", out + "/");
    env_.FailAt(Op::SyncFolder, 1, EIO);
    EXPECT_FALSE(ports_->FlushAll()) << "no erasure before its folder is synced";
    EXPECT_NE(twtest::ReadBytes(Path("ports.dat")).find("[gone]"), std::string::npos);
    env_.Clear();
    const size_t from = env_.Journal().size();
    ports_->EraseSectionLater("gone", out + "/");
    ASSERT_TRUE(ports_->FlushAll());
    const auto j = env_.Journal();
    const size_t synced = Find(j, "syncfolder " + out, from);
    ASSERT_NE(synced, std::string::npos);
    EXPECT_LT(synced, Find(j, "rename ", from));
    text = twtest::ReadBytes(Path("ports.dat"));
    EXPECT_EQ(text.find("[gone]"), std::string::npos);
    EXPECT_NE(text.find("[m]\r\nrcpt=2\r\nTo1=\r\nTo2=<b@x>\r\nSent1=<a@x>\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[other]"), std::string::npos);
    // Written: a later failure reads the file again and finds them there.
    env_.FailAt(Op::Open, 1, ENOSPC);
    EXPECT_FALSE(ports_->WriteString("m", "Goes", "1"));
    EXPECT_EQ(ports_->ReadString("m", "To1", "?"), "");
    EXPECT_EQ(ports_->ReadString("m", "Goes", ""), "");
}

TEST_F(CommitterTest, PortsRecordsStagedBeforeAWriteShareIt) {
    const auto v1 = ports_->StageSection("a", {{"rcpt", "1"}});
    const auto v2 = ports_->StageSection("b", {{"rcpt", "2"}});
    EXPECT_EQ(ports_->Writes(), 0u) << "staging writes nothing";
    ASSERT_TRUE(ports_->Flush(v2));
    EXPECT_TRUE(ports_->Flush(v1));
    EXPECT_EQ(ports_->Writes(), 1u);
    EXPECT_EQ(twtest::ReadBytes(Path("ports.dat")), "[a]\r\nrcpt=1\r\n[b]\r\nrcpt=2\r\n");

    // A write that fails fails everyone whose record was in it: they are
    // told, and nothing answers for their records any more.
    const auto v3 = ports_->StageSection("c", {{"rcpt", "3"}});
    const auto v4 = ports_->StageSection("d", {{"rcpt", "4"}});
    env_.FailAt(Op::Sync, 1, EIO);
    EXPECT_FALSE(ports_->Flush(v4));
    EXPECT_FALSE(ports_->Flush(v3)) << "not told it is on disk";
    EXPECT_EQ(ports_->Writes(), 2u) << "nor written again for it";
    const auto v5 = ports_->StageSection("e", {{"rcpt", "5"}});
    ASSERT_TRUE(ports_->Flush(v5));
    EXPECT_FALSE(ports_->Flush(v3)) << "nor by the later write, which did not carry it";
    EXPECT_EQ(twtest::ReadBytes(Path("ports.dat")), "[a]\r\nrcpt=1\r\n[b]\r\nrcpt=2\r\n[e]\r\nrcpt=5\r\n");

    // Alone, a failed write leaves the answers to what is on disk.
    env_.FailAt(Op::Rename, 1, EIO);
    EXPECT_FALSE(ports_->WriteString("a", "rcpt", "9"));
    EXPECT_EQ(ports_->ReadString("a", "rcpt", ""), "1");
}

TEST_F(CommitterTest, ConcurrentMessagesShareFolderSyncsAndPortsWrites) {
    GatedEnv env("/in");
    ports_->SetEnv(&env);
    commit::Committer committer(&env, 8);
    constexpr int kMessages = 8;
    std::vector<commit::MessageFiles> messages;
    for (int i = 0; i < kMessages; ++i) messages.push_back(Message("c" + std::to_string(i)));
    // The first sync of in/ is held until every message has asked for one.
    env.SetOpen(false);
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (const auto& m : messages)
        threads.emplace_back([&] { ok += commit::StoreMessage(committer, m).ok() ? 1 : 0; });
    ASSERT_TRUE(env.WaitEntered(1));
    while (committer.Folders().Asked() < kMessages) std::this_thread::yield();
    env.SetOpen(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, kMessages);
    for (const auto& m : messages) EXPECT_TRUE(platform::FileExists(m.queued)) << m.queued;
    const auto j = env.Journal();
    EXPECT_LT(Count(j, "syncfolder " + home_ + "/in"), 3u) << "in/ synced once, then once for the rest";
    EXPECT_LT(ports_->Writes(), static_cast<std::uint64_t>(kMessages));
    const std::string text = twtest::ReadBytes(Path("ports.dat"));
    for (int i = 0; i < kMessages; ++i) EXPECT_NE(text.find("[c" + std::to_string(i) + "]"), std::string::npos) << i;
}

TEST_F(CommitterTest, OutcomesComeBackOnTheOwnersThreadAndTakenWorkIsFinished) {
    constexpr int kJobs = 20;
    std::atomic<int> ran{0}, onWorker{0};
    std::vector<int> outcomes;
    const auto owner = std::this_thread::get_id();
    {
        commit::Committer committer(&env_, 4);
        for (int i = 0; i < kJobs; ++i) {
            committer.Submit(
                [&, i](commit::Committer&) {
                    ++ran;
                    if (std::this_thread::get_id() != owner) ++onWorker;
                    return platform::FsStatus{i % 2 ? EIO : 0};
                },
                [&, i](platform::FsStatus s) {
                    EXPECT_EQ(std::this_thread::get_id(), owner);
                    outcomes.push_back(s.ok() ? i : -i);
                });
        }
        EXPECT_TRUE(outcomes.empty()) << "never within Submit";
        ASSERT_TRUE(twtest::Until([&] { return outcomes.size() == kJobs; }));
        EXPECT_EQ(onWorker, kJobs);
        std::sort(outcomes.begin(), outcomes.end());
        for (int i = 0; i < kJobs; ++i) EXPECT_TRUE(std::count(outcomes.begin(), outcomes.end(), i % 2 ? -i : i)) << i;

        // Work still queued when the committer goes is done, unreported.
        for (int i = 0; i < kJobs; ++i)
            committer.Submit([&](commit::Committer&) { ++ran; return platform::FsStatus{}; },
                             [&](platform::FsStatus) { outcomes.push_back(1000); });
    }
    EXPECT_EQ(ran, 2 * kJobs);
    twtest::Pump(50);
    EXPECT_EQ(outcomes.size(), static_cast<size_t>(kJobs));
}

// A session's outcome handler may hold the last reference to the session
// and its idle timer, and the work may share what the handler holds. A
// worker that the scheduler holds up right after it posts the outcome must
// not be left with the last reference: the timer would be destroyed on the
// worker and stay registered with the owner's thread.
TEST_F(CommitterTest, WhatTheWorkSharesWithItsOutcomeIsLetGoOnTheOwnersThread) {
    // Notes, once the timer is gone too, on which thread it went.
    struct Gone {
        std::atomic<int>* where = nullptr;
        std::thread::id owner = std::this_thread::get_id();
        ~Gone() { *where = std::this_thread::get_id() == owner ? 1 : 2; }
    };
    struct Session {
        Gone gone;
        QTimer idle;
    };
    // Lets go of its session only once the owner has handled the outcome,
    // or after a second.
    struct HeldUp {
        std::shared_ptr<Session> session;
        std::atomic<bool>* handled = nullptr;
        ~HeldUp() {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (session && !*handled && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::atomic<int> where{0};
    std::atomic<bool> handled{false};
    bool delivered = false;
    commit::Committer committer(&env_, 1);
    auto session = std::make_shared<Session>();
    session->gone.where = &where;
    session->idle.start(600000);
    auto held = std::make_shared<HeldUp>();
    held->session = session;
    held->handled = &handled;
    committer.Submit([held](commit::Committer&) { return platform::FsStatus{}; },
                     [session, &delivered](platform::FsStatus) { delivered = true; });
    held.reset();
    session.reset();
    ASSERT_TRUE(twtest::Until([&] { return delivered; }));
    handled = true;
    ASSERT_TRUE(twtest::Until([&] { return where != 0; }));
    EXPECT_EQ(where, 1) << "destroyed on a worker";
}

// A fetched message's mailbox copies: each under a name of its own, never
// over another file, each folder synced once after its names were made; on
// any failure none is left, and the copy that failed is named.
TEST_F(CommitterTest, MailboxCopiesAreAllOnDiskOrNoneIsLeft) {
    struct Case {
        const char* name;
        bool fromFile;  // streamed from a file with the end marker appended, or written from memory
        Op op;
        int nth;                            // the call that fails; 0: none
        std::optional<std::size_t> failed;  // the copy named as failed
    };
    // Copies: alice's in in/ (her plain name is taken), bob's in Spam1.
    const Case cases[] = {
        {"streamed", true, Op::Open, 0, std::nullopt},
        {"from memory", false, Op::Open, 0, std::nullopt},
        // Streamed, a copy takes two writes: the text and the marker.
        {"the second copy's write", true, Op::Append, 3, 1},
        {"the first copy's sync", false, Op::Sync, 1, 0},
        // Alice's first name is taken: her copy takes two links.
        {"the second copy's name", true, Op::Link, 3, 1},
        {"Spam1's sync", true, Op::SyncFolder, 1, 1},
        {"in/'s sync", false, Op::SyncFolder, 2, 0},
    };
    const std::string text = "Subject: fetched\r\n\r\nbody\r\n";
    const std::string stored = text + ".\r\n";
    twtest::WriteBytes(Path("mess.txt"), text);
    const std::string in = smtp::StoreFolder("in"), spam = smtp::StoreFolder("Spam1");
    twtest::WriteBytes(in + "alice_s1.dat", "an older message");
    platform::ScopedEnv scoped(&env_);
    commit::Committer committer(nullptr, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env_.Clear();
        const size_t before = env_.Journal().size();
        commit::MailboxCopies m;
        if (c.fromFile) {
            m.source = Path("mess.txt");
            m.append = ".\r\n";
        } else {
            m.content = stored;
        }
        m.stem = "s1";
        m.suffix = ".dat";
        m.copies = {{in, "alice_", ""}, {spam, "bob_", ""}};
        if (c.nth) env_.FailAt(c.op, c.nth, ENOSPC);
        const platform::FsStatus status = commit::StoreMailboxCopies(committer, m);
        env_.Clear();
        EXPECT_EQ(twtest::ReadBytes(in + "alice_s1.dat"), "an older message");
        EXPECT_TRUE(Temps("in").empty());
        EXPECT_TRUE(Temps("Spam1").empty());
        if (c.nth) {
            EXPECT_FALSE(status.ok());
            EXPECT_EQ(m.failed, c.failed);
            EXPECT_EQ(platform::ListFiles(in, "*.dat"), std::vector<std::string>{"alice_s1.dat"});
            EXPECT_TRUE(platform::ListFiles(spam, "*").empty());
            continue;
        }
        ASSERT_TRUE(status.ok());
        ASSERT_EQ(m.copies[0].path, in + "alice_s11.dat");
        ASSERT_EQ(m.copies[1].path, spam + "bob_s1.dat");
        for (const auto& copy : m.copies) EXPECT_EQ(twtest::ReadBytes(copy.path), stored) << copy.path;
        const auto all = env_.Journal();
        const std::vector<std::string> j(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        for (const auto& copy : m.copies) {
            const size_t named = Find(j, "link ");
            size_t at = named;
            while (at != std::string::npos && j[at].find(" -> " + copy.path) == std::string::npos)
                at = Find(j, "link ", at + 1);
            ASSERT_NE(at, std::string::npos) << copy.path;
            const std::string folder = platform::FolderOf(copy.path);
            EXPECT_NE(Find(j, "syncfolder " + folder, at), std::string::npos) << "the name synced after it was made";
            EXPECT_EQ(Count(j, "syncfolder " + folder), 1u);
        }
        platform::Env::Default()->Unlink(m.copies[0].path);
        platform::Env::Default()->Unlink(m.copies[1].path);
    }
}

}  // namespace
