// The debug map: encoded container and map text back to the same map,
// damaged containers, the searches against plain scans, the reading rules
// of map text, and the cache (maps kept alive while used, a module replaced
// on disk read again).
#include <dlfcn.h>
#include <sys/stat.h>
#include <utime.h>

#include <random>

#include "crash/zel_mapfile.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelMapFile;

namespace {

constexpr std::uint64_t kCode = 0x555500001000ull;

TModuleBounds Bounds(std::uint64_t codeEnd = kCode + 0x100000) {
    TModuleBounds b;
    b.Handle = kCode - 0x1000;
    b.CodeStart = kCode;
    b.CodeEnd = codeEnd;
    b.DataStart = kCode + 0x200000;
    b.DataEnd = kCode + 0x210000;
    return b;
}

// A map as the producer makes it: units in runs of functions, lines inside
// them. With `covered` every function lies in a unit (as where the program
// has line information for all its code).
TMapFile RandomMap(std::mt19937_64& rng, std::uint64_t codeEnd = kCode + 0x100000, bool covered = false) {
    TMapFile map(Bounds(codeEnd));
    std::uint64_t at = kCode + rng() % 64;
    const char* units[] = {"smtp.cpp", "pop.cpp", "stl_vector.h", "main.cpp"};
    const char* names[] = {"f(int, char) const", "Run()", "operator new(unsigned long)", "g<int>(int)", "h"};
    int functions = 5 + int(rng() % 60);
    std::uint32_t line = 1 + std::uint32_t(rng() % 500);
    for (int i = 0; i < functions && at < codeEnd - 0x2000; ++i) {
        std::uint32_t size = 1 + std::uint32_t(rng() % 0x800);
        std::uint64_t gap = rng() % 8 == 0 ? 300 + rng() % 1000 : rng() % 16;
        bool inUnit = covered || rng() % 4;
        if (inUnit) map.AddSegment(scCode, at, std::uint32_t(size + (covered ? gap : 0)), units[rng() % 4]);
        map.AddPublic(scCode, at, std::string(names[rng() % 5]) + std::to_string(i), false);
        for (std::uint64_t a = at; inUnit && a < at + size; a += 1 + rng() % 40) {
            // Lines go up and down; large jumps need the long compact form.
            line = std::uint32_t(std::max<std::int64_t>(1, std::int64_t(line) + std::int64_t(rng() % 300) - 150));
            map.AddLine(line, a, true);
        }
        at += size + gap;
    }
    map.EntryPoint = kCode + 0x10;
    return map;
}

void ExpectSameContent(const TMapFile& a, const TMapFile& b) {
    ASSERT_EQ(a.Segments.size(), b.Segments.size());
    for (std::size_t i = 0; i < a.Segments.size(); ++i) {
        EXPECT_EQ(a.Segments[i].Start, b.Segments[i].Start) << i;
        EXPECT_EQ(a.Segments[i].Length, b.Segments[i].Length) << i;
        EXPECT_EQ(a.Segments[i].Unit, b.Segments[i].Unit) << i;
    }
    ASSERT_EQ(a.Publics.size(), b.Publics.size());
    for (std::size_t i = 0; i < a.Publics.size(); ++i) {
        EXPECT_EQ(a.Publics[i].Address, b.Publics[i].Address) << i;
        EXPECT_EQ(a.Publics[i].Name, b.Publics[i].Name) << i;
    }
    ASSERT_EQ(a.Lines.size(), b.Lines.size());
    for (std::size_t i = 0; i < a.Lines.size(); ++i) {
        EXPECT_EQ(a.Lines[i].Address, b.Lines[i].Address) << i;
        EXPECT_EQ(a.Lines[i].Number, b.Lines[i].Number) << i;
    }
    EXPECT_EQ(a.EntryPoint, b.EntryPoint);
}

std::string Le32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

}  // namespace

TEST(ZelMapFile, ContainerAndTextGiveBackTheMap) {
    std::mt19937_64 rng(101);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        TMapFile map = RandomMap(rng);
        std::string container = EncodeMap(map);
        EXPECT_EQ(container, EncodeMap(map));  // deterministic
        TMapFile decoded(Bounds());
        ASSERT_TRUE(decoded.LoadEncodedMap(container));
        ExpectSameContent(map, decoded);

        // Map text has lines only within units, and stretches a unit to a
        // public beyond it: the same map when every function has its unit.
        TMapFile covered = RandomMap(rng, kCode + 0x100000, true);
        TMapFile parsed(Bounds());
        ASSERT_TRUE(parsed.ParseMapText(MapText(covered, "program")));
        ExpectSameContent(covered, parsed);
    }
}

TEST(ZelMapFile, DamagedContainersGiveAnInvalidMap) {
    std::mt19937_64 rng(7);
    TMapFile map = RandomMap(rng);
    std::string container = EncodeMap(map);
    // Every truncation.
    for (std::size_t n = 0; n < container.size(); ++n) {
        TMapFile m(Bounds());
        EXPECT_FALSE(m.LoadEncodedMap(std::string_view(container).substr(0, n))) << n;
        EXPECT_FALSE(m.Valid);
    }
    // Any changed byte of the header or payload: never a fault, and a changed
    // signature, version or length is refused.
    for (std::size_t at = 0; at < container.size(); at += 1 + at / 16) {
        std::string damaged = container;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 << (at % 8)));
        TMapFile m(Bounds());
        bool valid = m.LoadEncodedMap(damaged);
        if (at < 22) {
            EXPECT_FALSE(valid) << at;
        }
    }
    // Counts beyond the bytes that follow them.
    struct Case {
        const char* what;
        std::string payload;
    } cases[] = {
        {"segment count", Le32(0xFFFFFFFF) + Le32(1)},
        {"public count", Le32(0) + Le32(0x7FFFFFFF) + "\x01" "a" + Le32(0)},
        {"line count", Le32(0) + Le32(0) + Le32(0x40000000) + Le32(1) + Le32(2)},
        {"short text longer than the rest", Le32(1) + Le32(0) + Le32(4) + "\xFF" "abc"},
        {"compact integer cut", Le32(0) + Le32(2) + "\x01" "a" + Le32(0) + "\x01" "b" "\x80" "\x01"},
        {"publics out of order", Le32(0) + Le32(2) + "\x01" "a" + Le32(16) + "\x01" "b" "\xF0" + Le32(0)},
    };
    for (const auto& c : cases) {
        TMapFile m(Bounds());
        EXPECT_FALSE(m.LoadEncodedMap(EncodeContainer(c.payload))) << c.what;
    }
    // The smallest valid payload: nothing but empty counts.
    TMapFile empty(Bounds());
    EXPECT_TRUE(empty.LoadEncodedMap(EncodeContainer(Le32(0) + Le32(0) + Le32(0))));
}

TEST(ZelMapFile, SearchesEqualLinearScans) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 40; ++round) {
        TMapFile map = RandomMap(rng, round % 2 ? kCode + 0x100000 : 0);
        if (round % 2 == 0) map.CodeEnd = 0;
        std::uint64_t top = map.Publics.empty() ? kCode : map.Publics.back().Address + 0x1000;
        for (int i = 0; i < 2000; ++i) {
            std::uint64_t a = kCode - 0x40 + rng() % (top - kCode + 0x80);
            SCOPED_TRACE(::testing::Message() << std::hex << a);
            TSegment s1 = map.SegmentAt(scCode, a), s2 = map.SegmentAtLinear(scCode, a);
            EXPECT_EQ(s1.Used, s2.Used);
            EXPECT_EQ(s1.Start, s2.Start);
            TPublic p1 = map.PublicAt(a), p2 = map.PublicAtLinear(a);
            EXPECT_EQ(p1.Used, p2.Used);
            EXPECT_EQ(p1.Address, p2.Address);
            std::uint64_t n1 = 0, n2 = 0;
            EXPECT_EQ(map.LineAt(a, n1), map.LineAtLinear(a, n2));
            EXPECT_EQ(n1, n2);
        }
    }
}

TEST(ZelMapFile, MapTextRules) {
    // Offsets count from code start; the module field is the unit.
    const std::string pad = "          ";
    std::string text =
        "Detailed map of segments\r\n"
        "\r\n"
        " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Unit1.pas" + pad + " ACBP=A9\r\n"
        " 0001:00000102 00000100 C=CODE     S=.text    G=(none)   M=Unit1.pas" + pad + " ACBP=A9\r\n"
        " 0001:00000300 00000100 C=CODE     S=.text    G=(none)   M=Other.cpp" + pad + " ACBP=A9\r\n"
        " 0002:00000500 00000100 C=DATA     S=.data    G=(none)   M=Data" + pad + "      ACBP=A9\r\n"
        " 0003:00000600 00000100 C=CODE     S=.text    G=(none)   M=Seg3" + pad + "      ACBP=A9\r\n"
        "\r\n"
        "  Address         Publics by Value\r\n"
        "\r\n"
        " 0001:00000000       Unit1\r\n"
        " 0001:00000010       DoThings(int, char) const\r\n"
        " 0001:00000300       Other (note)\r\n"
        " 0001:00000310       Slot<void (Loop.*)(), int>.~Slot()\r\n"
        " 0001:00000320       View<char [11]>(char const (&) [11])\r\n"
        "\r\n"
        "Line numbers for Unit1(Unit1.pas) segment .text\r\n"
        "\r\n"
        "    10 0001:00000000    12 0001:00000010    14 0001:00000020\r\n"
        "     9 0001:00000018    bad 0001:00000030\r\n"
        "\r\n"
        "Line numbers for Other(Other.cpp) segment .text\r\n"
        "\r\n"
        "    40 0001:00000310\r\n"
        "\r\n"
        "Program entry point at 0001:00000010\r\n";
    TMapFile map(Bounds(kCode + 0x400));
    ASSERT_TRUE(map.ParseMapText(text));
    ASSERT_EQ(map.Segments.size(), 3u);  // segment 3 is neither code nor data
    EXPECT_EQ(map.Segments[0].Unit, "Unit1");  // extension gone, pieces 2 apart joined
    EXPECT_EQ(map.Segments[0].Length, 0x202u);
    EXPECT_EQ(map.Segments[1].Unit, "Other.cpp");
    EXPECT_EQ(map.Segments[2].Class, scData);
    EXPECT_EQ(map.SegmentAt(scData, kCode + 0x200000 + 0x510).Unit, "Data");
    ASSERT_EQ(map.Publics.size(), 5u);
    EXPECT_EQ(map.Publics[0].Name, "initialization");  // named like its unit
    EXPECT_EQ(map.Publics[1].Name, "DoThings(int, char) const");
    EXPECT_EQ(map.Publics[2].Name, "Other");
    EXPECT_EQ(map.Publics[3].Name, "Slot<void (Loop.*)(), int>.~Slot()");
    EXPECT_EQ(map.Publics[4].Name, "View<char [11]>(char const (&) [11])");
    EXPECT_EQ(map.EntryPoint, kCode + 0x10);
    // Out-of-order records are dropped; a malformed group ends its line.
    ASSERT_EQ(map.Lines.size(), 4u);
    std::uint64_t next = 0;
    EXPECT_EQ(map.LineAt(kCode + 0x14, next), 12u);
    EXPECT_EQ(next, kCode + 0x20);
    EXPECT_EQ(map.LineAt(kCode + 0x150, next), 14u);
    EXPECT_EQ(next, kCode + 0x310);
    // The nearest record belongs to another unit: no line.
    EXPECT_EQ(map.LineAt(kCode + 0x305, next), 0u);
    EXPECT_EQ(next, kCode + 0x306);
    EXPECT_EQ(map.LineAt(kCode + 0x2F0, next), 0u);  // in no unit at all
    EXPECT_EQ(map.LineAt(kCode + 0x320, next), 40u);
    // Past the last public but below code end: the last public; from code end on: none.
    EXPECT_EQ(map.PublicAt(kCode + 0x3FF).Name, "View<char [11]>(char const (&) [11])");
    EXPECT_FALSE(map.PublicAt(kCode + 0x400).Used);
    EXPECT_FALSE(map.PublicAt(kCode - 1).Used);
}

TEST(ZelMapFile, CacheKeepsMapsAliveAndReadsReplacedModulesAgain) {
    // An address in no module: invalid and not from any file.
    EXPECT_FALSE(MapForAddress(0x10)->Valid);
    std::string module, unit, name;
    std::uint32_t line = 0;
    std::uint64_t start = 0;
    EXPECT_FALSE(LookupAddress(0, module, unit, line, start, name));

    std::string lib = std::string(TW_BINARY_DIR) + "/crash_fixtures/libwalk_fixture_lib_O0.so";
    std::string other = std::string(TW_BINARY_DIR) + "/crash_fixtures/libwalk_fixture_lib_O2.so";
    if (!std::filesystem::exists(lib) || !std::filesystem::exists(other)) GTEST_SKIP() << "fixture not built";
    TempDir dir;
    std::string copy = dir.File("libcopy.so");
    std::filesystem::copy_file(lib, copy);
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto address = reinterpret_cast<std::uint64_t>(dlsym(handle, "FixtureLibCall"));
    ASSERT_NE(address, 0u);

    std::shared_ptr<const TMapFile> first = MapForAddress(address + 3);
    ASSERT_TRUE(first->Valid);
    EXPECT_EQ(first->ModuleFileName, copy);
    EXPECT_EQ(PublicNameAt(address), "FixtureLibCall");
    EXPECT_EQ(PublicNameAt(address + 1), "");
    EXPECT_EQ(MapForAddress(address).get(), first.get());  // cached
    ASSERT_TRUE(LookupAddress(address + 3, module, unit, line, start, name));
    EXPECT_EQ(name, "FixtureLibCall");
    EXPECT_EQ(unit, "fixture_lib.cpp");
    EXPECT_EQ(start, address);
    EXPECT_GT(line, 0u);
    std::uint32_t cachedLine = 0;
    std::uint64_t from = 0, to = 0;
    CachedLineAt(address + 3, cachedLine, from, to);
    EXPECT_EQ(cachedLine, line);
    EXPECT_EQ(from, address + 3);

    // A new write time: read again; the old map stays usable by its holder.
    struct utimbuf times {1000000000, 1000000000};
    ASSERT_EQ(utime(copy.c_str(), &times), 0);
    std::shared_ptr<const TMapFile> second = MapForAddress(address);
    EXPECT_NE(second.get(), first.get());
    EXPECT_TRUE(second->Valid);
    EXPECT_EQ(first->PublicAt(address + 3).Name, "FixtureLibCall");

    // Another build in its place: its symbols say nothing about the code in
    // memory, so the module has no map.
    std::filesystem::copy_file(other, dir.File("next.so"));
    std::filesystem::rename(dir.File("next.so"), copy);
    EXPECT_FALSE(MapForAddress(address)->Valid);
    ClearCache();
    EXPECT_EQ(first->PublicAt(address + 3).Name, "FixtureLibCall");
    dlclose(handle);
}
