// Blowfish: 64-bit blocks, 16 rounds, keys of 8 to 448 bits. Block halves
// are big-endian 32-bit words.
#include <cstring>

#include "codecs/cipher.h"
#include "codecs/blowfish.h"

namespace {

std::uint32_t LoadBE(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

void StoreBE(std::uint32_t v, std::uint8_t* p) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

}  // namespace

TBlowfishCipher::~TBlowfishCipher() { Burn(); }

void TBlowfishCipher::InitKey(const void* key, int sizeBits) {
    if (sizeBits <= 0 || sizeBits % 8 != 0 || sizeBits > GetMaxKeySize())
        throw ECipherError("Invalid key size");
    schedule_.Key(static_cast<const std::uint8_t*>(key), static_cast<std::size_t>(sizeBits) / 8);
}

void TBlowfishCipher::Burn() {
    schedule_.Burn();
    TBlockCipher64::Burn();
}

void TBlowfishCipher::EncryptECB(const void* in, void* out) {
    CheckInitialized();
    std::uint32_t l = LoadBE(static_cast<const std::uint8_t*>(in));
    std::uint32_t r = LoadBE(static_cast<const std::uint8_t*>(in) + 4);
    schedule_.Encipher(l, r);
    StoreBE(l, static_cast<std::uint8_t*>(out));
    StoreBE(r, static_cast<std::uint8_t*>(out) + 4);
}

void TBlowfishCipher::DecryptECB(const void* in, void* out) {
    CheckInitialized();
    std::uint32_t l = LoadBE(static_cast<const std::uint8_t*>(in));
    std::uint32_t r = LoadBE(static_cast<const std::uint8_t*>(in) + 4);
    schedule_.Decipher(l, r);
    StoreBE(l, static_cast<std::uint8_t*>(out));
    StoreBE(r, static_cast<std::uint8_t*>(out) + 4);
}

bool TBlowfishCipher::SelfTest() const {
    struct Vector {
        std::uint8_t key[8], plain[8], cipher[8];
    };
    static const Vector vectors[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0, 0, 0, 0},
         {0x4e, 0xf9, 0x97, 0x45, 0x61, 0x98, 0xdd, 0x78}},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         {0x51, 0x86, 0x6f, 0xd5, 0xb8, 0x5e, 0xcb, 0x8a}},
        {{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10},
         {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef},
         {0x0a, 0xce, 0xab, 0x0f, 0xc6, 0xa0, 0xa2, 0x8d}},
    };
    for (const Vector& v : vectors) {
        TBlowfishCipher cipher;
        std::uint8_t block[8];
        cipher.Init(v.key, 64, nullptr);
        cipher.EncryptECB(v.plain, block);
        if (std::memcmp(block, v.cipher, 8) != 0) return false;
        cipher.DecryptECB(block, block);
        if (std::memcmp(block, v.plain, 8) != 0) return false;
    }
    return true;
}
