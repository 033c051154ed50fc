// Blowfish key schedule and block function: 64-bit blocks, 16 rounds.
#include "codecs/blowfish.h"

#include <cstring>

namespace CipherBlowfish {

void TSchedule::Key(const std::uint8_t* key, std::size_t length) {
    std::memcpy(P, InitialP, sizeof P);
    std::memcpy(S, InitialS, sizeof S);
    if (length > 0) {
        std::size_t j = 0;
        for (std::uint32_t& word : P) {
            std::uint32_t data = 0;
            for (int b = 0; b < 4; ++b) {
                data = (data << 8) | key[j];
                j = (j + 1) % length;
            }
            word ^= data;
        }
    }
    std::uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        Encipher(l, r);
        P[i] = l;
        P[i + 1] = r;
    }
    for (auto& box : S)
        for (int i = 0; i < 256; i += 2) {
            Encipher(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
}

void TSchedule::Encipher(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left, r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= P[i];
        r ^= F(l);
        r ^= P[i + 1];
        l ^= F(r);
    }
    l ^= P[16];
    r ^= P[17];
    left = r;
    right = l;
}

void TSchedule::Decipher(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left, r = right;
    for (int i = 17; i > 1; i -= 2) {
        l ^= P[i];
        r ^= F(l);
        r ^= P[i - 1];
        l ^= F(r);
    }
    l ^= P[1];
    r ^= P[0];
    left = r;
    right = l;
}

void TSchedule::Burn() {
    // Volatile, so that the stores are not dropped as dead.
    volatile std::uint32_t* p = P;
    for (std::size_t i = 0; i < sizeof P / sizeof P[0]; ++i) p[i] = 0;
    volatile std::uint32_t* s = &S[0][0];
    for (std::size_t i = 0; i < sizeof S / sizeof S[0][0]; ++i) s[i] = 0;
}

}  // namespace CipherBlowfish
