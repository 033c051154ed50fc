// Quoted-printable and Base64 tables shared by the MIME library and the
// header-word decoder. Decoders never fail: what they cannot read is kept
// or skipped, because they run on every message the store receives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace CodecTables {

// The Base64 alphabet; the 65th character is the pad.
inline constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// 6-bit value of a Base64 character; 64 for the pad and for anything that
// is not Base64.
int Base64Value(unsigned char c);

// Quoted-printable decoding: "=XX" becomes that byte, "=" at the end of a
// line (CRLF or LF) is a soft break, an "=" not followed by two hex digits
// is kept as written, an "=" at the very end is dropped.
std::string DecodeQuotedPrintable(std::string_view text);

// Base64 encoding; lineLength > 0 puts CRLF after every lineLength output
// characters (never after the last one).
std::string EncodeBase64(std::string_view bytes, std::size_t lineLength = 0);

// Base64 decoding that skips line breaks and other characters outside the
// alphabet; a pad in the third position of a group gives one byte, in the
// fourth two; an unpadded tail gives the bytes it holds.
std::string DecodeBase64(std::string_view text);

// Incremental Base64 decoder for data arriving in pieces.
class TBase64Decoder {
public:
    void Feed(std::string_view text, std::string& out);
    // Writes what an unpadded last group holds.
    void Finish(std::string& out);

private:
    void EmitGroup(std::string& out);
    int group_[4] = {0, 0, 0, 0};
    int count_ = 0;
};

}  // namespace CodecTables
