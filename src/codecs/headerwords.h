// RFC 2047 encoded words in header values. Every decoded value is UTF-8,
// whatever mix of charsets its words were written in; what the program
// writes itself is encoded from UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codecs/charsettables.h"

namespace HeaderWords {

// Decodes every encoded word of a header value into UTF-8. Raw text
// outside the words is kept when it is valid UTF-8 and read as
// Windows-1252 otherwise; control characters other than TAB become blanks.
std::string DecodeHeaderText(std::string_view value);

// The inline decoder: the same, with the result written in target.
std::string DecodeInline(std::string_view value, CharsetTables::TCharset target);

// Text for a header: itself when it is ASCII that folds (no run of
// kMaxUnfoldedRun characters without a blank), else UTF-8 encoded words
// (Base64) of at most 75 characters each, cut between characters, folded
// one to a line (CR LF and a blank between them). Text that is not valid
// UTF-8 is read as Windows-1252.
std::string EncodeHeaderText(std::string_view text);
inline constexpr std::size_t kMaxUnfoldedRun = 900;

// A header line as it is written: unfolded (a CR LF before a blank goes),
// every other CR or LF made a blank so that nothing starts a line of its
// own, then folded before blanks so that a line is at most 78 characters
// where a blank allows it (RFC 5322; never over 998 for text from
// EncodeHeaderText). The lines after the first start with their blank.
std::vector<std::string> FoldHeaderLine(std::string_view line);

// The header lines of an attachment's part (Content-Type with name=,
// Content-Transfer-Encoding base64, Content-Disposition with the file
// name), folded. An ASCII name goes quoted as it is; a name beyond ASCII
// goes as UTF-8 in filename* (RFC 2231, in numbered sections when long) and
// as encoded words in name= for readers that know only those. Quotes and
// backslashes are left out of the name.
std::vector<std::string> AttachmentPartHeader(std::string_view contentType, std::string_view fileName);

}  // namespace HeaderWords
