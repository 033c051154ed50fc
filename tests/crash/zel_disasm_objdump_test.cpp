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
                                        "xabort", "xbegin", "ud0"};
    // AVX forms; verr and verw are old.
    if (!text.empty() && text[0] == 'v' && text.rfind("ver", 0) != 0) return true;
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

namespace {

// Every form of call, jump and return, short and long, near and far, with
// operand and address size prefixes. The code ends at the first hlt; the
// pointers for the indirect forms live in .data at kBase + 0x1000.
const char* kControlFlow = R"ASM(
.code32
.text
.globl _start
_start:
    push %ebp
    mov %esp, %ebp
    call near_fn
    call far_fn
    call .+5
    call *%eax
    call *(%eax)
    call *4(%esp)
    call *ptr
    call *table(,%eax,4)
    lcall $0x10, $0x12345678
    lcall *farptr
    jmp 1f
1:  jmp near_fn
    jmp far_fn
    jmp *%ebx
    jmp *ptr
    ljmp $0x8, $0x401000
    je 2f
    jne far_fn
    jg near_fn
    jbe _start
2:  loop 2b
    loope 2b
    loopne 3f
3:  jecxz 3b
    jcxz 3b
    callw near_fn
    data16 jmp near_fn
    data16 jne near_fn
    jmp .+2
    addr16 call *(%bx)
    ret
    ret $8
    lret
    lret $4
    iret
near_fn:
    xor %eax, %eax
    ret
    .fill 300, 1, 0x90
far_fn:
    enter $16, $0
    leave
    ret
    hlt
.data
ptr: .long near_fn
farptr: .long far_fn
        .word 0x23
table: .long far_fn, near_fn
)ASM";

std::uint32_t FirstHex(const std::string& s, std::size_t from = 0) {
    std::size_t p = s.find("0x", from);
    return p == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(s.substr(p + 2), nullptr, 16));
}

std::string Assemble(const TempDir& dir, const char* source, bool* ok) {
    WriteFile(dir.File("code.s"), source);
    char text[32], data[32];
    snprintf(text, sizeof text, "0x%x", kBase);
    snprintf(data, sizeof data, "0x%x", kBase + 0x1000);
    std::string log = Run("cd " + dir.File("") + " && as --32 code.s -o code.o 2>&1 && ld -m elf_i386 -Ttext=" + text +
                              " -Tdata=" + data + " -e _start --oformat=binary code.o -o code.bin 2>&1",
                          ok);
    if (!*ok) return log;
    return ReadFile(dir.File("code.bin"));
}

}  // namespace

TEST(ZelDisAsmObjdump, CallsJumpsAndTheirTargetsAgree) {
    if (!ToolsPresent()) GTEST_SKIP() << "binutils not present";
    TempDir dir;
    bool ok = false;
    std::string code = Assemble(dir, kControlFlow, &ok);
    ASSERT_TRUE(ok) << code;
    auto ref = Objdump(dir, "code.bin", &ok);
    ASSERT_TRUE(ok);
    TCodeMemory mem;
    mem.AddCode(kBase, code);

    int transfers = 0;
    std::uint32_t at = kBase;
    for (;;) {
        auto it = ref.find(at);
        ASSERT_NE(it, ref.end()) << "out of step at " << std::hex << at;
        const Decoded& d = it->second;
        if (d.text.rfind("hlt", 0) == 0) break;
        TCodeInfo ci;
        DecodeInstruction(mem, at, ci);
        ASSERT_TRUE(ci.Valid) << d.text;
        ASSERT_EQ(ci.Next - ci.This, d.length) << d.text;

        // The mnemonic without prefixes shown before it.
        std::string mnemonic = d.text.substr(0, d.text.find_first_of(" \t"));
        std::string rest = d.text.substr(mnemonic.size());
        while (mnemonic == "data16" || mnemonic == "addr16") {
            std::size_t b = rest.find_first_not_of(" \t");
            std::size_t e = rest.find_first_of(" \t", b);
            mnemonic = rest.substr(b, e - b);
            rest = e == std::string::npos ? "" : rest.substr(e);
        }
        bool isCall = mnemonic.rfind("call", 0) == 0 || mnemonic.rfind("lcall", 0) == 0;
        bool isJump = mnemonic[0] == 'j' || mnemonic.rfind("loop", 0) == 0 || mnemonic.rfind("ljmp", 0) == 0;
        bool isRet = mnemonic.rfind("ret", 0) == 0 || mnemonic.rfind("lret", 0) == 0 || mnemonic.rfind("iret", 0) == 0;
        bool direct = rest.find('*') == std::string::npos;
        std::uint32_t refTarget = 0;
        if ((isCall || isJump) && direct) {
            // "lcall $0x10,$0x12345678": the offset is the second number.
            std::size_t comma = rest.find(',');
            refTarget = FirstHex(rest, mnemonic[0] == 'l' && comma != std::string::npos ? comma : 0);
            // objdump leaves the target of a short jump with an operand-size
            // prefix whole; the processor cuts the instruction pointer to 16 bits.
            if (d.text.find("data16") != std::string::npos) refTarget &= 0xFFFF;
        }
        SCOPED_TRACE(d.text);
        if (refTarget != 0 && refTarget == ci.Next) {
            // A transfer to the next instruction is not counted as one.
            EXPECT_FALSE(ci.Call || ci.Jump);
            EXPECT_EQ(ci.Target, 0u);
        } else {
            EXPECT_EQ(ci.Call, isCall);
            EXPECT_EQ(ci.Jump, isJump);
            EXPECT_EQ(ci.Flow == TFlow::Return, isRet);
            EXPECT_EQ(ci.Flow == TFlow::ConditionalJump,
                      isJump && mnemonic != "jmp" && mnemonic != "jmpw" && mnemonic != "ljmp");
            if (direct && (isCall || isJump)) {
                EXPECT_EQ(ci.Target, refTarget);
            }
            ++transfers;
        }
        at = ci.Next;
    }
    EXPECT_GT(transfers, 30);
}
