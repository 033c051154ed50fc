// Helpers of the MIME message library: line lists, header look-up and
// parameters, address tidying, names, message ids, boundaries and content
// types. Everything here works on bytes (std::string) and never throws on
// malformed input.
#pragma once

#include <cstddef>
#include <ctime>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qev_util {

using TStrings = std::vector<std::string>;
using TLines = std::span<const std::string>;

// Failures of building messages and of the attachment classes.
class EQevError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// Reading or seeking a write-only stream filter.
class EStreamError : public EQevError {
public:
    using EQevError::EQevError;
};
// A source file that cannot be opened.
class EFOpenError : public EQevError {
public:
    using EQevError::EQevError;
};

// Splits text at CRLF or LF; a final line break does not start another line.
TStrings SplitLines(std::string_view text);
// Joins lines with CRLF; finalBreak adds one after the last line too.
std::string JoinLines(TLines lines, bool finalBreak);

std::string Trim(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);

// Index of the empty line that ends the header block starting at lines[0]
// (lines.size() when there is none).
std::size_t HeaderBlockEnd(TLines lines);
// Index of the first body line: after the header block and the empty lines
// that follow it.
std::size_t BodyStart(TLines lines);

// The first header of the block whose upper-cased line begins with
// upperName ("SUBJECT:"), with its continuation lines unfolded (the line
// break goes, the leading blank of the continuation stays); "" when absent.
std::string FindHeader(TLines lines, std::string_view upperName);

// The value of a header line found by FindHeader: the text after the name,
// trimmed; cutAtSemicolon keeps only what precedes the first ";" (for the
// Content-* headers, whose parameters follow it).
std::string HeaderValue(std::string_view line, std::string_view upperName, bool cutAtSemicolon);

// A parameter of a structured header value ("boundary", "name", ...), name
// without regard to case; quotes and backslash escapes undone, RFC 2231
// continuations and charsets (to UTF-8) applied. "" when absent.
std::string GetParameter(std::string_view headerValue, std::string_view name);
bool HasParameter(std::string_view headerValue, std::string_view name);

// The multipart delimiter ("--" + boundary) of a Content-Type line, with the
// boundary's case as written; "" when the line has none.
std::string FindBoundary(std::string_view contentTypeLine);

// One entry of an address header (From, To, a typed recipient list) as
// RFC 5322 reads it: the angle-addr outside quoted strings and comments
// when the entry has one, else the bare addr-spec. A "<" inside a quoted
// display name or a comment is text, never the address.
struct Mailbox {
    std::string address;  // without angle brackets, comments and blanks around it
    std::string name;     // display name: quotes and escapes undone, comments dropped, blanks collapsed
    bool angle = false;   // written with an angle-addr
    std::string text;     // the entry as written, trimmed
};
// Reads the entry that starts at from, up to the next "," or ";" outside
// quoted strings, comments and angle brackets (";" separates as "," does:
// people type it between recipients). Returns the position after that
// separator, or list.size(). One pass over the characters it reads.
std::size_t NextMailbox(std::string_view list, std::size_t from, Mailbox& entry);
// The first entry of value that holds an address; an empty one when none.
Mailbox FirstMailbox(std::string_view value);
// FirstMailbox(value).address.
std::string HeaderAddress(std::string_view value);
// An address list for a header of a message being written: the entries
// joined with ", " (a typed ";" becomes ","), each as written but for a
// display name beyond ASCII, which goes as encoded words.
std::string EncodeAddressList(std::string_view list);

// An address list rewritten as "description" <address> entries joined
// with ", ". Quoted passages go first, so a quoted display name leaves an
// empty description; a bare address is its own description.
std::string TidyAddressList(std::string_view value);

// Removes one surrounding pair of double or single quotes.
std::string StripQuotes(std::string_view s);
// Removes every character of chars from s.
std::string RemoveChars(std::string_view s, std::string_view chars);
// A file name safe to show and to store: without \ / : * ? " < > | and
// without control characters.
std::string CleanFileName(std::string_view name);

// "<QEV.yyyy.mm.dd." + 16 letters a..t + "@" + host + ">", for today's
// local date or the date given.
std::string MakeMessageId(std::string_view host);
// Where MakeMessageId(host) takes today's date from. The program points it
// at its own clock so that tests can set the time; by default it is the
// system clock.
void SetNowSource(std::time_t (*now)());
std::string MakeMessageId(std::string_view host, int year, int month, int day);
// "--_QEV_bound_" + 12 letters a..y.
std::string MakeBoundary();

// Content type of a file name's extension: a small built-in table, then
// /etc/mime.types; "application/octet-stream" when neither knows it.
std::string ContentTypeOfExtension(std::string_view fileName);

// The system's temporary folder with a trailing "/".
std::string GetTempPath();

}  // namespace qev_util
