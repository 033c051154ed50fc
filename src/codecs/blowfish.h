// Blowfish itself: the keyed schedule and the block function, shared by
// the stored-password cipher (TBlowfishCipher) and the crash library's
// string cipher, which differ only in how they read blocks and keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/cipher_blowfish_tables.h"

namespace CipherBlowfish {

// A keyed schedule. Halves are plain 32-bit words; how they are read from
// bytes is the caller's business.
struct TSchedule {
    std::uint32_t P[18];
    std::uint32_t S[4][256];

    // The key is used whole, cycled over the P-array, whatever its length;
    // an empty key leaves the P-array at its start values before the
    // expansion. Callers that have a key-size rule check it first.
    void Key(const std::uint8_t* key, std::size_t length);
    void Encipher(std::uint32_t& left, std::uint32_t& right) const;
    void Decipher(std::uint32_t& left, std::uint32_t& right) const;
    // Overwrites the key material.
    void Burn();

private:
    std::uint32_t F(std::uint32_t x) const {
        return ((S[0][x >> 24] + S[1][(x >> 16) & 0xFF]) ^ S[2][(x >> 8) & 0xFF]) + S[3][x & 0xFF];
    }
};

}  // namespace CipherBlowfish
