// Users, POP accounts and aliases of the settings window; the table files
// it creates, sets aside and migrates.
#include "settings_env.h"

#include "platform/files.h"
#include "transport/table_files.h"
#include "transport/store.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <deque>
#include <filesystem>

namespace {

using settings_test::SettingsEnv;
namespace fs = std::filesystem;

std::vector<std::string> Column(TvdlMemTable& t, const char* field) {
    std::vector<std::string> out;
    tablefiles::ForEach(t, [&] { out.push_back(t.FieldByName(field).AsString()); });
    return out;
}

std::unique_ptr<TvdlMemTable> LoadFile(const std::string& path) {
    auto t = std::make_unique<TvdlMemTable>();
    t->LoadFromBinaryFile(path);
    if (!t->Active()) t->Open();
    return t;
}

class Accounts : public SettingsEnv {
protected:
    // Scripted answers of the account dialog: user name and password, or
    // nothing for Cancel.
    struct UserAnswer {
        bool ok;
        std::string name, password;
    };
    void ScriptUsers(std::deque<UserAnswer> answers) {
        userAnswers_ = std::move(answers);
        TFrmMailAccount::ExecForTesting = [this](TFrmMailAccount& d) {
            if (userAnswers_.empty()) return false;
            UserAnswer a = userAnswers_.front();
            userAnswers_.pop_front();
            d.EditLogin->setText(QString::fromStdString(a.name));
            d.EditPassword->setText(QString::fromStdString(a.password));
            return a.ok;
        };
    }
    struct LinkAnswer {
        bool ok;
        std::string email, user;
    };
    void ScriptLinks(std::deque<LinkAnswer> answers) {
        linkAnswers_ = std::move(answers);
        TFrmLink::ExecForTesting = [this](TFrmLink& d) {
            if (linkAnswers_.empty()) return false;
            LinkAnswer a = linkAnswers_.front();
            linkAnswers_.pop_front();
            d.EditEmail->setText(QString::fromStdString(a.email));
            d.CBXUser->setCurrentIndex(d.CBXUser->findText(QString::fromStdString(a.user)));
            return a.ok;
        };
    }
    TFrmSettings& Loaded() {
        TFrmSettings& f = Form();
        f.LoadSettings();
        return f;
    }

private:
    std::deque<UserAnswer> userAnswers_;
    std::deque<LinkAnswer> linkAnswers_;
};

TEST_F(Accounts, MissingTablesAreCreatedWithTheirLayout) {
    TFrmSettings& f = Loaded();
    struct Case {
        const char* file;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"users.dat", {"Name", "Password"}},
        {"pop.dat", {"Name", "Host", "Login", "Password", "Include", "Leave", "Leavedays", "Default"}},
        {"link.dat", {"Email", "User"}},
        {"elink.dat", {"Email", "User"}},
        {"domain.dat", {"Domain"}},
        {"forward.dat", {"User", "IsLocal", "ForwardTo", "Copy"}},
        {"holiday.dat", {"User", "EndDate", "Subject", "Message", "Who"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(fs::exists(Dir() + c.file)) << c.file;
        auto file = LoadFile(Dir() + c.file);
        TvdlMemTable& t = *file;
        std::vector<std::string> names;
        for (int i = 0; i < t.FieldCount(); ++i) names.push_back(t.Fields(i).FieldName);
        EXPECT_EQ(names, c.fields) << c.file;
        EXPECT_EQ(t.RecordCount(), 0) << c.file;
    }
    EXPECT_FALSE(f.BtnEditUser->isEnabled());
    EXPECT_FALSE(f.BtnDelPop->isEnabled());
}

TEST_F(Accounts, UnreadableTableIsSetAsideNotDeleted) {
    for (const char* file : {"users.dat", "pop.dat", "link.dat", "forward.dat", "holiday.dat"}) {
        ASSERT_TRUE(platform::WriteFileAtomic(Dir() + file, std::string("garbage in ") + file));
    }
    TFrmSettings& f = Loaded();
    for (const char* file : {"users.dat", "pop.dat", "link.dat", "forward.dat", "holiday.dat"}) {
        std::string data;
        ASSERT_TRUE(platform::ReadFile(Dir() + file + ".bad", data)) << file;
        EXPECT_EQ(data, std::string("garbage in ") + file);
        EXPECT_EQ(LoadFile(Dir() + file)->RecordCount(), 0) << file;
    }
    EXPECT_TRUE(f.TblUsers->IsEmpty());
    std::string log;
    ASSERT_TRUE(platform::ReadFile(Dir() + "connect.log", log));
    EXPECT_NE(log.find("users.dat"), std::string::npos);
    // A second bad file does not overwrite the first one set aside.
    ASSERT_TRUE(platform::WriteFileAtomic(Dir() + "users.dat", "more garbage"));
    f.LoadSettings();
    EXPECT_TRUE(fs::exists(Dir() + "users.dat.bad1"));
}

TEST_F(Accounts, AddingUsersRefusesDuplicatesInAnyCaseAndUnsafeNames) {
    settings_test::WriteUsers(Dir(), {"bob"});
    TFrmSettings& f = Loaded();

    ScriptUsers({{true, "Bob", "x"}});
    f.UserBtnsFor(f.BtnAddUser);
    EXPECT_EQ(messages, (std::vector<std::string>{"User already exists"}));
    EXPECT_EQ(Column(*f.TblUsers, "Name"), (std::vector<std::string>{"bob"}));

    // Unsafe names are refused with the field check's message and the
    // dialog comes back until the values pass.
    messages.clear();
    ScriptUsers({{true, "..", "x"}, {true, "a/b", "x"}, {true, "", "x"}, {true, "ann", "bad pw"}, {true, "ann", "pw1"}});
    f.UserBtnsFor(f.BtnAddUser);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Illegal characters (only letters and digits please) in User name.",
                            "Illegal characters (only letters and digits please) in User name.",
                            "Field User name cannot be empty.",
                            "Illegal characters (only letters and digits please) in Password.",
                        }));
    EXPECT_EQ(Column(*f.TblUsers, "Name"), (std::vector<std::string>{"ann", "bob"}));
    EXPECT_EQ(f.userNames(), (std::vector<std::string>{"ann", "bob"}));
    // Only the user that was added got a welcome message.
    EXPECT_EQ(platform::ListFiles(Dir() + "in/", "*").size(), 1u);
    EXPECT_EQ(smtp::ListUserFiles(Dir() + "in/", "ann").size(), 1u);
    EXPECT_TRUE(f.BtnApply->isEnabled());

    // Cancel leaves everything as it was.
    ScriptUsers({{false, "zed", "x"}});
    f.UserBtnsFor(f.BtnAddUser);
    EXPECT_EQ(f.TblUsers->RecordCount(), 2);
}

TEST_F(Accounts, EditingAndDeletingUsers) {
    settings_test::WriteUsers(Dir(), {"ann", "bob"});
    TFrmSettings& f = Loaded();
    ASSERT_TRUE(f.TblUsers->Locate("Name", "bob", 0));
    ScriptUsers({{true, "ANN", "x"}});
    f.UserBtnsFor(f.BtnEditUser);
    EXPECT_EQ(messages, (std::vector<std::string>{"User already exists"}));
    // A change of case of the user's own name is allowed.
    ASSERT_TRUE(f.TblUsers->Locate("Name", "bob", 0));
    ScriptUsers({{true, "Bob", "newpw"}});
    f.UserBtnsFor(f.BtnEditUser);
    EXPECT_EQ(Column(*f.TblUsers, "Name"), (std::vector<std::string>{"ann", "Bob"}));
    EXPECT_EQ(f.TblUsers->FieldByName("Password").AsString(), "newpw");
    EXPECT_EQ(f.userNames(), (std::vector<std::string>{"ann", "Bob"}));

    f.UserBtnsFor(f.BtnDelUser);
    f.UserBtnsFor(f.BtnDelUser);
    EXPECT_TRUE(f.TblUsers->IsEmpty());
    EXPECT_FALSE(f.BtnEditUser->isEnabled());
    EXPECT_FALSE(f.BtnDelUser->isEnabled());
    EXPECT_TRUE(f.GPBInstruct->isHidden());
    EXPECT_TRUE(f.userNames().empty());
}

TEST_F(Accounts, CancelReloadsTheUsersFromTheirFile) {
    settings_test::WriteUsers(Dir(), {"ann"});
    TFrmSettings& f = Loaded();
    ScriptUsers({{true, "bob", "x"}});
    f.UserBtnsFor(f.BtnAddUser);
    EXPECT_EQ(f.TblUsers->RecordCount(), 2);
    f.LoadSettings();
    EXPECT_EQ(Column(*f.TblUsers, "Name"), (std::vector<std::string>{"ann"}));
    ScriptUsers({{true, "bob", "x"}});
    f.UserBtnsFor(f.BtnAddUser);
    f.SaveSettings();
    EXPECT_EQ(LoadFile(Dir() + "users.dat")->RecordCount(), 2);
}

TEST_F(Accounts, AliasesAreStoredOnceAndInLowerCase) {
    settings_test::WriteUsers(Dir(), {"ann", "Bob"});
    TFrmSettings& f = Loaded();
    ScriptLinks({{true, "Sales@Office.Example", "Bob"}});
    f.LinkBtnsFor(f.BtnLinkAdd);
    ScriptLinks({{true, "sales@office.example", "Bob"}});
    f.LinkBtnsFor(f.BtnLinkAdd);
    EXPECT_EQ(f.tbleLink->RecordCount(), 1);
    EXPECT_EQ(Column(*f.tbleLink, "Email"), (std::vector<std::string>{"sales@office.example"}));
    // The same user in another letter case is the same user.
    EXPECT_FALSE(TFrmLink::AddLinkTo(*f.tbleLink, "SALES@office.example", "bob"));
    // The same address to another user is a second row.
    ScriptLinks({{true, "sales@office.example", "ann"}});
    f.LinkBtnsFor(f.BtnLinkAdd);
    EXPECT_EQ(Column(*f.tbleLink, "User"), (std::vector<std::string>{"Bob", "ann"}));
    EXPECT_FALSE(TFrmLink::AddLinkTo(*f.tbleLink, "", "ann"));
    EXPECT_FALSE(TFrmLink::AddLinkTo(*f.tbleLink, "x@y", ""));
    EXPECT_TRUE(f.BtnLinkDel->isEnabled());
    // The crash reporter's sender is the first alias.
    EXPECT_EQ(setup::crashSettings.sender, "Bob <sales@office.example>");

    // Edit changes the current row, in lower case too.
    ScriptLinks({{true, "Info@Office.Example", "ann"}});
    f.LinkBtnsFor(f.BtnLinkEdit);
    EXPECT_EQ(f.tbleLink->FieldByName("Email").AsString(), "info@office.example");
}

TEST_F(Accounts, AliasAndPopButtonsNeedAUser) {
    TFrmSettings& f = Loaded();
    f.LinkBtnsFor(f.BtnLinkAdd);
    f.PopBtnsFor(f.BtnAddPop);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "You need at least one user creating a local distribution link.",
                            "You need at least one user before working on your POP accounts",
                        }));
}

TEST_F(Accounts, PopAccountsAddAndRefuseDuplicates) {
    settings_test::WriteUsers(Dir(), {"ann"});
    TFrmSettings& f = Loaded();
    struct Answer {
        std::string name, host, login;
        bool leave;
        bool deleteAfter;
        int days;
    };
    std::deque<Answer> answers = {
        {"Work", "pop.example", "ann1", true, true, 14},
        {"Work", "pop2.example", "ann2", false, false, 1},  // exists: asked again
        {"", "pop2.example", "ann2", false, false, 1},      // empty name: asked again
        {"Home", "pop2.example", "ann2", true, false, 5},
    };
    TFrmMailAccount::ExecForTesting = [&](TFrmMailAccount& d) {
        EXPECT_TRUE(d.CheckBox1->isChecked());  // new accounts are included
        Answer a = answers.front();
        answers.pop_front();
        d.EditName->setText(QString::fromStdString(a.name));
        d.EditHost->setText(QString::fromStdString(a.host));
        d.EditLogin->setText(QString::fromStdString(a.login));
        d.CheckBox2->setChecked(a.leave);
        d.CheckBox3->setChecked(a.deleteAfter);
        d.RxSpinEdit1->setValue(a.days);
        d.CBXUser->setCurrentIndex(0);
        return true;
    };
    f.PopBtnsFor(f.BtnAddPop);
    f.PopBtnsFor(f.BtnAddPop);
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(messages, (std::vector<std::string>{"Account Work already exists", "Field Account name cannot be empty."}));
    EXPECT_EQ(Column(*f.TblPop, "Name"), (std::vector<std::string>{"Home", "Work"}));
    ASSERT_TRUE(f.TblPop->Locate("Name", "Work", 0));
    EXPECT_EQ(f.TblPop->FieldByName("Leavedays").AsInteger(), 14);
    EXPECT_EQ(f.TblPop->FieldByName("Default").AsString(), "ann");
    ASSERT_TRUE(f.TblPop->Locate("Name", "Home", 0));
    EXPECT_TRUE(f.TblPop->FieldByName("Leave").AsBoolean());
    EXPECT_EQ(f.TblPop->FieldByName("Leavedays").AsInteger(), 0);  // "Delete after" off
    EXPECT_TRUE(f.BtnEditPop->isEnabled());
}

TEST_F(Accounts, PopDialogShowsLeaveDaysAndDefaultUser) {
    settings_test::WriteUsers(Dir(), {"ann", "bob"});
    Loaded();
    TFrmMailAccount& d = *FrmMailAccount;
    struct Case {
        bool leave;
        int days;
        bool deleteAfter;
        int spin;
    };
    for (const Case& c : {Case{false, 0, false, 1}, Case{true, 0, false, 1}, Case{true, 7, true, 7}, Case{false, 7, false, 7}}) {
        TFrmMailAccount::ExecForTesting = [&](TFrmMailAccount& dlg) {
            EXPECT_EQ(dlg.CheckBox3->isChecked(), c.deleteAfter);
            EXPECT_EQ(dlg.RxSpinEdit1->value(), c.spin);
            EXPECT_EQ(dlg.CheckBox3->isEnabled(), c.leave);
            EXPECT_EQ(dlg.CBXUser->currentText().toStdString(), "bob");
            EXPECT_EQ(dlg.Label5->text().toStdString(), c.spin == 1 ? "day" : "days");
            return false;
        };
        std::string name = "Acc", host, login, pw, def = "bob";
        bool include = true, leave = c.leave;
        int days = c.days;
        EXPECT_FALSE(d.EditPopAccount("POP account", name, host, login, pw, include, leave, days, def));
        EXPECT_EQ(days, c.days);  // cancel writes nothing back
    }
}

// A pop.dat of the oldest layout: no Leave, Leavedays or Default.
void WriteOldPop(const std::string& dir) {
    TvdlMemTable t;
    tablefiles::Define(t,
                       {{"Name", ftString, 64},
                        {"Host", ftString, 64},
                        {"Login", ftString, 64},
                        {"Password", ftString, 64},
                        {"Include", ftBoolean, 0}},
                       "ixName", "Name", ixPrimary);
    for (const char* n : {"Work", "Club"}) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.FieldByName("Host").SetAsString(std::string("pop.") + n + ".example");
        t.FieldByName("Login").SetAsString("me");
        t.FieldByName("Password").SetAsString("pw");
        t.FieldByName("Include").SetAsBoolean(true);
        t.Post();
    }
    t.SaveToBinaryFile(dir + "pop.dat");
}

TEST_F(Accounts, OldPopFileIsMigratedOnceWithTheDefaults) {
    settings_test::WriteUsers(Dir(), {"ann"});
    WriteOldPop(Dir());
    {
        TvdlMemTable link;
        settings::DefineLinkTable(link);
        link.Append();
        link.FieldByName("Email").SetAsString("[Default]");
        link.FieldByName("User").SetAsString("ann");
        link.Post();
        link.SaveToBinaryFile(Dir() + "link.dat");
    }
    TFrmSettings& f = Loaded();
    auto popFile = LoadFile(Dir() + "pop.dat");
    TvdlMemTable& pop = *popFile;
    ASSERT_NE(pop.FindField("Default"), nullptr);
    ASSERT_EQ(pop.RecordCount(), 2);
    for (pop.First(); !pop.Eof(); pop.Next()) {
        EXPECT_EQ(pop.FieldByName("Login").AsString(), "me");
        EXPECT_TRUE(pop.FieldByName("Include").AsBoolean());
        EXPECT_FALSE(pop.FieldByName("Leave").AsBoolean());
        EXPECT_EQ(pop.FieldByName("Leavedays").AsInteger(), 10);
        EXPECT_EQ(pop.FieldByName("Default").AsString(), "ann");
    }
    ASSERT_TRUE(pop.Locate("Name", "Club", 0));
    EXPECT_EQ(pop.FieldByName("Host").AsString(), "pop.Club.example");
    // The old file is kept beside it.
    EXPECT_EQ(LoadFile(Dir() + "pop.old")->FindField("Default"), nullptr);
    EXPECT_EQ(f.TblPop->RecordCount(), 2);

    // The next load finds the new layout and changes nothing.
    fs::remove(Dir() + "pop.old");
    std::string before, after;
    platform::ReadFile(Dir() + "pop.dat", before);
    f.LoadSettings();
    platform::ReadFile(Dir() + "pop.dat", after);
    EXPECT_FALSE(fs::exists(Dir() + "pop.old"));
    EXPECT_EQ(before, after);
}

TEST_F(Accounts, OldAutoResponseFileGetsTheSubjectField) {
    {
        TvdlMemTable t;
        tablefiles::Define(t, {{"User", ftString, 64}, {"EndDate", ftDate, 0}, {"Message", ftMemo, 240}, {"Who", ftInteger, 0}},
                           "ixUser", "User", ixPrimary | ixCaseInsensitive);
        t.Append();
        t.FieldByName("User").SetAsString("ann");
        t.FieldByName("Message").SetAsString("Back on Monday");
        t.FieldByName("Who").SetAsInteger(2);
        t.Post();
        t.SaveToBinaryFile(Dir() + "holiday.dat");
    }
    TFrmSettings& f = Loaded();
    auto file = LoadFile(Dir() + "holiday.dat");
    TvdlMemTable& h = *file;
    ASSERT_NE(h.FindField("Subject"), nullptr);
    ASSERT_EQ(h.RecordCount(), 1);
    h.First();
    EXPECT_EQ(h.FieldByName("Subject").AsString(), "Out of Office AutoReply: [Subject]");
    EXPECT_EQ(h.FieldByName("Message").AsString(), "Back on Monday");
    EXPECT_EQ(h.FieldByName("Who").AsInteger(), 2);
    EXPECT_TRUE(h.FieldByName("EndDate").IsNull());
    EXPECT_FALSE(fs::exists(Dir() + "holiday.old"));
    EXPECT_TRUE(f.BtnEditHoliday->isEnabled());
}

TEST_F(Accounts, AliasTableIsBuiltFromOlderFiles) {
    {
        TvdlMemTable users;
        tablefiles::Define(users, {{"Name", ftString, 64}, {"Password", ftString, 64}, {"Email", ftString, 64}},
                           "ixName", "Name", ixPrimary);
        for (auto [n, e] : {std::pair{"ann", "Ann@Office.Example"}, std::pair{"bob", ""}}) {
            users.Append();
            users.FieldByName("Name").SetAsString(n);
            users.FieldByName("Email").SetAsString(e);
            users.Post();
        }
        users.SaveToBinaryFile(Dir() + "users.dat");
        TvdlMemTable link;
        settings::DefineLinkTable(link);
        for (auto [e, u] : {std::pair{"[Default]", "ann"}, std::pair{"sales@office.example", "bob"},
                            std::pair{"ann@office.example", "ann"}}) {
            link.Append();
            link.FieldByName("Email").SetAsString(e);
            link.FieldByName("User").SetAsString(u);
            link.Post();
        }
        link.SaveToBinaryFile(Dir() + "link.dat");
    }
    TFrmSettings& f = Loaded();
    EXPECT_EQ(Column(*f.tbleLink, "Email"), (std::vector<std::string>{"ann@office.example", "sales@office.example"}));
    EXPECT_EQ(LoadFile(Dir() + "elink.dat")->RecordCount(), 2);
}

TEST_F(Accounts, DownloadedMessageResetWritesAnEmptyRecord) {
    TFrmSettings& f = Loaded();
    ASSERT_TRUE(platform::WriteFileAtomic(Dir() + "uidl.dat", "old"));
    f.Button1Click();
    auto uidlFile = LoadFile(Dir() + "uidl.dat");
    TvdlMemTable& uidl = *uidlFile;
    EXPECT_EQ(uidl.RecordCount(), 0);
    EXPECT_NE(uidl.FindField("Received"), nullptr);
}

TEST_F(Accounts, AddLocalUserFromAScript) {
    struct Case {
        const char* name;
        bool ok;
    };
    const Case cases[] = {{"demo", true}, {"DEMO", false}, {"..", false}, {"a/b", false},
                          {"x\ny", false}, {"", false},     {"anne.m", true}};
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(settings::AddLocalUser(Dir(), c.name, "demo", &error), c.ok) << c.name << ": " << error;
    }
    auto usersFile = LoadFile(Dir() + "users.dat");
    TvdlMemTable& users = *usersFile;
    users.SetIndexName("ixName");
    EXPECT_EQ(Column(users, "Name"), (std::vector<std::string>{"anne.m", "demo"}));
    ASSERT_TRUE(users.Locate("Name", "demo", 0));
    EXPECT_EQ(users.FieldByName("Password").AsString(), "demo");
}

}  // namespace
