// The engine starts its tables without any window: the users table read
// from a file the settings window wrote keeps the window's layout, field by
// field and index by index, whichever engine path reads it; older pop.dat
// files are migrated once by the engine alone.
#include "transport/engine_tables.h"

#include "platform/dialogs.h"
#include "platform/files.h"
#include "transport/account_tables.h"
#include "transport/servers.h"
#include "transport/table_owner.h"
#include "transport/transport_test_util.h"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

// The users table as the settings window has always laid it out: a table
// read the way the window read it, straight from the file it wrote.
std::unique_ptr<TvdlMemTable> WindowLayout() {
    auto t = std::make_unique<TvdlMemTable>();
    t->LoadFromBinaryFile(std::string(TW_TEST_SOURCE_DIR) + "/transport/golden/settings_window_users.dat");
    t->SetIndexName("ixName");
    return t;
}

void ExpectUsersLayout(TvdlMemTable& t, const std::string& how) {
    auto window = WindowLayout();
    ASSERT_TRUE(t.Active()) << how;
    ASSERT_EQ(t.FieldDefs().Count(), 2) << how;
    ASSERT_EQ(t.FieldDefs().Count(), window->FieldDefs().Count()) << how;
    for (int i = 0; i < t.FieldDefs().Count(); ++i) {
        const TFieldDef& f = t.FieldDefs()[i];
        const TFieldDef& w = window->FieldDefs()[i];
        EXPECT_EQ(f.Name, w.Name) << how << " field " << i;
        EXPECT_EQ(f.DataType, w.DataType) << how << " field " << f.Name;
        EXPECT_EQ(f.Size, w.Size) << how << " field " << f.Name;
        EXPECT_EQ(f.Required, w.Required) << how << " field " << f.Name;
    }
    ASSERT_EQ(t.IndexDefs().Count(), 1) << how;
    ASSERT_EQ(t.IndexDefs().Count(), window->IndexDefs().Count()) << how;
    for (int i = 0; i < t.IndexDefs().Count(); ++i) {
        const TIndexDef& x = t.IndexDefs()[i];
        const TIndexDef& w = window->IndexDefs()[i];
        EXPECT_EQ(x.Name, w.Name) << how << " index " << i;
        EXPECT_EQ(x.Fields, w.Fields) << how << " index " << x.Name;
        EXPECT_EQ(x.Options, w.Options) << how << " index " << x.Name;
        EXPECT_TRUE(x.Options & ixCaseInsensitive) << how << " index " << x.Name;
    }
    EXPECT_EQ(t.IndexName(), window->IndexName()) << how;
}

class EngineTables : public twtest::TempHome {
public:
    void StartServers() {
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
    }

protected:
    void SetUp() override {
        TempHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return platform::MsgResult::Ok;
        });
        ASSERT_TRUE(platform::WriteFileAtomic(Path("tarnwick.ini"), "[POP]\nLocalPort=0\n"));
    }
    void TearDown() override {
        servers_.reset();
        FrmServers = nullptr;
        for (tables::TableOwner* owner : {&tables::Users(), &tables::PopAccounts(), &tables::Links(),
                                          &tables::Aliases(), &tables::Domains(), &tables::Forwards(),
                                          &tables::Holidays(), &tables::Uidl()})
            owner->Close();
        platform::SetDialogHandlerForTesting({});
        TempHome::TearDown();
    }
    std::vector<std::string> dialogs_;
    std::unique_ptr<TFrmServers> servers_;
};

TEST_F(EngineTables, UsersFileOfTheSettingsWindowKeepsItsLayoutOnEveryEnginePath) {
    std::string windowFile;
    ASSERT_TRUE(platform::ReadFile(std::string(TW_TEST_SOURCE_DIR) + "/transport/golden/settings_window_users.dat",
                                   windowFile));
    const struct {
        const char* how;
        std::function<void(EngineTables&)> load;
    } paths[] = {
        {"LoadUsers", [](EngineTables&) { tables::LoadUsers(ProgramDir); }},
        {"LoadEngineTables", [](EngineTables&) { tables::LoadEngineTables(ProgramDir); }},
        {"servers", [](EngineTables& t) { t.StartServers(); }},
    };
    for (const auto& path : paths) {
        ASSERT_TRUE(platform::WriteFileAtomic(Path("users.dat"), windowFile));
        tables::Users().Close();
        path.load(*this);
        TvdlMemTable& users = tables::Users().Table();
        ExpectUsersLayout(users, path.how);
        EXPECT_EQ(tables::UserNames(), (std::vector<std::string>{"Ann", "bob"})) << path.how;
        // The index's case rule holds for look-ups, not just on paper.
        EXPECT_TRUE(users.FindKey({TvdlVariant(std::string("ANN"))})) << path.how;
        EXPECT_EQ(users.FieldByName("Password").AsString(), "AnnPW") << path.how;
        // The file is read, not rewritten.
        std::string now;
        ASSERT_TRUE(platform::ReadFile(Path("users.dat"), now));
        EXPECT_EQ(now, windowFile) << path.how;
        servers_.reset();
        FrmServers = nullptr;
    }
    EXPECT_TRUE(dialogs_.empty());
}

// The servers used to make their own users table, without the
// case-insensitive index, when users.dat could not be read.
TEST_F(EngineTables, UnreadableUsersFileGivesTheSameLayoutToTheServers) {
    ASSERT_TRUE(platform::WriteFileAtomic(Path("users.dat"), "garbage"));
    StartServers();
    ExpectUsersLayout(servers_->TblUsers, "servers");
    EXPECT_EQ(servers_->TblUsers.RecordCount(), 0);
    std::string kept;
    ASSERT_TRUE(platform::ReadFile(Path("users.dat.bad"), kept));
    EXPECT_EQ(kept, "garbage");
}

// link.dat naming a default user, and a pop.dat from before the Leave and
// Default fields.
void WriteOldAccountFiles() {
    TvdlMemTable link;
    settings::DefineLinkTable(link);
    link.Append();
    link.FieldByName("Email").SetAsString("[Default]");
    link.FieldByName("User").SetAsString("ann");
    link.Post();
    link.SaveToBinaryFile(ProgramDir + "link.dat");
    TvdlMemTable pop;
    pop.FieldDefs().Add("Name", ftString, 64);
    pop.FieldDefs().Add("Host", ftString, 64);
    pop.FieldDefs().Add("Login", ftString, 64);
    pop.FieldDefs().Add("Password", ftString, 64);
    pop.FieldDefs().Add("Include", ftBoolean);
    pop.CreateTable();
    pop.AddIndex("ixName", "Name", ixPrimary);
    pop.Open();
    pop.Append();
    pop.FieldByName("Name").SetAsString("work");
    pop.FieldByName("Host").SetAsString("pop.example");
    pop.FieldByName("Include").SetAsBoolean(true);
    pop.Post();
    pop.SaveToBinaryFile(ProgramDir + "pop.dat");
}

TEST_F(EngineTables, OldPopFileIsMigratedOnceWithoutAWindow) {
    WriteOldAccountFiles();
    tables::LoadEngineTables(ProgramDir);
    TvdlMemTable& pop = tables::PopAccounts().Table();
    ASSERT_NE(pop.FindField("Leave"), nullptr);
    ASSERT_TRUE(pop.FindKey({TvdlVariant(std::string("work"))}));
    EXPECT_EQ(pop.FieldByName("Host").AsString(), "pop.example");
    EXPECT_TRUE(pop.FieldByName("Include").AsBoolean());
    EXPECT_FALSE(pop.FieldByName("Leave").AsBoolean());
    EXPECT_EQ(pop.FieldByName("Leavedays").AsInteger(), 10);
    EXPECT_EQ(pop.FieldByName("Default").AsString(), "ann");
    std::string old, migrated;
    ASSERT_TRUE(platform::ReadFile(Path("pop.old"), old));
    ASSERT_TRUE(platform::ReadFile(Path("pop.dat"), migrated));
    // The next start finds the new layout and leaves both files alone.
    tables::LoadEngineTables(ProgramDir);
    std::string oldAgain, migratedAgain;
    ASSERT_TRUE(platform::ReadFile(Path("pop.old"), oldAgain));
    ASSERT_TRUE(platform::ReadFile(Path("pop.dat"), migratedAgain));
    EXPECT_EQ(oldAgain, old);
    EXPECT_EQ(migratedAgain, migrated);
    // The alias and domain files are made on first start.
    EXPECT_TRUE(platform::FileExists(Path("elink.dat")));
    EXPECT_TRUE(platform::FileExists(Path("domain.dat")));
}

// A disk that fills up, or cannot make the new file durable, while the
// migration writes leaves pop.dat as it was, byte for byte: the next start
// finds the accounts again.
TEST_F(EngineTables, AMigrationThatCannotBeWrittenKeepsTheOldFile) {
    WriteOldAccountFiles();
    std::string old;
    ASSERT_TRUE(platform::ReadFile(Path("pop.dat"), old));
    using Op = platform::FaultInjectionEnv::Op;
    for (const auto& [op, error] : {std::pair{Op::Append, ENOSPC}, std::pair{Op::Sync, EIO}}) {
        SCOPED_TRACE(op == Op::Append ? "append fails" : "sync fails");
        {
            platform::FaultInjectionEnv disk;
            disk.FailAt(op, 0, error);
            platform::ScopedEnv scoped(&disk);
            EXPECT_ANY_THROW(tables::LoadPopAccounts(ProgramDir));
        }
        std::string now;
        ASSERT_TRUE(platform::ReadFile(Path("pop.dat"), now));
        EXPECT_EQ(now, old);
    }
    {
        // Only the keepsake copy fails: the conversion goes on, and the log must not claim the copy.
        platform::FaultInjectionEnv disk;
        disk.FailAt(Op::Append, 1, ENOSPC);
        platform::ScopedEnv scoped(&disk);
        tables::LoadPopAccounts(ProgramDir);
    }
    std::string log;
    platform::ReadFile(Path("connect.log"), log);
    EXPECT_NE(log.find("the old file could not be kept as pop.old"), std::string::npos) << log;
    EXPECT_TRUE(tables::PopAccounts().Table().FindKey({TvdlVariant(std::string("work"))}));
    EXPECT_NE(tables::PopAccounts().Table().FindField("Default"), nullptr);
}

}  // namespace
