// The report mail. It runs in the exception thread (or for the dialog's
// mail button on its behalf) with blocking sockets: the program's own SMTP
// server runs in the main thread, which keeps serving while this waits.
// Every read has a time limit and the whole exchange a deadline, so a
// server that stops talking cannot hold the crashed program for ever.
#include "zel_mail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dialogs.h"
#include "platform/shell.h"
#include "zel_crypt.h"
#include "zel_exception.h"
#include "zel_report.h"
#include "zel_strings.h"

namespace zelExcept {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// Fixed, and made of characters a report line would not start with.
constexpr char kBoundary[] = "=_zelExcept_0b8d2f6a93e4c71=";
static_assert(sizeof kBoundary - 1 == 28);
constexpr std::size_t kMaxReply = 64 * 1024;
constexpr std::size_t kMaxMailtoUrl = 100 * 1024;

int MsLeft(Deadline deadline, int cap) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return int(std::max<long long>(0, std::min<long long>(left.count(), cap)));
}

std::string ComputerName() {
    char host[256] = {};
    return gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "localhost";
}

// One connection to an SMTP server.
class TSmtpSession {
public:
    TSmtpSession(const TMailEnvironment& env)
        : env_(env), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(env.DeadlineMs)) {}
    ~TSmtpSession() {
        if (fd_ >= 0) close(fd_);
    }

    bool Connect(const std::string& host, int port) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
        for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
            int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) continue;
            bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
            if (!ok && errno == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int err = 0;
                socklen_t len = sizeof err;
                ok = poll(&p, 1, MsLeft(deadline_, env_.ReadTimeoutMs)) == 1 &&
                     getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
            }
            if (ok) {
                // Blocking from here on; a send may wait no longer than a read.
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                timeval tv{env_.ReadTimeoutMs / 1000, (env_.ReadTimeoutMs % 1000) * 1000};
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                fd_ = fd;
            } else {
                close(fd);
            }
        }
        freeaddrinfo(found);
        return fd_ >= 0;
    }

    bool Send(const std::string& data) {
        for (std::size_t done = 0; done < data.size();) {
            if (MsLeft(deadline_, 1) == 0) return false;
            ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += std::size_t(n);
        }
        return true;
    }

    // Reads one reply, in pieces of up to 1024 bytes, up to its last line:
    // one whose fourth character is not "-" (or that is shorter than that).
    bool ReadReply(std::string& reply) {
        reply.clear();
        for (;;) {
            std::size_t eol;
            while ((eol = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, eol + 1);
                buffer_.erase(0, eol + 1);
                reply += line;
                std::size_t len = line.size() - 1 - (line.size() >= 2 && line[line.size() - 2] == '\r');
                if (len < 4 || line[3] != '-') return true;
            }
            if (reply.size() + buffer_.size() > kMaxReply) return false;
            pollfd p{fd_, POLLIN, 0};
            int wait = MsLeft(deadline_, env_.ReadTimeoutMs);
            int ready = wait == 0 ? 0 : poll(&p, 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready != 1) return false;
            char piece[1024];
            ssize_t n = recv(fd_, piece, sizeof piece, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(piece, std::size_t(n));
        }
    }

    bool Expect(const char* code, std::string* reply = nullptr) {
        std::string text;
        if (!ReadReply(text)) return false;
        if (reply) *reply = text;
        return text.compare(0, std::strlen(code), code) == 0;
    }

    bool Command(const std::string& line, const char* code, std::string* reply = nullptr) {
        return Send(line + "\r\n") && Expect(code, reply);
    }

private:
    const TMailEnvironment& env_;
    Deadline deadline_;
    int fd_ = -1;
    std::string buffer_;
};

// A line of the EHLO reply offering AUTH with LOGIN among its mechanisms.
bool OffersAuthLogin(const std::string& reply) {
    std::istringstream in(reply);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 4) continue;
        std::string text = line.substr(4);
        for (char& c : text)
            if (c == '=') c = ' ';
        // The mechanisms are words: LOGIN may well be the last of them.
        if (text.rfind("AUTH ", 0) == 0 && (text + " ").find(" LOGIN ") != std::string::npos) return true;
    }
    return false;
}

std::string NormalisedLines(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string DotStuffed(const std::string& data) {
    std::string out;
    out.reserve(data.size() + 16);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '.' && (i == 0 || data[i - 1] == '\n')) out += '.';
        out += data[i];
    }
    return out;
}

// Addresses come from tables that the web administration can edit: a line
// break in one must not become a command or header line of its own.
std::string OneLine(std::string text) {
    zelStrings::RemoveCharSet(text, "\r\n");
    return text;
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

bool ReadFileBytes(const std::string& path, std::string& data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    data = s.str();
    return true;
}

// ---- DNS ----

void PutName(std::string& out, const std::string& name) {
    std::size_t at = 0;
    while (at < name.size()) {
        std::size_t dot = name.find('.', at);
        if (dot == std::string::npos) dot = name.size();
        std::size_t len = std::min<std::size_t>(dot - at, 63);
        out += char(len);
        out.append(name, at, len);
        at = dot + 1;
    }
    out += '\0';
}

bool GetName(const std::string& msg, std::size_t& at, std::string& name) {
    name.clear();
    std::size_t pos = at;
    bool jumped = false;
    for (int hops = 0; hops < 64; ++hops) {
        if (pos >= msg.size()) return false;
        unsigned len = static_cast<unsigned char>(msg[pos]);
        if (len == 0) {
            if (!jumped) at = pos + 1;
            return true;
        }
        if ((len & 0xC0) == 0xC0) {
            if (pos + 1 >= msg.size()) return false;
            if (!jumped) at = pos + 2;
            jumped = true;
            pos = ((len & 0x3F) << 8) | static_cast<unsigned char>(msg[pos + 1]);
            continue;
        }
        if (pos + 1 + len > msg.size()) return false;
        if (!name.empty()) name += '.';
        name.append(msg, pos + 1, len);
        pos += 1 + len;
    }
    return false;
}

unsigned U16(const std::string& m, std::size_t at) {
    return unsigned(static_cast<unsigned char>(m[at])) << 8 | static_cast<unsigned char>(m[at + 1]);
}

struct TDnsAnswer {
    std::vector<std::pair<unsigned, std::string>> Exchangers;  // preference, host
    std::vector<std::string> NameServers;                      // referral
    std::vector<std::pair<std::string, std::string>> Addresses; // host, numeric address (glue)
};

bool SameName(const std::string& a, const std::string& b) { return zelStrings::SameTextNoCase(a, b); }

bool ParseDnsReply(const std::string& m, unsigned id, TDnsAnswer& answer) {
    if (m.size() < 12 || U16(m, 0) != id || !(m[2] & 0x80)) return false;
    if ((m[3] & 0x0F) != 0) return true;  // an error answer: nothing to use
    std::size_t at = 12;
    std::string name;
    for (unsigned q = U16(m, 4); q > 0; --q) {
        if (!GetName(m, at, name) || at + 4 > m.size()) return false;
        at += 4;
    }
    const unsigned counts[3] = {U16(m, 6), U16(m, 8), U16(m, 10)};
    for (int section = 0; section < 3; ++section)
        for (unsigned r = 0; r < counts[section]; ++r) {
            if (!GetName(m, at, name) || at + 10 > m.size()) return false;
            unsigned type = U16(m, at), length = U16(m, at + 8);
            std::size_t data = at + 10;
            at = data + length;
            if (at > m.size()) return false;
            std::string target;
            std::size_t p = data;
            if (section == 0 && type == 15 && length > 2) {
                p = data + 2;
                if (GetName(m, p, target)) answer.Exchangers.emplace_back(U16(m, data), target);
            } else if (section == 1 && type == 2) {
                if (GetName(m, p, target)) answer.NameServers.push_back(target);
            } else if (type == 1 && length == 4) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, m.data() + data, text, sizeof text);
                answer.Addresses.emplace_back(name, text);
            } else if (type == 28 && length == 16) {
                char text[INET6_ADDRSTRLEN];
                inet_ntop(AF_INET6, m.data() + data, text, sizeof text);
                answer.Addresses.emplace_back(name, text);
            }
        }
    return true;
}

// One query to one server; false when it did not answer in time.
bool AskDns(const TDnsServer& server, const std::string& domain, int waitMs, TDnsAnswer& answer) {
    sockaddr_storage addr{};
    socklen_t addrLen = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, server.Address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(std::uint16_t(server.Port));
        addrLen = sizeof *v4;
    } else if (inet_pton(AF_INET6, server.Address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(std::uint16_t(server.Port));
        addrLen = sizeof *v6;
    } else {
        return false;
    }
    int fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    static unsigned counter = 0;
    const unsigned id = (unsigned(getpid()) * 31 + ++counter) & 0xFFFF;
    std::string query;
    query += char(id >> 8);
    query += char(id & 0xFF);
    query += std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);  // recursion desired, one question
    PutName(query, domain);
    query += std::string("\x00\x0f\x00\x01", 4);  // MX, IN
    bool ok = false;
    if (sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&addr), addrLen) ==
        ssize_t(query.size())) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        int left;
        while (!ok && (left = MsLeft(end, waitMs)) > 0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, left) != 1) break;
            char reply[512];
            ssize_t n = recv(fd, reply, sizeof reply, 0);
            if (n <= 0) continue;
            TDnsAnswer parsed;
            if (ParseDnsReply(std::string(reply, std::size_t(n)), id, parsed)) {
                answer = parsed;
                ok = true;
            }
        }
    }
    close(fd);
    return ok;
}

std::vector<TDnsServer> ConfiguredDnsServers() {
    std::vector<TDnsServer> servers;
    std::ifstream f("/etc/resolv.conf");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string key, value;
        if (in >> key >> value && key == "nameserver") servers.push_back({value, 53});
    }
    return servers;
}

std::string NumericAddress(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
    char text[INET6_ADDRSTRLEN] = {};
    getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(found);
    return text;
}

// The exchanger of an answer, or the servers its referral names.
bool ExchangerOf(const TDnsAnswer& answer, std::string& address) {
    const std::pair<unsigned, std::string>* best = nullptr;
    for (const auto& mx : answer.Exchangers)
        if (!best || mx.first < best->first) best = &mx;
    if (!best) return false;
    for (const auto& [name, numeric] : answer.Addresses)
        if (SameName(name, best->second)) {
            address = numeric;
            return true;
        }
    address = NumericAddress(best->second);
    return !address.empty();
}

// Asks `servers` in turn with the growing waits; follows referrals.
bool Resolve(const std::vector<TDnsServer>& servers, const std::string& domain, const TMailEnvironment& env,
             int depth, std::string& address) {
    for (int wait : env.DnsWaitsMs)
        for (const TDnsServer& server : servers) {
            TDnsAnswer answer;
            if (!AskDns(server, domain, wait, answer)) continue;
            if (ExchangerOf(answer, address)) return true;
            std::vector<TDnsServer> next;
            for (const std::string& ns : answer.NameServers) {
                for (const auto& [name, numeric] : answer.Addresses)
                    if (SameName(name, ns)) next.push_back({numeric, server.Port});
            }
            if (next.empty() || depth >= 8) return false;
            return Resolve(next, domain, env, depth + 1, address);
        }
    return false;
}

void ShowResultBox(const std::string& caption, const std::string& text, bool sent) {
    bool shown = CallInMainThread([&] {
        const auto box = WindowHooks().ResultBox;
        if (box == nullptr || !box(caption, text, sent)) platform::HeadlessLog(caption + ": " + text);
    });
    if (!shown) platform::HeadlessLog(caption + ": " + text);
}

bool IsLoopbackHost(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "::1" || zelStrings::SameTextNoCase(host, "localhost");
}

}  // namespace

TMailEnvironment& MailEnvironment() {
    static auto& env = *new TMailEnvironment;
    return env;
}

std::vector<std::string> SplitRecipients(const std::string& list) {
    std::vector<std::string> out;
    std::string item;
    for (char c : list + ",") {
        if (c == ',' || c == ';') {
            item = OneLine(item);
            zelStrings::TrimBlanks(item);
            if (!item.empty()) out.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return out;
}

std::string EnvelopeForm(const std::string& address) {
    std::size_t lt = address.find('<');
    return lt != std::string::npos ? address.substr(lt) : "<" + address + ">";
}

std::string HeaderForm(const std::string& address) {
    return address.find('<') != std::string::npos ? address : "<" + address + ">";
}

std::string EncodedSubject(const std::string& subject) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "=?UTF-8?Q?";
    for (unsigned char c : subject) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += char(c);
        } else {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out + "?=";
}

std::string MailDateText(platform::SystemTime now) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm u{};
    gmtime_r(&t, &u);
    auto two = [](int v) { return zelStrings::DecimalText(v, 2, '0'); };
    return std::to_string(u.tm_mday) + " " + months[u.tm_mon] + " " + std::to_string(u.tm_year + 1900) + " " +
           two(u.tm_hour) + ":" + two(u.tm_min) + ":" + two(u.tm_sec) + " UT";
}

std::string MailMessageId(platform::SystemTime now) {
    // 100 ns ticks since 1601-01-01, the classic file-time form.
    const std::uint64_t ticks =
        std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() / 100) +
        116444736000000000ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(ticks));
    return std::string("<") + text + "@zelExcept>";
}

std::string MailData(const std::string& sender, const std::string& recipients, const std::string& subject,
                     const std::string& attachments, const std::string& body, platform::SystemTime now) {
    const std::vector<std::string> to = SplitRecipients(recipients);
    std::string toHeader;
    for (const std::string& r : to) toHeader += (toHeader.empty() ? "" : ", ") + HeaderForm(r);
    const std::string from = sender.empty() && !to.empty() ? "zelExcept " + EnvelopeForm(to.front()) : OneLine(sender);
    std::string d = "To: " + toHeader + "\r\nFrom: " + HeaderForm(from) + "\r\nSubject: " + EncodedSubject(subject) +
                    "\r\nDate: " + MailDateText(now) + "\r\nMessage-ID: " + MailMessageId(now) + "\r\n";
    const std::string report = NormalisedLines(body);
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    for (std::size_t i = 1; i <= zelStrings::FieldCount(attachments, '|'); ++i) {
        std::string path = zelStrings::TrimmedCopy(zelStrings::FieldAt(attachments, i, '|'));
        std::string content;
        if (!path.empty() && std::filesystem::is_regular_file(path) && ReadFileBytes(path, content))
            files.emplace_back(FileName(path), std::move(content));
    }
    if (files.empty()) {
        // The report holds names and messages of any language.
        d += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n";
        d += "\r\n" + report;
    } else {
        const std::string line = std::string("--") + kBoundary;
        d += "MIME-Version: 1.0\r\n";
        d += std::string("Content-Type: multipart/mixed; boundary=\"") + kBoundary + "\"\r\n";
        d += "\r\nThis is a multi-part message in MIME format.\r\n\r\n";
        d += line + "\r\n";
        d += "Content-Type: text/plain; charset=\"utf-8\"\r\n";
        d += "Content-Transfer-Encoding: 8bit\r\n\r\n" + report + "\r\n";
        for (const auto& [name, content] : files) {
            const bool png = name.size() >= 4 && zelStrings::SameTextNoCase(name.substr(name.size() - 4), ".png");
            d += line + "\r\n";
            d += std::string("Content-Type: ") + (png ? "image/png" : "application/octet-stream") + "; name=\"" +
                 name + "\"\r\n";
            d += "Content-Transfer-Encoding: base64\r\n";
            d += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n";
            std::string encoded;
            zelCrypt::Base64Encode(content.data(), content.size(), encoded);
            for (std::size_t at = 0; at < encoded.size(); at += 76) d += encoded.substr(at, 76) + "\r\n";
        }
        d += line + "--\r\n";
    }
    return DotStuffed(d);
}

bool SendSmtpMail(const std::string& sender, const std::string& recipients, const std::string& subject,
                  const std::string& host, int port, const std::string& account, const std::string& password,
                  const std::string& attachments, const std::string& body) {
    const TMailEnvironment& env = MailEnvironment();
    const std::vector<std::string> to = SplitRecipients(recipients);
    if (to.empty()) return false;
    const std::string from = sender.empty() ? "zelExcept " + EnvelopeForm(to.front()) : OneLine(sender);
    TSmtpSession s(env);
    if (!s.Connect(host, port) || !s.Expect("220")) return false;
    const std::string helo = env.HeloName.empty() ? ComputerName() : env.HeloName;
    std::string ehlo;
    if (!s.Command("EHLO " + helo, "250", &ehlo)) {
        ehlo.clear();
        if (!s.Command("HELO " + helo, "250")) return false;
    }
    // From here on a failure still says goodbye.
    auto quit = [&s] {
        s.Send("QUIT\r\n");
        return false;
    };
    if (!account.empty() || !password.empty()) {
        if (!OffersAuthLogin(ehlo) || !s.Command("AUTH LOGIN", "334") ||
            !s.Command(zelCrypt::Base64EncodeStr(account), "334") ||
            !s.Command(zelCrypt::Base64EncodeStr(password), "235"))
            return quit();
    }
    if (!s.Command("MAIL FROM:" + EnvelopeForm(from), "250")) return quit();
    bool accepted = false;
    for (const std::string& r : to)
        if (s.Command("RCPT TO:" + EnvelopeForm(r), "250")) accepted = true;
    if (!accepted) return quit();
    if (subject.empty() && body.empty()) {
        bool ok = s.Command("RSET", "250");
        s.Send("QUIT\r\n");
        return ok;
    }
    if (!s.Command("DATA", "354")) return quit();
    if (!s.Command(MailData(from, recipients, subject, attachments, body, platform::Now()) + "\r\n.", "250"))
        return quit();
    return s.Command("QUIT", "221");
}

bool LookupMailExchanger(const std::string& domain, std::string& address) {
    const TMailEnvironment& env = MailEnvironment();
    std::vector<TDnsServer> servers = env.DnsServers.empty() ? ConfiguredDnsServers() : env.DnsServers;
    if (Resolve(servers, domain, env, 0, address)) return true;
    std::vector<TDnsServer> roots;
    for (const std::string& name : env.RootServers) {
        std::string numeric = NumericAddress(name);
        if (!numeric.empty()) roots.push_back({numeric, 53});
    }
    return !roots.empty() && Resolve(roots, domain, env, 0, address);
}

std::string MailtoUrl(const std::string& recipients, const std::string& subject, const std::string& body) {
    auto encode = [](const std::string& text) {
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : text) {
            if (std::strchr("\r\n \"#%+<>?", c) && c != 0) {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += char(c);
            }
        }
        return out;
    };
    std::string url = "mailto:" + recipients + "?subject=" + encode(subject) + "&body=" + encode(body);
    // The handler gets the link as one argument of a command line, and the
    // system takes no argument beyond 128 KiB; a long report is cut short
    // (never inside an escape).
    if (url.size() > kMaxMailtoUrl) {
        std::size_t cut = kMaxMailtoUrl;
        for (std::size_t back = 1; back <= 2; ++back)
            if (url[cut - back] == '%') cut -= back;
        url.resize(cut);
    }
    return url;
}

bool MachineIsConnected() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool up = false;
    for (ifaddrs* i = list; i && !up; i = i->ifa_next)
        up = i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6) &&
             (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_RUNNING) && !(i->ifa_flags & IFF_LOOPBACK);
    freeifaddrs(list);
    return up;
}

bool MailBugReport(const std::string& report, bool silent) {
    const TSettingsBlock settings = SettingsCopy();
    const TMailEnvironment& env = MailEnvironment();
    const std::vector<std::string> to = SplitRecipients(settings.Recipient);
    std::string subject = settings.Subject;
    zelStrings::ReplaceAllNoCase(subject, "%appname%", AppName());
    zelStrings::ReplaceAllNoCase(subject, "%exceptMsg%", ExceptMessageOf(report));

    std::string attachments, reportFile;
    if (settings.AttachReportFile) {
        std::string path = ReportFilePath(settings);
        if (std::filesystem::is_regular_file(path)) attachments = reportFile = path;
    }
    // A screenshot has no capture routine in this program, so none is attached.
    if (!settings.ExtraAttachments.empty())
        attachments += (attachments.empty() ? "" : "|") + settings.ExtraAttachments;

    const bool connected = env.Connected ? env.Connected() : MachineIsConnected();
    bool sent = false, clientStarted = false;
    if (settings.RouteDirectMx && !to.empty() && connected) {
        for (const std::string& r : to) {
            std::string address = EnvelopeForm(r);
            address = address.substr(1, address.find('>') == std::string::npos ? std::string::npos
                                                                               : address.find('>') - 1);
            std::size_t at = address.find('@');
            std::string exchanger;
            if (at == std::string::npos || !LookupMailExchanger(address.substr(at + 1), exchanger)) continue;
            if (SendSmtpMail(settings.Sender, r, subject, exchanger, env.MxPort, "", "", attachments, report))
                sent = true;
        }
    }
    // Our own server on loopback is reachable whatever the network says.
    if (!sent && settings.RouteSmtpServer && !to.empty() && (connected || IsLoopbackHost(settings.SmtpHost)))
        sent = SendSmtpMail(settings.Sender, settings.Recipient, subject, settings.SmtpHost, settings.SmtpPort,
                            settings.SmtpAccount, settings.SmtpPassword, attachments, report);
    // The system mail interface route has no counterpart here.
    if (!sent && settings.RouteMailto && !silent) {
        const std::string url = MailtoUrl(settings.Recipient, subject, report);
        if (env.OpenUrl) {
            clientStarted = env.OpenUrl(url);
        } else {
            CallInMainThread([&] { clientStarted = platform::OpenUrl(url); });
        }
    }
    if (!silent && (sent || !clientStarted)) {
        std::string text = sent ? settings.MailSentText : settings.MailFailedText;
        zelStrings::ReplaceAllNoCase(text, "%LF%", "\r\n");
        const std::string& caption = settings.ButtonTexts[actMail];
        if (env.ResultBox) env.ResultBox(caption, text, sent);
        else ShowResultBox(caption, text, sent);
    }
    if (sent && settings.DeleteAfterMail && !reportFile.empty()) {
        std::error_code ec;
        std::filesystem::remove(reportFile, ec);
    }
    return sent;
}

}  // namespace zelExcept
