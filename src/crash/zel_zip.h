// Deflate decompression and CRC-32 for the crash library. The debug map the
// crash reporter reads is kept compressed in a small container:
//
//   offset 0   4 bytes  uncompressed length (little-endian)
//   offset 4   4 bytes  not read
//   offset 8   4 bytes  CRC-32 of the uncompressed data (little-endian)
//   offset 12  rest     raw Deflate stream, no zlib or gzip wrapper
//
// Damaged input never makes us read or write outside our buffers: it gives
// an empty result, and the caller treats the data as absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelZip {

// The table-driven CRC-32 of IEEE 802.3, continuing from a running value.
// The complete check value starts from 0xFFFFFFFF and is inverted at the
// end; Crc32 does both.
std::uint32_t UpdateCrc32(std::uint32_t crc, const void* buffer, std::size_t length);
std::uint32_t Crc32(const void* buffer, std::size_t length);

// One end of a decompression: a block of memory or an open file descriptor
// (read from / written at its current position). Files go through in
// windows of 1 MiB.
class TZipStream {
public:
    static TZipStream Memory(const void* data, std::size_t length);    // source
    static TZipStream MemoryOut(void* data, std::size_t capacity);     // fixed destination
    static TZipStream Text(std::string& text, std::size_t limit);      // growing destination
    static TZipStream File(int fd);

    enum class Kind { Memory, Text, File };
    Kind kind = Kind::Memory;
    const unsigned char* in = nullptr;
    unsigned char* out = nullptr;
    std::size_t length = 0;  // source length, or destination capacity / limit
    std::string* text = nullptr;
    int fd = -1;
};

inline constexpr std::size_t kFileWindow = 1048576;
inline constexpr std::size_t kInflateWindow = 32768;

// Inflates the raw Deflate stream of `source` into `destination`. Returns
// the number of bytes produced, or -1 when the stream is damaged or does not
// fit the destination. With `crc` the running CRC-32 register of the output
// is kept in it (start it at 0xFFFFFFFF). A failed or short file write
// raises ZelException("Stream write error.").
std::int64_t InflateStreams(const TZipStream& source, const TZipStream& destination,
                            std::uint32_t* crc = nullptr);

// Decompresses a container as above; empty on damage or a CRC mismatch.
bool Inflate(std::string_view compressed, std::string& plain);

}  // namespace zelZip
