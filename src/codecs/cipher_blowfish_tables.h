// The Blowfish starting key schedule (digits of pi), shared by the
// stored-password cipher and the crash library's string cipher.
#pragma once

#include <cstdint>

namespace CipherBlowfish {

extern const std::uint32_t InitialP[18];
extern const std::uint32_t InitialS[4][256];

}  // namespace CipherBlowfish
