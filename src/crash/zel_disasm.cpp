// Decoder of x86 machine code in 32-bit and 64-bit mode: opcode tables,
// one-instruction decoding and the parse of a whole function.
#include "zel_disasm.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <set>

#include "zel_capture.h"
#include "zel_strings.h"

namespace zelDisAsm {

// ---------------------------------------------------------------- memory

void TCodeMemory::AddCode(std::uint64_t start, std::string bytes) {
    start &= Mask();
    if (!Is64()) {
        std::uint64_t room = (1ull << 32) - start;
        if (bytes.size() > room) bytes.resize(static_cast<std::size_t>(room));
    } else if (bytes.size() > ~start) {
        bytes.resize(static_cast<std::size_t>(~start));
    }
    if (bytes.empty()) return;
    Region r;
    r.start = start;
    r.end = (start + bytes.size()) & Mask();  // wraps to 0 only at the very top
    r.readable = true;
    r.bytes = std::move(bytes);
    regions_.push_back(std::move(r));
}

void TCodeMemory::AddUnreadable(std::uint64_t start, std::uint64_t length) {
    start &= Mask();
    std::uint64_t room = Is64() ? ~start : (1ull << 32) - start;
    if (length > room) length = room;
    if (length == 0) return;
    Region r;
    r.start = start;
    r.end = (start + length) & Mask();
    r.readable = false;
    regions_.push_back(std::move(r));
}

void TCodeMemory::AddLive(std::uint64_t start, std::uint64_t end) {
    if (end <= start) return;
    Region r;
    r.start = start;
    r.end = end;
    r.readable = true;
    r.live = true;
    regions_.push_back(std::move(r));
}

void TCodeMemory::AddImage(std::uint64_t start, std::uint64_t end) { images_.emplace_back(start, end); }

const TCodeMemory::Region* TCodeMemory::RegionOf(std::uint64_t address) const {
    for (const auto& r : regions_) {
        // end == 0 means the stretch reaches the top of the address space.
        if (address >= r.start && (r.end == 0 || address < r.end)) return &r;
    }
    return nullptr;
}

std::size_t TCodeMemory::ReadAvailable(std::uint64_t address, unsigned char* buffer,
                                       std::size_t max) const {
    std::size_t got = 0;
    address &= Mask();
    while (got < max) {
        const Region* r = RegionOf(address);
        if (!r || !r->readable) break;
        std::size_t n;
        if (r->live) {
            std::uint64_t left = r->end - address;
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(max - got, left));
            n = zelCapture::SafeReadMemory(address, buffer + got, want);
            got += n;
            if (n < want) break;
        } else {
            std::size_t offset = static_cast<std::size_t>(address - r->start);
            n = std::min(max - got, r->bytes.size() - offset);
            std::copy_n(r->bytes.data() + offset, n, buffer + got);
            got += n;
        }
        address = (address + n) & Mask();
        if (address == 0) break;  // top of the address space
    }
    return got;
}

bool TCodeMemory::Read(std::uint64_t address, void* buffer, std::size_t count) const {
    if (count == 0) return true;
    address &= Mask();
    if (!Is64() && count > (1ull << 32) - address) return false;
    if (Is64() && count - 1 > ~address) return false;
    return ReadAvailable(address, static_cast<unsigned char*>(buffer), count) == count;
}

bool TCodeMemory::BoundsOf(std::uint64_t address, std::uint64_t& start, std::uint64_t& end) const {
    const Region* r = RegionOf(address);
    if (!r) return false;
    for (const auto& [s, e] : images_)
        if (address >= s && address < e) {
            start = s;
            end = e;
            return true;
        }
    start = r->start;
    end = r->end;
    return true;
}

bool SafeRead(const TCodeMemory& memory, std::uint64_t address, void* buffer, std::size_t count) {
    return memory.Read(address, buffer, count);
}

// ---------------------------------------------------------------- tables

namespace {

enum Imm : std::uint8_t {
    ImmNone,
    ImmB,     // 1 byte
    ImmW,     // 2 bytes
    ImmZ,     // 2 or 4 bytes by operand size
    ImmP,     // far pointer: offset (2 or 4) and a 2-byte selector
    ImmO,     // memory offset: 2 or 4 bytes by address size
    ImmWB,    // ENTER: 2 bytes and 1 byte
    RelB,     // 1-byte relative target
    RelZ,     // 2- or 4-byte relative target
};

// One operand pattern: what follows the opcode.
struct Pattern {
    bool valid = false;
    bool modrm = false;
    Imm imm = ImmNone;
    TFlow flow = TFlow::None;
    bool indirect = false;  // the target is in the ModR/M operand
    bool farPtr = false;
    bool group = false;     // the reg field selects the pattern
    bool prefix = false;
    bool third = false;     // 0F 38 / 0F 3A: a third opcode byte follows
    bool memoryOnly = false;  // a register operand (mod == 3) is undefined
    bool invalid64 = false;   // no such instruction in 64-bit mode
};

// A group row: the patterns per reg value, one column for memory operands
// and one for register operands (mod == 3).
struct GroupRow {
    std::uint16_t opcode;
    Pattern memory[8];
    Pattern reg[8];
};

struct Tables {
    std::array<Pattern, 256> one{};
    std::array<Pattern, 256> two{};
    std::vector<GroupRow> groups;

    static Pattern P(bool modrm, Imm imm = ImmNone, TFlow flow = TFlow::None) {
        Pattern p;
        p.valid = true;
        p.modrm = modrm;
        p.imm = imm;
        p.flow = flow;
        return p;
    }
    static Pattern Bad() { return Pattern{}; }
    static Pattern Group() {
        Pattern p = P(true);
        p.group = true;
        return p;
    }

    void Row(std::uint16_t opcode, std::initializer_list<Pattern> mem, std::initializer_list<Pattern> reg = {}) {
        GroupRow row{};
        row.opcode = opcode;
        int i = 0;
        for (const auto& p : mem) row.memory[i++] = p;
        i = 0;
        const auto& regs = reg.size() ? reg : mem;
        for (const auto& p : regs) row.reg[i++] = p;
        groups.push_back(row);
    }

    Tables() {
        const Pattern none = P(false), m = P(true);
        // ---- one-byte map
        for (int op = 0; op < 0x40; op += 8) {
            if (op + 7 >= 0x40) break;
            for (int i = 0; i < 4; ++i) one[op + i] = m;
            one[op + 4] = P(false, ImmB);
            one[op + 5] = P(false, ImmZ);
            one[op + 6] = none;  // push seg / prefix / daa...
            one[op + 7] = none;
        }
        for (int op : {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}) {
            one[op] = none;
            one[op].prefix = true;
        }
        one[0x0F] = none;  // escape, handled by the decoder
        for (int op = 0x40; op <= 0x61; ++op) one[op] = none;
        one[0x62] = m;  // BOUND
        one[0x63] = m;  // ARPL
        one[0x68] = P(false, ImmZ);
        one[0x69] = P(true, ImmZ);
        one[0x6A] = P(false, ImmB);
        one[0x6B] = P(true, ImmB);
        for (int op = 0x6C; op <= 0x6F; ++op) one[op] = none;
        for (int op = 0x70; op <= 0x7F; ++op) one[op] = P(false, RelB, TFlow::ConditionalJump);
        one[0x80] = P(true, ImmB);
        one[0x81] = P(true, ImmZ);
        one[0x82] = P(true, ImmB);
        one[0x83] = P(true, ImmB);
        for (int op = 0x84; op <= 0x8E; ++op) one[op] = m;
        one[0x8F] = Group();
        for (int op = 0x90; op <= 0x99; ++op) one[op] = none;
        one[0x9A] = P(false, ImmP, TFlow::Call);
        one[0x9A].farPtr = true;
        for (int op = 0x9B; op <= 0x9F; ++op) one[op] = none;
        for (int op = 0xA0; op <= 0xA3; ++op) one[op] = P(false, ImmO);
        for (int op = 0xA4; op <= 0xA7; ++op) one[op] = none;
        one[0xA8] = P(false, ImmB);
        one[0xA9] = P(false, ImmZ);
        for (int op = 0xAA; op <= 0xAF; ++op) one[op] = none;
        for (int op = 0xB0; op <= 0xB7; ++op) one[op] = P(false, ImmB);
        for (int op = 0xB8; op <= 0xBF; ++op) one[op] = P(false, ImmZ);
        one[0xC0] = P(true, ImmB);
        one[0xC1] = P(true, ImmB);
        one[0xC2] = P(false, ImmW, TFlow::Return);
        one[0xC3] = P(false, ImmNone, TFlow::Return);
        one[0xC4] = m;  // LES
        one[0xC5] = m;  // LDS
        one[0xC6] = Group();
        one[0xC7] = Group();
        one[0xC8] = P(false, ImmWB);
        one[0xC9] = none;
        one[0xCA] = P(false, ImmW, TFlow::Return);
        one[0xCB] = P(false, ImmNone, TFlow::Return);
        one[0xCC] = none;
        one[0xCD] = P(false, ImmB);
        one[0xCE] = none;
        one[0xCF] = P(false, ImmNone, TFlow::Return);
        for (int op = 0xD0; op <= 0xD3; ++op) one[op] = m;
        one[0xD4] = P(false, ImmB);
        one[0xD5] = P(false, ImmB);
        one[0xD6] = none;  // SALC
        one[0xD7] = none;
        for (int op = 0xD8; op <= 0xDF; ++op) one[op] = m;  // floating point
        for (int op = 0xE0; op <= 0xE3; ++op) one[op] = P(false, RelB, TFlow::ConditionalJump);
        for (int op = 0xE4; op <= 0xE7; ++op) one[op] = P(false, ImmB);
        one[0xE8] = P(false, RelZ, TFlow::Call);
        one[0xE9] = P(false, RelZ, TFlow::Jump);
        one[0xEA] = P(false, ImmP, TFlow::Jump);
        one[0xEA].farPtr = true;
        one[0xEB] = P(false, RelB, TFlow::Jump);
        for (int op = 0xEC; op <= 0xEF; ++op) one[op] = none;
        one[0xF1] = none;
        one[0xF4] = none;
        one[0xF5] = none;
        one[0xF6] = Group();
        one[0xF7] = Group();
        for (int op = 0xF8; op <= 0xFD; ++op) one[op] = none;
        one[0xFE] = Group();
        one[0xFF] = Group();

        // ---- 0F map
        two[0x00] = Group();
        two[0x01] = Group();
        two[0x02] = m;
        two[0x03] = m;
        for (int op : {0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x0E}) two[op] = none;
        two[0x0D] = m;                // prefetch
        two[0x0F] = P(true, ImmB);    // 3DNow!: the operation byte follows the operands
        for (int op = 0x10; op <= 0x17; ++op) two[op] = m;
        for (int op = 0x18; op <= 0x1F; ++op) two[op] = m;  // prefetch hints, multi-byte NOP
        for (int op = 0x20; op <= 0x23; ++op) two[op] = m;  // moves to and from control/debug registers
        two[0x24] = m;
        two[0x26] = m;
        for (int op = 0x28; op <= 0x2F; ++op) two[op] = m;
        for (int op = 0x30; op <= 0x35; ++op) two[op] = none;
        two[0x37] = none;
        two[0x38] = m;
        two[0x38].third = true;
        two[0x3A] = P(true, ImmB);
        two[0x3A].third = true;
        for (int op = 0x40; op <= 0x6F; ++op) two[op] = m;
        two[0x70] = P(true, ImmB);
        for (int op = 0x71; op <= 0x73; ++op) two[op] = P(true, ImmB);
        for (int op = 0x74; op <= 0x76; ++op) two[op] = m;
        two[0x77] = none;
        two[0x78] = m;
        two[0x79] = m;
        for (int op = 0x7C; op <= 0x7F; ++op) two[op] = m;
        for (int op = 0x80; op <= 0x8F; ++op) two[op] = P(false, RelZ, TFlow::ConditionalJump);
        for (int op = 0x90; op <= 0x9F; ++op) two[op] = m;
        for (int op : {0xA0, 0xA1, 0xA2, 0xA8, 0xA9, 0xAA}) two[op] = none;
        for (int op : {0xA3, 0xA5, 0xAB, 0xAD, 0xAE, 0xAF}) two[op] = m;
        two[0xA4] = P(true, ImmB);
        two[0xAC] = P(true, ImmB);
        for (int op = 0xB0; op <= 0xB9; ++op) two[op] = m;
        two[0xBA] = Group();
        for (int op = 0xBB; op <= 0xBF; ++op) two[op] = m;
        two[0xC0] = m;
        two[0xC1] = m;
        two[0xC2] = P(true, ImmB);
        two[0xC3] = m;
        two[0xC4] = P(true, ImmB);
        two[0xC5] = P(true, ImmB);
        two[0xC6] = P(true, ImmB);
        two[0xC7] = Group();
        for (int op = 0xC8; op <= 0xCF; ++op) two[op] = none;
        for (int op = 0xD0; op <= 0xFE; ++op) two[op] = m;

        // Loads of far pointers and addresses, and non-temporal stores, only
        // exist with a memory operand.
        for (int op : {0x62, 0x8D, 0xC4, 0xC5}) one[op].memoryOnly = true;
        for (int op : {0x13, 0x17, 0x2B, 0xB2, 0xB4, 0xB5, 0xC3, 0xE7}) two[op].memoryOnly = true;

        // Gone in 64-bit mode: segment pushes and pops, decimal adjustment,
        // PUSHA/POPA, the 0x82 alias, far pointers, INTO, AAM/AAD, SALC,
        // LES/LDS (whose bytes became the VEX prefixes), BOUND (EVEX).
        for (int op : {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F, 0x27, 0x2F, 0x37, 0x3F, 0x60, 0x61, 0x62,
                       0x82, 0x9A, 0xC4, 0xC5, 0xCE, 0xD4, 0xD5, 0xD6, 0xEA})
            one[op].invalid64 = true;

        // ---- groups whose reg field changes the pattern
        const Pattern bad = Bad(), ib = P(true, ImmB), iz = P(true, ImmZ);
        Pattern callInd = P(true, ImmNone, TFlow::Call), jmpInd = P(true, ImmNone, TFlow::Jump);
        callInd.indirect = jmpInd.indirect = true;
        Pattern callFar = callInd, jmpFar = jmpInd;
        callFar.farPtr = jmpFar.farPtr = true;
        Row(0xF6, {ib, ib, m, m, m, m, m, m});
        Row(0xF7, {iz, iz, m, m, m, m, m, m});
        Row(0xFE, {m, m, bad, bad, bad, bad, bad, bad});
        Row(0xFF, {m, m, callInd, callFar, jmpInd, jmpFar, m, bad},
                  {m, m, callInd, bad, jmpInd, bad, m, bad});
        Row(0x8F, {m, bad, bad, bad, bad, bad, bad, bad});
        // Register form of reg 7: XABORT and XBEGIN, whose fallback path is
        // a relative target like a conditional jump's.
        Pattern xbegin = P(true, RelZ, TFlow::ConditionalJump);
        Row(0xC6, {ib, bad, bad, bad, bad, bad, bad, bad}, {ib, bad, bad, bad, bad, bad, bad, ib});
        Row(0xC7, {iz, bad, bad, bad, bad, bad, bad, bad}, {iz, bad, bad, bad, bad, bad, bad, xbegin});
        Row(0x0F00, {m, m, m, m, m, m, bad, bad});
        // Register forms of reg 5 are the protection-key and serialising
        // instructions.
        Row(0x0F01, {m, m, m, m, m, bad, m, m}, {m, m, m, m, m, m, m, m});
        Row(0x0FBA, {bad, bad, bad, bad, ib, ib, ib, ib});
        Row(0x0FC7, {bad, m, bad, bad, bad, bad, bad, bad}, {bad, bad, bad, bad, bad, bad, bad, bad});
        // 64-bit mode knows more of 0F C7: the 16-byte compare-exchange,
        // the extended saves, and RDRAND/RDSEED/RDPID on registers.
        groups64.push_back(GroupRow{0x0FC7, {bad, m, bad, m, m, m, m, m}, {bad, bad, bad, bad, bad, bad, m, m}});
    }

    std::vector<GroupRow> groups64;  // rows that differ in 64-bit mode

    const Pattern& GroupPattern(std::uint16_t opcode, std::uint8_t mod, std::uint8_t reg, bool is64) const {
        static const Pattern bad;
        if (is64)
            for (const auto& row : groups64)
                if (row.opcode == opcode) return mod == 3 ? row.reg[reg] : row.memory[reg];
        for (const auto& row : groups)
            if (row.opcode == opcode) return mod == 3 ? row.reg[reg] : row.memory[reg];
        return bad;
    }
};

const Tables& Maps() {
    static const Tables tables;
    return tables;
}

// Reads instruction bytes from a local copy, noting when it runs short.
struct Cursor {
    const unsigned char* bytes;
    std::size_t size;
    std::size_t pos = 0;
    bool shortOfBytes = false;

    std::uint64_t Take(int n) {
        if (pos + std::size_t(n) > size) {
            shortOfBytes = true;
            pos = size;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v |= std::uint64_t(bytes[pos + std::size_t(i)]) << (8 * i);
        pos += std::size_t(n);
        return v;
    }
};

std::int64_t SignExtend(std::uint64_t v, int bytes) {
    if (bytes == 1) return static_cast<std::int8_t>(v);
    if (bytes == 2) return static_cast<std::int16_t>(v);
    if (bytes == 4) return static_cast<std::int32_t>(v);
    return static_cast<std::int64_t>(v);
}

// Whether a VEX or EVEX instruction of the given map and opcode ends in an
// 8-bit immediate: all of map 3 (0F 3A), and the shuffles, shifts by
// constant, compares and word inserts and extracts of map 1.
bool VexHasImmediate(int map, std::uint8_t op) {
    if (map == 3) return true;
    if (map != 1) return false;
    return (op >= 0x70 && op <= 0x73) || op == 0xC2 || op == 0xC4 || op == 0xC5 || op == 0xC6;
}

constexpr std::size_t kMaxInstruction = 15;

}  // namespace

// ---------------------------------------------------------------- one instruction

std::uint64_t DecodeInstruction(const TCodeMemory& memory, std::uint64_t address, TCodeInfo& info) {
    const bool is64 = memory.Is64();
    const std::uint64_t mask = memory.Mask();
    address &= mask;
    info = TCodeInfo{};
    info.This = address;
    info.Next = (address + 1) & mask;
    if (is64) info.AddressSize = 8;

    unsigned char buf[kMaxInstruction];
    std::size_t avail = memory.ReadAvailable(address, buf, sizeof buf);
    if (avail == 0) return info.Next;
    Cursor c{buf, avail};
    const Tables& t = Maps();

    // Prefixes. A REX byte counts only directly before the opcode; one
    // followed by a legacy prefix is ignored by the processor.
    std::uint8_t op = 0;
    bool operand16 = false;
    for (;;) {
        op = static_cast<std::uint8_t>(c.Take(1));
        if (c.shortOfBytes) return info.Next;
        if (is64 && (op & 0xF0) == 0x40) {
            ++info.Prefixes;
            info.Rex = op;
            continue;
        }
        if (!t.one[op].prefix) break;
        ++info.Prefixes;
        info.Rex = 0;
        if (op == 0x66) operand16 = true;
        if (op == 0x67) info.AddressSize = is64 ? 4 : 2;
    }
    const bool rexW = (info.Rex & 0x08) != 0;
    info.OperandSize = rexW ? 8 : operand16 ? 2 : 4;

    // Opcode.
    Pattern p;
    int vexMap = 0;  // 1..3 for VEX and EVEX instructions
    if (is64 && (op == 0xC4 || op == 0xC5 || op == 0x62)) {
        // VEX (2 or 3 bytes) and EVEX (4 bytes) prefixes: only their map
        // matters for the length; every such instruction has a ModR/M byte.
        if (op == 0xC5) {
            c.Take(1);
            vexMap = 1;
        } else if (op == 0xC4) {
            vexMap = static_cast<int>(c.Take(1) & 0x1F);
            c.Take(1);
        } else {
            vexMap = static_cast<int>(c.Take(1) & 0x07);
            c.Take(2);
        }
        std::uint8_t vop = static_cast<std::uint8_t>(c.Take(1));
        if (c.shortOfBytes || vexMap < 1 || vexMap > 3) return info.Next;
        info.Opcode = static_cast<std::uint16_t>(0x0F00 | vop);
        // VZEROUPPER and VZEROALL are the only ones without operands.
        p = Tables::P(!(vexMap == 1 && vop == 0x77 && op != 0x62), VexHasImmediate(vexMap, vop) ? ImmB : ImmNone);
    } else if (op == 0x0F) {
        std::uint8_t op2 = static_cast<std::uint8_t>(c.Take(1));
        if (c.shortOfBytes) return info.Next;
        info.Opcode = static_cast<std::uint16_t>(0x0F00 | op2);
        p = t.two[op2];
        if (p.third) c.Take(1);
    } else {
        info.Opcode = op;
        p = t.one[op];
        if (is64 && p.invalid64) return info.Next;
    }
    if (!p.valid) return info.Next;

    // ModR/M, SIB, displacement.
    if (p.modrm) {
        std::uint8_t modrm = static_cast<std::uint8_t>(c.Take(1));
        info.HasModRm = true;
        info.Mod = modrm >> 6;
        info.Reg = (modrm >> 3) & 7;
        info.Rm = modrm & 7;
        // Moves to and from control, debug and test registers always take
        // a register, whatever the mod bits say.
        if (!vexMap && info.Opcode >= 0x0F20 && info.Opcode <= 0x0F26) info.Mod = 3;
        if (p.memoryOnly && info.Mod == 3) return info.Next;
        if (p.group) {
            p = t.GroupPattern(info.Opcode, info.Mod, info.Reg, is64);
            if (!p.valid) return info.Next;
        }
        if (info.Mod != 3) {
            if (info.AddressSize != 2) {
                bool noBase = false;
                if (info.Rm == 4) {
                    std::uint8_t sib = static_cast<std::uint8_t>(c.Take(1));
                    info.HasSib = true;
                    info.Scale = sib >> 6;
                    info.Index = (sib >> 3) & 7;
                    info.Base = sib & 7;
                    noBase = info.Base == 5 && info.Mod == 0;
                    // REX.X makes index 4 a real register (r12).
                    info.AbsoluteMemory = noBase && info.Index == 4 && !(info.Rex & 0x02);
                } else if (info.Rm == 5 && info.Mod == 0) {
                    noBase = true;
                    // In 64-bit mode this form counts from the next instruction.
                    info.AbsoluteMemory = !is64;
                    info.RipRelative = is64;
                }
                info.DisplacementSize = info.Mod == 1 ? 1 : (info.Mod == 2 || noBase) ? 4 : 0;
            } else {
                bool direct = info.Mod == 0 && info.Rm == 6;
                info.AbsoluteMemory = direct;
                info.DisplacementSize = info.Mod == 1 ? 1 : (info.Mod == 2 || direct) ? 2 : 0;
            }
            if (info.DisplacementSize)
                info.Displacement = static_cast<std::int32_t>(
                    SignExtend(c.Take(info.DisplacementSize), info.DisplacementSize));
        }
    }
    std::size_t displacementAt = c.pos - info.DisplacementSize;

    // Immediate or relative target.
    std::size_t fieldAt = c.pos;
    int relSize = 0;
    const int sizeZ = info.OperandSize == 2 ? 2 : 4;
    switch (p.imm) {
    case ImmNone: break;
    case ImmB: info.ImmediateSize = 1; break;
    case ImmW: info.ImmediateSize = 2; break;
    case ImmZ:
        // MOV of a register with REX.W is the one instruction with a full
        // 64-bit immediate.
        info.ImmediateSize = static_cast<std::uint8_t>(
            rexW && !vexMap && info.Opcode >= 0xB8 && info.Opcode <= 0xBF ? 8 : sizeZ);
        break;
    case ImmP: info.ImmediateSize = static_cast<std::uint8_t>(sizeZ + 2); break;
    case ImmO: info.ImmediateSize = info.AddressSize; break;
    case ImmWB: info.ImmediateSize = 3; break;
    case RelB: relSize = 1; break;
    case RelZ: relSize = sizeZ; break;
    }
    std::uint64_t rel = 0;
    if (relSize) {
        rel = c.Take(relSize);
    } else if (info.ImmediateSize) {
        // A 32-bit far pointer is wider than its offset: keep the offset part.
        int n = info.ImmediateSize > 4 && !is64 ? 4 : info.ImmediateSize;
        info.Immediate = c.Take(n);
        c.Take(info.ImmediateSize - n);
    }
    if (c.shortOfBytes || c.pos > kMaxInstruction) return info.Next;

    info.Valid = true;
    info.Next = (address + c.pos) & mask;
    info.Flow = p.flow;
    info.Indirect = p.indirect;
    info.FarPointer = p.farPtr;

    // Targets of calls and jumps.
    if (p.flow == TFlow::Call || p.flow == TFlow::Jump || p.flow == TFlow::ConditionalJump) {
        if (relSize) {
            std::uint64_t target = (info.Next + static_cast<std::uint64_t>(SignExtend(rel, relSize))) & mask;
            // With a 16-bit operand size the instruction pointer is cut to 16 bits.
            if (info.OperandSize == 2) target &= 0xFFFF;
            info.Target = target;
            info.RelTargetField = (address + fieldAt) & mask;
            info.RelTargetSize = static_cast<std::uint8_t>(relSize);
            info.Enlargeable = relSize == 4 || (relSize == 1 && (op == 0xEB || (op >= 0x70 && op <= 0x7F)));
        } else if (p.farPtr && !p.indirect) {
            info.Target = info.Immediate;
            info.AbsTargetField = (address + fieldAt) & mask;
        } else if (p.indirect && info.Mod != 3 && (info.AbsoluteMemory || info.RipRelative)) {
            std::uint64_t pointerAt = static_cast<std::uint64_t>(static_cast<std::int64_t>(info.Displacement));
            if (info.RipRelative) pointerAt += info.Next;
            pointerAt &= mask;
            if (info.AddressSize == 2) pointerAt &= 0xFFFF;
            if (info.AddressSize == 4 && is64) pointerAt &= 0xFFFFFFFF;
            // The pointer's width: far pointers keep their offset part.
            int width = p.farPtr ? (rexW ? 8 : 4) : info.OperandSize == 2 ? 2 : is64 ? 8 : 4;
            std::uint64_t target = 0;
            if (SafeRead(memory, pointerAt, &target, static_cast<std::size_t>(width))) info.Target = target & mask;
            info.AbsTargetField = (address + displacementAt) & mask;
        }
        // A call to the very next instruction only fetches its own address.
        if (info.Target == info.Next && (relSize || info.AbsTargetField)) {
            info.Flow = TFlow::None;
            info.Target = 0;
            info.RelTargetField = info.AbsTargetField = 0;
            info.RelTargetSize = 0;
            info.Enlargeable = false;
            info.Indirect = info.FarPointer = false;
        }
    }
    info.Call = info.Flow == TFlow::Call;
    info.Jump = info.Flow == TFlow::Jump || info.Flow == TFlow::ConditionalJump;
    return info.Next;
}

std::uint64_t DecodeInstruction(const TCodeMemory& memory, std::uint64_t address) {
    TCodeInfo info;
    return DecodeInstruction(memory, address, info);
}

// ---------------------------------------------------------------- functions

namespace {

std::string InstructionLine(const TCodeMemory& memory, const TCodeInfo& ci, const TParseOptions& options) {
    std::string line = zelStrings::HexText(ci.This, 8).substr(1) + "  ";
    unsigned char bytes[kMaxInstruction];
    std::size_t n = memory.ReadAvailable(ci.This, bytes, std::min<std::size_t>(ci.Next - ci.This, sizeof bytes));
    std::string hex;
    for (std::size_t i = 0; i < n; ++i) hex += zelStrings::HexText(bytes[i], 2).substr(1) + " ";
    line += zelStrings::PadText(hex, -45);
    const char* what = "";
    switch (ci.Flow) {
    case TFlow::Call: what = "call"; break;
    case TFlow::Jump: what = "jmp"; break;
    case TFlow::ConditionalJump: what = "jcc"; break;
    case TFlow::Return: what = "ret"; break;
    case TFlow::None: break;
    }
    line += what;
    if (ci.Call || ci.Jump) {
        if (ci.Target) {
            line += " " + zelStrings::HexText(ci.Target, 8).substr(1);
            if (options.NameOf) {
                std::string name = options.NameOf(ci.Target);
                if (!name.empty()) line += " " + name;
            }
        } else {
            line += " ?";
        }
    }
    return line;
}

}  // namespace

bool ParseFunctionCode(const TCodeMemory& memory, std::uint64_t entryPoint, TFunctionInfo& info,
                       const TParseOptions& options) {
    info = TFunctionInfo{};
    info.EntryPoint = entryPoint;

    std::uint64_t lo = 0, hi = 0;
    if (!memory.BoundsOf(entryPoint, lo, hi)) {
        info.LastErrorAddress = entryPoint;
        info.LastErrorCode = kInvalidParameterError;
        info.LastErrorText = zelStrings::ErrorText(EINVAL);
        return false;
    }
    // Bounds that run to the top of the address space end at 0.
    auto inBounds = [&](std::uint64_t a) { return a >= lo && (hi == 0 || a < hi); };
    std::uint64_t limit = entryPoint + options.MaxReach;
    // A function is taken to lie within its first MaxReach + 1 bytes (1024
    // unless the caller knows better); a jump beyond them leaves it.
    auto inside = [&](std::uint64_t a) { return a >= entryPoint && a <= limit && inBounds(a); };

    auto isHandlerEntry = [&](std::uint64_t target) {
        return target != 0 && (target == options.HandleAnyException || target == options.HandleOnException ||
                               target == options.HandleAutoException || target == options.HandleFinally);
    };

    std::set<std::uint64_t> places{entryPoint};
    std::set<std::uint64_t> decoded;
    std::map<std::uint64_t, TCodeInfo> listing;
    std::vector<TCodeArea> areas;

    while (!places.empty()) {
        std::uint64_t at = *places.begin();
        places.erase(places.begin());
        if (at > limit) break;
        if (decoded.count(at)) continue;

        TCodeArea area{at, at};
        for (;;) {
            if (decoded.count(at) || at > limit || !inBounds(at)) break;
            TCodeInfo ci;
            DecodeInstruction(memory, at, ci);
            if (!ci.Valid) {
                info.LastErrorAddress = at;
                info.LastErrorCode = kInvalidCodeError;
                info.LastErrorText = "Invalid code!";
                return false;
            }
            decoded.insert(at);
            if (options.WithText) listing[at] = ci;
            area.End = ci.Next;

            bool endPath = false;
            if (ci.Call) {
                info.FarCalls.push_back({true, at, ci.Target, ci.RelTargetSize != 0,
                                         ci.RelTargetField ? ci.RelTargetField : ci.AbsTargetField, ci.Enlargeable});
                if (ci.Target == 0) info.OpenTargets.push_back(at);
            } else if (ci.Jump) {
                bool conditional = ci.Flow == TFlow::ConditionalJump;
                if (ci.Target == 0) {
                    info.OpenTargets.push_back(at);
                    endPath = !conditional;
                } else if (inside(ci.Target) && !ci.FarPointer && !isHandlerEntry(ci.Target)) {
                    places.insert(ci.Target);
                    endPath = !conditional;  // the path goes on at the target
                } else {
                    info.FarCalls.push_back({false, at, ci.Target, ci.RelTargetSize != 0,
                                             ci.RelTargetField ? ci.RelTargetField : ci.AbsTargetField,
                                             ci.Enlargeable});
                    endPath = !conditional;
                    if (!conditional && isHandlerEntry(ci.Target)) {
                        // The handler code of an exception frame follows its stub.
                        if (ci.Target == options.HandleOnException) {
                            // A table follows: a count, then {class, handler} pairs.
                            std::uint32_t count = 0;
                            if (SafeRead(memory, ci.Next, &count, 4) && count <= 64) {
                                for (std::uint32_t i = 0; i < count; ++i) {
                                    std::uint32_t handler = 0;  // the frames of 32-bit code
                                    if (SafeRead(memory, ci.Next + 4 + 8 * i + 4, &handler, 4) && inside(handler))
                                        places.insert(handler);
                                }
                            }
                        } else if (inside(ci.Next)) {
                            places.insert(ci.Next);
                        }
                    }
                }
            } else if (ci.Flow == TFlow::Return) {
                endPath = true;
            } else if (ci.Opcode == 0x68 && ci.Prefixes == 0 && inside(ci.Immediate) && ci.Immediate <= limit &&
                       (options.HandleAnyException || options.HandleOnException || options.HandleAutoException ||
                        options.HandleFinally)) {
                // A pushed code address whose code jumps into the exception
                // handling is the stub of a frame this function sets up.
                TCodeInfo stub;
                DecodeInstruction(memory, ci.Immediate, stub);
                if (stub.Valid && stub.Flow == TFlow::Jump && isHandlerEntry(stub.Target)) places.insert(ci.Immediate);
            }
            if (endPath) break;
            at = ci.Next;
            if (at == 0) break;  // ran off the top of the address space
        }
        if (area.End != area.Start) areas.push_back(area);
    }

    // Merge the areas into ascending, non-touching stretches.
    std::sort(areas.begin(), areas.end(), [](const TCodeArea& a, const TCodeArea& b) { return a.Start < b.Start; });
    for (const auto& a : areas) {
        if (!info.CodeAreas.empty() && a.Start <= info.CodeAreas.back().End)
            info.CodeAreas.back().End = std::max(info.CodeAreas.back().End, a.End);
        else
            info.CodeAreas.push_back(a);
    }
    info.Valid = true;

    // Patchable: a 5-byte jump may replace the first instructions when the
    // code straight from the entry is long enough and none of the
    // instructions it overwrites is a transfer that cannot be moved.
    if (!info.CodeAreas.empty() && info.CodeAreas.front().Start == entryPoint &&
        info.CodeAreas.front().End - entryPoint > 5) {
        info.Patchable = true;
        for (std::uint64_t a = entryPoint; a < entryPoint + 6;) {
            TCodeInfo ci;
            std::uint64_t next = DecodeInstruction(memory, a, ci);
            if (ci.Call || ci.Jump) {
                bool noField = ci.RelTargetField == 0 && ci.AbsTargetField == 0;
                bool tooShort = ci.RelTargetField != 0 && ci.RelTargetSize < 4 && !ci.Enlargeable;
                if (noField || tooShort) {
                    info.Patchable = false;
                    break;
                }
            }
            a = next;
        }
    }

    if (options.WithText) {
        for (const auto& [address, ci] : listing) {
            info.Listing += InstructionLine(memory, ci, options);
            info.Listing += "\r\n";
        }
    }
    return true;
}

}  // namespace zelDisAsm
