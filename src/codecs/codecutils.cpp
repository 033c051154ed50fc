// Binary digit strings.
#include "codecs/codecutils.h"

namespace CodecUtils {

std::string IntToBin(std::uint32_t value, int minDigits) {
    if (minDigits > 64) minDigits = 64;
    std::string out;
    do {
        out += static_cast<char>('0' + (value & 1));
        value >>= 1;
    } while (value);
    if (static_cast<int>(out.size()) < minDigits) out.append(static_cast<std::size_t>(minDigits) - out.size(), '0');
    return std::string(out.rbegin(), out.rend());
}

std::uint32_t BinToInt(std::string_view digits) {
    std::uint32_t v = 0;
    for (char c : digits) {
        if (c != '0' && c != '1') break;
        v = (v << 1) | static_cast<std::uint32_t>(c - '0');
    }
    return v;
}

}  // namespace CodecUtils
