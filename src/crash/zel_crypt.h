// The crash library's string cipher forms (on the codecs' Blowfish) and
// Base64 encoder (the codecs' one). It deciphers the debug map and
// unscrambles the report mail's stored password, and the report mail
// encodes its login and attachments; it needs nothing of the program but
// the plain codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelCrypt {

// The one routine behind every form. Only whole 8-byte blocks are touched;
// trailing bytes stay as they are.
//  - iv == 0: each block is enciphered or deciphered in place; with
//    `bigEndian` its halves are read in the published byte order, else as
//    little-endian words.
//  - iv != 0: counter form. The 8 bytes of the value (in memory order,
//    least significant first) are a big-endian counter, incremented before
//    each block; the counter goes through the block function in the
//    direction given by `encrypt`, and the result is combined with the block
//    by exclusive-or.
// The key is used whole, cycled over the P-array; an empty key leaves the
// P-array at its start values.
void CryptBlocks(std::string& text, std::string_view key, bool encrypt, bool bigEndian,
                 std::uint64_t iv = 0);

void EncryptStr(std::string& text, std::string_view key);
void DecryptStr(std::string& text, std::string_view key);
// Counter form with a non-zero iv (the counter enciphered, as in standard
// counter mode), published-order decryption with a zero one; then pad bytes
// are removed: when the last byte is n in 1..8 and the n - 1 bytes before it
// equal it, the last n bytes go.
void DecryptStrIv(std::string& text, std::string_view key, std::uint64_t iv);

void Base64Encode(const void* buffer, std::size_t length, std::string& text);
std::string Base64EncodeStr(std::string_view text);

std::uint32_t SwapBytes(std::uint32_t value);

}  // namespace zelCrypt
