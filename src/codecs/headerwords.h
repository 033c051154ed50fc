// RFC 2047 encoded words in header values. Every decoded value is UTF-8,
// whatever mix of charsets its words were written in; what the program
// writes itself is encoded from UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "codecs/charsettables.h"

namespace HeaderWords {

// Decodes every encoded word of a header value into UTF-8. Raw text
// outside the words is kept when it is valid UTF-8 and read as
// Windows-1252 otherwise; control characters other than TAB become blanks.
std::string DecodeHeaderText(std::string_view value);

// The inline decoder: the same, with the result written in target.
std::string DecodeInline(std::string_view value, CharsetTables::TCharset target);

// Text for a header: itself when it is ASCII, else UTF-8 encoded words
// (Base64) of at most 75 characters each, cut between characters. Text that
// is not valid UTF-8 is read as Windows-1252.
std::string EncodeHeaderText(std::string_view text);

}  // namespace HeaderWords
