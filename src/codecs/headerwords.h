// Decoding of RFC 2047 encoded words in header values. Every decoded value
// is UTF-8, whatever mix of charsets its words were written in.
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

}  // namespace HeaderWords
