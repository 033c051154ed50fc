// Stored-message helpers.
#include "codecs/details.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "codecs/headerwords.h"
#include "codecs/qev_util.h"
#include "codecs/qevmsg.h"

namespace details {

namespace {

constexpr int kMaxHeaderLines = 100;
constexpr std::size_t kMaxListedName = 255;
constexpr int kNameWindow = 12;

// Reads a stored message line by line, undoing the SMTP transparency the
// file was written with.
class StoredLineReader {
public:
    StoredLineReader() = default;
    StoredLineReader(const StoredLineReader&) = delete;
    StoredLineReader& operator=(const StoredLineReader&) = delete;
    ~StoredLineReader() {
        if (fd_ >= 0) ::close(fd_);
    }

    // False when the file does not exist; EInOutError when it cannot be read.
    bool Open(const std::string& fileName) {
        name_ = fileName;
        fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            if (errno == ENOENT || errno == ENOTDIR) return false;
            Fail(errno);
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0) Fail(errno);
        if (!S_ISREG(st.st_mode)) Fail(EISDIR);
        return true;
    }

    bool Next(std::string& line) {
        if (done_ || !RawLine(line)) {
            done_ = true;
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == ".") {  // the end marker
            done_ = true;
            return false;
        }
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
        return true;
    }

private:
    [[noreturn]] void Fail(int err) {
        throw EInOutError("I/O error reading \"" + name_ + "\": " + std::strerror(err));
    }

    bool RawLine(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ == len_) {
                if (eof_) return !line.empty();
                ssize_t n;
                do {
                    n = ::read(fd_, buf_, sizeof buf_);
                } while (n < 0 && errno == EINTR);
                if (n < 0) Fail(errno);
                pos_ = 0;
                len_ = static_cast<std::size_t>(n);
                if (n == 0) {
                    eof_ = true;
                    return !line.empty();
                }
            }
            const char* start = buf_ + pos_;
            const void* nl = std::memchr(start, '\n', len_ - pos_);
            if (nl) {
                std::size_t k = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
                line.append(start, k);
                pos_ += k + 1;
                return true;
            }
            line.append(start, len_ - pos_);
            pos_ = len_;
        }
    }

    std::string name_;
    int fd_ = -1;
    char buf_[65536];
    std::size_t pos_ = 0, len_ = 0;
    bool eof_ = false;
    bool done_ = false;
};

bool StartsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }

// The value after the header name, without the blanks after the colon.
std::string ValueAfter(const std::string& line, std::size_t nameLength) {
    std::size_t p = nameLength;
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
    return qev_util::Trim(std::string_view(line).substr(std::min(p, line.size())));
}

int ToIntDef0(const std::string& s) {
    int v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return 0;
    return v;
}

void AddUnique(std::vector<std::string>& list, const std::string& name) {
    for (const auto& n : list)
        if (n == name) return;
    list.push_back(name);
}

std::string ExtractFileExt(const std::string& name) {
    std::size_t p = name.find_last_of("./\\:");
    if (p == std::string::npos || name[p] != '.') return {};
    return name.substr(p);
}

bool ParseStoredMessage(const std::string& fileName, TQevMsg& msg) {
    std::string text;
    if (!LoadStoredMessage(fileName, text)) return false;
    msg.SetRawMailText(text);
    msg.ParseRawMail();
    return true;
}

}  // namespace

bool LoadStoredMessage(const std::string& fileName, std::string& text) {
    text.clear();
    StoredLineReader reader;
    if (!reader.Open(fileName)) return false;
    std::string line;
    while (reader.Next(line)) {
        text += line;
        text += "\r\n";
    }
    return true;
}

void ReadMessageHeaders(const std::string& fileName, std::string& From, std::string& To, std::string& Subject,
                        std::string& Date, int& AttachmentCount, std::vector<std::string>& Attachments) {
    From.clear();
    To.clear();
    Subject.clear();
    Date.clear();
    AttachmentCount = -1;
    StoredLineReader reader;
    if (!reader.Open(fileName)) return;

    // The header block's physical lines, then unfolded.
    std::vector<std::string> physical;
    std::string line;
    while (static_cast<int>(physical.size()) < kMaxHeaderLines && reader.Next(line)) {
        if (line.empty()) break;
        physical.push_back(line);
    }
    std::vector<std::string> logical;
    for (auto& l : physical) {
        if (!logical.empty() && (l[0] == ' ' || l[0] == '\t'))
            logical.back() += l;
        else
            logical.push_back(std::move(l));
    }

    for (const std::string& l : logical) {
        std::string lower = qev_util::LowerCase(l.substr(0, 9));
        if (From.empty() && StartsWith(lower, "from:"))
            From = HeaderWords::DecodeHeaderText(qev_util::RemoveChars(ValueAfter(l, 5), "\""));
        if (To.empty() && StartsWith(lower, "to:"))
            To = HeaderWords::DecodeHeaderText(qev_util::RemoveChars(ValueAfter(l, 3), "\""));
        if (Subject.empty() && StartsWith(lower, "subject:")) Subject = HeaderWords::DecodeHeaderText(ValueAfter(l, 8));
        if (Date.empty() && StartsWith(lower, "date:")) Date = ValueAfter(l, 5);
        if (AttachmentCount == -1 && StartsWith(l, "X-AttachmentCount:")) AttachmentCount = ToIntDef0(ValueAfter(l, 18));
        if (StartsWith(l, "X-Attachment:")) Attachments.push_back(ValueAfter(l, 13));
    }
}

std::vector<std::string> SplitMessageParts(const std::string& fileName) {
    std::vector<std::string> list;
    std::string from, to, subject, date;
    int count = -1;
    ReadMessageHeaders(fileName, from, to, subject, date, count, list);
    if (count != -1) return list;

    StoredLineReader reader;
    if (!reader.Open(fileName)) return list;
    // Names that the quoted name= search cannot see (unquoted, RFC 2231,
    // folded) are read from the whole Content-Type and Content-Disposition
    // headers: the attachment checks must not miss an attachment for the
    // way its name is written.
    std::string header;
    auto flushHeader = [&] {
        if (header.empty()) return;
        std::string_view value(header);
        value.remove_prefix(value.find(':') + 1);
        for (const char* param : {"name", "filename"}) {
            std::string name = qev_util::GetParameter(value, param);
            name = qev_util::Trim(HeaderWords::DecodeHeaderText(name.substr(0, kMaxListedName)));
            if (!name.empty()) AddUnique(list, name);
        }
        header.clear();
    };
    std::string line;
    int window = 0;
    while (reader.Next(line)) {
        const std::string lower = qev_util::LowerCase(line);
        if (!header.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t'))
            header += line;
        else
            flushHeader();
        if (StartsWith(lower, "content-type:") || StartsWith(lower, "content-disposition:")) header = line;
        if (StartsWith(lower, "begin 6") && line.size() > 10)
            AddUnique(list, qev_util::Trim(line.substr(10, kMaxListedName)));
        if (StartsWith(lower, "content-type:")) window = kNameWindow;
        if (window == 0) continue;
        if (line.empty()) {
            window = 0;
            continue;
        }
        --window;
        std::size_t p = lower.find("name=\"");
        if (p == std::string::npos) continue;
        // The quoted value only: parameters after it are not part of the name.
        std::size_t start = p + 6;
        std::size_t close = line.find('"', start);
        std::string name = line.substr(start, close == std::string::npos ? std::string::npos : close - start);
        name = qev_util::Trim(HeaderWords::DecodeHeaderText(name.substr(0, kMaxListedName)));
        if (!name.empty()) AddUnique(list, name);
    }
    flushHeader();
    if (!list.empty() && qev_util::LowerCase(list.front()) == ".html") list.erase(list.begin());
    return list;
}

void GetMessageBody(const std::string& fileName, bool& IsHtml, std::string& Body) {
    IsHtml = false;
    Body.clear();
    TQevMsg msg;
    if (!ParseStoredMessage(fileName, msg)) return;
    if (!msg.Attachments.Empty() && ExtractFileExt(msg.Attachments[0].FileName) == ".html") {
        Body = msg.Attachments[0].GetBody();
        IsHtml = true;
        return;
    }
    Body = qev_util::JoinLines(msg.Text, true);
}

std::string UnescapeName(const std::string& name) {
    auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && hex(name[i + 1]) >= 0 && hex(name[i + 2]) >= 0) {
            int v = hex(name[i + 1]) * 16 + hex(name[i + 2]);
            if (v != 0) {
                out += static_cast<char>(v);
                i += 2;
                continue;
            }
        }
        out += name[i];
    }
    return out;
}

void DecodeAttachment(const std::string& fileName, const std::string& AttachmentName, std::string& Data) {
    Data.clear();
    const std::string name = UnescapeName(AttachmentName);
    TQevMsg msg;
    if (!ParseStoredMessage(fileName, msg)) {
        Data = "That email seems to have been collected elsewhere";
        return;
    }
    Data = "Couldn't decode the attachment " + name;
    // Links may carry a name as the message states it ("a/b.txt"); the
    // parser keeps it cleaned ("ab.txt").
    const std::string cleaned = qev_util::CleanFileName(name);
    for (std::size_t i = 0; i < msg.Attachments.Count(); ++i) {
        const std::string& stored = msg.Attachments[i].FileName;
        if (qev_util::SameText(stored, name) || qev_util::SameText(stored, cleaned))
            Data = msg.Attachments[i].GetBody();
    }
}

}  // namespace details
