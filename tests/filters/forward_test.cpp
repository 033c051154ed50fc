// Forwarding: local and outside targets with and without the user's copy,
// the shared queued copy and its record, the envelope sender, automatic mail
// kept and not forwarded, and the user's copy kept whenever a forwarded copy
// is not safely made.
#include "filters/forward.h"

#include "filters_env.h"
#include "transport/table_owner.h"

#include "platform/env.h"

#include <filesystem>
#include <functional>

namespace {

using filters_test::FiltersEnv;
using filters_test::Read;
using filters_test::Write;

const char* const MessageText = "From: \"Sender\" <sender@outside.example>\r\nSubject: Hi\r\n\r\nBody\r\n.\r\n";

class Forward : public FiltersEnv {
protected:
    void AddRow(const std::string& user, bool isLocal, const std::string& to, const std::string& copy) {
        TvdlMemTable& t = tables::Forwards().Table();
        t.Append();
        t.FieldByName("User").SetAsString(user);
        t.FieldByName("IsLocal").SetAsBoolean(isLocal);
        t.FieldByName("ForwardTo").SetAsString(to);
        t.FieldByName("Copy").SetAsString(copy);
        t.Post();
    }
    std::string Message() {
        const std::string path = Deliver("bob", "070000001", MessageText);
        // An older file date, which copies keep.
        platform::SetFileTime(path, platform::FromLocal(FixedNow()) - std::chrono::hours(5));
        return path;
    }
    static std::chrono::system_clock::time_point Mtime(const std::string& path) {
        std::chrono::system_clock::time_point t;
        platform::GetFileTime(path, t);
        return t;
    }
};

TEST(ForwardAddresses, EnsureAngleBrackets) {
    const std::pair<const char*, const char*> cases[] = {
        {"a@b.example", "<a@b.example>"}, {"<a@b.example>", "<a@b.example>"}, {"<a@b.example", "<a@b.example>"},
        {"a@b.example>", "<a@b.example>"}, {"", "<>"}, {"<", "<>"}, {">", "<>"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(forward::EnsureAngleBrackets(in), out) << in;
}

TEST(ForwardAddresses, CopyField) {
    for (const char* keep : {"Yes", "yes", "Y", "True", "1", "", "?"}) EXPECT_TRUE(forward::ReadsAsCopy(keep)) << keep;
    for (const char* drop : {"No", "no", "N", "False", "0"}) EXPECT_FALSE(forward::ReadsAsCopy(drop)) << drop;
}

TEST_F(Forward, TargetsAndTheUsersCopy) {
    struct Row {
        bool isLocal;
        const char* to;
        const char* copy;
    };
    struct Case {
        std::vector<Row> rows;
        std::vector<std::string> localTargets;
        std::vector<std::string> outside;  // To1, To2, ... of the one queued copy
        bool originalKept;
    };
    const Case cases[] = {
        {{{true, "carol", "Yes"}}, {"carol"}, {}, true},
        {{{true, "carol", "No"}}, {"carol"}, {}, false},
        {{{false, "bob@home.example", "Yes"}}, {}, {"<bob@home.example>"}, true},
        {{{false, "<bob@home.example>", "No"}}, {}, {"<bob@home.example>"}, false},
        // Any row without a copy drops it, once every copy is made.
        {{{false, "one@x.example", "Yes"}, {false, "two@y.example", "No"}, {true, "alice", "Yes"}},
         {"alice"},
         {"<one@x.example>", "<two@y.example>"},
         false},
        // A forward to a name that is no mailbox is written, but nobody would
        // read it: the user keeps the message.
        {{{true, "nobody", "No"}}, {"nobody"}, {}, true},
        // A name that would leave the mail store is never used.
        {{{true, "../escape", "No"}}, {}, {}, true},
    };
    for (const auto& c : cases) {
        tables::Forwards().Table().EmptyTable();
        platform::DeleteFiles(In(), "*");
        platform::DeleteFiles(Out(), "*");
        std::remove(smtp::PortsFileName().c_str());
        for (const auto& r : c.rows) AddRow("BOB", r.isLocal, r.to, r.copy);
        const std::string file = Message();
        const auto date = Mtime(file);
        forward::ForwardMessage("bob", file);
        const std::string what = c.rows[0].to;

        EXPECT_EQ(platform::FileExists(file), c.originalKept) << what;
        for (const auto& target : c.localTargets) {
            const auto copies = smtp::ListUserFiles(In(), target);
            ASSERT_EQ(copies.size(), 1u) << what;
            EXPECT_EQ(copies[0], target + "_20260314103015250.dat");
            EXPECT_EQ(Read(In() + copies[0]), MessageText);
            EXPECT_EQ(Mtime(In() + copies[0]), date);
        }
        EXPECT_FALSE(platform::FileExists(ProgramDir + "escape_20260314103015250.dat"));
        const auto queued = Files(Out());
        if (c.outside.empty()) {
            EXPECT_TRUE(queued.empty()) << what;
            continue;
        }
        // One queued copy, named by the stamp (made unique beside the local
        // copies of the same millisecond).
        ASSERT_EQ(queued.size(), 1u) << what;
        EXPECT_EQ(queued[0].rfind("20260314103015250", 0), 0u);
        EXPECT_EQ(Read(Out() + queued[0]), MessageText);
        EXPECT_EQ(Mtime(Out() + queued[0]), date);
        const std::string id = queued[0].substr(0, queued[0].size() - 4);
        EXPECT_EQ(smtp::ReadPortsValue(id, "Rcpt"), std::to_string(c.outside.size()));
        for (std::size_t i = 0; i < c.outside.size(); ++i)
            EXPECT_EQ(smtp::ReadPortsValue(id, "To" + std::to_string(i + 1)), c.outside[i]);
        EXPECT_EQ(smtp::ReadPortsValue(id, "From"), "<sender@outside.example>");
    }
}

TEST_F(Forward, OtherUsersRowsDoNothing) {
    AddRow("alice", true, "carol", "No");
    const std::string file = Message();
    EXPECT_EQ(forward::ForwardMessage("bob", file), 0);
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_TRUE(smtp::ListUserFiles(In(), "carol").empty());
    EXPECT_EQ(forward::ForwardMessage("bob", In() + "bob_missing.dat"), 0);
}

TEST_F(Forward, EnvelopeSender) {
    AddRow("bob", false, "bob@home.example", "Yes");
    Ini().WriteBool("Forward", "UseMailFrom", true);
    Ini().WriteString("Forward", "MailFrom", "relay@office.example");
    PublishIni();
    forward::ForwardMessage("bob", Message());
    EXPECT_EQ(smtp::ReadPortsValue("20260314103015250", "From"), "<relay@office.example>");
    // Switched on but empty: the message's own sender.
    Ini().WriteString("Forward", "MailFrom", "");
    PublishIni();
    EXPECT_EQ(forward::GetForwardSender(Message()), "<sender@outside.example>");
    Ini().WriteBool("Forward", "UseMailFrom", false);
    Ini().WriteString("Forward", "MailFrom", "relay@office.example");
    PublishIni();
    EXPECT_EQ(forward::GetForwardSender(Message()), "<sender@outside.example>");
}

// The report of a forward that failed outside comes back through collection:
// forwarded again, it would fail again and come back bigger, without end.
TEST_F(Forward, DeliveryReportIsKeptNotForwarded) {
    AddRow("bob", false, "gone@home.example", "No");
    const std::string report =
        "Return-Path: <>\r\nFrom: Mail Delivery System <MAILER-DAEMON@home.example>\r\nTo: bob@office.example\r\n"
        "Subject: Undelivered Mail Returned to Sender\r\nAuto-Submitted: auto-replied\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"r1\"\r\n\r\n"
        "--r1\r\n\r\nno such user\r\n--r1--\r\n";
    const std::string file = Deliver("bob", "070000002", report);
    EXPECT_EQ(forward::ForwardMessage("bob", file), 0);
    EXPECT_EQ(Read(file), report);
    EXPECT_TRUE(Files(Out()).empty());
}

TEST_F(Forward, UsersCopyStaysWhenTheQueueCannotTakeTheForward) {
    AddRow("bob", false, "bob@home.example", "No");
    const std::string file = Message();
    // The outgoing folder is gone and a file stands in its place.
    std::filesystem::remove_all(Out());
    Write(ProgramDir + "out", "not a folder");
    EXPECT_EQ(forward::ForwardMessage("bob", file), 0);
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_EQ(Read(file), MessageText);
    EXPECT_EQ(Read(ProgramDir + "out"), "not a folder");
}

// Fails the first call of the queueing that the test names, as the journal
// would name it ("rename FROM -> TO", "syncfolder PATH").
class FailingStep : public platform::FaultInjectionEnv {
public:
    std::function<bool(const std::string& call)> fails;
    platform::FsStatus Rename(const std::string& from, const std::string& to) override {
        return Step("rename " + from + " -> " + to, [&] { return FaultInjectionEnv::Rename(from, to); });
    }
    platform::FsStatus SyncFolder(const std::string& path) override {
        return Step("syncfolder " + path, [&] { return FaultInjectionEnv::SyncFolder(path); });
    }

private:
    platform::FsStatus Step(const std::string& call, const std::function<platform::FsStatus()>& run) {
        if (!failed_ && fails && fails(call)) {
            failed_ = true;
            return Failed(EIO, call);
        }
        return run();
    }
    bool failed_ = false;
};

// A forward to outside counts as queued only when its file, its record and
// its queued name are all on disk; otherwise the user keeps the message and
// nothing half-queued is left for the relay.
TEST_F(Forward, NothingCountsAsQueuedUntilItsNameIsOnDisk) {
    const std::string outFolder = platform::FolderOf(Out() + "x");
    struct Case {
        const char* name;
        std::function<bool(const std::string&, bool& renamed)> fails;
    } cases[] = {
        {"the queued name cannot be made",
         [](const std::string& call, bool&) { return call.starts_with("rename ") && call.ends_with(".txt"); }},
        {"the queued name is not synced",
         [&](const std::string& call, bool& renamed) {
             if (call.starts_with("rename ") && call.ends_with(".txt")) renamed = true;
             return renamed && call == "syncfolder " + outFolder;
         }},
        {"the record is not written",
         [](const std::string& call, bool&) { return call.starts_with("rename ") && call.ends_with("/ports.dat"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tables::Forwards().Table().EmptyTable();
        platform::DeleteFiles(In(), "*");
        platform::DeleteFiles(Out(), "*");
        std::remove(smtp::PortsFileName().c_str());
        AddRow("bob", false, "bob@home.example", "No");
        const std::string file = Message();
        FailingStep env;
        bool renamed = false;
        env.fails = [&](const std::string& call) { return c.fails(call, renamed); };
        {
            platform::ScopedEnv scoped(&env);
            EXPECT_EQ(forward::ForwardMessage("bob", file), 0);
        }
        bool hit = false;
        for (const auto& e : env.Journal()) hit = hit || e.starts_with("failed ");
        ASSERT_TRUE(hit) << "the step was never taken";
        EXPECT_EQ(Read(file), MessageText);
        EXPECT_TRUE(Files(Out()).empty()) << Files(Out())[0];
        EXPECT_EQ(smtp::ReadPortsValue("20260314103015250", "Rcpt"), "");
        EXPECT_NE(Read(Dir() + "connect.log").find("Forward: cannot queue bob's message for outside addresses"),
                  std::string::npos);
    }
}

}  // namespace
