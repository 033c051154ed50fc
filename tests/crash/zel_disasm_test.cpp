// The x86 decoder on hand-made code: target fields for patching, targets
// read through memory, damaged and truncated code, and the parse of whole
// functions (areas, far calls, open targets, errors, patchability).
#include "crash/zel_disasm.h"
#include "crash_test_util.h"

using namespace crashtest;
using namespace zelDisAsm;

namespace {

constexpr std::uint32_t kBase = 0x00401000;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
}

std::string Le32(std::uint32_t v) {
    return Bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24)});
}

}  // namespace

TEST(ZelDisAsm, TargetFieldsAndTargets) {
    TCodeMemory mem;
    // Pointer cells for the indirect forms.
    mem.AddCode(0x00500000, Le32(0x00402000) + Le32(0x00403000) + Bytes({0x23, 0x00}));
    mem.AddUnreadable(0x00600000, 0x1000);
    struct Case {
        const char* what;
        std::string code;
        bool call, jump;
        std::uint32_t target;
        int relField;  // offset of the relative field in the instruction, -1 none
        int relSize;
        bool enlargeable;
        int absField;  // offset of the absolute field, -1 none
    } cases[] = {
        {"call rel32", Bytes({0xE8}) + Le32(0x100), true, false, kBase + 5 + 0x100, 1, 4, true, -1},
        {"call to the next instruction", Bytes({0xE8}) + Le32(0), false, false, 0, -1, 0, false, -1},
        {"jump to the next instruction", Bytes({0xEB, 0x00}), false, false, 0, -1, 0, false, -1},
        {"jmp rel8 backwards", Bytes({0xEB, 0xFE}), false, true, kBase, 1, 1, true, -1},
        {"jcc rel8", Bytes({0x74, 0x10}), false, true, kBase + 2 + 0x10, 1, 1, true, -1},
        {"jcc rel32", Bytes({0x0F, 0x84}) + Le32(0xFFFFFF00), false, true, kBase + 6 - 0x100, 2, 4, true, -1},
        {"loop cannot grow", Bytes({0xE2, 0x05}), false, true, kBase + 7, 1, 1, false, -1},
        {"jecxz cannot grow", Bytes({0xE3, 0x05}), false, true, kBase + 7, 1, 1, false, -1},
        {"operand-size prefix: 2-byte field", Bytes({0x66, 0xE9, 0x10, 0x00}), false, true, (kBase + 4 + 0x10) & 0xFFFF, 2, 2, false, -1},
        {"call through a constant pointer", Bytes({0xFF, 0x15}) + Le32(0x00500000), true, false, 0x00402000, -1, 0, false, 2},
        {"jmp through a constant pointer", Bytes({0xFF, 0x25}) + Le32(0x00500004), false, true, 0x00403000, -1, 0, false, 2},
        {"jmp through SIB with no base or index", Bytes({0xFF, 0x24, 0x25}) + Le32(0x00500000), false, true, 0x00402000, -1, 0, false, 3},
        {"segment prefix before a pointer call", Bytes({0x2E, 0xFF, 0x15}) + Le32(0x00500004), true, false, 0x00403000, -1, 0, false, 3},
        {"pointer in unreadable memory", Bytes({0xFF, 0x15}) + Le32(0x00600000), true, false, 0, -1, 0, false, 2},
        {"pointer in no memory at all", Bytes({0xFF, 0x15}) + Le32(0x00700000), true, false, 0, -1, 0, false, 2},
        {"far call through memory", Bytes({0xFF, 0x1D}) + Le32(0x00500004), true, false, 0x00403000, -1, 0, false, 2},
        {"call through a register", Bytes({0xFF, 0xD0}), true, false, 0, -1, 0, false, -1},
        {"call through a table", Bytes({0xFF, 0x14, 0x85}) + Le32(0x00500000), true, false, 0, -1, 0, false, -1},
        {"far call with a pointer", Bytes({0x9A}) + Le32(0x12345678) + Bytes({0x10, 0x00}), true, false, 0x12345678, -1, 0, false, 1},
        {"ret", Bytes({0xC3}), false, false, 0, -1, 0, false, -1},
    };
    for (const auto& c : cases) {
        TCodeMemory m = mem;
        m.AddCode(kBase, c.code + Bytes({0x90, 0x90}));
        TCodeInfo ci;
        std::uint32_t next = DecodeInstruction(m, kBase, ci);
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(ci.Valid);
        EXPECT_EQ(next, kBase + c.code.size());
        EXPECT_EQ(ci.Next, next);
        EXPECT_EQ(ci.Call, c.call);
        EXPECT_EQ(ci.Jump, c.jump);
        EXPECT_EQ(ci.Target, c.target);
        EXPECT_EQ(ci.RelTargetField, c.relField < 0 ? 0u : kBase + std::uint32_t(c.relField));
        EXPECT_EQ(ci.RelTargetSize, c.relSize);
        EXPECT_EQ(ci.Enlargeable, c.enlargeable);
        EXPECT_EQ(ci.AbsTargetField, c.absField < 0 ? 0u : kBase + std::uint32_t(c.absField));
        EXPECT_EQ(DecodeInstruction(m, kBase), next);
    }
}

TEST(ZelDisAsm, DamagedOrTruncatedCodeIsInvalidAndNeverReadPast) {
    struct Case {
        const char* what;
        std::string code;
    } cases[] = {
        {"call cut inside its field", Bytes({0xE8, 0x00, 0x00})},
        {"ModR/M missing", Bytes({0x8B})},
        {"SIB missing", Bytes({0x8B, 0x04})},
        {"displacement cut", Bytes({0x8B, 0x80, 0x00, 0x00})},
        {"immediate cut", Bytes({0x81, 0xC0, 0x01, 0x02, 0x03})},
        {"two-byte opcode cut", Bytes({0x0F})},
        {"only prefixes", Bytes({0x66, 0x66, 0x2E})},
        {"sixteen prefixes", std::string(16, '\x66') + Bytes({0x90})},
        {"undefined 0F opcode", Bytes({0x0F, 0x04, 0x90})},
        {"undefined group member", Bytes({0xFF, 0xFF, 0x90})},
        {"far call through a register", Bytes({0xFF, 0xD8, 0x90})},
        {"lea of a register", Bytes({0x8D, 0xC0, 0x90})},
    };
    for (const auto& c : cases) {
        // The region is exactly the bytes given, with unreadable memory after.
        TCodeMemory m;
        m.AddCode(kBase, c.code);
        m.AddUnreadable(kBase + std::uint32_t(c.code.size()), 0x1000);
        TCodeInfo ci;
        std::uint32_t next = DecodeInstruction(m, kBase, ci);
        EXPECT_FALSE(ci.Valid) << c.what;
        EXPECT_EQ(next, kBase + 1) << c.what;
    }
    // Nothing readable at all.
    TCodeMemory empty;
    TCodeInfo ci;
    EXPECT_EQ(DecodeInstruction(empty, kBase, ci), kBase + 1);
    EXPECT_FALSE(ci.Valid);
    // The very top of the address space.
    TCodeMemory top;
    top.AddCode(0xFFFFFFFE, Bytes({0xEB, 0xFE, 0x90}));
    EXPECT_EQ(DecodeInstruction(top, 0xFFFFFFFE, ci), 0u);
    EXPECT_TRUE(ci.Valid);
    EXPECT_EQ(ci.Target, 0xFFFFFFFEu);
}

TEST(ZelDisAsm, SafeReadFailsOnAnyUnreadableByte) {
    TCodeMemory m;
    m.AddCode(0x1000, std::string(16, 'a'));
    m.AddCode(0x1010, std::string(16, 'b'));
    m.AddUnreadable(0x1020, 16);
    char buf[32];
    EXPECT_TRUE(SafeRead(m, 0x1008, buf, 16));  // across two stretches
    EXPECT_EQ(std::string(buf, 16), std::string(8, 'a') + std::string(8, 'b'));
    EXPECT_FALSE(SafeRead(m, 0x1018, buf, 16));  // into unreadable memory
    EXPECT_FALSE(SafeRead(m, 0x0FFF, buf, 2));   // from no memory
    EXPECT_FALSE(SafeRead(m, 0xFFFFFFF0, buf, 32));
    EXPECT_TRUE(SafeRead(m, 0x1000, buf, 0));
}
