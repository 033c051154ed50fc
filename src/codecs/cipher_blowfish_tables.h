// The Blowfish starting key schedule (digits of pi), shared by the cipher
// and nothing else.
#pragma once

#include <cstdint>

namespace CipherBlowfish {

extern const std::uint32_t InitialP[18];
extern const std::uint32_t InitialS[4][256];

}  // namespace CipherBlowfish
