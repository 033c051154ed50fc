// Instruction lengths and branch targets of the x86 decoder against
// binutils' objdump, on every opcode of both opcode maps with random
// operand bytes and prefixes, and on assembled control flow.
#include <map>
#include <random>
#include <regex>

#include "crash/zel_disasm.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelDisAsm;

namespace {

constexpr std::uint32_t kBase = 0x401000;

struct Decoded {
    std::size_t length = 0;
    std::string text;  // mnemonic and operands
};

// objdump's view of a flat 32-bit code file loaded at kBase.
std::map<std::uint32_t, Decoded> Objdump(const TempDir& dir, const std::string& file, bool* ok) {
    std::map<std::uint32_t, Decoded> out;
    char vma[32];
    snprintf(vma, sizeof vma, "0x%x", kBase);
    std::string text = Run("objdump -D -b binary -m i386 --insn-width=16 --adjust-vma=" + std::string(vma) + " " +
                               dir.File(file) + " 2>&1",
                           ok);
    static const std::regex line(R"(^\s*([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t?(.*)$)");
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        Decoded d;
        d.length = m[2].str().size() / 3;
        d.text = m[3].str();
        out[static_cast<std::uint32_t>(std::stoul(m[1].str(), nullptr, 16))] = d;
    }
    return out;
}

bool ToolsPresent() {
    bool ok = false;
    Run("objdump --version >/dev/null 2>&1 && as --version >/dev/null 2>&1 && ld --version >/dev/null 2>&1", &ok);
    return ok;
}

// Instruction forms that came after the processors this decoder covers and
// reuse encodings it knows with other lengths; objdump decodes them, we do
// not have to.
bool Later(const std::string& text) {
    static const char* const names[] = {"vex", "{evex}", "extrq", "insertq", "xop", "bextr", "llwpcb",
                                        "slwpcb", "lwpins", "lwpval", "blc", "blsfill", "tzmsk", "t1mskc",
                                        "xabort", "xbegin", "ud0", "bound", "les", "lds", "ud1"};
    if (!text.empty() && text[0] == 'v') return true;  // AVX forms
    for (const char* n : names)
        if (text.find(n) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(ZelDisAsmObjdump, LengthsAgreeForEveryOpcodeWithRandomOperands) {
    if (!ToolsPresent()) GTEST_SKIP() << "binutils not present";
    TempDir dir;
    std::mt19937 rng(2024);
    const std::vector<std::vector<unsigned char>> prefixSets = {{}, {}, {0x66}, {0x67}, {0x2E}, {0x66, 0x67}};
    constexpr std::size_t kSlot = 32;
    std::string file;
    std::vector<std::uint32_t> starts;
    for (int map = 0; map < 2; ++map)
        for (int op = 0; op < 256; ++op) {
            if (map == 0 && (op == 0x0F || op == 0x26 || op == 0x2E || op == 0x36 || op == 0x3E || op == 0x64 ||
                             op == 0x65 || op == 0x66 || op == 0x67 || op == 0xF0 || op == 0xF2 || op == 0xF3))
                continue;
            for (int variant = 0; variant < 24; ++variant) {
                std::string slot;
                for (unsigned char p : prefixSets[variant % prefixSets.size()]) slot += static_cast<char>(p);
                if (map == 1) slot += '\x0F';
                slot += static_cast<char>(op);
                while (slot.size() < 16) slot += static_cast<char>(rng());
                // 16 one-byte NOPs: whatever the tail decodes to, objdump is
                // back in step at the next slot.
                slot += std::string(kSlot - 16, '\x90');
                starts.push_back(kBase + static_cast<std::uint32_t>(file.size()));
                file += slot;
            }
        }
    WriteFile(dir.File("ops.bin"), file);
    bool ok = false;
    auto ref = Objdump(dir, "ops.bin", &ok);
    ASSERT_TRUE(ok);

    TCodeMemory mem;
    mem.AddCode(kBase, file);
    int compared = 0, mismatches = 0;
    std::string report;
    for (std::uint32_t start : starts) {
        auto it = ref.find(start);
        if (it == ref.end()) {
            ADD_FAILURE() << "objdump out of step at " << std::hex << start;
            continue;
        }
        const Decoded& d = it->second;
        bool bad = d.text.find("(bad)") != std::string::npos;
        TCodeInfo ci;
        DecodeInstruction(mem, start, ci);
        if (bad || Later(d.text) || !ci.Valid) continue;
        ++compared;
        std::size_t ours = ci.Next - ci.This;
        if (ours != d.length) {
            ++mismatches;
            if (report.size() < 4000) {
                char line[200];
                snprintf(line, sizeof line, "%x: ours %zu objdump %zu: %s\n", start, ours, d.length, d.text.c_str());
                report += line;
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << report;
    EXPECT_GT(compared, int(starts.size()) / 2);
}
