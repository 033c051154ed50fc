// Quoted-printable and Base64 tables shared by the MIME library and the
// header-word decoder. Decoders never fail: what they cannot read is kept
// or skipped, because they run on every message the store receives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// The longest line a mail system must take, its CR LF not counted.
inline constexpr std::size_t kMaxMailLineLength = 998;

// True when no line is longer than kMaxMailLineLength.
bool LinesFitMail(const std::vector<std::string>& lines);

// Quoted-printable encoding of text lines (each without its line break):
// every line becomes encoded lines of at most 76 characters, joined by
// soft breaks. Bytes beyond ASCII, controls, "=", a blank that ends the
// line and a "." that would begin an encoded line are escaped, so the
// lines need no dot-stuffing.
std::vector<std::string> EncodeQuotedPrintableLines(const std::vector<std::string>& lines);

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
