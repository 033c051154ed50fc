// Parsing whole functions assembled with binutils: code areas, calls and
// jumps that leave, open targets, errors, the reach limit, exception-frame
// handler stubs and whether a routine can take a 5-byte jump.
#include <map>

#include "crash/zel_disasm.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelDisAsm;

namespace {

constexpr std::uint32_t kBase = 0x401000;

const char* kFunctions = R"ASM(
.code32
.text
.globl _start
_start:
branchy:
    push %ebp
    mov %esp, %ebp
    cmp $0, %eax
    je 1f
    call callee
    jmp 2f
1:  call *%edx
2:  pop %ebp
    ret
    .byte 0x0f, 0x04          # never reached

leaving:
    test %eax, %eax
    jne callee
    jmp other

broken:
    nop
    je broken_at
    ret
broken_at:
    .byte 0x0f, 0x04

starts_with_jecxz:
    jecxz 1f
    .fill 8, 1, 0x90
1:  ret

starts_with_register_call:
    call *%eax
    .fill 8, 1, 0x90
    ret

tiny:
    xor %eax, %eax
    ret

short_jcc_at_entry:
    push %ebp
    je 1f
    mov %esp, %ebp
    nop
1:  pop %ebp
    ret

switch:
    cmp $3, %eax
    ja 1f
    jmp *table(,%eax,4)
1:  ret

far_branch:
    test %eax, %eax
    jne far_target
    ret
    .fill 1100, 1, 0x90
far_target:
    ret

long_run:
    .fill 2000, 1, 0x90
    ret

framed:
    push %ebp
    mov %esp, %ebp
    xor %eax, %eax
    push %ebp
    push $handler
    push %fs:(%eax)
    mov %esp, %fs:(%eax)
    call callee
    xor %eax, %eax
    pop %edx
    pop %ecx
    pop %ecx
    mov %edx, %fs:(%eax)
    push $after
finally:
    call callee
    ret
handler:
    jmp handle_finally
    jmp finally
after:
    pop %ebp
    ret

on_framed:
    push $on_handler
    call callee
    ret
on_handler:
    jmp handle_on
    .long 2
    .long 0x12345678, on_first
    .long 0x9abcdef0, on_second
on_first:
    ret
on_second:
    call other
    ret

handle_finally:
    ret
handle_on:
    ret
callee:
    ret
other:
    ret
table:
    .long 0, 0, 0, 0
)ASM";

struct Code {
    std::string bytes;
    std::map<std::string, std::uint32_t> symbols;
};

Code Assemble(const TempDir& dir, bool* ok) {
    Code code;
    WriteFile(dir.File("f.s"), kFunctions);
    char text[32];
    snprintf(text, sizeof text, "0x%x", kBase);
    std::string log = Run("cd " + dir.File("") + " && as --32 f.s -o f.o 2>&1 && ld -m elf_i386 -Ttext=" + text +
                              " -e _start f.o -o f.elf 2>&1 && objcopy -O binary -j .text f.elf f.bin 2>&1",
                          ok);
    if (!*ok) {
        code.bytes = log;
        return code;
    }
    code.bytes = ReadFile(dir.File("f.bin"));
    std::istringstream nm(Run("nm " + dir.File("f.elf")));
    std::string value, type, name;
    while (nm >> value >> type >> name) code.symbols[name] = static_cast<std::uint32_t>(std::stoul(value, nullptr, 16));
    return code;
}

class ZelDisAsmFunction : public ::testing::Test {
protected:
    void SetUp() override {
        bool ok = false;
        crashtest::Run("as --version >/dev/null 2>&1 && ld --version >/dev/null 2>&1 && objcopy --version >/dev/null 2>&1", &ok);
        if (!ok) GTEST_SKIP() << "binutils not present";
        code_ = Assemble(dir_, &ok);
        ASSERT_TRUE(ok) << code_.bytes;
        mem_.AddCode(kBase, code_.bytes);
        mem_.AddImage(kBase, kBase + std::uint32_t(code_.bytes.size()));
    }
    std::uint32_t At(const std::string& name) {
        auto it = code_.symbols.find(name);
        EXPECT_NE(it, code_.symbols.end()) << name;
        return it == code_.symbols.end() ? 0 : it->second;
    }
    // The address just after the instruction that starts at `address`.
    std::uint32_t After(std::uint32_t address) { return DecodeInstruction(mem_, address); }

    TempDir dir_;
    Code code_;
    TCodeMemory mem_;
};

bool Covers(const TFunctionInfo& f, std::uint32_t address) {
    for (const auto& a : f.CodeAreas)
        if (address >= a.Start && address < a.End) return true;
    return false;
}

}  // namespace

TEST_F(ZelDisAsmFunction, AreasCallsAndOpenTargets) {
    TFunctionInfo f;
    ASSERT_TRUE(ParseFunctionCode(mem_, At("branchy"), f));
    EXPECT_TRUE(f.Valid);
    ASSERT_EQ(f.CodeAreas.size(), 1u);
    EXPECT_EQ(f.CodeAreas[0].Start, At("branchy"));
    EXPECT_EQ(f.CodeAreas[0].End, At("leaving") - 2);  // the two bytes after ret stay out
    ASSERT_EQ(f.FarCalls.size(), 2u);
    EXPECT_TRUE(f.FarCalls[0].IsCall);
    EXPECT_EQ(f.FarCalls[0].Target, At("callee"));
    EXPECT_TRUE(f.FarCalls[0].RelTarget);
    EXPECT_EQ(f.FarCalls[0].TargetField, f.FarCalls[0].CodeAddress + 1);
    EXPECT_EQ(f.FarCalls[1].Target, 0u);
    ASSERT_EQ(f.OpenTargets.size(), 1u);
    EXPECT_EQ(f.OpenTargets[0], f.FarCalls[1].CodeAddress);
    EXPECT_TRUE(f.Patchable);

    ASSERT_TRUE(ParseFunctionCode(mem_, At("leaving"), f));
    ASSERT_EQ(f.FarCalls.size(), 2u);
    EXPECT_FALSE(f.FarCalls[0].IsCall);
    EXPECT_EQ(f.FarCalls[0].Target, At("callee"));
    EXPECT_EQ(f.FarCalls[1].Target, At("other"));
    EXPECT_EQ(f.CodeAreas.back().End, At("broken"));

    ASSERT_TRUE(ParseFunctionCode(mem_, At("switch"), f));
    ASSERT_EQ(f.OpenTargets.size(), 1u);
    EXPECT_EQ(f.OpenTargets[0], After(After(At("switch"))));
}

TEST_F(ZelDisAsmFunction, ErrorsNameTheirPlace) {
    TFunctionInfo f;
    EXPECT_FALSE(ParseFunctionCode(mem_, At("broken"), f));
    EXPECT_FALSE(f.Valid);
    EXPECT_EQ(f.LastErrorAddress, At("broken_at"));
    EXPECT_EQ(f.LastErrorCode, kInvalidCodeError);
    EXPECT_EQ(f.LastErrorText, "Invalid code!");

    // Memory that is not there is not read at all.
    EXPECT_FALSE(ParseFunctionCode(mem_, 0x00100000, f));
    EXPECT_EQ(f.LastErrorCode, kInvalidParameterError);
    EXPECT_EQ(f.LastErrorAddress, 0x00100000u);
    EXPECT_FALSE(f.LastErrorText.empty());

    // Committed but unreadable memory gives invalid code, not a fault.
    TCodeMemory m;
    m.AddUnreadable(0x00200000, 0x1000);
    EXPECT_FALSE(ParseFunctionCode(m, 0x00200000, f));
    EXPECT_EQ(f.LastErrorCode, kInvalidCodeError);
}

TEST_F(ZelDisAsmFunction, Patchability) {
    struct Case {
        const char* name;
        bool patchable;
    } cases[] = {
        {"branchy", true},
        {"starts_with_jecxz", false},           // a 1-byte field that cannot grow
        {"starts_with_register_call", false},  // no target field to move
        {"tiny", false},                       // 3 bytes: no room for the jump
        {"short_jcc_at_entry", true},          // a short jcc can become a long one
    };
    for (const auto& c : cases) {
        TFunctionInfo f;
        ASSERT_TRUE(ParseFunctionCode(mem_, At(c.name), f)) << c.name;
        EXPECT_EQ(f.Patchable, c.patchable) << c.name;
    }
}

TEST_F(ZelDisAsmFunction, ReachEndsAfter1023Bytes) {
    TFunctionInfo f;
    ASSERT_TRUE(ParseFunctionCode(mem_, At("far_branch"), f));
    EXPECT_FALSE(Covers(f, At("far_target")));
    EXPECT_TRUE(Covers(f, At("far_branch")));

    ASSERT_TRUE(ParseFunctionCode(mem_, At("long_run"), f));
    ASSERT_EQ(f.CodeAreas.size(), 1u);
    EXPECT_LE(f.CodeAreas[0].End, At("long_run") + kMaxFunctionReach + 16);
    EXPECT_GE(f.CodeAreas[0].End, At("long_run") + kMaxFunctionReach);
}

TEST_F(ZelDisAsmFunction, ExceptionHandlerStubsBelongToTheFunction) {
    TFunctionInfo plain, withFrames;
    ASSERT_TRUE(ParseFunctionCode(mem_, At("framed"), plain));
    EXPECT_FALSE(Covers(plain, At("handler")));

    TParseOptions options;
    options.HandleFinally = At("handle_finally");
    options.HandleOnException = At("handle_on");
    ASSERT_TRUE(ParseFunctionCode(mem_, At("framed"), withFrames, options));
    EXPECT_TRUE(Covers(withFrames, At("handler")));
    EXPECT_TRUE(Covers(withFrames, After(At("handler"))));  // the jump on to the finally code

    // An "on" handler stub is followed by a table of handlers.
    TFunctionInfo on;
    ASSERT_TRUE(ParseFunctionCode(mem_, At("on_framed"), on, options));
    EXPECT_TRUE(Covers(on, At("on_first")));
    EXPECT_TRUE(Covers(on, At("on_second")));
    bool callsOther = false;
    for (const auto& c : on.FarCalls) callsOther |= c.IsCall && c.Target == At("other");
    EXPECT_TRUE(callsOther);
    // The table itself is data, not code.
    EXPECT_FALSE(Covers(on, After(At("on_handler"))));
}

TEST_F(ZelDisAsmFunction, ListingNamesTargets) {
    TParseOptions options;
    options.WithText = true;
    std::uint32_t callee = At("callee");
    options.NameOf = [callee](std::uint32_t a) { return a == callee ? std::string("Unit.Callee") : std::string(); };
    TFunctionInfo f;
    ASSERT_TRUE(ParseFunctionCode(mem_, At("branchy"), f, options));
    EXPECT_NE(f.Listing.find("Unit.Callee"), std::string::npos) << f.Listing;
    // One line per instruction reached: push, mov, cmp, je, call, jmp, call, pop, ret.
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = f.Listing.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 9u);
}
