// Start values of the crash library's Blowfish cipher.
#pragma once

#include <cstdint>

namespace zelCrypt::detail {

extern const std::uint32_t kInitP[18];
extern const std::uint32_t kInitS[4][256];

}  // namespace zelCrypt::detail
