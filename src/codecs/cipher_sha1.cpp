// SHA-1 (FIPS 180-1): the hash that turns a pass phrase into a cipher key.
#include <algorithm>
#include <cstring>

#include "codecs/cipher.h"

namespace {

std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

TSha1Hash::~TSha1Hash() { Burn(); }

void TSha1Hash::Init() {
    Burn();
    hash_[0] = 0x67452301;
    hash_[1] = 0xefcdab89;
    hash_[2] = 0x98badcfe;
    hash_[3] = 0x10325476;
    hash_[4] = 0xc3d2e1f0;
    initialized_ = true;
}

void TSha1Hash::Burn() {
    CipherBase::BurnMemory(hash_, sizeof hash_);
    CipherBase::BurnMemory(block_, sizeof block_);
    lenBits_ = 0;
    index_ = 0;
    THashAlgo::Burn();
}

void TSha1Hash::Compress() {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = (std::uint32_t(block_[4 * t]) << 24) | (std::uint32_t(block_[4 * t + 1]) << 16) |
               (std::uint32_t(block_[4 * t + 2]) << 8) | std::uint32_t(block_[4 * t + 3]);
    for (int t = 16; t < 80; ++t) w[t] = Rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = hash_[0], b = hash_[1], c = hash_[2], d = hash_[3], e = hash_[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const std::uint32_t temp = Rol(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = temp;
    }
    hash_[0] += a;
    hash_[1] += b;
    hash_[2] += c;
    hash_[3] += d;
    hash_[4] += e;
    CipherBase::BurnMemory(w, sizeof w);
    index_ = 0;
}

void TSha1Hash::Update(const void* buffer, std::size_t size) {
    CheckInitialized();
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    lenBits_ += std::uint64_t(size) * 8;
    while (size > 0) {
        const std::size_t take = std::min(size, sizeof block_ - index_);
        std::memcpy(block_ + index_, p, take);
        index_ += take;
        p += take;
        size -= take;
        if (index_ == sizeof block_) Compress();
    }
}

void TSha1Hash::Final(void* digest) {
    CheckInitialized();
    const std::uint64_t bits = lenBits_;
    block_[index_++] = 0x80;
    if (index_ > 56) {
        std::memset(block_ + index_, 0, sizeof block_ - index_);
        Compress();
    }
    std::memset(block_ + index_, 0, 56 - index_);
    for (int i = 0; i < 8; ++i) block_[56 + i] = std::uint8_t(bits >> (56 - 8 * i));
    Compress();
    auto* out = static_cast<std::uint8_t*>(digest);
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = std::uint8_t(hash_[i] >> 24);
        out[4 * i + 1] = std::uint8_t(hash_[i] >> 16);
        out[4 * i + 2] = std::uint8_t(hash_[i] >> 8);
        out[4 * i + 3] = std::uint8_t(hash_[i]);
    }
    Burn();
}

bool TSha1Hash::SelfTest() const {
    struct Vector {
        const char* text;
        std::uint8_t digest[20];
    };
    static const Vector vectors[] = {
        {"abc",
         {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
          0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d}},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         {0x84, 0x98, 0x3e, 0x44, 0x1c, 0x3b, 0xd2, 0x6e, 0xba, 0xae,
          0x4a, 0xa1, 0xf9, 0x51, 0x29, 0xe5, 0xe5, 0x46, 0x70, 0xf1}},
    };
    for (const Vector& v : vectors) {
        TSha1Hash hash;
        std::uint8_t digest[20];
        hash.Init();
        hash.UpdateStr(v.text);
        hash.Final(digest);
        if (std::memcmp(digest, v.digest, sizeof digest) != 0) return false;
    }
    return true;
}
