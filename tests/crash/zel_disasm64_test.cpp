// The decoder's 64-bit mode: instruction lengths over the whole of the
// program's own code against binutils' objdump, and the forms that only
// exist in 64-bit mode (REX, RIP-relative pointers, 64-bit immediates,
// opcodes that became invalid) on hand-made bytes.
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "crash/zel_disasm.h"
#include "crash/zel_mapfile.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelDisAsm;

namespace {

constexpr std::uint64_t kBase = 0x7f0000401000ull;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
}

std::string Le(std::uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

}  // namespace

TEST(ZelDisAsm64, FormsOfThe64BitMode) {
    TCodeMemory mem(TMode::Bits64);
    // Pointer cells for the indirect forms.
    const std::uint64_t cells = 0x7f0000500000ull;
    mem.AddCode(cells, Le(0x7f0000402000ull, 8) + Le(0x7f0000403000ull, 8));
    struct Case {
        const char* what;
        std::string code;
        std::size_t length;  // 0: invalid
        TFlow flow;
        std::uint64_t target;
    } cases[] = {
        {"call rel32", Bytes({0xE8}) + Le(0x100, 4), 5, TFlow::Call, kBase + 5 + 0x100},
        {"call rel32 backwards, target above 4 GiB", Bytes({0xE8}) + Le(0xFFFFFF00, 4), 5, TFlow::Call, kBase + 5 - 0x100},
        {"rex.w call is still rel32", Bytes({0x48, 0xE8}) + Le(0x10, 4), 6, TFlow::Call, kBase + 6 + 0x10},
        {"call through a RIP-relative pointer (GOT)", Bytes({0xFF, 0x15}) + Le(cells - (kBase + 6), 4), 6, TFlow::Call,
         0x7f0000402000ull},
        {"jmp through a RIP-relative pointer, bnd prefix (PLT)", Bytes({0xF2, 0xFF, 0x25}) + Le(cells + 8 - (kBase + 7), 4),
         7, TFlow::Jump, 0x7f0000403000ull},
        {"call through r12 (REX.B)", Bytes({0x41, 0xFF, 0xD4}), 3, TFlow::Call, 0},
        {"call through memory with SIB and disp8", Bytes({0x41, 0xFF, 0x54, 0x24, 0x08}), 5, TFlow::Call, 0},
        {"mov r64, imm64", Bytes({0x48, 0xB8}) + Le(0x1122334455667788ull, 8), 10, TFlow::None, 0},
        {"mov r32, imm32 with REX.B only", Bytes({0x41, 0xB8}) + Le(1, 4), 6, TFlow::None, 0},
        {"mov rax, moffs64", Bytes({0x48, 0xA1}) + Le(0x1000, 8), 10, TFlow::None, 0},
        {"mov eax, moffs32 with 0x67", Bytes({0x67, 0xA1}) + Le(0x1000, 4), 6, TFlow::None, 0},
        {"movsxd", Bytes({0x48, 0x63, 0xC7}), 3, TFlow::None, 0},
        {"lea rip-relative", Bytes({0x48, 0x8D, 0x05}) + Le(0x10, 4), 7, TFlow::None, 0},
        {"rex.w add rax, imm32", Bytes({0x48, 0x05}) + Le(0x10, 4), 6, TFlow::None, 0},
        {"rex.w test r/m, imm32", Bytes({0x48, 0xF7, 0xC0}) + Le(1, 4), 7, TFlow::None, 0},
        {"endbr64", Bytes({0xF3, 0x0F, 0x1E, 0xFA}), 4, TFlow::None, 0},
        {"vex2 vmovdqa", Bytes({0xC5, 0xF9, 0x6F, 0xC1}), 4, TFlow::None, 0},
        {"vex3 vpshufb", Bytes({0xC4, 0xE2, 0x79, 0x00, 0xC1}), 5, TFlow::None, 0},
        {"vex3 map 3 takes an immediate", Bytes({0xC4, 0xE3, 0x79, 0x0F, 0xC1, 0x04}), 6, TFlow::None, 0},
        {"vzeroupper", Bytes({0xC5, 0xF8, 0x77}), 3, TFlow::None, 0},
        {"evex vmovdqu64 with disp8", Bytes({0x62, 0xF1, 0xFE, 0x48, 0x6F, 0x40, 0x01}), 7, TFlow::None, 0},
        {"rdrand", Bytes({0x48, 0x0F, 0xC7, 0xF0}), 4, TFlow::None, 0},
        {"push es is invalid", Bytes({0x06}), 0, TFlow::None, 0},
        {"far call with a pointer is invalid", Bytes({0x9A}) + Le(0, 6), 0, TFlow::None, 0},
        {"into is invalid", Bytes({0xCE}), 0, TFlow::None, 0},
        {"pusha is invalid", Bytes({0x60}), 0, TFlow::None, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TCodeMemory m = mem;
        m.AddCode(kBase, c.code + Bytes({0x90, 0x90}));
        TCodeInfo ci;
        std::uint64_t next = DecodeInstruction(m, kBase, ci);
        if (c.length == 0) {
            EXPECT_FALSE(ci.Valid);
            EXPECT_EQ(next, kBase + 1);
            continue;
        }
        ASSERT_TRUE(ci.Valid);
        EXPECT_EQ(next - kBase, c.length);
        EXPECT_EQ(ci.Flow, c.flow);
        EXPECT_EQ(ci.Target, c.target);
    }
    // The same bytes in 32-bit mode: 0x48 is DEC EAX, 0x06 PUSH ES.
    TCodeMemory m32;
    m32.AddCode(0x401000, Bytes({0x48, 0xB8}) + Le(1, 8));
    EXPECT_EQ(DecodeInstruction(m32, 0x401000), 0x401001u);
    EXPECT_EQ(DecodeInstruction(m32, 0x401001), 0x401006u);
}

namespace {

struct Reference {
    std::vector<std::uint64_t> starts;
    std::vector<bool> bad;  // objdump could not decode it: data in code
};

// objdump's instruction starts over .text of `binary`.
bool ObjdumpStarts(const std::string& binary, Reference& ref) {
    FILE* p = popen(("objdump -d -M x86-64 --no-show-raw-insn -j .text " + binary + " 2>/dev/null").c_str(), "r");
    if (!p) return false;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        const char* s = line;
        if (*s != ' ') continue;  // headings and symbol labels
        while (*s == ' ') ++s;
        char* end = nullptr;
        std::uint64_t address = std::strtoull(s, &end, 16);
        if (end == s || *end != ':' || end[1] != '\t') continue;
        ref.starts.push_back(address);
        ref.bad.push_back(std::strstr(end, "(bad)") != nullptr);
    }
    return pclose(p) == 0 && !ref.starts.empty();
}

}  // namespace

// Our own program as built here, the walker's fixture at -O2, and Debian's
// Qt and C library (optimised, with vector code paths).
TEST(ZelDisAsm64, LengthsAgreeWithObjdumpOverWholePrograms) {
    bool ok = false;
    crashtest::Run("objdump --version >/dev/null 2>&1", &ok);
    if (!ok) GTEST_SKIP() << "binutils not present";
    const std::string binaries[] = {std::string(TW_BINARY_DIR) + "/tarnwick",
                                    std::string(TW_BINARY_DIR) + "/crash_fixtures/walk_fixture_O2",
                                    "/usr/lib/x86_64-linux-gnu/libQt6Core.so.6",
                                    "/usr/lib/x86_64-linux-gnu/libc.so.6"};
    for (const std::string& binary : binaries) {
        SCOPED_TRACE(binary);
        if (!std::filesystem::exists(binary)) continue;
        Reference ref;
        ASSERT_TRUE(ObjdumpStarts(binary, ref));
        std::string text = zelMapFile::ElfSection(binary, ".text");
        ASSERT_FALSE(text.empty());
        const std::uint64_t start = ref.starts.front();
        TCodeMemory mem(TMode::Bits64);
        mem.AddCode(start, text);
        std::size_t compared = 0, agree = 0;
        std::string report;
        for (std::size_t i = 0; i < ref.starts.size(); ++i) {
            if (ref.bad[i]) continue;
            std::uint64_t next = i + 1 < ref.starts.size() ? ref.starts[i + 1] : start + text.size();
            TCodeInfo ci;
            DecodeInstruction(mem, ref.starts[i], ci);
            ++compared;
            if (ci.Valid && ci.Next == next) {
                ++agree;
            } else if (report.size() < 3000) {
                char buf[160];
                std::snprintf(buf, sizeof buf, "%llx: ours %lld objdump %lld\n", (unsigned long long)ref.starts[i],
                              ci.Valid ? (long long)(ci.Next - ci.This) : -1LL, (long long)(next - ref.starts[i]));
                report += buf;
            }
        }
        double share = compared ? 100.0 * double(agree) / double(compared) : 0;
        std::printf("%s: decoder agrees with objdump on %zu of %zu instructions (%.4f%%)\n", binary.c_str(), agree,
                    compared, share);
        EXPECT_EQ(agree, compared) << report;
    }
}

// Every opcode of both maps with random operand bytes, behind the prefixes
// that change lengths in 64-bit mode.
TEST(ZelDisAsm64, LengthsAgreeForEveryOpcodeWithRandomOperands) {
    bool ok = false;
    crashtest::Run("objdump --version >/dev/null 2>&1", &ok);
    if (!ok) GTEST_SKIP() << "binutils not present";
    TempDir dir;
    std::mt19937 rng(64);
    const std::vector<std::vector<unsigned char>> prefixSets = {{}, {}, {0x48}, {0x66}, {0x41}, {0x67}, {0x66, 0x48}, {0xF3}};
    constexpr std::uint64_t kFlat = 0x400000;
    std::string file;
    std::vector<std::uint64_t> starts;
    for (int map = 0; map < 2; ++map)
        for (int op = 0; op < 256; ++op) {
            bool prefix = op == 0x0F || op == 0x26 || op == 0x2E || op == 0x36 || op == 0x3E || op == 0x64 ||
                          op == 0x65 || op == 0x66 || op == 0x67 || op == 0xF0 || op == 0xF2 || op == 0xF3 ||
                          (op & 0xF0) == 0x40;
            if (map == 0 && prefix) continue;
            for (int variant = 0; variant < 16; ++variant) {
                std::string slot;
                for (unsigned char p : prefixSets[variant % prefixSets.size()]) slot += static_cast<char>(p);
                if (map == 1) slot += '\x0F';
                slot += static_cast<char>(op);
                while (slot.size() < 16) slot += static_cast<char>(rng());
                slot += std::string(16, '\x90');
                starts.push_back(kFlat + file.size());
                file += slot;
            }
        }
    WriteFile(dir.File("ops.bin"), file);
    std::string out = crashtest::Run("objdump -D -b binary -m i386:x86-64 --insn-width=16 --adjust-vma=0x400000 " +
                                         dir.File("ops.bin") + " 2>&1",
                                     &ok);
    ASSERT_TRUE(ok);
    std::map<std::uint64_t, std::pair<std::size_t, std::string>> ref;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t colon = line.find(":\t");
        if (colon == std::string::npos) continue;
        std::size_t tab = line.find('\t', colon + 2);
        std::string bytes = line.substr(colon + 2, tab == std::string::npos ? std::string::npos : tab - colon - 2);
        std::string text = tab == std::string::npos ? "" : line.substr(tab + 1);
        std::size_t n = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 3) n += std::isxdigit(static_cast<unsigned char>(bytes[i])) != 0;
        ref[std::stoull(line.substr(0, colon), nullptr, 16)] = {n, text};
    }
    TCodeMemory mem(TMode::Bits64);
    mem.AddCode(kFlat, file);
    int compared = 0, mismatches = 0;
    std::string report;
    for (std::uint64_t start : starts) {
        auto it = ref.find(start);
        ASSERT_NE(it, ref.end()) << "objdump out of step at " << std::hex << start;
        const auto& [length, text] = it->second;
        TCodeInfo ci;
        DecodeInstruction(mem, start, ci);
        // Undefined encodings and the ones objdump prints as a lone prefix.
        if (text.find("(bad)") != std::string::npos || text.rfind("rex", 0) == 0 || text.rfind("data16", 0) == 0 ||
            text.rfind("addr32", 0) == 0 || !ci.Valid)
            continue;
        ++compared;
        if (ci.Next - ci.This != length) {
            ++mismatches;
            if (report.size() < 4000)
                report += ::testing::PrintToString(std::make_pair(start, text)) + " ours " +
                          std::to_string(ci.Next - ci.This) + " objdump " + std::to_string(length) + "\n";
        }
    }
    EXPECT_EQ(mismatches, 0) << report;
    EXPECT_GT(compared, int(starts.size()) / 2);
}
