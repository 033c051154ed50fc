// Authentication codecs: Base64, the AUTH PLAIN split, MD5 (RFC 1321),
// HMAC-MD5 (RFC 2104) and hex digests.
#include "codecs/auth.h"

#include "codecs/codectables.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace auth {

namespace {

std::string MakeDecodeTable() {
    std::string table(96, '@');
    for (int v = 0; v < 64; ++v) {
        const unsigned char c = static_cast<unsigned char>(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[v]);
        table[c - 33] = static_cast<char>(v);
    }
    return table;
}

// Overwrites memory in a way the optimiser may not drop.
void Wipe(void* buffer, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(buffer);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace

const std::string Base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
const std::string Base64DecodeTable = MakeDecodeTable();

// ---------------------------------------------------------------- Base64

std::string EncodeBase64(const std::string& bytes) { return CodecTables::EncodeBase64(bytes); }

std::string DecodeBase64(const std::string& text) {
    return DecodeBase64WithTable(text, Base64DecodeTable);
}

std::string EncodeBase64WithAlphabet(const std::string& bytes, const std::string& alphabet) {
    if (alphabet.size() < 65)
        throw std::invalid_argument("Base64 alphabet needs 64 symbols and a pad character");
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        out += alphabet[b[i] >> 2];
        out += alphabet[((b[i] & 3) << 4) + (b[i + 1] >> 4)];
        out += alphabet[((b[i + 1] & 15) << 2) + (b[i + 2] >> 6)];
        out += alphabet[b[i + 2] & 63];
    }
    if (n - i == 2) {
        out += alphabet[b[i] >> 2];
        out += alphabet[((b[i] & 3) << 4) + (b[i + 1] >> 4)];
        out += alphabet[(b[i + 1] & 15) << 2];
        out += alphabet[64];
    } else if (n - i == 1) {
        out += alphabet[b[i] >> 2];
        out += alphabet[(b[i] & 3) << 4];
        out += alphabet[64];
        out += alphabet[64];
    }
    return out;
}

std::string DecodeBase64WithTable(const std::string& text, const std::string& table) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned v[4];
    int filled = 0;
    for (unsigned char c : text) {
        if (c == '=') break;
        // A client's line breaks or blanks inside the data must not shift
        // every following group, so anything that is not a symbol is
        // passed over rather than counted.
        if (c < 33 || c - 33u >= table.size()) continue;
        const unsigned value = static_cast<unsigned char>(table[c - 33]);
        if (value >= 64) continue;
        v[filled++] = value;
        if (filled == 4) {
            out += static_cast<char>((v[0] << 2) | (v[1] >> 4));
            out += static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
            out += static_cast<char>(((v[2] & 3) << 6) | v[3]);
            filled = 0;
        }
    }
    if (filled >= 2) out += static_cast<char>((v[0] << 2) | (v[1] >> 4));
    if (filled == 3) out += static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
    return out;
}

// ---------------------------------------------------------------- AUTH PLAIN

void SplitPlainCredentials(const std::string& decoded, std::string& user, std::string& password,
                           std::string* authzid) {
    user.clear();
    password.clear();
    if (authzid) authzid->clear();
    const std::size_t first = decoded.find('\0');
    if (first == std::string::npos) return;
    const std::size_t second = decoded.find('\0', first + 1);
    if (second == std::string::npos) return;
    // A password may not hold a NUL; a third one means the message is not
    // what the client meant to send, and half a password must not be tried.
    if (decoded.find('\0', second + 1) != std::string::npos) return;
    user = decoded.substr(first + 1, second - first - 1);
    password = decoded.substr(second + 1);
    if (authzid) *authzid = decoded.substr(0, first);
}

// ---------------------------------------------------------------- MD5

namespace {

struct Md5Context {
    std::uint32_t state[4];
    std::uint64_t count;  // bytes
    std::uint8_t buffer[64];
};

constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Md5Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(block[4 * i]) | (std::uint32_t(block[4 * i + 1]) << 8) |
               (std::uint32_t(block[4 * i + 2]) << 16) | (std::uint32_t(block[4 * i + 3]) << 24);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        const std::uint32_t next = b + Rol(a + f + x[k] + kT[i], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    Wipe(x, sizeof x);
}

void Md5Init(Md5Context& ctx) {
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xefcdab89;
    ctx.state[2] = 0x98badcfe;
    ctx.state[3] = 0x10325476;
    ctx.count = 0;
}

void Md5Update(Md5Context& ctx, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t index = ctx.count % 64;
    ctx.count += size;
    while (size > 0) {
        const std::size_t take = size < 64 - index ? size : 64 - index;
        std::memcpy(ctx.buffer + index, p, take);
        index += take;
        p += take;
        size -= take;
        if (index == 64) {
            Md5Transform(ctx.state, ctx.buffer);
            index = 0;
        }
    }
}

std::string Md5Final(Md5Context& ctx) {
    const std::uint64_t bits = ctx.count * 8;
    std::uint8_t pad[72] = {0x80};
    const std::size_t index = ctx.count % 64;
    const std::size_t padLen = index < 56 ? 56 - index : 120 - index;
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = std::uint8_t(bits >> (8 * i));
    Md5Update(ctx, pad, padLen);
    Md5Update(ctx, length, 8);
    std::string digest(16, '\0');
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<char>(ctx.state[i] >> (8 * j));
    Wipe(&ctx, sizeof ctx);
    return digest;
}

}  // namespace

std::string MD5Digest(const std::string& bytes) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, bytes.data(), bytes.size());
    return Md5Final(ctx);
}

std::string HmacMD5(const std::string& text, const std::string& key) {
    const std::string k = key.size() > 64 ? MD5Digest(key) : key;
    std::uint8_t ipad[64], opad[64];
    std::memset(ipad, 0x36, sizeof ipad);
    std::memset(opad, 0x5c, sizeof opad);
    for (std::size_t i = 0; i < k.size(); ++i) {
        ipad[i] ^= static_cast<std::uint8_t>(k[i]);
        opad[i] ^= static_cast<std::uint8_t>(k[i]);
    }
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, ipad, sizeof ipad);
    Md5Update(ctx, text.data(), text.size());
    const std::string inner = Md5Final(ctx);
    Md5Init(ctx);
    Md5Update(ctx, opad, sizeof opad);
    Md5Update(ctx, inner.data(), inner.size());
    Wipe(ipad, sizeof ipad);
    Wipe(opad, sizeof opad);
    return Md5Final(ctx);
}

std::string DigestToHex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

}  // namespace auth
