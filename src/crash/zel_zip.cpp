// Deflate (RFC 1951) decompression and CRC-32 of the crash library. Written
// here rather than taken from a system library so that the crash reporter
// has no outside dependency when it has to decode its debug map.
#include "zel_zip.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "zel_types.h"

namespace zelZip {

namespace {

const std::array<std::uint32_t, 256>& CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

struct DataError {};  // the stream is damaged; caught at the top

// Reads the compressed stream bit by bit, least significant bit first,
// pulling further windows from a file source as it goes.
class BitReader {
public:
    explicit BitReader(const TZipStream& s) : src_(s) {
        if (s.kind == TZipStream::Kind::Memory) {
            data_ = s.in;
            size_ = s.length;
        } else {
            buffer_.resize(kFileWindow);
        }
    }

    unsigned Bits(int need) {
        while (count_ < need) {
            bits_ |= std::uint32_t(NextByte()) << count_;
            count_ += 8;
        }
        unsigned v = bits_ & ((1u << need) - 1);
        bits_ >>= need;
        count_ -= need;
        return v;
    }

    void AlignToByte() {
        bits_ = 0;
        count_ = 0;
    }

    unsigned char NextByte() {
        if (pos_ == size_ && !Refill()) throw DataError{};
        return data_[pos_++];
    }

private:
    bool Refill() {
        if (src_.kind != TZipStream::Kind::File) return false;
        ssize_t n;
        do {
            n = ::read(src_.fd, buffer_.data(), buffer_.size());
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        data_ = buffer_.data();
        size_ = static_cast<std::size_t>(n);
        pos_ = 0;
        return true;
    }

    const TZipStream& src_;
    std::vector<unsigned char> buffer_;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0, pos_ = 0;
    std::uint32_t bits_ = 0;
    int count_ = 0;
};

// Keeps the last 32 KiB for back-references and hands output on to the
// destination in pieces.
class Output {
public:
    Output(const TZipStream& d, std::uint32_t* crc) : dst_(d), crc_(crc) {
        window_.resize(kInflateWindow);
        pending_.reserve(kPending);
    }

    void Put(unsigned char c) {
        window_[total_ & (kInflateWindow - 1)] = c;
        ++total_;
        pending_.push_back(c);
        if (pending_.size() == kPending) Flush();
    }

    void Copy(std::size_t distance, std::size_t length) {
        if (distance == 0 || distance > total_ || distance > kInflateWindow) throw DataError{};
        for (std::size_t i = 0; i < length; ++i)
            Put(window_[(total_ - distance) & (kInflateWindow - 1)]);
    }

    void Flush() {
        if (pending_.empty()) return;
        const unsigned char* p = pending_.data();
        std::size_t n = pending_.size();
        switch (dst_.kind) {
        case TZipStream::Kind::Memory:
            if (n > dst_.length - written_) throw DataError{};
            std::memcpy(dst_.out + written_, p, n);
            break;
        case TZipStream::Kind::Text:
            if (n > dst_.length - written_) throw DataError{};
            dst_.text->append(reinterpret_cast<const char*>(p), n);
            break;
        case TZipStream::Kind::File:
            while (n > 0) {
                std::size_t piece = n < kFileWindow ? n : kFileWindow;
                ssize_t w = ::write(dst_.fd, p, piece);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0 || static_cast<std::size_t>(w) != piece)
                    throw ZelException("Stream write error.");
                p += w;
                n -= piece;
            }
            break;
        }
        if (crc_) *crc_ = UpdateCrc32(*crc_, pending_.data(), pending_.size());
        written_ += pending_.size();
        pending_.clear();
    }

    std::size_t Total() const { return total_; }

private:
    static constexpr std::size_t kPending = 65536;
    const TZipStream& dst_;
    std::uint32_t* crc_;
    std::vector<unsigned char> window_, pending_;
    std::size_t total_ = 0, written_ = 0;
};

constexpr int kMaxBits = 15;

// A canonical Huffman code as counts per length and symbols in code order.
struct Huffman {
    std::array<std::uint16_t, kMaxBits + 1> count{};
    std::vector<std::uint16_t> symbol;

    // Over-subscribed codes are damage; an incomplete one is only accepted
    // when it holds a single code of one bit (as encoders write for a block
    // with one distance), and never for the code-length code.
    void Build(const std::uint8_t* lengths, int n, bool allowSingle = true) {
        count.fill(0);
        for (int i = 0; i < n; ++i) ++count[lengths[i]];
        int used = n - count[0];
        int left = 1;
        for (int len = 1; len <= kMaxBits; ++len) {
            left = (left << 1) - count[len];
            if (left < 0) throw DataError{};
        }
        if (left > 0 && !(allowSingle && used == 1 && count[1] == 1)) {
            // An entirely empty code is fine as long as nothing is decoded with it.
            if (used != 0) throw DataError{};
        }
        std::array<std::uint16_t, kMaxBits + 2> offs{};
        for (int len = 1; len <= kMaxBits; ++len) offs[len + 1] = offs[len] + count[len];
        symbol.assign(static_cast<std::size_t>(n), 0);
        for (int i = 0; i < n; ++i)
            if (lengths[i]) symbol[offs[lengths[i]]++] = static_cast<std::uint16_t>(i);
    }

    int Decode(BitReader& in) const {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            code |= int(in.Bits(1));
            int c = count[len];
            if (code - first < c) return symbol[static_cast<std::size_t>(index + code - first)];
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        throw DataError{};  // a code the table does not hold
    }
};

const std::uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const std::uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const std::uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                     33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                     1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void InflateCodes(BitReader& in, Output& out, const Huffman& lit, const Huffman& dist) {
    for (;;) {
        int sym = lit.Decode(in);
        if (sym < 256) {
            out.Put(static_cast<unsigned char>(sym));
        } else if (sym == 256) {
            return;
        } else {
            sym -= 257;
            if (sym >= 29) throw DataError{};
            std::size_t length = kLenBase[sym] + in.Bits(kLenExtra[sym]);
            int d = dist.Decode(in);
            if (d >= 30) throw DataError{};
            std::size_t distance = kDistBase[d] + in.Bits(kDistExtra[d]);
            out.Copy(distance, length);
        }
    }
}

void InflateStored(BitReader& in, Output& out) {
    in.AlignToByte();
    unsigned len = in.NextByte();
    len |= unsigned(in.NextByte()) << 8;
    unsigned nlen = in.NextByte();
    nlen |= unsigned(in.NextByte()) << 8;
    if (len != (~nlen & 0xFFFFu)) throw DataError{};
    while (len--) out.Put(in.NextByte());
}

void InflateFixed(BitReader& in, Output& out) {
    static const std::pair<Huffman, Huffman> codes = [] {
        std::uint8_t lengths[288];
        int i = 0;
        for (; i < 144; ++i) lengths[i] = 8;
        for (; i < 256; ++i) lengths[i] = 9;
        for (; i < 280; ++i) lengths[i] = 7;
        for (; i < 288; ++i) lengths[i] = 8;
        Huffman lit, dist;
        lit.Build(lengths, 288);
        // All 32 five-bit codes, so the code is complete; 30 and 31 are
        // rejected when they turn up.
        std::uint8_t dl[32];
        std::memset(dl, 5, sizeof dl);
        dist.Build(dl, 32);
        return std::make_pair(lit, dist);
    }();
    InflateCodes(in, out, codes.first, codes.second);
}

void InflateDynamic(BitReader& in, Output& out) {
    static const std::uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int nlen = int(in.Bits(5)) + 257;
    int ndist = int(in.Bits(5)) + 1;
    int ncode = int(in.Bits(4)) + 4;
    if (nlen > 286 || ndist > 30) throw DataError{};

    std::uint8_t lengths[286 + 30] = {};
    for (int i = 0; i < ncode; ++i) lengths[order[i]] = static_cast<std::uint8_t>(in.Bits(3));
    Huffman lencode;
    lencode.Build(lengths, 19, false);

    int index = 0;
    while (index < nlen + ndist) {
        int sym = lencode.Decode(in);
        if (sym < 16) {
            lengths[index++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        std::uint8_t value = 0;
        int repeat;
        if (sym == 16) {
            if (index == 0) throw DataError{};
            value = lengths[index - 1];
            repeat = 3 + int(in.Bits(2));
        } else if (sym == 17) {
            repeat = 3 + int(in.Bits(3));
        } else {
            repeat = 11 + int(in.Bits(7));
        }
        if (index + repeat > nlen + ndist) throw DataError{};
        while (repeat--) lengths[index++] = value;
    }
    // Without a code for the end of the block the block could never end.
    if (lengths[256] == 0) throw DataError{};
    Huffman lit, dist;
    lit.Build(lengths, nlen);
    dist.Build(lengths + nlen, ndist);
    InflateCodes(in, out, lit, dist);
}

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t crc, const void* buffer, std::size_t length) {
    const auto& table = CrcTable();
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::uint32_t Crc32(const void* buffer, std::size_t length) {
    return UpdateCrc32(0xFFFFFFFFu, buffer, length) ^ 0xFFFFFFFFu;
}

TZipStream TZipStream::Memory(const void* data, std::size_t length) {
    TZipStream s;
    s.kind = Kind::Memory;
    s.in = static_cast<const unsigned char*>(data);
    s.length = data ? length : 0;
    return s;
}

TZipStream TZipStream::MemoryOut(void* data, std::size_t capacity) {
    TZipStream s;
    s.kind = Kind::Memory;
    s.out = static_cast<unsigned char*>(data);
    s.length = data ? capacity : 0;
    return s;
}

TZipStream TZipStream::Text(std::string& text, std::size_t limit) {
    TZipStream s;
    s.kind = Kind::Text;
    s.text = &text;
    s.length = limit;
    return s;
}

TZipStream TZipStream::File(int fd) {
    TZipStream s;
    s.kind = Kind::File;
    s.fd = fd;
    return s;
}

std::int64_t InflateStreams(const TZipStream& source, const TZipStream& destination,
                            std::uint32_t* crc) {
    if (source.kind == TZipStream::Kind::Text) return -1;  // a text is only ever a destination
    try {
        BitReader in(source);
        Output out(destination, crc);
        bool last;
        do {
            last = in.Bits(1) != 0;
            switch (in.Bits(2)) {
            case 0: InflateStored(in, out); break;
            case 1: InflateFixed(in, out); break;
            case 2: InflateDynamic(in, out); break;
            default: throw DataError{};
            }
        } while (!last);
        out.Flush();
        return static_cast<std::int64_t>(out.Total());
    } catch (const DataError&) {
        return -1;
    }
}

bool Inflate(std::string_view compressed, std::string& plain) {
    plain.clear();
    if (compressed.size() <= 12) return false;
    auto le32 = [&](std::size_t at) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(compressed.data()) + at;
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    };
    std::uint32_t size = le32(0), storedCrc = le32(8);
    // The stored length bounds the output but is not trusted for an
    // allocation up front: a damaged header could ask for 4 GiB.
    TZipStream src = TZipStream::Memory(compressed.data() + 12, compressed.size() - 12);
    std::int64_t produced = InflateStreams(src, TZipStream::Text(plain, size));
    if (produced < 0) {
        plain.clear();
        return false;
    }
    if (!plain.empty() && Crc32(plain.data(), plain.size()) != storedCrc) {
        plain.clear();
        return false;
    }
    return true;
}

}  // namespace zelZip
