// The table owner: edits of a long-lived copy merged into rows that others
// changed meanwhile, and saves that fail leaving table and file as they were.
#include "transport/table_owner.h"

#include "platform/env.h"
#include "platform/files.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/transport_test_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using twtest::ReadBytes;

// One edit of the users table: add or change a row (password set), or
// delete it (password empty).
struct Op {
    std::string name, password;
};

void ApplyOp(TvdlMemTable& t, const Op& op) {
    t.CancelRange();
    const bool found = t.FindKey({TvdlVariant(op.name)});
    if (op.password.empty()) {
        if (found) t.Delete();
        return;
    }
    if (found) {
        t.Edit();
    } else {
        t.Append();
    }
    t.FieldByName("Name").SetAsString(op.name);
    t.FieldByName("Password").SetAsString(op.password);
    t.Post();
}

std::vector<std::string> Rows(TvdlMemTable& t) {
    std::vector<std::string> rows;
    for (t.First(); !t.Eof(); t.Next())
        rows.push_back(t.FieldByName("Name").AsString() + "=" + t.FieldByName("Password").AsString());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::string> FileRows(const std::string& path) {
    TvdlMemTable t;
    t.LoadFromBinaryFile(path);
    return Rows(t);
}

class TableOwnerTest : public twtest::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        Reset();
    }
    // users.dat and the owner's table hold alice and bob.
    void Reset() {
        owner_.SetEnv(nullptr);
        TvdlMemTable start;
        settings::DefineUsersTable(start);
        ApplyOp(start, {"alice", "pa"});
        ApplyOp(start, {"bob", "pb"});
        start.SaveToBinaryFile(ProgramDir + "users.dat");
        Load(owner_.Table());
    }
    void TearDown() override {
        owner_.Close();
        TempHome::TearDown();
    }
    // A table read from users.dat as an editor reads it.
    void Load(TvdlMemTable& t) {
        t.Close();
        t.LoadFromBinaryFile(ProgramDir + "users.dat");
        t.SetIndexName("ixName");
    }
    std::string File() const { return ProgramDir + "users.dat"; }

    tables::TableOwner owner_{"users.dat", {"Name"}, true};
};

// An editor keeps a copy from its load until it saves; meanwhile others
// change the table through the owner. Only the editor's own edits land.
TEST_F(TableOwnerTest, EditsOfACopyMergeWithChangesMadeMeanwhile) {
    struct Case {
        const char* what;
        std::vector<Op> others;  // through the owner while the copy is open
        std::vector<Op> mine;    // on the copy
        std::vector<std::string> expected;
    } cases[] = {
        {"both add", {{"nina", "pn"}}, {{"carol", "pc"}}, {"alice=pa", "bob=pb", "carol=pc", "nina=pn"}},
        {"an unchanged copy takes nothing back", {{"nina", "pn"}, {"bob", ""}}, {}, {"alice=pa", "nina=pn"}},
        {"delete and change of different rows", {{"bob", "pb2"}}, {{"alice", ""}}, {"bob=pb2"}},
        {"the later save wins on the same row", {{"alice", "web"}}, {{"alice", "window"}}, {"alice=window", "bob=pb"}},
        {"a row changed in the copy comes back after a delete", {{"bob", ""}}, {{"bob", "pb3"}},
         {"alice=pa", "bob=pb3"}},
        {"names match without regard to case", {{"Nina", "web"}}, {{"nina", "window"}}, {"alice=pa", "bob=pb", "nina=window"}},
    };
    for (const auto& c : cases) {
        Reset();
        TvdlMemTable copy;
        Load(copy);
        const std::string base = copy.SaveToBinaryString();
        for (const auto& op : c.others) ASSERT_TRUE(owner_.Change(ProgramDir, [&](TvdlMemTable& t) { ApplyOp(t, op); }));
        for (const auto& op : c.mine) ApplyOp(copy, op);
        std::string error;
        ASSERT_TRUE(owner_.ApplyEdits(ProgramDir, base, copy, &error)) << c.what << ": " << error;
        EXPECT_EQ(Rows(owner_.Table()), c.expected) << c.what;
        EXPECT_EQ(FileRows(File()), c.expected) << c.what << ": the file holds what the table holds";
    }
}

// Two copies saved one after the other: the second keeps the first's edits.
TEST_F(TableOwnerTest, TwoCopiesSavedInTurnKeepEachOthersEdits) {
    TvdlMemTable first, second;
    Load(first);
    Load(second);
    const std::string base = first.SaveToBinaryString();
    ApplyOp(first, {"carol", "pc"});
    ApplyOp(second, {"dave", "pd"});
    ApplyOp(second, {"alice", ""});
    ASSERT_TRUE(owner_.ApplyEdits(ProgramDir, base, first));
    ASSERT_TRUE(owner_.ApplyEdits(ProgramDir, base, second));
    EXPECT_EQ(Rows(owner_.Table()), (std::vector<std::string>{"bob=pb", "carol=pc", "dave=pd"}));
}

// Whichever step of the save fails, the table and the file stay as they
// were and the caller hears why; the next save goes through.
TEST_F(TableOwnerTest, AFailedSaveLeavesTableAndFileAsTheyWere) {
    using Op = platform::FaultInjectionEnv::Op;
    const Op steps[] = {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename, Op::SyncFolder};
    const std::vector<std::string> before{"alice=pa", "bob=pb"};
    for (const Op step : steps) {
        for (const bool merge : {false, true}) {
            Reset();
            const std::string bytes = ReadBytes(File());
            platform::FaultInjectionEnv env;
            owner_.SetEnv(&env);
            env.FailAt(step, 1, step == Op::Append ? ENOSPC : EIO);
            std::string error;
            bool ok;
            if (merge) {
                TvdlMemTable copy;
                Load(copy);
                const std::string base = copy.SaveToBinaryString();
                ApplyOp(copy, {"nina", "pn"});
                ApplyOp(copy, {"alice", ""});
                ok = owner_.ApplyEdits(ProgramDir, base, copy, &error);
            } else {
                ok = owner_.Change(ProgramDir, [](TvdlMemTable& t) { ApplyOp(t, {"nina", "pn"}); }, &error);
            }
            const int s = static_cast<int>(step);
            EXPECT_FALSE(ok) << s << " " << merge;
            EXPECT_EQ(error, std::strerror(step == Op::Append ? ENOSPC : EIO)) << s << " " << merge;
            EXPECT_EQ(Rows(owner_.Table()), before) << s << " " << merge;
            EXPECT_EQ(ReadBytes(File()), bytes) << s << " " << merge;
            // The owner still works.
            env.Clear();
            EXPECT_TRUE(owner_.Change(ProgramDir, [](TvdlMemTable& t) { ApplyOp(t, {"carol", "pc"}); }));
            EXPECT_EQ(FileRows(File()), (std::vector<std::string>{"alice=pa", "bob=pb", "carol=pc"}));
            owner_.SetEnv(nullptr);
        }
    }
}

// The engine's own table files (uidl.dat, spam.dat, address.dat) and the
// owners without an Env of their own are saved through the current Env:
// whichever step fails, the save says so and the old file is whole.
TEST_F(TableOwnerTest, TableFilesAreSavedThroughTheCurrentEnv) {
    using Op = platform::FaultInjectionEnv::Op;
    const std::string bytes = ReadBytes(File());
    for (const Op step : {Op::Open, Op::Append, Op::Sync, Op::Close, Op::Rename, Op::SyncFolder}) {
        const int s = static_cast<int>(step);
        platform::FaultInjectionEnv env;
        platform::ScopedEnv scoped(&env);
        TvdlMemTable copy;
        Load(copy);
        ApplyOp(copy, {"nina", "pn"});
        env.FailAt(step, 1, EIO);
        EXPECT_THROW(tables::SaveTableFile(copy, ProgramDir + "uidl.dat"), EMemTableError) << s;
        EXPECT_FALSE(platform::FileExists(ProgramDir + "uidl.dat") &&
                     step != Op::SyncFolder) << s << ": a file that was not there stays away";
        env.FailAt(step, 1, ENOSPC);
        EXPECT_FALSE(owner_.Change(ProgramDir, [](TvdlMemTable& t) { ApplyOp(t, {"nina", "pn"}); })) << s;
        EXPECT_EQ(ReadBytes(File()), bytes) << s;
        EXPECT_TRUE(platform::ListFiles(ProgramDir, "*.tmp*").empty()) << s;
        env.Clear();
        tables::SaveTableFile(copy, ProgramDir + "uidl.dat");
        EXPECT_EQ(FileRows(ProgramDir + "uidl.dat"), (std::vector<std::string>{"alice=pa", "bob=pb", "nina=pn"}));
        std::remove((ProgramDir + "uidl.dat").c_str());
    }
}

// An edit that fails half-way (here: a field the table does not have)
// changes nothing, not even the rows it changed before failing.
TEST_F(TableOwnerTest, AnEditThatFailsHalfWayChangesNothing) {
    const std::string bytes = ReadBytes(File());
    std::string error;
    EXPECT_FALSE(owner_.Change(ProgramDir, [](TvdlMemTable& t) {
        ApplyOp(t, {"carol", "pc"});
        ApplyOp(t, {"alice", ""});
        t.Append();
        t.FieldByName("Email").SetAsString("x@y");
    }, &error));
    EXPECT_NE(error.find("Email"), std::string::npos) << error;
    EXPECT_EQ(Rows(owner_.Table()), (std::vector<std::string>{"alice=pa", "bob=pb"}));
    EXPECT_EQ(ReadBytes(File()), bytes);
}

// Tables without a key (aliases, forwards, auto-responses) may hold the same
// row twice; the editor's copies are counted, not merged.
TEST_F(TableOwnerTest, RowsWithoutAKeyAreCountedNotMerged) {
    tables::TableOwner aliases("elink.dat");
    TvdlMemTable start;
    start.FieldDefs().Add("Email", ftString, 64);
    start.FieldDefs().Add("User", ftString, 64);
    start.CreateTable();
    start.Open();
    auto add = [](TvdlMemTable& t, const std::string& email, const std::string& user) {
        t.Append();
        t.FieldByName("Email").SetAsString(email);
        t.FieldByName("User").SetAsString(user);
        t.Post();
    };
    add(start, "sales@office.example", "alice");
    add(start, "sales@office.example", "bob");
    aliases.Adopt(start);
    const std::string base = start.SaveToBinaryString();
    // Someone else gives sales a third user; the editor drops bob and adds
    // carol twice over.
    ASSERT_TRUE(aliases.Change(ProgramDir, [&](TvdlMemTable& t) { add(t, "sales@office.example", "dave"); }));
    for (start.First(); !start.Eof(); start.Next())
        if (start.FieldByName("User").AsString() == "bob") break;
    start.Delete();
    add(start, "info@office.example", "carol");
    add(start, "info@office.example", "carol");
    ASSERT_TRUE(aliases.ApplyEdits(ProgramDir, base, start));
    std::vector<std::string> rows;
    TvdlMemTable& t = aliases.Table();
    for (t.First(); !t.Eof(); t.Next())
        rows.push_back(t.FieldByName("Email").AsString() + ">" + t.FieldByName("User").AsString());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"info@office.example>carol", "info@office.example>carol",
                                              "sales@office.example>alice", "sales@office.example>dave"}));
    aliases.Close();
}

}  // namespace
