// The map producer against binutils' addr2line: about a thousand addresses
// of the fixture program (looked up live, in the running program) and of
// the program itself (from the map embedded in it) must name the function
// addr2line names, and the line in the function's own file: where inlined
// code was called from (addr2line's outermost frame). The text
// map written beside the program must read back as the same map.
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "crash/zel_mapfile.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelMapFile;

namespace {

struct Place {
    std::uint32_t line = 0;
    std::string name;
    std::string unit;
};

// addr2line's innermost-to-outermost chain per address.
std::map<std::uint64_t, std::vector<std::pair<std::string, std::string>>> Addr2line(
    const TempDir& dir, const std::string& binary, const std::vector<std::uint64_t>& addresses) {
    std::string list;
    for (std::uint64_t a : addresses) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%llx\n", (unsigned long long)a);
        list += buf;
    }
    WriteFile(dir.File("addresses"), list);
    std::string out = Run("addr2line -a -f -C -i -e " + binary + " < " + dir.File("addresses"));
    std::map<std::uint64_t, std::vector<std::pair<std::string, std::string>>> result;
    std::istringstream in(out);
    std::string line, name;
    std::uint64_t current = 0;
    while (std::getline(in, line)) {
        if (line.rfind("0x", 0) == 0) {
            current = std::stoull(line, nullptr, 16);
            continue;
        }
        std::string location;
        if (!std::getline(in, location)) break;
        result[current].emplace_back(line, location);
    }
    return result;
}

// Names compared the way the map writes them: "::" as ".", no clone
// suffixes; addr2line gives only the plain name of some functions, so
// that counts too.
std::string Normal(std::string name) {
    for (std::size_t p; (p = name.find("::")) != std::string::npos;) name.replace(p, 2, ".");
    for (std::size_t p; (p = name.find(" [clone ")) != std::string::npos;) name.erase(p, name.find(']', p) - p + 1);
    return name;
}

bool SameFunction(const std::string& ours, const std::string& theirs) {
    std::string a = Normal(ours), b = Normal(theirs);
    if (a == b) return true;
    bool callOperator = b == "operator()";
    if ((b.find('(') != std::string::npos && !callOperator) || b.empty()) return false;
    // The plain name: the last part before the parameter list, which is
    // the parenthesis that closes at the end.
    std::string head = a;
    for (const char* q : {" const", " &&", " &"})
        if (head.size() > std::strlen(q) && head.compare(head.size() - std::strlen(q), std::string::npos, q) == 0)
            head.resize(head.size() - std::strlen(q));
    if (!head.empty() && head.back() == ')') {
        int depth = 0;
        std::size_t open = head.size();
        while (open-- > 0) {
            if (head[open] == ')') ++depth;
            else if (head[open] == '(' && --depth == 0) break;
        }
        if (open < head.size()) head.resize(open);
    }
    return head.size() >= b.size() && head.compare(head.size() - b.size(), b.size(), b) == 0 &&
           (head.size() == b.size() || head[head.size() - b.size() - 1] == '.');
}

struct Agreement {
    int functions = 0, functionsAgree = 0, lines = 0, linesAgree = 0;
    std::string report;
};

Agreement Compare(const std::map<std::uint64_t, Place>& ours,
                  const std::map<std::uint64_t, std::vector<std::pair<std::string, std::string>>>& ref) {
    Agreement g;
    for (const auto& [address, place] : ours) {
        auto it = ref.find(address);
        if (it == ref.end() || it->second.empty()) continue;
        // Static initialisers carry their unit's name; long names are cut.
        if (place.name == "initialization" || place.name.size() >= 255) continue;
        const auto& chain = it->second;
        const std::string& outer = chain.back().first;
        if (outer == "??") continue;  // no debug information there
        ++g.functions;
        if (SameFunction(place.name, outer)) ++g.functionsAgree;
        else if (g.report.size() < 2000) g.report += place.name + " | " + outer + "\n";
        // Inlined code has the line of its call: a thread that waits in it
        // is shown at that call.
        const std::string& loc = chain.back().second;
        std::size_t colon = loc.rfind(':');
        std::size_t slash = loc.rfind('/', colon);
        std::string file = loc.substr(slash == std::string::npos ? 0 : slash + 1,
                                      colon == std::string::npos ? std::string::npos : colon - slash - 1);
        if (file != place.unit) continue;
        if (colon == std::string::npos || !std::isdigit(static_cast<unsigned char>(loc[colon + 1]))) continue;
        std::uint32_t line = std::uint32_t(std::stoul(loc.substr(colon + 1)));
        if (line == 0) continue;
        ++g.lines;
        if (line == place.line) ++g.linesAgree;
    }
    return g;
}

bool HaveAddr2line() {
    bool ok = false;
    Run("addr2line --version >/dev/null 2>&1", &ok);
    return ok;
}

}  // namespace

TEST(ZelMapFileAddr2line, FixtureLookedUpLive) {
    for (const char* level : {"O0", "O2"}) {
        SCOPED_TRACE(level);
        std::string binary = std::string(TW_BINARY_DIR) + "/crash_fixtures/walk_fixture_" + level;
        if (!std::filesystem::exists(binary) || !HaveAddr2line()) GTEST_SKIP() << "fixture or binutils missing";
        bool ok = false;
        std::string out = crashtest::Run(binary + " lookup", &ok);
        ASSERT_TRUE(ok) << out;
        // The map came from the section, not from the symbols.
        EXPECT_NE(out.find("SOURCE " + binary + "\n"), std::string::npos);
        std::map<std::uint64_t, Place> ours;
        std::istringstream in(out);
        std::string tag, hex;
        while (in >> tag) {
            if (tag != "AT") {
                std::getline(in, tag);
                continue;
            }
            Place p;
            in >> hex >> p.line >> p.unit;
            in.get();
            std::getline(in, p.name);
            ours[std::stoull(hex, nullptr, 16)] = p;
        }
        ASSERT_GT(ours.size(), 600u);
        TempDir dir;
        std::vector<std::uint64_t> addresses;
        for (const auto& [a, p] : ours) addresses.push_back(a);
        Agreement g = Compare(ours, Addr2line(dir, binary, addresses));
        std::printf("%s: functions %d/%d, lines %d/%d agree with addr2line\n", level, g.functionsAgree, g.functions,
                    g.linesAgree, g.lines);
        EXPECT_GE(g.functionsAgree * 100, g.functions * 99) << g.report;
        EXPECT_GE(g.linesAgree * 100, g.lines * 97);
    }
}

TEST(ZelMapFileAddr2line, ProgramsEmbeddedMapAndItsText) {
    std::string binary = std::string(TW_BINARY_DIR) + "/tarnwick";
    if (!std::filesystem::exists(binary) || !HaveAddr2line()) GTEST_SKIP() << "program or binutils missing";
    TModuleBounds bounds;
    ASSERT_TRUE(ElfBounds(binary, bounds));
    std::string section = ElfSection(binary, kSectionName);
    ASSERT_FALSE(section.empty());
    std::printf("section %s: %zu bytes\n", kSectionName, section.size());
    TMapFile map(bounds, binary);
    ASSERT_TRUE(map.LoadEncodedMap(section));

    // The text map beside it reads as the same map.
    TMapFile text(bounds, binary);
    ASSERT_TRUE(text.ParseMapText(ReadFile(binary + ".map")));
    ASSERT_EQ(text.Publics.size(), map.Publics.size());
    ASSERT_EQ(text.Lines.size(), map.Lines.size());
    std::mt19937_64 rng(5);
    std::map<std::uint64_t, Place> ours;
    for (int i = 0; i < 1000; ++i) {
        std::size_t k = rng() % (map.Publics.size() - 1);
        std::uint64_t span = map.Publics[k + 1].Address - map.Publics[k].Address;
        std::uint64_t a = map.Publics[k].Address + (span ? rng() % span : 0);
        std::uint64_t next = 0;
        Place p{map.LineAt(a, next), map.PublicAt(a).Name, map.SegmentAt(scCode, a).Unit};
        std::uint64_t textNext = 0;
        EXPECT_EQ(text.LineAt(a, textNext), p.line);
        // The container keeps 255 characters of a name, the text all of it.
        EXPECT_EQ(text.PublicAt(a).Name.substr(0, 255), p.name);
        ours[a] = p;
    }
    TempDir dir;
    std::vector<std::uint64_t> addresses;
    for (const auto& [a, p] : ours) addresses.push_back(a);
    Agreement g = Compare(ours, Addr2line(dir, binary, addresses));
    std::printf("program: functions %d/%d, lines %d/%d agree with addr2line\n", g.functionsAgree, g.functions,
                g.linesAgree, g.lines);
    EXPECT_GE(g.functionsAgree * 100, g.functions * 99) << g.report;
    EXPECT_GE(g.linesAgree * 100, g.lines * 97);
}

// The producer on a copy of the fixture: the same program gives the same
// bytes, run again it replaces its section, and the section survives
// stripping the debug sections.
TEST(ZelMapFileProducer, DeterministicAndSurvivesStripping) {
    std::string producer = std::string(TW_BINARY_DIR) + "/src/zel_mapgen";
    std::string fixture = std::string(TW_BINARY_DIR) + "/crash_fixtures/walk_fixture_O0";
    if (!std::filesystem::exists(producer) || !std::filesystem::exists(fixture)) GTEST_SKIP() << "not built";
    TempDir dir;
    bool ok = false;
    std::string env = "ASAN_OPTIONS=detect_leaks=0 ";
    for (const char* name : {"a", "b"}) {
        // From the program as linked, without the section the build added.
        crashtest::Run("objcopy --remove-section=" + std::string(kSectionName) + " " + fixture + " " + dir.File(name), &ok);
        ASSERT_TRUE(ok);
        std::string log = crashtest::Run(env + producer + " " + dir.File(name) + " objcopy 2>&1", &ok);
        ASSERT_TRUE(ok) << log;
    }
    EXPECT_EQ(ReadFile(dir.File("a")), ReadFile(dir.File("b")));
    EXPECT_EQ(ReadFile(dir.File("a.map")), ReadFile(dir.File("b.map")));
    std::string section = ElfSection(dir.File("a"), kSectionName);
    EXPECT_EQ(section, ElfSection(fixture, kSectionName));
    // Again on its own output: one section, the same bytes.
    std::string log = crashtest::Run(env + producer + " " + dir.File("b") + " objcopy 2>&1", &ok);
    ASSERT_TRUE(ok) << log;
    EXPECT_EQ(ReadFile(dir.File("a")), ReadFile(dir.File("b")));

    crashtest::Run("strip --strip-debug " + dir.File("a"), &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ElfSection(dir.File("a"), ".debug_info").empty());
    EXPECT_EQ(ElfSection(dir.File("a"), kSectionName), section);
    TModuleBounds bounds;
    ASSERT_TRUE(ElfBounds(dir.File("a"), bounds));
    TMapFile map(bounds, dir.File("a"));
    EXPECT_TRUE(map.LoadEncodedMap(ElfSection(dir.File("a"), kSectionName)));
    EXPECT_GT(map.Lines.size(), 1000u);
}
