// Integers written as strings of the digits 0 and 1, for the code-table
// tooling of the charset unit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace CodecUtils {

// value in binary, most significant digit first, padded with leading zeros
// to at least minDigits.
std::string IntToBin(std::uint32_t value, int minDigits);

// The reverse; reading stops at the first character that is not 0 or 1,
// and digits beyond 32 shift the oldest ones out.
std::uint32_t BinToInt(std::string_view digits);

}  // namespace CodecUtils
