// Reading of one HTTP request: header block, head values, parameters, and
// the checks of where a request comes from.
#include "web/http_request.h"
#include "codecs/qev_util.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

namespace http {

std::vector<std::string> SplitRequestLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

std::string JoinCrLf(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += "\r\n";
        out += lines[i];
    }
    return out;
}

namespace {

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Value of a hex digit and whether it is a letter of which case (0 digit,
// 1 lower, 2 upper); -1 for no hex digit.
int HexValue(char c, int& letterCase) {
    letterCase = 0;
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return letterCase = 1, c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return letterCase = 2, c - 'A' + 10;
    return -1;
}

bool EndsValue(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '&' || c == ';'; }

// The value at pos: up to NUL, LF, CR, blank, "&" or ";"; "+" is a blank.
std::string ValueAt(const std::string& text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && !EndsValue(text[end])) ++end;
    std::string value = text.substr(pos, end - pos);
    std::replace(value.begin(), value.end(), '+', ' ');
    return DecodePercent(value);
}

// First occurrence of lowerKey in text, ignoring case, from pos on; the
// text is never copied (a request may be megabytes long).
std::size_t FindNoCase(const std::string& text, const std::string& lowerKey, std::size_t pos = 0) {
    auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(std::min(pos, text.size())), text.end(),
                          lowerKey.begin(), lowerKey.end(), [](char a, char b) { return LowerChar(a) == b; });
    return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

std::string Trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return std::string();
    std::size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

}  // namespace

std::string DecodePercent(const std::string& value) {
    if (value.find('%') == std::string::npos) return value;
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            int case1 = 0, case2 = 0;
            const int hi = HexValue(value[i + 1], case1), lo = HexValue(value[i + 2], case2);
            const int code = hi * 16 + lo;
            if (hi >= 0 && lo >= 0 && code != 0 && (case1 == 0 || case2 == 0 || case1 == case2)) {
                out += static_cast<char>(code);
                i += 2;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

std::string GetRequestParam(const std::string& Name, const std::string& Text) {
    // The Referer line's "=" signs do not count: no parameter is ever read
    // from the referring address.
    std::size_t refStart = FindNoCase(Text, "referer:"), refEnd = refStart;
    if (refStart != std::string::npos) {
        refEnd = Text.find('\r', refStart);
        if (refEnd == std::string::npos) refEnd = Text.size();
    }
    const std::string key = qev_util::LowerCase(Name) + "=";
    for (std::size_t pos = FindNoCase(Text, key); pos != std::string::npos; pos = FindNoCase(Text, key, pos + 1)) {
        const std::size_t equals = pos + key.size() - 1;
        if (refStart != std::string::npos && equals >= refStart && equals < refEnd) continue;
        return ValueAt(Text, pos + key.size());
    }
    return std::string();
}

std::string GetMultipartField(const std::string& Name, const std::string& Text,
                              const std::string& Boundary) {
    if (Text.find("Content-Type: multipart/form-data") != std::string::npos) {
        if (Boundary.empty()) return std::string();
        const std::string key = "form-data; name=\"" + Name + "\"";
        std::size_t pos = Text.find(key);
        if (pos == std::string::npos) return std::string();
        std::size_t start = Text.find("\r\n\r\n", pos + key.size());
        if (start == std::string::npos) return std::string();
        start += 4;
        std::size_t end = Text.find("\r\n--" + Boundary, start);
        if (end == std::string::npos) end = Text.size();
        // Browsers never %-escape multipart values: the text is the user's.
        return Text.substr(start, end - start);
    }
    const std::string key = qev_util::LowerCase(Name) + "=";
    std::size_t pos = FindNoCase(Text, key);
    if (pos == std::string::npos) return std::string();
    return ValueAt(Text, pos + key.size());
}

bool IsUtf8Text(const std::string& text) {
    bool beyondAscii = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) continue;
        beyondAscii = true;
        int extra = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) return false;
        unsigned cp = c & (extra == 1 ? 0x1Fu : extra == 2 ? 0x0Fu : 0x07u);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += static_cast<std::size_t>(extra);
    }
    return beyondAscii;
}

std::string DeclaredTextCharset(const std::string& message) {
    // Header lines of the message and of its parts, folded lines joined.
    std::size_t pos = 0;
    while (pos < message.size()) {
        std::size_t end = message.find('\n', pos);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() < 13 || qev_util::LowerCase(line.substr(0, 13)) != "content-type:") continue;
        while (pos < message.size() && (message[pos] == ' ' || message[pos] == '\t')) {
            end = message.find('\n', pos);
            if (end == std::string::npos) end = message.size();
            line += message.substr(pos, end - pos);
            pos = end + 1;
        }
        const std::string lower = qev_util::LowerCase(line);
        if (lower.find("text/") == std::string::npos) continue;
        const std::size_t c = lower.find("charset=");
        if (c == std::string::npos) return std::string();
        std::string name = line.substr(c + 8);
        name = name.substr(0, name.find_first_of(";\r \t"));
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        return name;
    }
    return std::string();
}

std::size_t BodyOffset(const std::string& text) {
    bool seenText = false;
    bool lastEndedByLoneCr = false;
    std::size_t i = 0, lineStart = 0;
    const std::size_t limit = std::min<std::size_t>(text.size(), kMaxHeaderBytes + 4);
    while (i < limit) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            bool empty = i == lineStart;
            bool loneCr = false;
            if (c == '\r') {
                if (i + 1 >= text.size()) {
                    // A client that ends its lines with a lone CR has ended
                    // its header block; after CR LF lines the LF may follow.
                    if (empty && seenText && lastEndedByLoneCr) return i + 1;
                    return std::string::npos;
                }
                if (text[i + 1] == '\n') ++i;
                else loneCr = true;
            }
            ++i;
            if (empty && seenText) return i;
            if (!empty) seenText = true;
            lastEndedByLoneCr = loneCr;
            lineStart = i;
        } else {
            ++i;
        }
    }
    return std::string::npos;
}

std::vector<std::string> EchoedRequestLines(const std::string& requestText, std::size_t bodyBytes) {
    const std::size_t body = BodyOffset(requestText);
    std::vector<std::string> lines;
    // The cookie holds the password that HttpOnly keeps from scripts; a page
    // must not hand it back to them.
    bool dropping = false;
    for (auto& line : SplitRequestLines(body == std::string::npos ? requestText : requestText.substr(0, body))) {
        const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!folded) {
            const std::size_t colon = line.find(':');
            const std::string name =
                colon == std::string::npos ? std::string() : qev_util::LowerCase(Trim(line.substr(0, colon)));
            dropping = name == "cookie" || name == "authorization";
        }
        if (!dropping) lines.push_back(std::move(line));
    }
    if (body != std::string::npos)
        for (auto& line : SplitRequestLines(requestText.substr(body, bodyBytes))) lines.push_back(std::move(line));
    return lines;
}

std::string FirstWord(const std::string& line) {
    std::size_t a = line.find_first_not_of(' ');
    if (a == std::string::npos) return std::string();
    std::size_t b = line.find(' ', a);
    return qev_util::LowerCase(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
}

std::int64_t ContentLength(const std::vector<std::string>& lowerLines) {
    std::int64_t length = kNoContentLength;
    for (const auto& line : lowerLines) {
        if (line.empty()) break;  // the header block only: a body may quote headers
        std::size_t p = line.find("content-length:");
        if (p == std::string::npos) continue;
        const std::string digits = Trim(line.substr(p + 15));
        std::int64_t value = 0;
        bool ok = !digits.empty() && digits.size() <= 15;
        for (char c : ok ? digits : std::string()) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            value = value * 10 + (c - '0');
        }
        length = ok ? value : kNoContentLength;
    }
    return length;
}

RequestState CheckRequest(const std::string& text) {
    std::size_t body = BodyOffset(text);
    if (body == std::string::npos)
        return static_cast<std::int64_t>(text.size()) > kMaxHeaderBytes ? RequestState::TooLarge
                                                                         : RequestState::Incomplete;
    const RequestHead head = ParseHead(text.substr(0, body));
    if (head.method != "post") return RequestState::Complete;
    const std::int64_t limit = head.multipart ? kMaxUploadBytes : kMaxRequestBytes;
    if (head.contentLength == kNoContentLength) {
        return static_cast<std::int64_t>(text.size()) > limit ? RequestState::TooLarge
                                                               : RequestState::CompleteWhenQuiet;
    }
    if (head.contentLength > limit - static_cast<std::int64_t>(body)) return RequestState::TooLarge;
    return static_cast<std::int64_t>(body) + head.contentLength <= static_cast<std::int64_t>(text.size())
               ? RequestState::Complete
               : RequestState::Incomplete;
}

RequestHead ParseHead(const std::string& headerBlock) {
    RequestHead head;
    const std::size_t end = BodyOffset(headerBlock);
    const std::vector<std::string> lines =
        SplitRequestLines(end == std::string::npos ? headerBlock : headerBlock.substr(0, end));
    if (lines.empty()) return head;
    const std::string requestLine = qev_util::LowerCase(lines.front());
    // The method is the request line's first word: a path that merely
    // contains "get" or "post" does not make the request one.
    if (const std::string method = FirstWord(requestLine); method == "get" || method == "post") {
        head.method = method;
        std::size_t after = requestLine.find(method) + method.size();
        if (after < requestLine.size()) head.path = requestLine.substr(after + 1);
    }
    for (char cut : {' ', '?', '#'}) {
        std::size_t p = head.path.find(cut);
        if (p != std::string::npos) head.path.resize(p);
    }
    std::vector<std::string> lowerLines;
    lowerLines.reserve(lines.size());
    std::string contentType;
    bool hostSeen = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        lowerLines.push_back(qev_util::LowerCase(lines[i]));
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        const std::string name = qev_util::LowerCase(Trim(lines[i].substr(0, colon)));
        const std::string value = Trim(lines[i].substr(colon + 1));
        if (name == "host" && !hostSeen) {
            head.host = qev_util::LowerCase(value);
            hostSeen = true;
        } else if (name == "origin" && head.origin.empty()) {
            head.origin = value;
        } else if (name == "referer" && head.referer.empty()) {
            head.referer = value;
        } else if (name == "sec-fetch-site" && head.fetchSite.empty()) {
            head.fetchSite = qev_util::LowerCase(value);
        } else if (name == "content-type" && contentType.empty()) {
            contentType = value;
        }
    }
    head.contentLength = ContentLength(lowerLines);
    const std::string lowerType = qev_util::LowerCase(contentType);
    head.multipart = lowerType.find("multipart/form-data") != std::string::npos;
    if (std::size_t b = lowerType.find("boundary="); head.multipart && b != std::string::npos) {
        std::string boundary = contentType.substr(b + 9);
        boundary = boundary.substr(0, boundary.find(';'));
        boundary = Trim(boundary);
        if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
            boundary = boundary.substr(1, boundary.size() - 2);
        head.boundary = boundary;
    }
    return head;
}

std::string ParamSource(const std::string& requestText, bool multipart) {
    const std::size_t body = BodyOffset(requestText);
    const std::string headText = body == std::string::npos ? requestText : requestText.substr(0, body);
    const std::vector<std::string> lines = SplitRequestLines(headText);
    std::string source;
    if (!lines.empty()) {
        const std::string& requestLine = lines.front();
        std::size_t start = requestLine.find(' ');
        std::size_t stop = start == std::string::npos ? std::string::npos : requestLine.find(' ', start + 1);
        const std::string target =
            start == std::string::npos ? std::string() : requestLine.substr(start + 1, stop == std::string::npos ? std::string::npos : stop - start - 1);
        if (std::size_t q = target.find('?'); q != std::string::npos) {
            std::string query = target.substr(q + 1);
            query = query.substr(0, query.find('#'));
            source += query;
        }
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos || qev_util::LowerCase(Trim(lines[i].substr(0, colon))) != "cookie") continue;
        source += "\n" + lines[i].substr(colon + 1);
    }
    if (!multipart && body != std::string::npos) {
        source += "\n";
        source.append(requestText, body, std::string::npos);
    }
    return source;
}

Params::Params(const std::string& text) { Add(text); }

Params Params::OfRequest(const std::string& requestText, bool multipart) {
    // As ParamSource, without copying a body of megabytes.
    Params params;
    const std::size_t body = BodyOffset(requestText);
    params.Add(ParamSource(body == std::string::npos ? requestText : requestText.substr(0, body), true));
    if (!multipart && body != std::string::npos) params.Add(std::string_view(requestText).substr(body));
    return params;
}

namespace {

const char kSeparators[] = {'\0', '\n', '\r', ' ', '&', ';'};

// End of the token that starts at i: the first separator from i on, or n.
// Searched with memchr in windows that grow while no separator turns up,
// so that a short token costs little and a value of megabytes is passed at
// the speed of memchr, not byte by byte.
std::size_t TokenEnd(const char* p, std::size_t n, std::size_t i) {
    std::size_t window = 64;
    while (i < n) {
        const std::size_t len = std::min(window, n - i);
        const char* end = p + i + len;
        for (char c : kSeparators)
            if (const void* hit = std::memchr(p + i, c, static_cast<std::size_t>(end - (p + i)))) end = static_cast<const char*>(hit);
        if (end < p + i + len) return static_cast<std::size_t>(end - p);
        i += len;
        if (window < 65536) window *= 4;
    }
    return n;
}

bool IsSeparator(char c) {
    static const struct Table {
        bool separator[256] = {};
        Table() {
            for (char s : kSeparators) separator[static_cast<unsigned char>(s)] = true;
        }
    } kTable;
    return kTable.separator[static_cast<unsigned char>(c)];
}

}  // namespace

void Params::Add(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (IsSeparator(p[i])) {
            ++i;
            continue;
        }
        const std::size_t end = TokenEnd(p, n, i);
        const std::string_view token = text.substr(i, end - i);
        i = end;
        // A form has a few dozen short fields: a flood of names, or a value
        // no page sends, is not indexed.
        const std::size_t equals = token.find('=');
        if (equals == std::string_view::npos || token.size() - equals - 1 > kMaxValue || values_.size() >= kMaxNames)
            continue;
        std::string name = qev_util::LowerCase(std::string(token.substr(0, equals)));
        if (values_.find(name) == values_.end()) values_.emplace(std::move(name), std::string(token.substr(equals + 1)));
    }
}

std::string Params::Get(const std::string& name) const {
    auto it = values_.find(qev_util::LowerCase(name));
    if (it == values_.end()) return std::string();
    std::string value = it->second;
    std::replace(value.begin(), value.end(), '+', ' ');
    return DecodePercent(value);
}

bool Params::Has(const std::string& name) const { return values_.count(qev_util::LowerCase(name)) > 0; }

namespace {

// "host:port" of an http URL or Origin, lower case, without the default port.
std::string Authority(const std::string& url) {
    std::size_t start = url.find("://");
    if (start == std::string::npos) return qev_util::LowerCase(url);
    start += 3;
    std::size_t end = url.find_first_of("/?#", start);
    std::string a = qev_util::LowerCase(url.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (std::size_t at = a.rfind('@'); at != std::string::npos) a = a.substr(at + 1);
    return a;
}

std::string WithoutDefaultPort(std::string authority) {
    if (authority.size() > 3 && authority.compare(authority.size() - 3, 3, ":80") == 0)
        authority.resize(authority.size() - 3);
    return authority;
}

bool IsIPv4(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t end = text.find('.', i);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(i, end - i);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
            return false;
        ++parts;
        i = end + 1;
        if (end == text.size()) break;
    }
    return parts == 4;
}

}  // namespace

bool CrossSite(const RequestHead& head) {
    if (!head.fetchSite.empty() && head.fetchSite != "same-origin" && head.fetchSite != "none") return true;
    const std::string host = WithoutDefaultPort(head.host);
    if (!head.origin.empty() && WithoutDefaultPort(Authority(head.origin)) != host) return true;
    if (!head.referer.empty() && WithoutDefaultPort(Authority(head.referer)) != host) return true;
    return false;
}

bool HostAllowed(const std::string& host, const std::vector<std::string>& ownNames) {
    if (host.empty()) return true;
    std::string name = qev_util::LowerCase(host);
    if (name.front() == '[') return name.find(']') != std::string::npos;  // an IPv6 literal
    if (std::size_t colon = name.rfind(':'); colon != std::string::npos) {
        const std::string port = name.substr(colon + 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return false;
        name.resize(colon);
    }
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty()) return false;
    if (name == "localhost" || IsIPv4(name)) return true;
    return std::find(ownNames.begin(), ownNames.end(), name) != ownNames.end();
}

}  // namespace http
