// Decoder of x86 machine code, in 32-bit and 64-bit mode, for the crash
// reporter. The stack
// walker asks whether the bytes before a stack value are a call and where a
// function's code and calls lie; the hook installer needs instruction
// lengths and the targets of calls and jumps at a routine's entry, with the
// place of their target fields so they can be moved.
//
// The decoder never touches memory directly: it reads through a TCodeMemory,
// a snapshot of an address space as stretches of bytes (or stretches of this
// process read through the kernel, which never fault), so a damaged or
// truncated code buffer gives "invalid" rather than a fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelDisAsm {

// Which processor mode the code is decoded in. In 32-bit mode addresses
// wrap at 4 GiB; in 64-bit mode REX prefixes, RIP-relative operands and
// 64-bit immediates and addresses exist and a few old opcodes do not.
enum class TMode : std::uint8_t { Bits32, Bits64 };

// An address space as the decoder sees it: committed stretches, each
// readable (with its bytes, or read live from this process) or not, and
// optional image bounds that limit how far a function parse may wander.
class TCodeMemory {
public:
    struct Region {
        std::uint64_t start = 0;
        std::uint64_t end = 0;  // one past the last byte; 0 is the top of a 32-bit space
        bool readable = true;
        bool live = false;      // read from this process, without faulting, when asked
        std::string bytes;      // end - start bytes when readable and not live
    };

    explicit TCodeMemory(TMode mode = TMode::Bits32) : mode_(mode) {}
    TMode Mode() const { return mode_; }
    bool Is64() const { return mode_ == TMode::Bits64; }
    // The highest address plus one, as a mask: 32 or 64 bits.
    std::uint64_t Mask() const { return Is64() ? ~std::uint64_t(0) : 0xFFFFFFFFull; }

    // Adds readable bytes at `start`; in 32-bit mode a stretch that would
    // run past 4 GiB is cut.
    void AddCode(std::uint64_t start, std::string bytes);
    // Committed memory that cannot be read.
    void AddUnreadable(std::uint64_t start, std::uint64_t length);
    // Memory of this process, read when the decoder asks; a page that turns
    // out unreadable then reads as missing, never as a fault.
    void AddLive(std::uint64_t start, std::uint64_t end);
    // The code and data ranges of one image, together.
    void AddImage(std::uint64_t start, std::uint64_t end);

    const Region* RegionOf(std::uint64_t address) const;
    bool IsCommitted(std::uint64_t address) const { return RegionOf(address) != nullptr; }
    // Copies `count` bytes; false (and nothing promised about `buffer`) when
    // any of them is not readable.
    bool Read(std::uint64_t address, void* buffer, std::size_t count) const;
    // How many bytes from `address` on can be read, at most `max`, copied
    // into `buffer`.
    std::size_t ReadAvailable(std::uint64_t address, unsigned char* buffer, std::size_t max) const;
    // The bounds a function parse stays in: the image holding the address,
    // else its region; false when the address is not committed.
    bool BoundsOf(std::uint64_t address, std::uint64_t& start, std::uint64_t& end) const;

private:
    TMode mode_;
    std::vector<Region> regions_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> images_;
};

bool SafeRead(const TCodeMemory& memory, std::uint64_t address, void* buffer, std::size_t count);

enum class TFlow : std::uint8_t {
    None,
    Call,
    Jump,             // unconditional
    ConditionalJump,  // Jcc, LOOP, JCXZ
    Return,
};

// One decoded instruction.
struct TCodeInfo {
    bool Valid = false;
    std::uint16_t Opcode = 0;  // the opcode byte, or 0x0F00 + second byte
    std::uint8_t Prefixes = 0;  // number of prefix bytes, REX included
    std::uint8_t Rex = 0;       // the REX byte (64-bit mode), 0 when none
    std::uint8_t OperandSize = 4;
    std::uint8_t AddressSize = 4;  // 8 in 64-bit mode without 0x67

    bool HasModRm = false;
    std::uint8_t Mod = 0, Reg = 0, Rm = 0;
    bool HasSib = false;
    std::uint8_t Scale = 0, Index = 0, Base = 0;
    std::uint8_t DisplacementSize = 0;
    std::int32_t Displacement = 0;
    std::uint8_t ImmediateSize = 0;
    std::uint64_t Immediate = 0;
    // The memory operand is a constant address (no base, no index), or,
    // with RipRelative, the next instruction's address plus Displacement.
    bool AbsoluteMemory = false;
    bool RipRelative = false;

    TFlow Flow = TFlow::None;
    bool Call = false;     // Flow == Call
    bool Jump = false;     // Flow == Jump or ConditionalJump
    bool Indirect = false;
    bool FarPointer = false;  // a segment:offset target
    std::uint64_t Target = 0;  // 0 when not known statically
    // Addresses of the target fields inside the instruction, 0 when none.
    std::uint64_t RelTargetField = 0;
    std::uint8_t RelTargetSize = 0;
    bool Enlargeable = false;  // the relative field can become 4 bytes
    std::uint64_t AbsTargetField = 0;

    std::uint64_t This = 0;
    std::uint64_t Next = 0;
};

// Decodes the instruction at `address`; returns the address after it
// (address + 1 when nothing valid is there, so callers always progress).
// The mode is the memory's.
std::uint64_t DecodeInstruction(const TCodeMemory& memory, std::uint64_t address, TCodeInfo& info);
std::uint64_t DecodeInstruction(const TCodeMemory& memory, std::uint64_t address);

struct TCodeArea {
    std::uint64_t Start = 0;
    std::uint64_t End = 0;  // one past the last byte
};

struct TFarCall {
    bool IsCall = false;
    std::uint64_t CodeAddress = 0;
    std::uint64_t Target = 0;
    bool RelTarget = false;
    std::uint64_t TargetField = 0;
    bool Enlargeable = false;
};

inline constexpr std::uint32_t kInvalidCodeError = 0x770001;
inline constexpr std::uint32_t kInvalidParameterError = 87;
inline constexpr std::uint32_t kMaxFunctionReach = 1023;

struct TFunctionInfo {
    bool Valid = false;
    bool Patchable = false;
    std::uint64_t EntryPoint = 0;
    std::vector<TCodeArea> CodeAreas;  // ascending, merged
    std::vector<TFarCall> FarCalls;
    std::vector<std::uint64_t> OpenTargets;  // addresses of indirect calls and jumps
    std::uint64_t LastErrorAddress = 0;
    std::uint32_t LastErrorCode = 0;
    std::string LastErrorText;
    std::string Listing;
};

struct TParseOptions {
    // The run time's exception-handling entries, 0 when not known. A jump to
    // one of them sits in an exception frame's handler stub; the handler code
    // that follows belongs to the function.
    std::uint64_t HandleAnyException = 0;
    std::uint64_t HandleOnException = 0;
    std::uint64_t HandleAutoException = 0;
    std::uint64_t HandleFinally = 0;
    // Produce Listing; call and jump targets are named through NameOf when given.
    bool WithText = false;
    std::function<std::string(std::uint64_t)> NameOf;
    // The parse stays within this many bytes after the entry.
    std::uint64_t MaxReach = kMaxFunctionReach;
};

bool ParseFunctionCode(const TCodeMemory& memory, std::uint64_t entryPoint, TFunctionInfo& info,
                       const TParseOptions& options = {});

}  // namespace zelDisAsm
