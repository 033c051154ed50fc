// Local address resolution over alias, domain and user tables.
#include "platform/inifile.h"
#include "transport/local_address.h"
#include "core_app.h"
#include "engine_state.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "transport/smtp.h"
#include "transport/table_owner.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void AddRow(TvdlMemTable& t, std::initializer_list<std::pair<const char*, const char*>> values) {
    t.Append();
    for (const auto& [field, value] : values) t.FieldByName(field).SetAsString(value);
    t.Post();
}

class LocalAddress : public ::testing::Test {
protected:
    void SetUp() override {
        settings::DefineUsersTable(users);
        settings::DefineAliasTable(aliases);
        settings::DefineDomainTable(domains);
        for (const char* u : {"alice", "Bob", "carol"}) AddRow(users, {{"Name", u}, {"Password", "x"}});
        // Aliases as older files may hold them: not all lower case.
        AddRow(aliases, {{"Email", "sales@office.example"}, {"User", "alice"}});
        AddRow(aliases, {{"Email", "sales@office.example"}, {"User", "bob"}});
        AddRow(aliases, {{"Email", "Info@Office.Example"}, {"User", "carol"}});
        AddRow(aliases, {{"Email", "gone@office.example"}, {"User", "dave"}});
        AddRow(aliases, {{"Email", "frontdesk"}, {"User", "carol"}});
        AddRow(aliases, {{"Email", "*@catch.example"}, {"User", "robot"}});
        AddRow(aliases, {{"Email", "*@both.example"}, {"User", "alice"}});
        AddRow(aliases, {{"Email", "alice@home.example"}, {"User", "alice"}});
        AddRow(domains, {{"Domain", "office.example"}});
        AddRow(domains, {{"Domain", "Home.Example"}});
        AddRow(domains, {{"Domain", "both.example"}});
    }

    bool Resolve(const std::string& address, std::vector<std::string>& out) {
        settings::LocalTables t{&aliases, &domains, &users, &users};
        return settings::ResolveLocalAddress(t, address, out);
    }

    TvdlMemTable users, aliases, domains;
};

TEST_F(LocalAddress, ResolvesByAliasCatchAllAndLocalDomain) {
    struct Case {
        const char* address;
        bool local;
        std::vector<std::string> users;
    };
    const Case cases[] = {
        // Rule 1: the alias, only for users that exist; names as the users
        // table spells them.
        {"<sales@office.example>", true, {"alice", "Bob"}},
        {"Sales Team <SALES@Office.Example>", true, {"alice", "Bob"}},
        {"info@office.example", true, {"carol"}},
        {"gone@office.example", false, {}},
        // Rule 2: a catch-all names its user whether or not it exists.
        {"anyone@catch.example", true, {"robot"}},
        {"<Someone@CATCH.example>", true, {"robot"}},
        // Rule 3: user name at a local domain, any letter case.
        {"carol@office.example", true, {"carol"}},
        {"BOB@OFFICE.EXAMPLE", true, {"Bob"}},
        {"bob@home.example", true, {"Bob"}},
        {"nobody@office.example", false, {}},
        // Rules 2 and 3 together; each user once.
        {"carol@both.example", true, {"alice", "carol"}},
        {"alice@both.example", true, {"alice"}},
        // Rules 1 and 3 name the same user: listed once.
        {"alice@home.example", true, {"alice"}},
        // Without "@" only an alias can match.
        {"frontdesk", true, {"carol"}},
        {"<frontdesk>", true, {"carol"}},
        {"alice", false, {}},
        // The address as a reader takes it: a "<" in a quoted name or a
        // comment is text.
        {"\"Bob <x@far.example>\" <bob@office.example>", true, {"Bob"}},
        {"carol@office.example (Carol <c@far.example>)", true, {"carol"}},
        {"\"<carol@office.example>\" <x@far.example>", false, {}},
        // Not local.
        {"<>", false, {}},
        {"", false, {}},
        {"alice@elsewhere.example", false, {}},
        {"@office.example", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> out = {"stale"};
        EXPECT_EQ(Resolve(c.address, out), c.local) << c.address;
        EXPECT_EQ(out, c.users) << c.address;
    }
}

TEST_F(LocalAddress, LeavesTheTablesWhereTheyWere) {
    ASSERT_TRUE(aliases.Locate("Email", "frontdesk", loCaseInsensitive));
    const int mark = aliases.GetBookmark();
    std::vector<std::string> out;
    Resolve("sales@office.example", out);
    EXPECT_EQ(aliases.GetBookmark(), mark);
}

TEST_F(LocalAddress, AliasTargetsAreCheckedInTheServersCopyOfTheUsers) {
    TvdlMemTable serversUsers;
    settings::DefineUsersTable(serversUsers);
    AddRow(serversUsers, {{"Name", "alice"}, {"Password", "x"}});
    settings::LocalTables t{&aliases, &domains, &serversUsers, &users};
    std::vector<std::string> out;
    EXPECT_TRUE(settings::ResolveLocalAddress(t, "sales@office.example", out));
    EXPECT_EQ(out, (std::vector<std::string>{"alice"}));
    // The local-domain rule reads the other copy.
    EXPECT_TRUE(settings::ResolveLocalAddress(t, "carol@office.example", out));
    EXPECT_EQ(out, (std::vector<std::string>{"carol"}));
}

TEST_F(LocalAddress, MissingTablesMeanNothingIsLocal) {
    settings::LocalTables none;
    std::vector<std::string> out;
    EXPECT_FALSE(settings::ResolveLocalAddress(none, "alice@office.example", out));
    EXPECT_TRUE(out.empty());
}

// The SMTP server's routine reads the tables the engine was started with.
TEST(LocalAddressWindows, SmtpWindowResolvesThroughTheSettingsTables) {
    twtest::EnsureCoreApp();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string saved = ProgramDir;
    ProgramDir = dir.path().toStdString() + "/";
    ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "Ann", "pw"));
    {
        TvdlMemTable domains;
        settings::DefineDomainTable(domains);
        AddRow(domains, {{"Domain", "office.example"}});
        domains.SaveToBinaryFile(ProgramDir + "domain.dat");
    }
    {
        twtest::EngineState engine;
        settings::AddAlias(tables::Aliases().Table(), "Sales@Office.Example", "ann");
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("SMTP", "LocalPort", "0");
        TFrmSMTP smtp;
        std::vector<std::string> users;
        EXPECT_TRUE(smtp.IsLocalAddress("<ANN@office.EXAMPLE>", users));
        EXPECT_EQ(users, (std::vector<std::string>{"Ann"}));
        EXPECT_TRUE(smtp.IsLocalAddress("sales@office.example", users));
        EXPECT_EQ(users, (std::vector<std::string>{"Ann"}));
        EXPECT_FALSE(smtp.IsLocalAddress("<>", users));
    }
    ProgramDir = saved;
}

}  // namespace
