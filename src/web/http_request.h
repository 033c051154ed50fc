// Reading of one HTTP request: where its header block ends, what its head
// says (method, path, length, host, where the browser says it came from),
// and the lookup of its parameters. Plain C++ without Qt, so that the
// parser can be fuzzed on its own.
//
// Every routine here does work in proportion to its input once: a request
// may be megabytes long and is handled on the thread that also serves mail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace http {

// A form posted URL-encoded, or any request that is not an upload, is kept
// in memory up to this size; larger ones are refused.
inline constexpr std::int64_t kMaxRequestBytes = 16 * 1024 * 1024;
// A multipart upload (compose with attachments, address books) is spooled
// to disk up to this size, so that web mail sends what the SMTP server
// takes from a mail client.
inline constexpr std::int64_t kMaxUploadBytes = 64 * 1024 * 1024;
// A header block that has not ended by then is not a browser's.
inline constexpr std::int64_t kMaxHeaderBytes = 64 * 1024;
// Content-Length assumed when a request names none.
inline constexpr std::int64_t kNoContentLength = 9999999;

// Splits on CR LF, a lone CR or a lone LF.
std::vector<std::string> SplitRequestLines(const std::string& text);
std::string JoinCrLf(const std::vector<std::string>& lines);

// The value of a named parameter anywhere in a text (first occurrence);
// never from a Referer line. Requests are looked up through Params.
std::string GetRequestParam(const std::string& Name, const std::string& Text);
// "%xx" escapes decoded once, left to right: what an escape produces is
// never decoded again. Both hex letters of an escape have the same case;
// "%00" and mixed-case escapes stay as they are.
std::string DecodePercent(const std::string& value);
// A named field of a multipart/form-data request, or of a URL-encoded one.
std::string GetMultipartField(const std::string& Name, const std::string& Text,
                              const std::string& Boundary);

// Calls fn with each line of text (split as SplitRequestLines) that holds
// the character c, without splitting the rest: an upload may be megabytes
// of line ends.
template <typename Fn>
void ForEachLineWith(std::string_view text, char c, Fn fn) {
    std::size_t pos = 0;
    while ((pos = text.find(c, pos)) != std::string_view::npos) {
        std::size_t start = text.find_last_of("\r\n", pos);
        start = start == std::string_view::npos ? 0 : start + 1;
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        fn(std::string(text.substr(start, end - start)));
        pos = end;
    }
}

// True for text that holds UTF-8 sequences and nothing that is not UTF-8.
bool IsUtf8Text(const std::string& text);

// The charset a stored message declares for its text: the charset
// parameter of its first text Content-Type line (of the message or of a
// part); empty when it declares none.
std::string DeclaredTextCharset(const std::string& message);

// Offset of the body: just after the first empty line that follows a
// non-empty one; npos while the header block has not ended.
std::size_t BodyOffset(const std::string& text);
// The lines of a request as a page may show them: the header block without
// its Cookie and Authorization lines (nor their folded continuations), then
// at most bodyBytes of the body.
std::vector<std::string> EchoedRequestLines(const std::string& requestText, std::size_t bodyBytes);
std::string FirstWord(const std::string& line);

// How far a request has arrived.
enum class RequestState { Incomplete, Complete, CompleteWhenQuiet, TooLarge };
RequestState CheckRequest(const std::string& text);
// Content-Length of a request's header block (kNoContentLength when none).
std::int64_t ContentLength(const std::vector<std::string>& lowerLines);

// What the header block of a request says.
struct RequestHead {
    std::string method;  // "get", "post" or empty
    std::string path;    // lower case, without query and fragment
    std::int64_t contentLength = kNoContentLength;
    std::string host;       // Host, lower case
    std::string origin;     // Origin as sent ("null" included)
    std::string referer;    // Referer as sent
    std::string fetchSite;  // Sec-Fetch-Site, lower case
    bool multipart = false;
    std::string boundary;   // of a multipart/form-data body
};
// headerBlock: the request up to (at least) the end of its header block.
RequestHead ParseHead(const std::string& headerBlock);

// Where request parameters come from: the query of the request line, the
// Cookie lines and a body that is not multipart. Header lines are never
// read (a browser's "Priority: u=0, i" is not a user name).
std::string ParamSource(const std::string& requestText, bool multipart);

// The parameters of a request, indexed once.
class Params {
public:
    Params() = default;
    // text: name=value pairs separated by NUL, LF, CR, blank, "&" or ";".
    explicit Params(const std::string& text);
    // The parameters of a whole request (from its ParamSource).
    static Params OfRequest(const std::string& requestText, bool multipart);
    // Decoded value ("+" is a blank); the first occurrence wins, names
    // compare without case. Empty when absent, and for a value longer than
    // any page sends (kMaxValue).
    std::string Get(const std::string& name) const;
    bool Has(const std::string& name) const;

private:
    void Add(std::string_view text);
    static constexpr std::size_t kMaxNames = 20000;
    static constexpr std::size_t kMaxValue = 64 * 1024;
    std::unordered_map<std::string, std::string> values_;
};

// True when the browser says the request comes from a page of another
// site: Sec-Fetch-Site other than same-origin or none, or an Origin or
// Referer whose host and port differ from Host.
bool CrossSite(const RequestHead& head);
// True for a Host a browser on the office network uses to reach the server:
// an IP literal, "localhost" or one of ownNames (lower case); absent Host
// too (an HTTP/1.0 client). A name a DNS-rebinding page uses is none of
// these.
bool HostAllowed(const std::string& host, const std::vector<std::string>& ownNames);

}  // namespace http
