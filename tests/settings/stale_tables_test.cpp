// The settings window's OK never writes back an old copy of a table: a user
// added on the web administration page while the window is open keeps her
// login and her mail; a user renamed in the window takes her mail and her
// alias along. Real clients (curl) drive the web, SMTP and POP3 servers on
// loopback.
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/link.h"
#include "settings/mail_act.h"
#include "settings/pw.h"
#include "settings/setup.h"
#include "shell/main.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"
#include "transport/logins.h"
#include "transport/power_loss_env.h"
#include "transport/transport_test_util.h"
#include "transport/user_rename.h"
#include "web/http.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>

namespace {

using twtest::PeerProcess;
using twtest::ReadBytes;

std::vector<std::string> FileUsers(const std::string& path) {
    TvdlMemTable t;
    t.LoadFromBinaryFile(path);
    std::vector<std::string> names;
    for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name").AsString());
    std::sort(names.begin(), names.end());
    return names;
}

void AddUser(TvdlMemTable& t, const std::string& name, const std::string& password) {
    t.Append();
    t.FieldByName("Name").SetAsString(name);
    t.FieldByName("Password").SetAsString(password);
    t.Post();
}

class StaleTables : public twtest::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        // Refused logins of earlier tests do not lock this one out.
        logins::SetClockForTesting({});
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return platform::MsgResult::Ok;
        });
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        {
            platform::IniFile ini(ProgramDir + "tarnwick.ini");
            ini.WriteString("SMTP", "LocalPort", "0");
            ini.WriteString("POP", "LocalPort", "0");
            ini.WriteBool("Remote", "Enabled", true);
            ini.WriteString("Remote", "Port", "0");
            ini.WriteString("Remote", "Login", PW::EncryptPassword("admin"));
            ini.WriteString("Remote", "PW", PW::EncryptPassword("secret"));
        }
        {
            TvdlMemTable users;
            settings::DefineUsersTable(users);
            AddUser(users, "alice", "alicepw");
            users.SaveToBinaryFile(ProgramDir + "users.dat");
            TvdlMemTable domains;
            links::DefineDomainTable(domains);
            domains.Append();
            domains.FieldByName("Domain").SetAsString("office.example");
            domains.Post();
            domains.SaveToBinaryFile(ProgramDir + "domain.dat");
        }
        StartWindows();
    }
    // The windows of a start (the settings window loads the tables).
    void StartWindows() {
        // The web server first: it takes its port from the file, where 0
        // asks for a free one.
        http_ = std::make_unique<TFrmhttp>();
        Frmhttp = http_.get();
        ASSERT_GT(http_->ListeningPort(), 0);
        settings_ = std::make_unique<TFrmSettings>();
        FrmSettings = settings_.get();
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
        ASSERT_TRUE(smtp_->SMTPServer.Active());
        // The window's OK would move the servers to the window's ports (a
        // port of 0 reads as the standard one there); here they stay on
        // their free ones.
        setup::hooks.webServerRecheck = nullptr;
        setup::hooks.reopenSmtpServer = nullptr;
        setup::hooks.reopenPopServer = nullptr;
    }
    void StopWindows() {
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        settings_.reset();
        FrmSettings = nullptr;
        http_.reset();
        Frmhttp = nullptr;
    }
    // The program ends and starts again, on the disk `after` (a folder
    // that then becomes the home) when given.
    void Restart(const std::string& after = std::string()) {
        StopWindows();
        if (!after.empty()) {
            std::filesystem::remove_all(home_);
            std::filesystem::rename(after, home_);
        }
        settings::CompletePendingRename();
        StartWindows();
        if (!HasFatalFailure()) settings_->LoadSettings();
    }
    void TearDown() override {
        tables::Users().SetEnv(nullptr);
        StopWindows();
        TFrmMailAccount::ExecForTesting = nullptr;
        account_.reset();
        FrmMailAccount = nullptr;
        setup::hooks = setup::Hooks{};
        platform::SetDialogHandlerForTesting(nullptr);
        TempHome::TearDown();
    }

    // Runs curl with the arguments while the servers go on; its exit code.
    int Curl(std::vector<std::string> args, std::string* output = nullptr) {
        args.insert(args.begin(), {"-s", "--max-time", "15"});
        PeerProcess curl;
        if (!curl.Start("curl", args)) return -1;
        if (!curl.WaitFinished(20000)) return -2;
        if (output != nullptr) *output = curl.Output();
        return curl.Process().exitCode();
    }
    std::string Url(const char* scheme, int port, const std::string& path = "/") {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
    }
    // The user's POP3 mailbox listing, "refused" when she cannot log in.
    std::string PopList(const std::string& user, const std::string& password) {
        std::string out;
        if (Curl({Url("pop3", servers_->PopServer.Port()), "--user", user + ":" + password}, &out) != 0)
            return "refused";
        return out;
    }

    // alice's mail (two messages in, one saved on the web) and her alias
    // info@office.example, loaded by the window.
    void AliceWithMailAndAlias() {
        for (const char* stamp : {"100", "101"})
            twtest::WriteBytes(smtp::StoreFolder(smtp::FolderIn) + "alice_" + stamp + ".dat",
                               std::string("Subject: old ") + stamp + "\r\n\r\nhello\r\n.\r\n");
        twtest::WriteBytes(smtp::StoreFolder(smtp::FolderWebSaved) + "alice_102.dat", "Subject: kept\r\n\r\nx\r\n.\r\n");
        TvdlMemTable aliases;
        settings::DefineAliasTable(aliases);
        settings::AddAlias(aliases, "info@office.example", "alice");
        aliases.SaveToBinaryFile(ProgramDir + "elink.dat");
        settings_->LoadSettings();
    }
    // Users, Edit `user`: the new name and password, OK.
    void Rename(const std::string& user, const std::string& name, const std::string& password) {
        account_ = std::make_unique<TFrmMailAccount>();
        FrmMailAccount = account_.get();
        TFrmMailAccount::ExecForTesting = [name, password](TFrmMailAccount& d) {
            d.EditLogin->setText(QString::fromStdString(name));
            d.EditPassword->setText(QString::fromStdString(password));
            return true;
        };
        ASSERT_TRUE(settings_->TblUsers->Locate("Name", TvdlVariant(user), 0));
        settings_->UserBtnsFor(settings_->BtnEditUser);
    }

    // alice's three messages, her alias and the spam report, all under
    // one name, each message once, and her POP3 login by that name.
    void ExpectAllNamed(const std::string& name, const std::string& password) {
        EXPECT_FALSE(platform::FileExists(ProgramDir + settings::kRenameRecord));
        EXPECT_EQ(FileUsers(ProgramDir + "users.dat"), std::vector<std::string>{name});
        TvdlMemTable aliases;
        aliases.LoadFromBinaryFile(ProgramDir + "elink.dat");
        aliases.First();
        EXPECT_EQ(aliases.FieldByName("User").AsString(), name);
        EXPECT_EQ(platform::IniFile(ProgramDir + "tarnwick.ini").ReadString("Spam", "ReportUser", ""), name);
        EXPECT_EQ(platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "*"),
                  (std::vector<std::string>{name + "_100.dat", name + "_101.dat"}));
        EXPECT_EQ(platform::ListFiles(smtp::StoreFolder(smtp::FolderWebSaved), "*"),
                  std::vector<std::string>{name + "_102.dat"});
        const std::string listed = PopList(name, password);
        EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2) << listed;
    }

    std::vector<std::string> dialogs_;
    std::unique_ptr<TFrmMailAccount> account_;
    std::unique_ptr<TFrmhttp> http_;
    std::unique_ptr<TFrmSettings> settings_;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
};

TEST_F(StaleTables, UserAddedOnTheWebWhileTheSettingsWindowIsOpenSurvivesItsOk) {
    // Tools, Settings: the window loads and shows.
    settings_->LoadSettings();
    settings_->show();
    // Its own edit, not yet saved.
    AddUser(*settings_->TblUsers, "carol", "carolpw");

    std::string page;
    ASSERT_EQ(Curl({"--data", "user=admin&password=secret&users_name=nina&users_pw=ninapw&BtnPW=Add+New+User",
                    Url("http", http_->ListeningPort(), "/settings")},
                   &page),
              0);
    EXPECT_NE(page.find("users_name\" value=\"nina\""), std::string::npos) << page;
    EXPECT_NE(PopList("nina", "ninapw"), "refused");

    settings_->BtnOK->click();
    // The main window has the servers window reload its tables afterwards.
    servers_->FormCreate();

    EXPECT_EQ(FileUsers(ProgramDir + "users.dat"), (std::vector<std::string>{"alice", "carol", "nina"}));
    EXPECT_NE(PopList("nina", "ninapw"), "refused") << "her login still works";
    EXPECT_NE(PopList("carol", "carolpw"), "refused") << "the window's own user is there too";

    const std::string message = ProgramDir + "msg.eml";
    twtest::WriteBytes(message, "From: far@far.example\r\nTo: nina@office.example\r\nSubject: welcome\r\n\r\nhello nina\r\n");
    ASSERT_EQ(Curl({Url("smtp", smtp_->SMTPServer.Port()), "--mail-from", "far@far.example", "--mail-rcpt",
                    "nina@office.example", "--upload-file", message}),
              0);
    const auto inbox = platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "nina_*");
    EXPECT_EQ(inbox.size(), 1u) << "her mail has a mailbox: " << testing::PrintToString(inbox);
    EXPECT_EQ(PopList("nina", "ninapw").rfind("1 ", 0), 0u);
    std::string retrieved;
    ASSERT_EQ(Curl({Url("pop3", servers_->PopServer.Port(), "/1"), "--user", "nina:ninapw"}, &retrieved), 0);
    EXPECT_NE(retrieved.find("hello nina"), std::string::npos) << retrieved;
}

// A save that fails leaves users.dat whole and keeps the window's edit for
// the next Apply; the user added meanwhile on the web stays either way.
TEST_F(StaleTables, AFailedSaveKeepsTheFileAndTheWindowsEdit) {
    settings_->LoadSettings();
    AddUser(*settings_->TblUsers, "carol", "carolpw");
    ASSERT_EQ(Curl({"--data", "user=admin&password=secret&users_name=nina&users_pw=ninapw&BtnPW=Add+New+User",
                    Url("http", http_->ListeningPort(), "/settings")}),
              0);
    const std::string saved = ReadBytes(ProgramDir + "users.dat");

    platform::FaultInjectionEnv env;
    env.FailAt(platform::FaultInjectionEnv::Op::Rename, 1, ENOSPC);
    tables::Users().SetEnv(&env);
    settings_->ApplyEnableFor(settings_->GridUsers);
    settings_->BtnApply->click();
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("could not be saved"), std::string::npos) << dialogs_[0];
    EXPECT_NE(dialogs_[0].find("\rusers.dat: " + std::string(std::strerror(ENOSPC))), std::string::npos) << dialogs_[0];
    EXPECT_EQ(ReadBytes(ProgramDir + "users.dat"), saved);
    EXPECT_TRUE(settings_->TblUsers->FindKey({TvdlVariant("carol")})) << "the edit waits for another try";
    EXPECT_EQ(PopList("carol", "carolpw"), "refused");

    env.Clear();
    settings_->ApplyEnableFor(settings_->GridUsers);
    settings_->BtnApply->click();
    EXPECT_EQ(FileUsers(ProgramDir + "users.dat"), (std::vector<std::string>{"alice", "carol", "nina"}));
    EXPECT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(PopList("carol", "carolpw"), "refused");
    EXPECT_NE(PopList("nina", "ninapw"), "refused");
}

// Renamed in the window, alice reads all her old mail under her new name,
// and mail to her alias reaches her mailbox instead of going out.
TEST_F(StaleTables, ARenamedUserKeepsHerMailAndHerAlias) {
    AliceWithMailAndAlias();
    Rename("alice", "alicia", "aliciapw");
    settings_->BtnOK->click();
    servers_->FormCreate();
    EXPECT_TRUE(dialogs_.empty()) << dialogs_.front();

    EXPECT_EQ(PopList("alice", "alicepw"), "refused");
    std::string listed = PopList("alicia", "aliciapw");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2) << listed;
    EXPECT_TRUE(platform::FileExists(smtp::StoreFolder(smtp::FolderWebSaved) + "alicia_102.dat"));

    const std::string message = ProgramDir + "msg.eml";
    twtest::WriteBytes(message, "From: far@far.example\r\nTo: info@office.example\r\nSubject: hi\r\n\r\nhello\r\n");
    ASSERT_EQ(Curl({Url("smtp", smtp_->SMTPServer.Port()), "--mail-from", "far@far.example", "--mail-rcpt",
                    "info@office.example", "--upload-file", message}),
              0);
    listed = PopList("alicia", "aliciapw");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 3) << listed;
    EXPECT_TRUE(platform::ListFiles(smtp::StoreFolder(smtp::FolderOut), "*.txt").empty()) << "nothing goes out";
    EXPECT_TRUE(platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "alice_*").empty());

    // A change of case only: the files take the new spelling, none is lost.
    Rename("alicia", "Alicia", "aliciapw");
    settings_->BtnApply->click();
    for (const auto& name : platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "*"))
        EXPECT_EQ(name.rfind("Alicia_", 0), 0u) << name;
    listed = PopList("Alicia", "aliciapw");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 3) << listed;
}

// A message file that cannot be moved undoes the rename: every file keeps
// its name, the tables stay as they were and the window says why.
TEST_F(StaleTables, ARenameWhoseMailCannotMoveIsUndone) {
    AliceWithMailAndAlias();
    Rename("alice", "alicia", "aliciapw");
    const std::string users = ReadBytes(ProgramDir + "users.dat"), aliases = ReadBytes(ProgramDir + "elink.dat");
    {
        platform::FaultInjectionEnv env;
        env.FailAt(platform::FaultInjectionEnv::Op::Link, 2, ENOSPC);
        platform::ScopedEnv faulty(&env);
        settings_->BtnApply->click();
    }
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("could not be renamed to alicia: in/alice_101.dat could not be moved: " +
                               std::string(std::strerror(ENOSPC))),
              std::string::npos)
        << dialogs_[0];
    EXPECT_EQ(platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "*"),
              (std::vector<std::string>{"alice_100.dat", "alice_101.dat"}));
    EXPECT_EQ(ReadBytes(ProgramDir + "users.dat"), users);
    EXPECT_EQ(ReadBytes(ProgramDir + "elink.dat"), aliases);
    const std::string listed = PopList("alice", "alicepw");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2) << listed;
}

// A rename killed, or cut short by a power loss, at any step leaves a disk
// that the next start, before a server listens, carries through to one
// name: each message once under it, and every table and setting naming
// the same user.
TEST_F(StaleTables, ARenameCutShortByACrashIsCompletedAtTheNextStart) {
    AliceWithMailAndAlias();
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("Spam", "ReportUser", "alice");
    namespace fs = std::filesystem;
    const std::string pristine = home_ + ".pristine", after = home_ + ".after";
    fs::copy(home_, pristine, fs::copy_options::recursive);
    bool filePhase = false, tablePhase = false, done = false;
    for (int step = 1; step < 200 && !done; ++step) {
        if (step > 1) {
            StopWindows();
            fs::remove_all(home_);
            fs::copy(pristine, home_, fs::copy_options::recursive);
            StartWindows();
            ASSERT_FALSE(HasFatalFailure());
            settings_->LoadSettings();
        }
        Rename("alice", "alicia", "alicepw");
        twtest::PowerLossEnv power(home_);
        power.CrashAt(step);
        {
            platform::ScopedEnv faulty(&power);
            settings_->BtnApply->click();
        }
        fs::remove_all(after);
        fs::create_directories(after);
        power.RestoreInto(after);
        // Killed: the disk as the calls left it; power lost: as the syncs did.
        for (const std::string& image : {std::string(), after}) {
            SCOPED_TRACE("crash at step " + std::to_string(step) + (image.empty() ? ", killed" : ", power lost"));
            const std::string dir = image.empty() ? home_ : image;
            const bool recorded = platform::FileExists(dir + "/" + settings::kRenameRecord);
            filePhase = filePhase || (recorded && platform::ListFiles(dir + "/in", "alicia_*").size() == 1);
            if (recorded && FileUsers(dir + "/users.dat") == std::vector<std::string>{"alicia"}) {
                TvdlMemTable aliases;
                aliases.LoadFromBinaryFile(dir + "/elink.dat");
                aliases.First();
                tablePhase = tablePhase || aliases.FieldByName("User").AsString() == "alice";
            }

            Restart(image);
            ASSERT_FALSE(HasFatalFailure());
            const bool renamed = FileUsers(ProgramDir + "users.dat") == std::vector<std::string>{"alicia"};
            EXPECT_TRUE(renamed || !recorded) << "a recorded rename is completed";
            ExpectAllNamed(renamed ? "alicia" : "alice", "alicepw");
            if (recorded) {
                EXPECT_NE(ReadBytes(ProgramDir + "connect.log").find("alice renamed to alicia at start-up"),
                          std::string::npos);
            }
            // Later steps are the window's other settings.
            done = !power.Crashed() || (renamed && !recorded);
        }
    }
    EXPECT_TRUE(filePhase) << "a crash fell between two messages' moves";
    EXPECT_TRUE(tablePhase) << "a crash fell between two tables";
    fs::remove_all(pristine);
    fs::remove_all(after);
}

// Mail that can neither move on nor go back: the window says that the
// rename is half done and when it is completed, and the next start does.
TEST_F(StaleTables, ARenameThatCannotBeTakenBackIsCompletedAtTheNextStart) {
    AliceWithMailAndAlias();
    platform::IniFile(ProgramDir + "tarnwick.ini").WriteString("Spam", "ReportUser", "alice");
    Rename("alice", "alicia", "alicepw");
    {
        platform::FaultInjectionEnv env;
        env.FailAt(platform::FaultInjectionEnv::Op::Link, 2, EPERM);  // alice_101's move
        env.FailAt(platform::FaultInjectionEnv::Op::Link, 3, EPERM);  // alicia_100's move back
        platform::ScopedEnv faulty(&env);
        settings_->BtnApply->click();
    }
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("in/alicia_100.dat could not be given back the name alice_100.dat: " +
                               std::string(std::strerror(EPERM))),
              std::string::npos)
        << dialogs_[0];
    EXPECT_NE(dialogs_[0].find("completed at the next start"), std::string::npos) << dialogs_[0];
    EXPECT_EQ(dialogs_[0].find("keeps the old name"), std::string::npos) << dialogs_[0];
    const std::string record = ProgramDir + settings::kRenameRecord;
    EXPECT_EQ(ReadBytes(record), "tarnwick user rename 1\nalice\nalicia\n");
    struct stat st {};
    ASSERT_EQ(::stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Restart();
    ASSERT_FALSE(HasFatalFailure());
    ExpectAllNamed("alicia", "alicepw");
}

// A user once named alicia, deleted since, left her copy of a message sent
// to both: the same stamp and bytes as alice's. Completing alice -> alicia
// keeps both copies; alice's takes the next free name.
TEST_F(StaleTables, ACompletedRenameUnlinksNoOtherFileOfTheSameBytes) {
    AliceWithMailAndAlias();
    const std::string in = smtp::StoreFolder(smtp::FolderIn);
    twtest::WriteBytes(in + "alicia_100.dat", ReadBytes(in + "alice_100.dat"));
    twtest::WriteBytes(ProgramDir + settings::kRenameRecord, "tarnwick user rename 1\nalice\nalicia\n");
    Restart();
    ASSERT_FALSE(HasFatalFailure());
    auto files = platform::ListFiles(in, "*");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"alicia_100.dat", "alicia_1001.dat", "alicia_101.dat"}));
}

// A move taken back whose new name cannot be unlinked again (an append-only
// in/) leaves a second name on the message: the undo failed, the record
// stays and the window says the rename is half done.
TEST_F(StaleTables, AnUndoWhoseUnlinkFailsKeepsTheRecord) {
    AliceWithMailAndAlias();
    Rename("alice", "alicia", "alicepw");
    {
        platform::FaultInjectionEnv env;
        env.FailAt(platform::FaultInjectionEnv::Op::Unlink, 1, EPERM);  // alice_100 after its link
        env.FailAt(platform::FaultInjectionEnv::Op::Unlink, 2, EPERM);  // alicia_100, taking the link back
        platform::ScopedEnv faulty(&env);
        settings_->BtnApply->click();
    }
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("in/alicia_100.dat is still a second name of in/alice_100.dat"), std::string::npos)
        << dialogs_[0];
    EXPECT_NE(dialogs_[0].find("completed at the next start"), std::string::npos) << dialogs_[0];
    EXPECT_EQ(ReadBytes(ProgramDir + settings::kRenameRecord), "tarnwick user rename 1\nalice\nalicia\n");
}

// After a rename the main window's mailbox list and the tray hint show the
// user under her new name only.
TEST_F(StaleTables, ARenamedUserHasOneRowInTheMailboxList) {
    setenv("TARNWICK_HOME", home_.c_str(), 1);
    auto main = std::make_unique<TFrmMain>();
    AliceWithMailAndAlias();
    auto rows = [&] {
        std::vector<std::string> out;
        for (int i = 0; i < main->PopList->topLevelItemCount(); ++i)
            out.push_back(main->PopList->topLevelItem(i)->text(0).toStdString());
        return out;
    };
    servers_->RefreshMailCounts(false);
    ASSERT_EQ(rows(), std::vector<std::string>{"alice"});

    Rename("alice", "alicia", "aliciapw");
    settings_->BtnOK->click();
    servers_->RefreshMailCounts(false);
    EXPECT_EQ(rows(), std::vector<std::string>{"alicia"});
    EXPECT_NE(main->TrayHint().find("\ralicia: 2"), std::string::npos) << main->TrayHint();
    EXPECT_EQ(main->TrayHint().find("\ralice:"), std::string::npos) << main->TrayHint();
    main.reset();
    unsetenv("TARNWICK_HOME");
}

// Of two users whose names differ only in case (an older users.dat with a
// case-sensitive index), neither is renamed: they share one mailbox, and
// the rename would take the other's mail and leave two rows of the name.
TEST_F(StaleTables, AUserWithANameTwinInOtherCaseIsNotRenamed) {
    {
        TvdlMemTable users;
        tablefiles::Define(users, {{"Name", ftString, 64}, {"Password", ftString, 64}}, "ixName", "Name", ixPrimary);
        AddUser(users, "alice", "alicepw");
        AddUser(users, "ALICE", "otherpw");
        users.SaveToBinaryFile(ProgramDir + "users.dat");
    }
    AliceWithMailAndAlias();
    Rename("ALICE", "bob", "otherpw");
    settings_->BtnApply->click();
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("could not be renamed to bob: another user's name differs from ALICE only in case"),
              std::string::npos)
        << dialogs_[0];
    EXPECT_EQ(FileUsers(ProgramDir + "users.dat"), (std::vector<std::string>{"ALICE", "alice"}));
    EXPECT_EQ(platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "*"),
              (std::vector<std::string>{"alice_100.dat", "alice_101.dat"}));
}

// A user logged in over POP3 keeps her name: her session works on the
// files it listed at login.
TEST_F(StaleTables, ARenameIsRefusedWhileTheUserIsLoggedInOverPop3) {
    AliceWithMailAndAlias();
    PeerProcess pop;
    ASSERT_TRUE(pop.Start("python3", {"-c",
                                      "import poplib, sys\n"
                                      "p = poplib.POP3('127.0.0.1', int(sys.argv[1]), timeout=30)\n"
                                      "p.user('alice'); p.pass_('alicepw')\n"
                                      "print('logged in', flush=True)\n"
                                      "sys.stdin.readline()\n"
                                      "p.quit()\n",
                                      std::to_string(servers_->PopServer.Port())}));
    ASSERT_TRUE(pop.WaitFor("logged in")) << pop.Errors();
    Rename("alice", "alicia", "aliciapw");
    settings_->BtnApply->click();
    ASSERT_EQ(dialogs_.size(), 1u);
    EXPECT_NE(dialogs_[0].find("could not be renamed to alicia: alice is logged in over POP3 just now"),
              std::string::npos)
        << dialogs_[0];
    EXPECT_EQ(platform::ListFiles(smtp::StoreFolder(smtp::FolderIn), "*"),
              (std::vector<std::string>{"alice_100.dat", "alice_101.dat"}));
    EXPECT_EQ(FileUsers(ProgramDir + "users.dat"), std::vector<std::string>{"alice"});
    EXPECT_FALSE(platform::FileExists(ProgramDir + settings::kRenameRecord));
}

}  // namespace
