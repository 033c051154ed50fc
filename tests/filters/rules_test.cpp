// Rules engine: which rules a message meets, the add-in chain run through
// real libraries built for the test, and the failures that must not cost
// the message.
#include "filters/addinrule.h"
#include "filters/holiday.h"

#include "filters/rules_env.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <unistd.h>

namespace {

using filters_test::FiltersEnv;
using filters_test::Read;
using AddInRule::TRule;
namespace fs = std::filesystem;

class Rules : public rules_test::RulesEnv {};

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

// Delivery runs the list its editor last published, in its order; an
// inactive rule or an empty list runs nothing.
TEST_F(Rules, DeliveryRunsThePublishedList) {
    TRule off = Rule("off", "Stamper", "off");
    off.Active = false;
    struct Case {
        const char* name;
        std::vector<TRule> published;
        std::vector<std::string> added;
    } cases[] = {
        {"none published", {}, {}},
        {"in order", {Rule("a", "Stamper", "one"), Rule("b", "Both", "two")},
         {"X-Stamper-new: kind=0 params=one user=bob", "X-Both-new: kind=0 params=two user=bob"}},
        {"inactive skipped", {off, Rule("c", "Stamper", "three")},
         {"X-Stamper-new: kind=0 params=three user=bob"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AddInRule::SetLiveRules(c.published);
        const std::string file = Message();
        AddInRule::ApplyRules(file, "bob", AddInRule::KindMailbox, true, holiday::LoadHeaderLines(file));
        EXPECT_EQ(Added(file), c.added);
        std::remove(file.c_str());
    }
    AddInRule::SetLiveRules({});
}

}  // namespace
