// Fuzz target: any bytes as the payload of an encoded debug map (wrapped
// in a valid container, so the payload reader itself is reached), as a
// whole container, and as map text must load or be refused without a
// fault; a map that loads must answer its searches as a plain scan does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crash/zel_mapfile.h"

namespace {

void Check(const zelMapFile::TMapFile& map, const std::uint8_t* data, std::size_t size) {
    if (!map.Valid) return;
    for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        std::uint64_t a = map.CodeStart + (std::uint64_t(data[i]) | std::uint64_t(data[i + 1]) << 8 |
                                           std::uint64_t(data[i + 2]) << 16);
        if (map.PublicAt(a).Address != map.PublicAtLinear(a).Address) std::abort();
        std::uint64_t n1 = 0, n2 = 0;
        if (map.LineAt(a, n1) != map.LineAtLinear(a, n2) || n1 != n2) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelMapFile::TModuleBounds bounds;
    bounds.Handle = 0x555500000000ull;
    bounds.CodeStart = 0x555500001000ull;
    bounds.CodeEnd = 0x555501000000ull;
    std::string bytes(reinterpret_cast<const char*>(data), size);

    zelMapFile::TMapFile payload(bounds);
    payload.LoadEncodedMap(zelMapFile::EncodeContainer(bytes));
    Check(payload, data, size);

    zelMapFile::TMapFile container(bounds);
    container.LoadEncodedMap(bytes);
    Check(container, data, size);

    zelMapFile::TMapFile text(bounds);
    text.ParseMapText(bytes);
    return 0;
}
