// Fuzz target: any bytes as a compressed debug-map container or as a raw
// Deflate stream must inflate or fail without reading or writing outside
// the buffers, and never give more than the destination holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crash/zel_zip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string plain;
    if (zelZip::Inflate(bytes, plain)) {
        std::uint32_t stated = size >= 4 ? std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 |
                                               std::uint32_t(data[2]) << 16 | std::uint32_t(data[3]) << 24
                                         : 0;
        if (plain.size() > stated) std::abort();
    }
    unsigned char small[100];
    std::int64_t n = zelZip::InflateStreams(zelZip::TZipStream::Memory(data, size),
                                            zelZip::TZipStream::MemoryOut(small, sizeof small));
    if (n > std::int64_t(sizeof small)) std::abort();
    return 0;
}
