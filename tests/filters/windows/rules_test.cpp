// Rules engine and add-in windows: which rules a message meets, the add-in
// chain run through real libraries built for the test, the failures that
// must not cost the message, and the rule list's editing and storage.
#include "filters/windows/rule_window.h"
#include "filters/windows/addins_window.h"
#include "filters/holiday.h"

#include "filters/filters_env.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <unistd.h>

namespace {

using filters_test::FiltersEnv;
using filters_test::Read;
using filters_test::Shell;
using filters_test::Write;
using AddInRule::TRule;
namespace fs = std::filesystem;

// Every add-in variant the tests use comes from this one source.
const char* const AddinSource = R"(
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
static void put(unsigned char* b, const char* s) {
    size_t n = strlen(s); if (n > 255) n = 255;
    b[0] = (unsigned char)n; memcpy(b + 1, s, n);
}
static void get(const unsigned char* b, char* out) { memcpy(out, b + 1, b[0]); out[b[0]] = 0; }
#ifdef ADDIN_NAME
void TWAddinName(unsigned char* b) { put(b, ADDIN_NAME); }
#endif
#ifdef ADDIN_DESC
void TWAddinDesc(unsigned char* b) { put(b, ADDIN_DESC); }
#endif
#ifdef ADDIN_PARAMS
void TWAddinParams(unsigned char* b) { put(b, ADDIN_PARAMS); }
#endif
#ifdef WITH_CONFIGURE
void TWConfigure(void) { FILE* f = fopen(getenv("TW_TEST_CONFIGURE_MARK"), "w"); if (f) fclose(f); }
#endif
static unsigned char act(const char* tag, int32_t kind, unsigned char* f, unsigned char* p, unsigned char* u) {
    char file[256], params[256], user[256] = "-";
    get(f, file); get(p, params); if (u) get(u, user);
#ifdef CRASH
    abort();
#endif
    /* Scribbling on the buffers must not reach the caller. */
    memset(p, 'Z', 256);
    if (strcmp(params, "delete") == 0) { remove(file); return 1; }
    FILE* out = fopen(file, "ab");
    if (!out) return 0;
    fprintf(out, "X-%s: kind=%d params=%s user=%s\r\n", tag, (int)kind, params, user);
    fclose(out);
    return strcmp(params, "stop") == 0 ? 0 : 256 + 1; /* only the low byte counts */
}
#ifdef WITH_NEW
unsigned char TWNewAddinAction(int32_t k, unsigned char* f, unsigned char* p, unsigned char* u) {
    return act(TAG "-new", k, f, p, u);
}
#endif
#ifdef WITH_OLD
unsigned char TWAddinAction(int32_t k, unsigned char* f, unsigned char* p) { return act(TAG "-old", k, f, p, 0); }
#endif
)";

struct Variant {
    const char* file;
    const char* flags;
};
const Variant Variants[] = {
    {"stamp.so",
     "-Wl,-soname,libstamp.so.2.5.1 -DADDIN_NAME='\"Stamper\"' -DADDIN_DESC='\"Adds a header line\"' "
     "-DADDIN_PARAMS='\"The text to add\"' -DWITH_NEW -DWITH_CONFIGURE -DTAG='\"Stamper\"'"},
    {"legacy.so", "-DADDIN_NAME='\"Legacy\"' -DADDIN_DESC='\"Old style\"' -DWITH_OLD -DTAG='\"Legacy\"'"},
    {"both.so",
     "-Wl,-soname,libboth.so -DADDIN_NAME='\"Both\"' -DADDIN_DESC='\"Two entry points\"' -DWITH_NEW -DWITH_OLD "
     "-DTAG='\"Both\"'"},
    {"crash.so", "-DADDIN_NAME='\"Crasher\"' -DADDIN_DESC='\"Dies\"' -DWITH_NEW -DCRASH -DTAG='\"Crasher\"'"},
    {"quiet.so", "-DADDIN_NAME='\"Quiet\"' -DWITH_NEW -DTAG='\"Quiet\"'"},
    {"noname.so", "-DWITH_NEW -DTAG='\"Noname\"'"},
};

class Rules : public FiltersEnv {
protected:
    static void SetUpTestSuite() {
        libs_ = new QTemporaryDir;
        const std::string dir = libs_->path().toStdString() + "/";
        Write(dir + "addin.c", AddinSource);
        for (const auto& v : Variants) {
            int status = -1;
            const std::string out = Shell("cc -shared -fPIC -o " + dir + v.file + " " + v.flags + " " + dir +
                                              "addin.c 2>&1",
                                          &status);
            ASSERT_EQ(status, 0) << out;
        }
    }
    static void TearDownTestSuite() {
        delete libs_;
        libs_ = nullptr;
    }

    void SetUp() override {
        FiltersEnv::SetUp();
        AddInRule::SetHostProgram(TW_ADDIN_HOST);
        const std::string addins = smtp::StoreFolder(smtp::FolderAddins);
        for (const auto& v : Variants)
            fs::copy_file(libs_->path().toStdString() + "/" + v.file, addins + v.file);
        // Not a library at all.
        Write(addins + "broken.so", "this is no library\n");
        StartWindows();
    }
    void TearDown() override {
        StopWindows();
        TFrmRule::ExecForTesting = nullptr;
        AddInRule::SetCallLimit(std::chrono::seconds(30));
        AddInRule::SetHostProgram("");
        FiltersEnv::TearDown();
    }

    // The add-in window and the rule dialog, in start-up order.
    void StartWindows() {
        addins_ = std::make_unique<TFrmAddins>();
        FrmAddins = addins_.get();
        rule_ = std::make_unique<TFrmRule>();
        FrmRule = rule_.get();
    }
    void StopWindows() {
        FrmRule = nullptr;
        rule_.reset();
        FrmAddins = nullptr;
        addins_.reset();
    }

    static TRule Rule(const std::string& name, const std::string& addin1, const std::string& params1 = "") {
        TRule r;
        r.Name = name;
        r.InTo = "All Users";
        r.POP = r.Internal = r.Spam = "yes";
        r.Addin[0] = addin1;
        r.Params[0] = params1;
        return r;
    }

    std::string Message(const std::string& user = "bob") {
        return Deliver(user, "090000001", "From: x@outside.example\r\nSubject: Hello\r\n\r\nBody\r\n");
    }

    // The lines the add-ins appended, in order.
    static std::vector<std::string> Added(const std::string& file) {
        std::vector<std::string> lines;
        for (const auto& line : smtp::SplitLines(Read(file)))
            if (line.rfind("X-", 0) == 0) lines.push_back(line);
        return lines;
    }

    static QTemporaryDir* libs_;
    std::unique_ptr<TFrmAddins> addins_;
    std::unique_ptr<TFrmRule> rule_;
};
QTemporaryDir* Rules::libs_ = nullptr;

TEST_F(Rules, TargetTestPerKind) {
    const std::string file = Message();
    const std::string gone = In() + "bob_gone.dat";
    struct Case {
        const char* inTo;
        const char* pop;
        const char* internal;
        const char* spam;
        const char* outFrom;
        int kind;
        bool external;
        bool exists;
        bool match;
    };
    const Case cases[] = {
        // Delivered mail: POP for fetched, Internal for local delivery.
        {"All Users", "yes", "no", "no", "", 0, true, true, true},
        {"All Users", "yes", "no", "no", "", 0, false, true, false},
        {"all users", "no", "YES", "no", "", 0, false, true, true},
        {"BOB", "yes", "yes", "no", "", 0, true, true, true},
        {"alice", "yes", "yes", "no", "", 0, true, true, false},
        {"", "yes", "yes", "yes", "All Users", 0, true, true, false},
        {"All Users", "yes", "yes", "yes", "", 0, true, false, false},
        // Spam: the special targets need no file, but the Spam flag.
        {"Any Spam", "no", "no", "yes", "", 1, true, true, true},
        {"Any Spam", "no", "no", "yes", "", 2, true, false, true},
        {"Any Spam", "no", "no", "no", "", 2, true, true, false},
        {"Possible Spam", "no", "no", "yes", "", 1, true, true, true},
        {"Possible Spam", "no", "no", "yes", "", 2, true, true, false},
        {"Probable Spam", "no", "no", "yes", "", 2, true, true, true},
        {"Probable Spam", "no", "no", "yes", "", 1, true, true, false},
        {"bob", "no", "no", "yes", "", 2, true, true, true},
        {"bob", "no", "no", "yes", "", 2, true, false, false},
        // Released spam: POP yes and Spam not yes.
        {"All Users", "yes", "no", "no", "", -1, true, true, true},
        {"All Users", "yes", "no", "yes", "", -1, true, true, false},
        {"All Users", "no", "yes", "no", "", -1, true, true, false},
        // Sent mail: only the outgoing target counts.
        {"", "no", "no", "no", "All Users", 99, false, true, true},
        {"", "no", "no", "no", "Bob", 99, false, true, true},
        {"All Users", "yes", "yes", "yes", "alice", 99, false, true, false},
        {"", "no", "no", "no", "All Users", 99, false, false, false},
        // Kinds nobody sends.
        {"All Users", "yes", "yes", "yes", "All Users", 7, true, true, false},
    };
    for (const auto& c : cases) {
        TRule r;
        r.InTo = c.inTo;
        r.POP = c.pop;
        r.Internal = c.internal;
        r.Spam = c.spam;
        r.OutFrom = c.outFrom;
        EXPECT_EQ(AddInRule::TargetMatches(r, c.exists ? file : gone, "bob", c.kind, c.external), c.match)
            << c.inTo << " / " << c.outFrom << " kind " << c.kind << " external " << c.external;
    }
    // A sent message without a known sender meets only "All Users".
    TRule r;
    r.OutFrom = "";
    EXPECT_FALSE(AddInRule::TargetMatches(r, file, "", 99, false));
}

TEST_F(Rules, HeaderTest) {
    const std::vector<std::string> lines = {
        "From: Budget Office <budget@outside.example>",
        "Subject: Quarterly figures",
        "  re: the Invoice you asked for",
        "To: bob@office.example",
        "",
    };
    struct Case {
        const char* header;
        const char* words;
        bool match;
    };
    const Case cases[] = {
        {"Subject:", "figures", true},
        {"subject:", "FIGURES", true},
        {"Subject:", "nothing, quarterly", true},
        // A folded line belongs to the subject, colon or not.
        {"Subject:", "invoice", true},
        {"Subject:", "budget", false},
        {"From:", "budget", true},
        {"To:", "office.example", true},
        {"CC:", "bob", false},
        {"Subject:", " , ,", false},
        {"Subject:", "", false},
    };
    for (const auto& c : cases) {
        TRule r;
        r.Header = c.header;
        r.HeaderLookFor = c.words;
        EXPECT_EQ(AddInRule::HeaderMatches(r, lines), c.match) << c.header << " " << c.words;
    }
}

TEST_F(Rules, AddinTableHoldsEveryLibrary) {
    std::map<std::string, const AddInRule::TAddinEntry*> byName;
    for (const auto& e : AddInRule::AddinTable) byName[e.Name] = &e;
    ASSERT_EQ(AddInRule::AddinTable.size(), 7u);
    ASSERT_TRUE(byName.count("Stamper") && byName.count("Legacy") && byName.count("Both") && byName.count("Quiet"));
    EXPECT_TRUE(byName["Stamper"]->NewAction && !byName["Stamper"]->Action);
    EXPECT_TRUE(!byName["Legacy"]->NewAction && byName["Legacy"]->Action);
    // Without a name export the file name stands for it; a file that is no
    // library stays in the table without entry points.
    ASSERT_TRUE(byName.count("noname.so") && byName.count("broken.so"));
    EXPECT_TRUE(byName["noname.so"]->NewAction);
    EXPECT_FALSE(byName["broken.so"]->Loaded);
    EXPECT_FALSE(byName["broken.so"]->NewAction || byName["broken.so"]->Action);
}

TEST_F(Rules, ChainRunsInOrderAndStopsAtFalse) {
    const std::string file = Message();
    TRule first = Rule("first", "Stamper", "one");
    first.Addin[1] = "";  // an empty slot does not break the chain
    first.Addin[2] = "Legacy";
    first.Params[2] = "three";
    TRule stopper = Rule("second", "Stamper", "stop");
    stopper.Addin[1] = "Legacy";
    stopper.Params[1] = "never";
    TRule inactive = Rule("off", "Stamper", "inactive");
    inactive.Active = false;
    TRule both = Rule("both", "Both", "p");
    AddInRule::ApplyRules({first, stopper, inactive, both}, file, "bob", 0, true, holiday::LoadHeaderLines(file));
    const std::vector<std::string> expected = {
        "X-Stamper-new: kind=0 params=one user=bob",
        "X-Legacy-old: kind=0 params=three user=-",
        "X-Stamper-new: kind=0 params=stop user=bob",
        // The user goes only through the newer entry point.
        "X-Both-new: kind=0 params=p user=bob",
    };
    EXPECT_EQ(Added(file), expected);
}

TEST_F(Rules, KindReachesTheAddin) {
    const std::string file = Message();
    TRule spam = Rule("spam", "Stamper", "s");
    spam.InTo = "Any Spam";
    AddInRule::ApplyRules({spam}, file, "bob", 2, true, {});
    TRule out = Rule("out", "Legacy", "o");
    out.InTo = "";
    out.OutFrom = "All Users";
    AddInRule::ApplyRules({out}, file, "bob", 99, false, {});
    EXPECT_EQ(Added(file), (std::vector<std::string>{"X-Stamper-new: kind=2 params=s user=bob",
                                                     "X-Legacy-old: kind=99 params=o user=-"}));
}

TEST_F(Rules, FailingAddinsCostNeitherMessageNorLaterRules) {
    const std::string file = Message();
    const std::string before = Read(file);
    TRule crash = Rule("crash", "Crasher", "x");
    crash.Addin[1] = "Stamper";
    crash.Params[1] = "after crash";
    TRule missing = Rule("missing", "NoSuchAddin", "x");
    missing.Addin[1] = "Stamper";
    TRule broken = Rule("broken", "broken.so", "x");
    broken.Addin[1] = "Stamper";
    // Add-in names are exact.
    TRule wrongCase = Rule("case", "stamper", "x");
    TRule last = Rule("last", "noname.so", "still here");
    AddInRule::ApplyRules({crash, missing, broken, wrongCase, last}, file, "bob", 0, true, {});
    EXPECT_TRUE(platform::FileExists(file));
    EXPECT_EQ(Read(file), before + "X-Noname-new: kind=0 params=still here user=bob\r\n");
}

// --- the add-in hosts ------------------------------------------------------

// The counting add-in built with the tests, in the Addins folder and loaded
// into its host; calls that hang end after half a second.
class AddinHosts : public FiltersEnv {
protected:
    void SetUp() override {
        FiltersEnv::SetUp();
        AddInRule::SetHostProgram(TW_ADDIN_HOST);
        AddInRule::SetCallLimit(std::chrono::milliseconds(500));
        const std::string addins = smtp::StoreFolder(smtp::FolderAddins);
        fs::copy_file(TW_COUNTING_ADDIN, addins + "counting_addin.so");
        AddInRule::LoadAddinTable(addins);
    }
    void TearDown() override {
        AddInRule::FreeAddinTable();
        AddInRule::SetCallLimit(std::chrono::seconds(30));
        AddInRule::SetHostProgram("");
        FiltersEnv::TearDown();
    }
    static TRule Count(const std::string& params1, const std::string& params2 = "") {
        TRule r;
        r.Name = "count";
        r.InTo = "All Users";
        r.POP = r.Internal = "yes";
        r.Addin[0] = "Counter";
        r.Params[0] = params1;
        if (!params2.empty()) {
            r.Addin[1] = "Counter";
            r.Params[1] = params2;
        }
        return r;
    }
    // Delivers a message, runs the rule on it and gives its first line.
    std::string Run(const TRule& rule, int n) {
        const std::string file = Deliver("bob", "09000000" + std::to_string(n), "Subject: m\r\n\r\nBody\r\n.\r\n");
        AddInRule::ApplyRules({rule}, file, "bob", 0, true, {});
        EXPECT_TRUE(platform::FileExists(file));
        const std::string text = Read(file);
        return text.substr(0, text.find("\r\n"));
    }
    static std::string Line(long count, long pid) {
        return "X-Count: " + std::to_string(count) + " pid=" + std::to_string(pid);
    }
};

TEST_F(AddinHosts, OneHostPerAddinKeepsItsStateAcrossCalls) {
    const long host = AddInRule::HostProcessId("Counter");
    ASSERT_GT(host, 0);
    EXPECT_NE(host, static_cast<long>(getpid()));
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(Run(Count("count"), n), Line(n, host));
    EXPECT_EQ(AddInRule::HostProcessId("Counter"), host);
    // The library is loaded in its host only, never into the server.
    EXPECT_EQ(Read("/proc/self/maps").find("counting_addin"), std::string::npos);
}

TEST_F(AddinHosts, HungOrCrashedHostIsEndedAndStartedAgain) {
    const long first = AddInRule::HostProcessId("Counter");
    EXPECT_EQ(Run(Count("count"), 1), Line(1, first));
    // A call that does not return stops the rule (the second add-in of the
    // chain does not run) and ends the host; the message stays as it was.
    EXPECT_EQ(Run(Count("hang", "count"), 2), "Subject: m");
    EXPECT_EQ(AddInRule::HostProcessId("Counter"), 0);
    EXPECT_NE(Read(Dir() + "connect.log").find("Addin Counter did not return in time"), std::string::npos);
    // The next call starts a new host, which starts counting afresh.
    const std::string again = Run(Count("count"), 3);
    const long second = AddInRule::HostProcessId("Counter");
    EXPECT_NE(second, first);
    EXPECT_EQ(again, Line(1, second));
    // A crash is the same.
    EXPECT_EQ(Run(Count("crash", "count"), 4), "Subject: m");
    const std::string after = Run(Count("count"), 5);
    const long third = AddInRule::HostProcessId("Counter");
    EXPECT_NE(third, second);
    EXPECT_EQ(after, Line(1, third));
    // Ended hosts are gone, not left as zombies.
    for (long pid : {first, second}) EXPECT_NE(kill(static_cast<pid_t>(pid), 0), 0);
}

TEST_F(Rules, AddinMayDeleteTheMessage) {
    const std::string file = Message();
    TRule remove = Rule("remove", "Stamper", "delete");
    TRule after = Rule("after", "Stamper", "after");
    AddInRule::ApplyRules({remove, after}, file, "bob", 0, true, {});
    EXPECT_FALSE(platform::FileExists(file));
}

TEST_F(Rules, LongTextsAreCutToTheBuffer) {
    const std::string file = Message();
    AddInRule::ApplyRules({Rule("long", "Stamper", std::string(300, 'p'))}, file, "bob", 0, true, {});
    EXPECT_EQ(Added(file), (std::vector<std::string>{"X-Stamper-new: kind=0 params=" + std::string(255, 'p') +
                                                     " user=bob"}));
    unsigned char buffer[256];
    AddInRule::ToTextBuffer(std::string(400, 'a'), buffer);
    EXPECT_EQ(buffer[0], 255);
    EXPECT_EQ(AddInRule::FromTextBuffer(buffer), std::string(255, 'a'));
}

TEST_F(Rules, ListingShowsLibrariesWithNameAndDescription) {
    std::map<std::string, std::vector<std::string>> rows;
    for (int i = 0; i < FrmAddins->ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = FrmAddins->ListView1->topLevelItem(i);
        std::vector<std::string> cols;
        for (int c = 0; c < Addins::AddinColumnCount; ++c) cols.push_back(item->text(c).toStdString());
        rows[cols[0]] = cols;
    }
    const std::string folder = smtp::StoreFolder(smtp::FolderAddins);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"both.so", {"both.so", "1.0.0.0", "Both", "Two entry points", folder + "both.so"}},
        {"crash.so", {"crash.so", "", "Crasher", "Dies", folder + "crash.so"}},
        {"legacy.so", {"legacy.so", "", "Legacy", "Old style", folder + "legacy.so"}},
        {"stamp.so", {"stamp.so", "2.5.1.0", "Stamper", "Adds a header line", folder + "stamp.so"}},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(Addins::GetFileVersion(folder + "broken.so"), "");
    EXPECT_EQ(Addins::GetFileVersion(folder + "missing.so"), "");
}

TEST_F(Rules, ParamsAndConfigureButtons) {
    auto select = [&](const char* name) {
        auto found = FrmAddins->ListView1->findItems(name, Qt::MatchExactly, Addins::colAddinName);
        ASSERT_EQ(found.size(), 1);
        FrmAddins->ListView1->setCurrentItem(found[0]);
    };
    select("Stamper");
    EXPECT_TRUE(FrmAddins->BtnParams->isEnabled());
    EXPECT_FALSE(FrmAddins->BtnConfigAddin->isEnabled());
    FrmAddins->BtnParams->click();
    select("Legacy");
    FrmAddins->BtnParams->click();
    EXPECT_FALSE(FrmAddins->BtnConfigAddin->isEnabled());
    FrmAddins->BtnConfigAddinClick();
    EXPECT_EQ(messages, (std::vector<std::string>{"The text to add", "Addin doesn't have params.",
                                                  "Addin doesn't require configuring."}));

    // The add-in's own section says whether it can be configured.
    Ini().WriteBool("Stamper", "Configure", true);
    select("Legacy");
    select("Stamper");
    EXPECT_TRUE(FrmAddins->BtnConfigAddin->isEnabled());
    const std::string mark = Dir() + "configured";
    setenv("TW_TEST_CONFIGURE_MARK", mark.c_str(), 1);
    FrmAddins->BtnConfigAddin->click();
    unsetenv("TW_TEST_CONFIGURE_MARK");
    EXPECT_TRUE(platform::FileExists(mark));
}

TEST_F(Rules, AddButtonPointsToTheAddinsFolder) {
    FrmAddins->BtnAdd->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Addins come in the form of DLLs and must be put in the " + ProgramDir +
                               "Addins folder. Most of them are free.  You can download them from " +
                               TFrmAddins::AddinsPage() + " - would you like to visit the addins page now?");
}

TEST_F(Rules, RuleListIsLiveAndStoredByApply) {
    QTreeWidget* list = FrmAddins->ListView2;
    ASSERT_EQ(list->topLevelItemCount(), 0);
    // Add through the dialog: OK only with a name and a first add-in.
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.EditName->setText("Stamp fetched mail");
        EXPECT_FALSE(d.BtnOK->isEnabled());
        d.CBXAddin1->setCurrentText("Stamper");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.EditParams1->setText("live");
        d.CheckBox2->setChecked(false);
        d.CheckBox4->setChecked(true);
        d.CBXHeader->setEditText("Subject:");
        d.EditHeaderText->setText("hello");
        return true;
    };
    FrmAddins->BtnAddRule->click();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_TRUE(FrmAddins->BtnApply->isEnabled());

    // The unsaved rule already counts.
    const std::string file = Message();
    AddInRule::ApplyRules(file, "bob", 0, true, holiday::LoadHeaderLines(file));
    AddInRule::ApplyRules(file, "bob", 0, false, holiday::LoadHeaderLines(file));
    EXPECT_EQ(Added(file), (std::vector<std::string>{"X-Stamper-new: kind=0 params=live user=bob"}));
    EXPECT_FALSE(Ini().SectionExists("Rules"));

    FrmAddins->BtnApply->click();
    EXPECT_FALSE(FrmAddins->BtnApply->isEnabled());
    const TRule stored = AddInRule::LiveRules().at(0);
    EXPECT_EQ(Ini().ReadString("Rules", "Name1", ""), "Stamp fetched mail");
    EXPECT_EQ(Ini().ReadString("Rules", "User1", ""), "All Users");
    EXPECT_EQ(Ini().ReadString("Rules", "Internal1", ""), "no");
    EXPECT_EQ(Ini().ReadString("Rules", "Header1", ""), "Subject:");
    EXPECT_EQ(Ini().ReadString("AddIns", "Name4", ""), "Stamper");

    // Unticking counts at once; Cancel brings back the stored list.
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    EXPECT_TRUE(FrmAddins->BtnApply->isEnabled());
    EXPECT_FALSE(AddInRule::LiveRules().at(0).Active);
    FrmAddins->BtnCancel->click();
    const TRule reloaded = AddInRule::LiveRules().at(0);
    EXPECT_TRUE(reloaded.Active);
    EXPECT_EQ(reloaded.HeaderLookFor, stored.HeaderLookFor);
    EXPECT_EQ(reloaded.Addin[0], "Stamper");
    EXPECT_EQ(reloaded.Params[0], "live");

    // Stored rules come back after a restart.
    StopWindows();
    StartWindows();
    ASSERT_EQ(FrmAddins->ListView2->topLevelItemCount(), 1);
    EXPECT_EQ(AddInRule::LiveRules().at(0).Name, "Stamp fetched mail");
}

TEST_F(Rules, CopyMoveAndDelete) {
    QTreeWidget* list = FrmAddins->ListView2;
    for (const char* name : {"A", "B", "C"}) Addins::RuleToRow(Rule(name, "Stamper"), new QTreeWidgetItem(list));
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& r : AddInRule::LiveRules()) out.push_back(r.Name);
        return out;
    };
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_FALSE(FrmAddins->BtnUp->isEnabled());
    EXPECT_TRUE(FrmAddins->BtnDown->isEnabled());

    // Copy, then Cancel in the dialog: as before.
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_EQ(d.EditName->text().toStdString(), "Copy of A");
        return false;
    };
    FrmAddins->BtnCopyRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 0);

    TFrmRule::ExecForTesting = [](TFrmRule&) { return true; };
    FrmAddins->BtnCopyRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "C", "Copy of A"}));

    FrmAddins->BtnUp->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "Copy of A", "C"}));
    list->setCurrentItem(list->topLevelItem(0));
    FrmAddins->BtnDown->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"B", "A", "Copy of A", "C"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 1);

    list->setCurrentItem(list->topLevelItem(3));
    FrmAddins->BtnDelRule->click();
    EXPECT_EQ(names(), (std::vector<std::string>{"B", "A", "Copy of A"}));
    EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 2);
    EXPECT_FALSE(FrmAddins->BtnDown->isEnabled());
}

TEST_F(Rules, EditRuleShowsTheRow) {
    TRule r = Rule("Spam stamp", "Legacy", "p1");
    r.InTo = "Any Spam";
    r.POP = "yes";
    r.Internal = "Yes";  // only the exact "yes" ticks the box
    r.Spam = "yes";
    r.OutFrom = "";
    auto* item = new QTreeWidgetItem(FrmAddins->ListView2);
    Addins::RuleToRow(r, item);
    TFrmRule::ExecForTesting = [](TFrmRule& d) {
        EXPECT_EQ(d.EditName->text().toStdString(), "Spam stamp");
        EXPECT_TRUE(d.CHBIncoming->isChecked());
        EXPECT_EQ(d.CBXUsers->currentText().toStdString(), "Any Spam");
        EXPECT_TRUE(d.CheckBox1->isChecked());
        EXPECT_FALSE(d.CheckBox2->isChecked());
        EXPECT_FALSE(d.CHBOutgoing->isChecked());
        EXPECT_FALSE(d.CBXUsers2->isEnabled());
        EXPECT_EQ(d.CBXAddin1->currentText().toStdString(), "Legacy");
        EXPECT_TRUE(d.BtnOK->isEnabled());
        d.CHBOutgoing->setChecked(true);
        d.CBXUsers2->setCurrentText("carol");
        return true;
    };
    EXPECT_TRUE(AddInRule::EditRule(item));
    const TRule edited = Addins::RowToRule(item);
    EXPECT_EQ(edited.OutFrom, "carol");
    EXPECT_EQ(edited.Internal, "no");
    EXPECT_EQ(edited.Addin[0], "Legacy");
}

}  // namespace
