// Message-ID and footer of an accepted message; see message_rewrite.h.
#include "transport/message_rewrite.h"

#include "codecs/qev_util.h"
#include "transport/smtp.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <set>

namespace rewrite {
namespace {

using qev_util::LowerCase;
using qev_util::UpperCase;

// Where each line of a stored message stands in its MIME structure.
struct LineInfo {
    bool body = false;      // a body line of the message or of a part
    bool plainText = false; // in a text part whose encoding keeps lines as they are
    std::string type;       // content type of that part, lower case
};

// The classification of one line after another: what it keeps is the
// header being read and the boundaries seen.
class LineClassifier {
public:
    LineInfo Next(const std::string& line) {
        LineInfo info;
        if (inHeader_) {
            if (line.empty()) {
                inHeader_ = false;
                FinishHeader();
            } else if ((line[0] == ' ' || line[0] == '\t') && !header_.empty()) {
                header_.back() += line;
            } else {
                header_.push_back(line);
            }
            return info;
        }
        if (line.size() > 2 && line[0] == '-' && line[1] == '-') {
            std::string b = line.substr(2);
            if (b.size() > 2 && b.compare(b.size() - 2, 2, "--") == 0 && boundaries_.count(b.substr(0, b.size() - 2))) {
                container_ = true;
                return info;
            }
            if (boundaries_.count(b)) {
                inHeader_ = true;
                header_.clear();
                return info;
            }
        }
        info.body = true;
        info.type = container_ ? std::string() : type_;
        info.plainText = !container_ && type_.rfind("text/", 0) == 0 &&
                         (encoding_.empty() || encoding_ == "7bit" || encoding_ == "8bit");
        return info;
    }

private:
    void FinishHeader() {
        type_ = "text/plain";
        encoding_.clear();
        for (const auto& h : header_) {
            std::string lower = LowerCase(h);
            if (lower.rfind("content-type:", 0) == 0) {
                std::string value = smtp::TrimBlanks(h.substr(13));
                type_ = LowerCase(smtp::TrimBlanks(value.substr(0, value.find(';'))));
                size_t bv = LowerCase(value).find("boundary=");
                if (bv != std::string::npos) {
                    std::string v = value.substr(bv + 9);
                    if (!v.empty() && v[0] == '"') {
                        size_t q = v.find('"', 1);
                        v = v.substr(1, q == std::string::npos ? std::string::npos : q - 1);
                    } else {
                        v = smtp::TrimBlanks(v.substr(0, v.find(';')));
                    }
                    if (!v.empty()) boundaries_.insert(v);
                }
            } else if (lower.rfind("content-transfer-encoding:", 0) == 0) {
                encoding_ = LowerCase(smtp::TrimBlanks(h.substr(26)));
            }
        }
        container_ = type_.rfind("multipart/", 0) == 0;
        header_.clear();
    }

    std::set<std::string> boundaries_;
    bool inHeader_ = true;
    bool container_ = false;  // body of a multipart: preamble or epilogue
    std::string type_, encoding_;
    std::vector<std::string> header_;
};

// Where a footer goes into a message, found line by line (lines split at CR
// LF): the text to put in and its byte offset. An HTML footer goes before
// the first "</BODY>" of a text part, a text footer before the first end
// marker or "begin" line, when that line is in a text part. Lines are
// given by their first bytes (all of them for any line a sender writes),
// where "</BODY>" first stands in them, and whether CR LF ends them.
class FooterPlanner {
public:
    FooterPlanner(const std::vector<std::string>& footerLines, const std::vector<std::string>& htmlFooterLines,
                  bool html)
        : footer_(footerLines), html_(htmlFooterLines), htmlWanted_(html) {}

    // False once nothing later can change the result.
    bool Line(const std::string& head, std::int64_t offset, std::int64_t bodyEndAt, bool endsWithCrLf) {
        const LineInfo info = classifier_.Next(head);
        if (!info.body) return true;
        if (htmlWanted_ && bodyEndAt >= 0) {
            anyBodyEnd_ = true;
            if (info.plainText) {
                htmlOffset_ = offset + bodyEndAt;
                return false;
            }
        }
        if (!textDecided_ && ((head == "." && endsWithCrLf) || head.rfind("begin", 0) == 0)) {
            // The first such line decides; a footer that would land inside
            // an encoded part, or outside every part, is not written at all.
            textDecided_ = true;
            if (info.plainText) textOffset_ = offset;
            if (!htmlWanted_) return false;
        }
        return true;
    }

    // The text to put in at offset; false when the message stays as it is.
    bool Result(std::int64_t& offset, std::string& text) const {
        if (htmlWanted_ && htmlOffset_ >= 0) {
            offset = htmlOffset_;
            text = "<DIV>\r\n";
            if (!html_.empty()) {
                for (const auto& f : html_) text += smtp::DotStuff(f) + "\r\n";
            } else {
                for (const auto& f : footer_) text += "<BR>" + f + "\r\n";
            }
            text += "</DIV>";
            return true;
        }
        if (anyBodyEnd_ || textOffset_ < 0 || footer_.empty()) return false;
        offset = textOffset_;
        text.clear();
        for (const auto& f : footer_) text += smtp::DotStuff(f) + "\r\n";
        return true;
    }

private:
    const std::vector<std::string> footer_;
    const std::vector<std::string> html_;
    bool htmlWanted_;
    LineClassifier classifier_;
    bool anyBodyEnd_ = false;
    bool textDecided_ = false;
    std::int64_t htmlOffset_ = -1, textOffset_ = -1;
};

// Where "</BODY>" first stands in a line, ignoring case; -1 when nowhere.
std::int64_t BodyEndIn(const std::string& line) {
    const size_t at = UpperCase(line).find("</BODY>");
    return at == std::string::npos ? -1 : static_cast<std::int64_t>(at);
}

Insertion PlanInText(const std::string& message, FooterPlanner& planner) {
    std::int64_t offset = 0;
    for (size_t start = 0;;) {
        const size_t crlf = message.find("\r\n", start);
        const std::string line = message.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start);
        if (!planner.Line(line, offset, BodyEndIn(line), crlf != std::string::npos) || crlf == std::string::npos)
            break;
        start = crlf + 2;
        offset = static_cast<std::int64_t>(start);
    }
    Insertion where;
    if (!planner.Result(where.offset, where.text)) where = Insertion{};
    return where;
}

// The lines of a message file for a FooterPlanner, read in pieces: a line
// longer than kMaxHeldLine is given by its first kMaxHeldLine bytes.
platform::FsStatus PlanInFile(platform::Env& env, const std::string& file, FooterPlanner& planner) {
    constexpr size_t kMaxHeldLine = 1 << 20;
    static const std::string kBodyEnd = "</BODY>";
    std::unique_ptr<platform::SequentialFile> in;
    platform::FsStatus s = env.NewSequentialFile(file, in);
    if (!s.ok()) return s;
    std::string piece;
    std::string head;            // the line's first bytes
    std::string tail;            // its last bytes, upper case, for a "</BODY>" across pieces
    std::int64_t lineStart = 0, pos = 0, lineLength = 0, bodyEndAt = -1;
    bool cr = false, more = true;
    auto endLine = [&](bool crlf) {
        // One wholly within the held bytes comes before any found later.
        const std::int64_t inHead = BodyEndIn(head);
        if (inHead >= 0) bodyEndAt = inHead;
        more = planner.Line(head, lineStart, bodyEndAt, crlf);
        head.clear();
        tail.clear();
        lineLength = 0;
        bodyEndAt = -1;
    };
    auto take = [&](char c) {
        if (head.size() < kMaxHeldLine) {
            head += c;
        } else if (bodyEndAt < 0) {
            // Past the held bytes "</BODY>" is looked for as they go by.
            if (tail.empty()) tail = UpperCase(head.substr(head.size() - (kBodyEnd.size() - 1)));
            tail += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (tail.size() > kBodyEnd.size()) tail.erase(0, 1);
            if (tail == kBodyEnd) bodyEndAt = lineLength + 1 - static_cast<std::int64_t>(kBodyEnd.size());
        }
        ++lineLength;
    };
    while (more) {
        s = in->Read(1 << 16, piece);
        if (!s.ok()) return s;
        if (piece.empty()) break;
        for (size_t i = 0; i < piece.size() && more; ++i) {
            const char c = piece[i];
            ++pos;
            if (cr && c == '\n') {
                endLine(true);
                lineStart = pos;
                cr = false;
                continue;
            }
            if (cr) take('\r');
            cr = c == '\r';
            if (!cr) take(c);
        }
    }
    if (more) {
        if (cr) take('\r');
        endLine(false);
    }
    return {};
}

}  // namespace

Insertion FooterInText(const std::string& message, const Footer& footer, bool html) {
    if (footer.Empty() || (!html && footer.lines.empty())) return {};
    FooterPlanner planner(footer.lines, html ? footer.htmlLines : std::vector<std::string>{}, html);
    return PlanInText(message, planner);
}

platform::FsStatus FooterInFile(platform::Env& env, const std::string& file, const Footer& footer, bool html,
                                Insertion& where) {
    where = Insertion{};
    if (footer.Empty() || (!html && footer.lines.empty())) return {};
    FooterPlanner planner(footer.lines, html ? footer.htmlLines : std::vector<std::string>{}, html);
    const platform::FsStatus s = PlanInFile(env, file, planner);
    if (s.ok() && !planner.Result(where.offset, where.text)) where = Insertion{};
    return s;
}

platform::FsStatus MessageIdInFile(platform::Env& env, const std::string& file, const std::string& line,
                                   Insertion& where) {
    where = Insertion{};
    std::unique_ptr<platform::SequentialFile> in;
    platform::FsStatus s = env.NewSequentialFile(file, in);
    if (!s.ok()) return s;
    // Only the header is read: the lines that end CR LF up to the first
    // empty one; the body may be of any size.
    std::int64_t pos = 0, lineStart = 0, insertAt = -1;
    std::string head;  // the first bytes of the line being read
    bool prevCr = false, found = false;
    std::string piece;
    while (!found && insertAt < 0) {
        s = in->Read(64 * 1024, piece);
        if (!s.ok()) return s;
        if (piece.empty()) break;
        for (size_t i = 0; i < piece.size() && !found && insertAt < 0; ++i, ++pos) {
            const char c = piece[i];
            if (c == '\n' && prevCr) {
                if (pos - 1 == lineStart) insertAt = lineStart;
                else if (smtp::StartsWithNoCase(head, "message-id:")) found = true;
                lineStart = pos + 1;
                head.clear();
            } else if (head.size() < 16) {
                head += c;
            }
            prevCr = c == '\r';
        }
    }
    if (!found && insertAt >= 0) where = Insertion{insertAt, line};
    return {};
}

platform::FsStatus CopyWithInsertions(platform::SequentialFile& in, platform::WritableFile& out,
                                      std::vector<Insertion> insertions) {
    std::erase_if(insertions, [](const Insertion& i) { return !i.Any(); });
    std::stable_sort(insertions.begin(), insertions.end(),
                     [](const Insertion& a, const Insertion& b) { return a.offset < b.offset; });
    platform::FsStatus s;
    std::string piece;
    std::int64_t done = 0;
    size_t next = 0;
    while (s.ok()) {
        if (next < insertions.size() && insertions[next].offset == done) {
            s = out.Append(insertions[next++].text);
            continue;
        }
        size_t want = 1 << 20;
        if (next < insertions.size() && insertions[next].offset - done < static_cast<std::int64_t>(want))
            want = static_cast<size_t>(insertions[next].offset - done);
        s = in.Read(want, piece);
        if (!s.ok() || piece.empty()) break;
        s = out.Append(piece);
        done += static_cast<std::int64_t>(piece.size());
    }
    if (s.ok() && next < insertions.size()) s = platform::FsStatus{EINVAL};
    return s;
}

platform::FsStatus WriteWithInsertions(platform::Env& env, const std::string& source, const std::string& target,
                                       std::vector<Insertion> insertions) {
    std::unique_ptr<platform::SequentialFile> in;
    platform::FsStatus s = env.NewSequentialFile(source, in);
    if (!s.ok()) return s;
    const std::string temp = platform::TempBeside(target);
    std::unique_ptr<platform::WritableFile> out;
    s = env.NewWritableFile(temp, platform::CreateMode::Exclusive, out);
    if (!s.ok()) return s;
    s = CopyWithInsertions(*in, *out, std::move(insertions));
    if (s.ok()) s = out->Sync();
    const platform::FsStatus closed = out->Close();
    if (s.ok()) s = closed;
    if (s.ok()) s = env.Rename(temp, target);
    if (!s.ok()) env.Unlink(temp);
    return s;
}

}  // namespace rewrite
