// Decoder of 32-bit x86 machine code for the crash reporter. The stack
// walker asks whether the bytes before a stack value are a call and where a
// function's code and calls lie; the hook installer needs instruction
// lengths and the targets of calls and jumps at a routine's entry, with the
// place of their target fields so they can be moved.
//
// The decoder never touches memory directly: it reads through a TCodeMemory,
// a snapshot of an address space as stretches of bytes, so a damaged or
// truncated code buffer gives "invalid" rather than a fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelDisAsm {

// A 32-bit address space as the decoder sees it: committed stretches, each
// readable (with its bytes) or not, and optional image bounds that limit
// how far a function parse may wander.
class TCodeMemory {
public:
    struct Region {
        std::uint32_t start = 0;
        std::uint32_t end = 0;  // one past the last byte
        bool readable = true;
        std::string bytes;      // end - start bytes when readable
    };

    // Adds readable bytes at `start`; a stretch that would run past 4 GiB is cut.
    void AddCode(std::uint32_t start, std::string bytes);
    // Committed memory that cannot be read.
    void AddUnreadable(std::uint32_t start, std::uint32_t length);
    // The code and data ranges of one image, together.
    void AddImage(std::uint32_t start, std::uint32_t end);

    const Region* RegionOf(std::uint32_t address) const;
    bool IsCommitted(std::uint32_t address) const { return RegionOf(address) != nullptr; }
    // Copies `count` bytes; false (and nothing promised about `buffer`) when
    // any of them is not readable.
    bool Read(std::uint32_t address, void* buffer, std::size_t count) const;
    // How many bytes from `address` on can be read, at most `max`, copied
    // into `buffer`.
    std::size_t ReadAvailable(std::uint32_t address, unsigned char* buffer, std::size_t max) const;
    // The bounds a function parse stays in: the image holding the address,
    // else its region; false when the address is not committed.
    bool BoundsOf(std::uint32_t address, std::uint32_t& start, std::uint32_t& end) const;

private:
    std::vector<Region> regions_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> images_;
};

bool SafeRead(const TCodeMemory& memory, std::uint32_t address, void* buffer, std::size_t count);

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
    std::uint8_t Prefixes = 0;  // number of prefix bytes
    std::uint8_t OperandSize = 4;
    std::uint8_t AddressSize = 4;

    bool HasModRm = false;
    std::uint8_t Mod = 0, Reg = 0, Rm = 0;
    bool HasSib = false;
    std::uint8_t Scale = 0, Index = 0, Base = 0;
    std::uint8_t DisplacementSize = 0;
    std::int32_t Displacement = 0;
    std::uint8_t ImmediateSize = 0;
    std::uint32_t Immediate = 0;
    // The memory operand is a constant address (no base, no index).
    bool AbsoluteMemory = false;

    TFlow Flow = TFlow::None;
    bool Call = false;     // Flow == Call
    bool Jump = false;     // Flow == Jump or ConditionalJump
    bool Indirect = false;
    bool FarPointer = false;  // a segment:offset target
    std::uint32_t Target = 0;  // 0 when not known statically
    // Addresses of the target fields inside the instruction, 0 when none.
    std::uint32_t RelTargetField = 0;
    std::uint8_t RelTargetSize = 0;
    bool Enlargeable = false;  // the relative field can become 4 bytes
    std::uint32_t AbsTargetField = 0;

    std::uint32_t This = 0;
    std::uint32_t Next = 0;
};

// Decodes the instruction at `address`; returns the address after it
// (address + 1 when nothing valid is there, so callers always progress).
std::uint32_t DecodeInstruction(const TCodeMemory& memory, std::uint32_t address, TCodeInfo& info);
std::uint32_t DecodeInstruction(const TCodeMemory& memory, std::uint32_t address);

struct TCodeArea {
    std::uint32_t Start = 0;
    std::uint32_t End = 0;  // one past the last byte
};

struct TFarCall {
    bool IsCall = false;
    std::uint32_t CodeAddress = 0;
    std::uint32_t Target = 0;
    bool RelTarget = false;
    std::uint32_t TargetField = 0;
    bool Enlargeable = false;
};

inline constexpr std::uint32_t kInvalidCodeError = 0x770001;
inline constexpr std::uint32_t kInvalidParameterError = 87;
inline constexpr std::uint32_t kMaxFunctionReach = 1023;

struct TFunctionInfo {
    bool Valid = false;
    bool Patchable = false;
    std::uint32_t EntryPoint = 0;
    std::vector<TCodeArea> CodeAreas;  // ascending, merged
    std::vector<TFarCall> FarCalls;
    std::vector<std::uint32_t> OpenTargets;  // addresses of indirect calls and jumps
    std::uint32_t LastErrorAddress = 0;
    std::uint32_t LastErrorCode = 0;
    std::string LastErrorText;
    std::string Listing;
};

struct TParseOptions {
    // The run time's exception-handling entries, 0 when not known. A jump to
    // one of them sits in an exception frame's handler stub; the handler code
    // that follows belongs to the function.
    std::uint32_t HandleAnyException = 0;
    std::uint32_t HandleOnException = 0;
    std::uint32_t HandleAutoException = 0;
    std::uint32_t HandleFinally = 0;
    // Produce Listing; call and jump targets are named through NameOf when given.
    bool WithText = false;
    std::function<std::string(std::uint32_t)> NameOf;
};

bool ParseFunctionCode(const TCodeMemory& memory, std::uint32_t entryPoint, TFunctionInfo& info,
                       const TParseOptions& options = {});

}  // namespace zelDisAsm
