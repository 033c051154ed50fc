// Fuzz target: any bytes as 32-bit code must decode instruction by
// instruction and parse as a function without reading past the snapshot,
// with every instruction between 1 and 15 bytes long.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crash/zel_disasm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint32_t base = 0x401000;
    zelDisAsm::TCodeMemory mem;
    mem.AddCode(base, std::string(reinterpret_cast<const char*>(data), size));
    mem.AddUnreadable(base + static_cast<std::uint32_t>(size), 0x1000);
    for (std::uint32_t at = base; at < base + size;) {
        zelDisAsm::TCodeInfo ci;
        std::uint32_t next = zelDisAsm::DecodeInstruction(mem, at, ci);
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
