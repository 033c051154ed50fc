// Fuzz target: any bytes as 32-bit or 64-bit code (the first byte picks the
// mode) must decode instruction by instruction and parse as a function
// without reading past the snapshot, with every instruction between 1 and
// 15 bytes long.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crash/zel_disasm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    bool is64 = data[0] & 1;
    ++data;
    --size;
    const std::uint64_t base = is64 ? 0x7f12345000ull : 0x401000;
    zelDisAsm::TCodeMemory mem(is64 ? zelDisAsm::TMode::Bits64 : zelDisAsm::TMode::Bits32);
    mem.AddCode(base, std::string(reinterpret_cast<const char*>(data), size));
    mem.AddUnreadable(base + size, 0x1000);
    for (std::uint64_t at = base; at < base + size;) {
        zelDisAsm::TCodeInfo ci;
        std::uint64_t next = zelDisAsm::DecodeInstruction(mem, at, ci);
        if (next <= at || next - at > 15) std::abort();
        if (ci.Valid && next > base + size) std::abort();
        at = next;
    }
    zelDisAsm::TFunctionInfo f;
    zelDisAsm::TParseOptions options;
    options.WithText = true;
    options.HandleFinally = base + 16;
    options.HandleOnException = base + 32;
    zelDisAsm::ParseFunctionCode(mem, base, f, options);
    for (const auto& a : f.CodeAreas)
        if (a.Start < base || a.End > base + size || a.End <= a.Start) std::abort();
    return 0;
}
