// TQevMsg: the message object of the MIME library. ParseRawMail turns the
// raw text of a stored or received message into header values, a
// plain-text part and attached files; FillRawMail builds an outgoing
// message from the same values. Parsing never throws on malformed input;
// building throws qev_util::EQevError (and its subclasses).
#pragma once

#include <string>
#include <string_view>

#include "codecs/qev_util.h"
#include "codecs/qevattfile.h"

enum TPriority { prHighest, prHigh, prNormal, prLow, prLowest };
enum TTextEncoding { te8Bit, teBase64 };

class TQevMsg {
public:
    TQevMsg() = default;
    TQevMsg(const TQevMsg&) = delete;
    TQevMsg& operator=(const TQevMsg&) = delete;

    // The host name of every Message-Id this library makes: a placeholder,
    // never the name of the machine that built the message.
    static constexpr std::string_view kMessageIdHost = "x.y.z";

    std::string UserName;
    std::string From;
    std::string ReplyTo;
    std::string SendTo;
    std::string CC;
    std::string BCC;
    std::string Subject;
    qev_util::TStrings Text;
    qev_util::TStrings ExtraHeaders;
    TPriority Priority = prNormal;
    std::string CharSet = "ISO-8859-1";
    bool ClearRawMailAfterParse = true;
    TTextEncoding TextEncoding = te8Bit;
    std::string XMailer;

    // Filled by parsing; Date is also what FillRawMail writes.
    std::string Sender;
    std::string MessageId;
    std::string InReplyTo;
    std::string ReturnPath;
    std::string Date;
    std::string ContentType;              // upper case, without parameters
    std::string ContentTransferEncoding;  // upper case

    qev_util::TStrings RawMail;
    qev_util::TStrings Headers;  // the header lines of the last parse
    TAttachedFiles Attachments;

    void SetText(const qev_util::TStrings& lines) { Text = lines; }
    void SetExtraHeaders(const qev_util::TStrings& lines) { ExtraHeaders = lines; }
    // RawMail from one text (CRLF or LF line breaks).
    void SetRawMailText(std::string_view text) { RawMail = qev_util::SplitLines(text); }
    std::string RawMailText() const { return qev_util::JoinLines(RawMail, true); }

    void ParseRawMail();
    void FillRawMail();

private:
    void ReadMessageHeaders();
    void ParsePart(qev_util::TLines lines, int depth);
    void AppendText(qev_util::TLines body, const std::string& encoding);
    void StoreAttachment(qev_util::TLines body, const std::string& name, const std::string& type,
                         const std::string& encoding);
};

namespace qev_util {
// Multipart nesting deeper than this is not followed: a message cannot
// make the parser recurse without bound.
inline constexpr int kMaxPartDepth = 32;

// The sub-parts of a multipart part (its whole lines, headers included),
// by the delimiter ("--" + boundary). The last part runs to the end of the
// input when the closing delimiter is missing.
std::vector<TLines> SplitMultipart(TLines lines, std::string_view delimiter);

// Start of a uuencoded block: "begin", a mode of 1 to 776, a name.
bool IsUUBeginLine(std::string_view line);
}  // namespace qev_util
