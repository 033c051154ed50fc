// MIME message parsing and building.
#include "codecs/qevmsg.h"

#include "codecs/codectables.h"
#include "codecs/headerwords.h"

namespace qev_util {

namespace {

std::string_view RTrimmed(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::vector<TLines> SplitMultipart(TLines lines, std::string_view delimiter) {
    std::vector<TLines> parts;
    if (delimiter.empty()) return parts;
    const std::string closing = std::string(delimiter) + "--";
    std::size_t i = BodyStart(lines);
    while (i < lines.size() && RTrimmed(lines[i]) != delimiter) ++i;
    if (i == lines.size()) return parts;  // no delimiter: nothing but preamble
    std::size_t start = ++i;
    for (; i < lines.size(); ++i) {
        std::string_view l = RTrimmed(lines[i]);
        if (l.size() < delimiter.size() || l.compare(0, delimiter.size(), delimiter) != 0) continue;
        if (l == delimiter) {
            parts.push_back(lines.subspan(start, i - start));
            start = i + 1;
        } else if (l == closing) {
            parts.push_back(lines.subspan(start, i - start));
            return parts;
        }
    }
    // No closing delimiter: the last part runs to the end of the input.
    parts.push_back(lines.subspan(start));
    return parts;
}

bool IsUUBeginLine(std::string_view line) {
    if (line.size() <= 10 || !SameText(line.substr(0, 5), "begin")) return false;
    int mode = 0;
    for (std::size_t k = 6; k <= 8; ++k) {
        if (line[k] < '0' || line[k] > '9') return false;
        mode = mode * 10 + (line[k] - '0');
    }
    return mode >= 1 && mode <= 776;
}

}  // namespace qev_util

using namespace qev_util;

namespace {

std::string OneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// A value placed inside a quoted parameter or display name: no quote or
// backslash can end the quoting early.
std::string QuotedSafe(std::string_view s) { return OneLine(RemoveChars(s, "\"\\")); }

// The file name with its extension replaced (or added): the last "." after
// the last folder or drive delimiter starts the extension.
std::string ChangeFileExt(const std::string& name, std::string_view ext) {
    std::size_t p = name.find_last_of(".\\:");
    if (p != std::string::npos && name[p] == '.') return name.substr(0, p) + std::string(ext);
    return name + std::string(ext);
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

void TQevMsg::ReadMessageHeaders() {
    const TLines raw(RawMail);
    if (!Headers.empty()) From = Headers.front().size() > 5 ? Headers.front().substr(5, 72) : std::string();
    if (std::string l = FindHeader(raw, "FROM:"); !l.empty())
        From = HeaderWords::DecodeHeaderText(HeaderValue(l, "FROM:", false));
    Sender = TidyAddressList(HeaderValue(FindHeader(raw, "SENDER:"), "SENDER:", false));
    ReplyTo = TidyAddressList(HeaderValue(FindHeader(raw, "REPLY-TO:"), "REPLY-TO:", false));
    SendTo = TidyAddressList(HeaderValue(FindHeader(raw, "TO:"), "TO:", false));
    CC = TidyAddressList(HeaderValue(FindHeader(raw, "CC:"), "CC:", false));
    MessageId = HeaderValue(FindHeader(raw, "MESSAGE-ID:"), "MESSAGE-ID:", false);
    InReplyTo = HeaderValue(FindHeader(raw, "IN-REPLY-TO:"), "IN-REPLY-TO:", false);
    ReturnPath = HeaderValue(FindHeader(raw, "RETURN-PATH:"), "RETURN-PATH:", false);
    Date = HeaderValue(FindHeader(raw, "DATE:"), "DATE:", false);
    Subject = HeaderWords::DecodeHeaderText(HeaderValue(FindHeader(raw, "SUBJECT:"), "SUBJECT:", false));
    ContentType = UpperCase(HeaderValue(FindHeader(raw, "CONTENT-TYPE:"), "CONTENT-TYPE:", true));
    if (ContentType.empty()) ContentType = "TEXT/PLAIN";
    ContentTransferEncoding =
        UpperCase(HeaderValue(FindHeader(raw, "CONTENT-TRANSFER-ENCODING:"), "CONTENT-TRANSFER-ENCODING:", true));
    if (ContentTransferEncoding.empty()) ContentTransferEncoding = "7BIT";
}

void TQevMsg::ParseRawMail() {
    if (RawMail.empty()) return;
    Text.clear();
    Attachments.Clear();
    const TLines raw(RawMail);
    Headers.assign(RawMail.begin(), RawMail.begin() + static_cast<std::ptrdiff_t>(HeaderBlockEnd(raw)));
    ReadMessageHeaders();
    ParsePart(raw, 0);
    if (ClearRawMailAfterParse) RawMail.clear();
}

void TQevMsg::ParsePart(TLines lines, int depth) {
    if (depth > kMaxPartDepth) return;
    const std::string ctLine = FindHeader(lines, "CONTENT-TYPE:");
    std::string type = UpperCase(HeaderValue(ctLine, "CONTENT-TYPE:", true));
    if (type.empty()) type = "TEXT/PLAIN";
    const std::string ctValue = ctLine.empty() ? std::string() : ctLine.substr(13);
    std::string name = GetParameter(ctValue, "name");
    if (name.empty()) {
        std::string cd = FindHeader(lines, "CONTENT-DISPOSITION:");
        if (!cd.empty()) name = GetParameter(std::string_view(cd).substr(20), "filename");
    }
    name = Trim(HeaderWords::DecodeHeaderText(Trim(name)));
    std::string encoding =
        UpperCase(HeaderValue(FindHeader(lines, "CONTENT-TRANSFER-ENCODING:"), "CONTENT-TRANSFER-ENCODING:", true));
    if (encoding.empty()) encoding = "7BIT";
    const bool hasName = !name.empty();

    if (StartsWith(type, "TEXT/") || type == "TEXT") {
        std::size_t start = BodyStart(lines);
        while (start < lines.size() && lines[start].empty()) ++start;
        TLines body = lines.subspan(start);
        if (hasName || type == "TEXT/HTML")
            StoreAttachment(body, name, type, encoding);
        else
            AppendText(body, encoding);
        return;
    }
    if (StartsWith(type, "MULTIPART/")) {
        for (TLines part : SplitMultipart(lines, FindBoundary(ctValue))) ParsePart(part, depth + 1);
        return;
    }
    TLines body = lines.subspan(BodyStart(lines));
    if (encoding != "X-UUENCODE" && !hasName) {
        if (type == "MESSAGE/RFC822") {
            ParsePart(body, depth + 1);
            return;
        }
        if (encoding != "BASE64" && encoding != "QUOTED-PRINTABLE") {
            Text.insert(Text.end(), body.begin(), body.end());
            return;
        }
    }
    StoreAttachment(body, name, type, encoding);
}

void TQevMsg::AppendText(TLines body, const std::string& encoding) {
    // Take out uuencoded blocks; a "begin" line whose following lines do not
    // decode is ordinary text.
    TStrings rest;
    rest.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (!IsUUBeginLine(body[i])) {
            rest.push_back(body[i]);
            continue;
        }
        std::size_t k = i + 1;
        while (k < body.size() && !body[k].empty() && !SameText(Trim(body[k]), "end")) ++k;
        // A block has at least one data line (an empty file is one "`").
        if (k == i + 1) {
            rest.push_back(body[i]);
            continue;
        }
        std::string data;
        std::size_t failed = 0;
        if (!UUDecodeLines(body.subspan(i + 1, k - i - 1), data, &failed)) {
            // Every block starting before the damaged line would contain it
            // too: those lines are text, and the search goes on after them.
            std::size_t stop = i + 1 + failed;
            for (; i < stop; ++i) rest.push_back(body[i]);
            --i;
            continue;
        }
        TAttachedFile& f = Attachments.Add();
        f.FileName = CleanFileName(std::string_view(body[i]).substr(10, 64));
        f.ContentType = "APPLICATION/OCTET-STREAM";
        *f.Body = std::move(data);
        // The "end" line belongs to the block as well.
        i = (k < body.size() && !body[k].empty()) ? k : k - 1;
    }
    if (encoding == "QUOTED-PRINTABLE") {
        TStrings decoded = SplitLines(CodecTables::DecodeQuotedPrintable(JoinLines(rest, true)));
        Text.insert(Text.end(), std::make_move_iterator(decoded.begin()), std::make_move_iterator(decoded.end()));
    } else if (encoding == "BASE64") {
        std::string joined;
        for (const auto& l : rest) joined += l;
        TStrings decoded = SplitLines(CodecTables::DecodeBase64(joined));
        Text.insert(Text.end(), std::make_move_iterator(decoded.begin()), std::make_move_iterator(decoded.end()));
    } else {
        Text.insert(Text.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
    }
}

void TQevMsg::StoreAttachment(TLines body, const std::string& name, const std::string& type,
                              const std::string& encoding) {
    std::string fileName = name;
    if (fileName.empty()) {
        fileName = Subject;
        if (type == "TEXT/HTML")
            fileName = ChangeFileExt(fileName, ".html");
        else if (type == "IMAGE/JPEG")
            fileName = ChangeFileExt(fileName, ".jpeg");
        else if (type == "IMAGE/GIF")
            fileName = ChangeFileExt(fileName, ".gif");
    }
    TAttachedFile& f = Attachments.Add();
    f.FileName = CleanFileName(fileName);
    f.ContentType = ContentTypeOfExtension(f.FileName);
    if (encoding == "BASE64") {
        f.DecodeBase64(body);
    } else if (encoding == "X-UUENCODE") {
        // What decodes is kept even when a later line is damaged.
        UUDecodeLines(body, *f.Body);
    } else if (encoding == "QUOTED-PRINTABLE") {
        *f.Body = CodecTables::DecodeQuotedPrintable(JoinLines(body, false));
    } else {
        *f.Body = JoinLines(body, false);
    }
}

void TQevMsg::FillRawMail() {
    RawMail.clear();
    TStrings header;
    TStrings body = Text;
    // Every header line folded (values may come folded, from the encoders,
    // or as one long line): no line of the message exceeds what a mail
    // system must take, and no value starts a line of its own.
    auto add = [&header](const std::string& line) {
        for (std::string& l : HeaderWords::FoldHeaderLine(line)) header.push_back(std::move(l));
    };
    add("Message-Id: " + MakeMessageId(kMessageIdHost));
    add("Date: " + Date);
    add("X-Priority: " + std::to_string(static_cast<int>(Priority) + 1));
    if (From.find('@') == std::string::npos) throw EQevError("\"From\" address not complete.");
    if (!UserName.empty())
        add("From: \"" + QuotedSafe(UserName) + "\" <" + From + ">");
    else
        add("From: " + From);
    if (!InReplyTo.empty()) add("In-Reply-To: " + InReplyTo);
    if (!ReplyTo.empty()) add("Reply-To: " + ReplyTo);
    add("X-Mailer: " + XMailer);
    add("To: " + SendTo);
    if (!CC.empty()) add("CC: " + CC);
    header.push_back("MIME-Version: 1.0");

    const std::string charset = QuotedSafe(CharSet);
    std::string encodingWord;
    if (TextEncoding == teBase64) {
        encodingWord = "base64";
        Subject = "=?" + charset + "?B?" + CodecTables::EncodeBase64(Subject) + "?=";
        body = SplitLines(CodecTables::EncodeBase64(JoinLines(Text, true), 76));
    } else if (!CodecTables::LinesFitMail(Text)) {
        // A paragraph typed without line breaks can be longer than a mail
        // system takes a line: soft breaks keep every line within bounds,
        // and a reader joins them again. Any other text goes as it always
        // did.
        encodingWord = "quoted-printable";
        body = CodecTables::EncodeQuotedPrintableLines(Text);
    } else {
        encodingWord = "8Bit";
        for (std::string& line : body)
            if (!line.empty() && line[0] == '.') line.insert(line.begin(), '.');
    }
    add("Subject: " + Subject);

    if (Attachments.Empty()) {
        header.push_back("Content-Type: text/plain; charset=" + charset);
        header.push_back("Content-Transfer-Encoding: " + encodingWord);
    } else {
        const std::string boundary = MakeBoundary();
        const std::string delimiter = "--" + boundary;
        header.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"");
        body.insert(body.begin(), {delimiter, "Content-Type: text/plain; charset=" + charset,
                                   "Content-Transfer-Encoding: " + encodingWord, ""});
        for (std::size_t i = 0; i < Attachments.Count(); ++i) {
            TAttachedFile& f = Attachments[i];
            f.EncodeForSending();
            body.push_back(delimiter);
            for (std::string& l : HeaderWords::AttachmentPartHeader(f.ContentType, f.FileName))
                body.push_back(std::move(l));
            body.push_back("");
            body.insert(body.end(), f.Base64.begin(), f.Base64.end());
        }
        body.push_back("");
        body.push_back(delimiter + "--");
        body.push_back("");
    }
    // An empty line would end the header block early.
    for (const std::string& h : ExtraHeaders)
        if (!Trim(h).empty()) add(h);

    RawMail = std::move(header);
    RawMail.push_back("");
    RawMail.insert(RawMail.end(), std::make_move_iterator(body.begin()), std::make_move_iterator(body.end()));
}
