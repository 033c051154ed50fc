// The stack walker on live stacks of the fixture program, built at -O0 and
// at -O2 without frame pointers: every return address glibc's backtrace()
// sees is listed in order (as the call before it), planted decoys are not,
// deep recursion is folded, a stack overflow still gives a stack, and a
// phase that fails gives the internal-error line instead of a crash.
#include <dlfcn.h>
#include <execinfo.h>

#include <map>
#include <sstream>

#include "crash/zel_stacktrace.h"
#include "crash_test_util.h"

using namespace crashtest;

namespace {

std::string Fixture(const std::string& level) { return std::string(TW_BINARY_DIR) + "/crash_fixtures/walk_fixture_" + level; }

struct Scenario {
    std::vector<std::uint64_t> backtrace;
    std::vector<std::uint64_t> decoys;
    std::vector<std::string> lines;
    std::vector<std::uint64_t> shown;  // the address each line starts with
};

std::map<std::string, Scenario> ParseWalks(const std::string& output) {
    std::map<std::string, Scenario> out;
    std::istringstream in(output);
    std::string line, name;
    bool inWalk = false;
    while (std::getline(in, line)) {
        if (line.rfind("SCENARIO ", 0) == 0) {
            name = line.substr(9);
            inWalk = false;
        } else if (line.rfind("BT ", 0) == 0) {
            out[name].backtrace.push_back(std::stoull(line.substr(3), nullptr, 16));
        } else if (line.rfind("DECOY ", 0) == 0) {
            out[name].decoys.push_back(std::stoull(line.substr(6), nullptr, 16));
        } else if (line == "WALK") {
            inWalk = true;
        } else if (line == "END") {
            inWalk = false;
        } else if (inWalk) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out[name].lines.push_back(line);
            out[name].shown.push_back(std::stoull(line.substr(0, 16), nullptr, 16));
        }
    }
    return out;
}

// A listed line shows the call instruction, 2 to 7 bytes before the return address.
bool ShowsCallBefore(std::uint64_t shown, std::uint64_t returnAddress) {
    return shown < returnAddress && returnAddress - shown >= 2 && returnAddress - shown <= 7;
}

class WalkTest : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(WalkTest, EveryBacktraceFrameInOrderAndNoDecoys) {
    std::string binary = Fixture(GetParam());
    if (!std::filesystem::exists(binary)) GTEST_SKIP() << "fixture not built";
    bool ok = false;
    std::string output = crashtest::Run(binary + " walk", &ok);
    ASSERT_TRUE(ok) << output;
    auto scenarios = ParseWalks(output);
    ASSERT_EQ(scenarios.size(), 2u) << output;
    for (auto& [name, s] : scenarios) {
        SCOPED_TRACE(name + "\n" + output);
        ASSERT_GT(s.backtrace.size(), 4u);
        // Recursion shows one copy of a repeated return address.
        std::vector<std::uint64_t> expected;
        for (std::uint64_t r : s.backtrace)
            if (expected.empty() || expected.back() != r) expected.push_back(r);
        std::size_t at = 0;
        for (std::uint64_t r : expected) {
            while (at < s.shown.size() && !ShowsCallBefore(s.shown[at], r)) ++at;
            ASSERT_LT(at, s.shown.size()) << "missing or out of order: " << std::hex << r;
            ++at;
        }
        for (std::uint64_t r : expected) {
            int copies = 0;
            for (std::uint64_t a : s.shown) copies += ShowsCallBefore(a, r);
            EXPECT_EQ(copies, 1) << std::hex << r;
        }
        for (std::uint64_t d : s.decoys)
            for (std::uint64_t a : s.shown) EXPECT_FALSE(ShowsCallBefore(a, d)) << "decoy listed: " << std::hex << d;
        // Nothing beyond the real frames: the walk lists exactly them.
        EXPECT_EQ(s.shown.size(), expected.size() + 1);  // plus the call of the capture itself
    }
    const Scenario& chain = scenarios["chain"];
    std::string all;
    for (const auto& l : chain.lines) all += l + "\n";
    for (const char* expected : {"Probe()", "WithDecoys(int)", "Square.Visit(int)", "ThroughVirtual(int)",
                                 "FixtureLibCall", "Chain(int)", "main", "libwalk_fixture_lib_"})
        EXPECT_NE(all.find(expected), std::string::npos) << expected;
    // 31 frames of Recurse: the one that called Probe and one for the 30 recursive calls.
    int recurse = 0;
    for (const auto& l : scenarios["recursion"].lines) recurse += l.find("Recurse(int)") != std::string::npos;
    EXPECT_EQ(recurse, 2);
}

TEST_P(WalkTest, ColumnsAndRelativeLines) {
    std::string binary = Fixture(GetParam());
    if (!std::filesystem::exists(binary)) GTEST_SKIP() << "fixture not built";
    bool ok = false;
    auto relative = ParseWalks(crashtest::Run(binary + " walk", &ok))["chain"];
    ASSERT_TRUE(ok);
    auto plain = ParseWalks(crashtest::Run("FIXTURE_PLAIN=1 " + binary + " walk", &ok))["chain"];
    ASSERT_TRUE(ok);
    ASSERT_FALSE(relative.lines.empty());
    ASSERT_EQ(relative.lines.size(), plain.lines.size());
    // The line of WithDecoys: "... walk_fixture.cpp   70  +8 ...WithDecoys(int)" with the
    // option, "... walk_fixture.cpp 70 ...WithDecoys(int)" without.
    for (std::size_t i = 0; i < relative.lines.size(); ++i) {
        const std::string& r = relative.lines[i];
        const std::string& p = plain.lines[i];
        if (r.find("WithDecoys(int)") == std::string::npos) continue;
        std::istringstream rs(r), ps(p);
        std::string address, offset, module, unit, line, rel;
        rs >> address >> offset >> module >> unit >> line >> rel;
        EXPECT_EQ(offset[0], '+');
        EXPECT_EQ(rel[0], '+');
        int number = std::stoi(line);
        EXPECT_GT(number, 0);
        std::string paddress, pmodule, punit, pline;
        ps >> paddress >> pmodule >> punit >> pline;
        EXPECT_EQ(paddress.size(), 16u);
        EXPECT_EQ(pline, line);  // the plain number in the one line column
        EXPECT_EQ(p.find('+'), std::string::npos);
        // All lines share their column starts.
        EXPECT_EQ(r.find(unit), relative.lines[0].find("walk_fixture.cpp"));
        return;
    }
    ADD_FAILURE() << "WithDecoys not listed";
}

TEST_P(WalkTest, StackOverflowGivesAStack) {
    std::string binary = Fixture(GetParam());
    if (!std::filesystem::exists(binary)) GTEST_SKIP() << "fixture not built";
    bool ok = false;
    std::string output = crashtest::Run(binary + " overflow 2>&1", &ok);
    ASSERT_TRUE(ok) << output;
    EXPECT_NE(output.find("CAPTURE"), std::string::npos);
    std::size_t walk = output.find("WALK\n");
    ASSERT_NE(walk, std::string::npos) << output;
    std::string text = output.substr(walk);
    EXPECT_NE(text.find("Overflow(int)"), std::string::npos) << text;
    EXPECT_NE(text.find(" main\r\n"), std::string::npos) << text;
    // Thousands of identical frames fold into one.
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 12) << text;
}

TEST_P(WalkTest, FailingPhaseGivesTheInternalErrorLine) {
    std::string binary = Fixture(GetParam());
    if (!std::filesystem::exists(binary)) GTEST_SKIP() << "fixture not built";
    bool ok = false;
    std::string fault = crashtest::Run(binary + " fault", &ok);
    ASSERT_TRUE(ok) << fault;
    EXPECT_NE(fault.find("WALK\n>> internal error in InDeepChecks:\r\n"), std::string::npos) << fault;
    EXPECT_NE(fault.find("FaultingPhase"), std::string::npos) << fault;
    std::string thrown = crashtest::Run("FIXTURE_THROW=1 " + binary + " fault", &ok);
    ASSERT_TRUE(ok) << thrown;
    EXPECT_NE(thrown.find("WALK\n>> internal error in RemoveRecursiveStackAreas\nEND"), std::string::npos) << thrown;
}

TEST_P(WalkTest, AnotherThreadCapturedFromItsSignalContext) {
    std::string binary = Fixture(GetParam());
    if (!std::filesystem::exists(binary)) GTEST_SKIP() << "fixture not built";
    bool ok = false;
    std::string out = crashtest::Run(binary + " thread", &ok);
    ASSERT_TRUE(ok) << out;
    // From the wait in the C library out to the thread's start, in order.
    std::size_t at = 0;
    for (const char* expected : {"nanosleep", "Sleeper()", "ThreadBody(void*)", "start_thread", "clone"}) {
        std::size_t found = out.find(expected, at);
        ASSERT_NE(found, std::string::npos) << expected << "\n" << out;
        at = found;
    }
    // It waits in inlined code: its frame is at the line of that call.
    std::size_t call = out.find("NAPCALL ");
    ASSERT_NE(call, std::string::npos) << out;
    const std::string line = " " + out.substr(call + 8, out.find('\n', call) - call - 8) + " ";
    std::size_t sleeper = out.rfind('\n', out.find("Sleeper()"));
    EXPECT_NE(out.substr(sleeper, out.find("Sleeper()") - sleeper).find(line), std::string::npos) << line << out;
}

INSTANTIATE_TEST_SUITE_P(Levels, WalkTest, ::testing::Values("O0", "O2"));

TEST(ZelStackTrace, EmptyCaptureGivesEmptyText) {
    zelCapture::TStackCapture empty;
    EXPECT_EQ(zelStackTrace::WalkStack({}, empty, 0, nullptr), "");
    std::vector<zelStackTrace::TPresetItem> none;
    EXPECT_EQ(zelStackTrace::WalkStack({}, empty, 0, &none), "");
}

TEST(ZelStackTrace, FormatStackLine) {
    // An address in no module.
    EXPECT_EQ(zelStackTrace::FormatStackLine(0x10), "0000000000000010 ???");
    // This test program has no embedded map, so its own symbols name it.
    std::string line = zelStackTrace::FormatStackLine(reinterpret_cast<std::uint64_t>(&zelStackTrace::FormatStackLine) + 1);
    EXPECT_NE(line.find("FormatStackLine"), std::string::npos) << line;
    EXPECT_NE(line.find(" test_crash "), std::string::npos) << line;
}

TEST(ZelStackTrace, ProgressComesUpLateAndCountsFromThere) {
    std::uint32_t now = 1000;
    std::vector<int> shown;
    zelStackTrace::TProgress* p =
        zelStackTrace::NewProgress([&now] { return now; }, [&shown](int position) { shown.push_back(position); });
    zelStackTrace::AddProgressPhase(p, 300);
    zelStackTrace::AddProgressPhase(p, 100);
    zelStackTrace::SetProgress(p, 500);  // 150 of 400 done, but too early
    EXPECT_TRUE(shown.empty());
    now += 751;
    zelStackTrace::SetProgress(p, 500);  // overall 375: comes up, at 0
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], 0);
    zelStackTrace::EndProgressPhase(p);  // overall 750
    EXPECT_EQ(zelStackTrace::OverallProgress(p), 750);
    EXPECT_EQ(shown.back(), (750 - 375) * 1000 / (1000 - 375));
    zelStackTrace::EndProgressPhase(p);
    EXPECT_EQ(shown.back(), 1000);
    zelStackTrace::FreeProgress(p);
    // Half done when the time comes: never shown.
    shown.clear();
    now = 0;
    p = zelStackTrace::NewProgress([&now] { return now; }, [&shown](int position) { shown.push_back(position); });
    zelStackTrace::AddProgressPhase(p, 10);
    zelStackTrace::SetProgress(p, 600);
    now = 5000;
    zelStackTrace::SetProgress(p, 700);
    EXPECT_TRUE(shown.empty());
    zelStackTrace::FreeProgress(p);
    zelStackTrace::SetProgress(nullptr, 5);  // no record: nothing
}

namespace {

// A stack recorded by backtrace() two calls down, handed to the walker as
// a preset list, as the throw interception hands one on.
__attribute__((noinline)) std::vector<zelStackTrace::TPresetItem> RecordedStack(std::vector<std::uint64_t>& frames) {
    void* buffer[64];
    int n = backtrace(buffer, 64);
    std::vector<zelStackTrace::TPresetItem> preset;
    for (int i = 0; i < n; ++i) {
        frames.push_back(reinterpret_cast<std::uint64_t>(buffer[i]));
        preset.push_back({true, frames.back()});
    }
    asm volatile("" ::: "memory");
    return preset;
}

__attribute__((noinline)) std::vector<zelStackTrace::TPresetItem> Thrower(std::vector<std::uint64_t>& frames) {
    auto preset = RecordedStack(frames);
    asm volatile("" ::: "memory");
    return preset;
}

}  // namespace

// Two functions back to back; the first ends without a call, as one does
// whose frame was made by a push and a jump, or whose call the walker
// cannot decode: a return address at the second's first byte is the first's.
asm(R"(
    .pushsection .text
    .globl tw_walk_ends_without_call
    .hidden tw_walk_ends_without_call
    .type tw_walk_ends_without_call, @function
tw_walk_ends_without_call:
    nop
    nop
    nop
    nop
    nop
    nop
    nop
    nop
    ud2
    .size tw_walk_ends_without_call, . - tw_walk_ends_without_call
    .globl tw_walk_next_function
    .hidden tw_walk_next_function
    .type tw_walk_next_function, @function
tw_walk_next_function:
    ret
    .size tw_walk_next_function, . - tw_walk_next_function
    .popsection
)");
extern "C" void tw_walk_ends_without_call();
extern "C" void tw_walk_next_function();

TEST(ZelStackTrace, AReturnAddressWithoutItsCallIsTheCodeBeforeIt) {
    std::vector<zelStackTrace::TPresetItem> preset = {
        {true, reinterpret_cast<std::uint64_t>(&tw_walk_next_function)}};
    zelCapture::TStackCapture none;
    const std::string text = zelStackTrace::WalkStack({}, none, 0, &preset);
    EXPECT_NE(text.find("tw_walk_ends_without_call"), std::string::npos) << text;
    EXPECT_EQ(text.find("tw_walk_next_function"), std::string::npos) << text;
}

TEST(ZelStackTrace, PresetListsAndTheRaiseMachinery) {
    std::vector<std::uint64_t> frames;
    std::vector<zelStackTrace::TPresetItem> preset = Thrower(frames);
    zelCapture::TStackCapture none;
    zelStackTrace::TWalkOptions options;
    std::string text = zelStackTrace::WalkStack(options, none, 0, &preset);
    std::vector<std::uint64_t> shown;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) shown.push_back(std::stoull(line.substr(0, 16), nullptr, 16));
    // The recorded frames from the thrower outward, in order.
    std::size_t at = 0, matched = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        std::size_t k = at;
        while (k < shown.size() && !ShowsCallBefore(shown[k], frames[i])) ++k;
        if (k < shown.size()) {
            at = k + 1;
            ++matched;
        }
    }
    EXPECT_EQ(matched, frames.size() - 1) << text;
    EXPECT_NE(text.find("Thrower"), std::string::npos) << text;
    EXPECT_NE(text.find("PresetListsAndTheRaiseMachinery"), std::string::npos) << text;

    // The raise routine between the thrower and the recorder it called: it
    // and everything more recent are cut when the thread raised through the
    // run time, and kept otherwise.
    auto raise = reinterpret_cast<std::uint64_t>(dlsym(RTLD_DEFAULT, "__cxa_throw"));
    ASSERT_NE(raise, 0u);
    std::vector<zelStackTrace::TPresetItem> raised = preset;
    raised.insert(raised.begin() + 2, {true, raise + 1});
    std::string kept = zelStackTrace::WalkStack(options, none, 0, &raised);
    EXPECT_NE(kept.find("__cxa_throw"), std::string::npos) << kept;
    options.RaisedThroughRunTime = true;
    std::string cut = zelStackTrace::WalkStack(options, none, 0, &raised);
    EXPECT_EQ(cut.find("__cxa_throw"), std::string::npos) << cut;
    EXPECT_EQ(cut.find("RecordedStack"), std::string::npos) << cut;
    EXPECT_NE(cut.find("Thrower"), std::string::npos) << cut;
}
