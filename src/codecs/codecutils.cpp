// Binary digit strings.
#include "codecs/codecutils.h"

namespace CodecUtils {

std::string IntToBin(std::uint32_t value, int minDigits) {
    std::string out;
    while (value) {
        out.insert(out.begin(), static_cast<char>('0' + (value & 1)));
        value >>= 1;
    }
    if (out.empty()) out = "0";
    if (minDigits > 64) minDigits = 64;
    while (static_cast<int>(out.size()) < minDigits) out.insert(out.begin(), '0');
    return out;
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
