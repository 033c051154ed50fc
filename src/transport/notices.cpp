// Failure and return notices, and the header block of every mail the
// program writes itself. A notice is the failed message rewritten: its own
// header with a marked subject, an explanation, then the whole message.
#include "transport/smtp.h"

#include "codecs/charsettables.h"
#include "codecs/codectables.h"
#include "codecs/headerwords.h"
#include "codecs/qev_util.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/ports_file.h"
#include "transport/servers.h"

#include <algorithm>
#include <cstdio>

namespace smtp {
namespace {

std::string HtmlText(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

// A text as lines: CR LF, a lone CR and a lone LF each end a line. A lone
// one left inside a stored line could end it early for a reader that takes
// it as a line break, and a "." behind it would then end the message.
std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.emplace_back();
        } else {
            lines.back() += text[i];
        }
    }
    return lines;
}

// Ends the text with the end marker without adding an empty line before it.
std::string Terminated(std::string text) {
    if (text.size() >= 5 && text.compare(text.size() - 5, 5, EndMarker) == 0) return text;
    if (text == ".\r\n") return "\r\n.\r\n";
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) return text + ".\r\n";
    return text + EndMarker;
}

// A Message-ID of the notice's own: a reader that takes equal ids for one
// message would otherwise hide the notice behind the message it returns.
std::string NoticeMessageIdLine() {
    std::string line = TFrmSMTP::NewMessageIdLine();
    return line.substr(0, line.size() - 2);
}

// The header's fields, each with its continuation lines.
struct HeaderFields {
    std::vector<std::vector<std::string>> fields;
};

HeaderFields ReadHeader(const std::vector<std::string>& lines, size_t real) {
    HeaderFields h;
    for (size_t i = 0; i < real; ++i) {
        const std::string& line = lines[i];
        if (line.empty() || (line == "." && i + 1 == real)) break;
        if ((line[0] == ' ' || line[0] == '\t') && !h.fields.empty()) h.fields.back().push_back(line);
        else h.fields.push_back({line});
    }
    return h;
}

// A field's value, unfolded, lower case, without parameters and blanks.
std::string BareValue(const std::vector<std::string>& field, size_t nameLength) {
    std::string value = field.front().substr(nameLength);
    for (size_t i = 1; i < field.size(); ++i) value += field[i];
    return qev_util::LowerCase(TrimBlanks(value.substr(0, value.find(';'))));
}

// Only a single text part whose lines are the text itself can take the
// explanation in front of its body; anything else (base64 or
// quoted-printable, a multipart) would be broken by it or hide it.
bool TakesTextInFront(const HeaderFields& h) {
    for (const auto& f : h.fields) {
        if (StartsWithNoCase(f.front(), "content-type:")) {
            const std::string type = BareValue(f, 13);
            if (!type.empty() && type.rfind("text/", 0) != 0) return false;
        } else if (StartsWithNoCase(f.front(), "content-transfer-encoding:")) {
            const std::string encoding = BareValue(f, 26);
            if (!encoding.empty() && encoding != "7bit" && encoding != "8bit") return false;
        }
    }
    return true;
}

std::string MarkedSubject(const std::string& line, const std::string& subjectMark) {
    return StartsWithNoCase(line, "subject: ") ? "Subject: " + subjectMark + " - " + line.substr(9, 255) : line;
}

// A message that is not a single text part: its header fields that are not
// about its content, a multipart/mixed body with the explanation first and
// the whole message, untouched, as the second part.
std::string BuildEnclosingNotice(const std::vector<std::string>& lines, size_t real, const HeaderFields& h,
                                 const std::string& subjectMark, const std::vector<std::string>& textLines) {
    // The stored lines of the message without its end marker; a last piece
    // without its line end is a line of it all the same, unless it is the
    // end marker cut short (a "." line inside would end the notice).
    size_t count = real;
    if (count > 0 && lines[count - 1] == ".") --count;
    std::vector<std::string> original(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(count));
    if (!lines.back().empty() && lines.back() != ".") original.push_back(lines.back());
    bool originalAscii = true;
    for (const auto& l : original) originalAscii = originalAscii && CharsetTables::IsAscii(l);

    std::string boundary;
    do {
        boundary = "=_Tarnwick_" + DateTimeStamp() + "_" + std::to_string(Random(1000000000));
    } while (std::any_of(original.begin(), original.end(),
                         [&](const std::string& l) { return l.find(boundary) != std::string::npos; }));

    std::vector<std::string> out;
    for (const auto& f : h.fields) {
        if (StartsWithNoCase(f.front(), "content-") || StartsWithNoCase(f.front(), "mime-version:") ||
            StartsWithNoCase(f.front(), "message-id:"))
            continue;
        out.push_back(MarkedSubject(f.front(), subjectMark));
        out.insert(out.end(), f.begin() + 1, f.end());
    }
    out.push_back(NoticeMessageIdLine());
    out.push_back("MIME-Version: 1.0");
    out.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"");
    if (!originalAscii) out.push_back("Content-Transfer-Encoding: 8bit");
    out.push_back("");

    std::vector<std::string> text;
    bool textAscii = true;
    for (const auto& l : textLines)
        for (auto& piece : TextLines(l)) {
            // Addresses come as their messages wrote them.
            if (!CharsetTables::IsValidUtf8(piece))
                piece = CharsetTables::ToUtf8(piece, CharsetTables::TCharset::Windows1252);
            textAscii = textAscii && CharsetTables::IsAscii(piece);
            text.push_back(DotStuff(piece));
        }
    out.push_back("--" + boundary);
    out.push_back("Content-Type: text/plain; charset=utf-8");
    out.push_back(std::string("Content-Transfer-Encoding: ") + (textAscii ? "7bit" : "8bit"));
    out.push_back("");
    out.insert(out.end(), text.begin(), text.end());
    out.push_back("--" + boundary);
    out.push_back("Content-Type: message/rfc822");
    if (!originalAscii) out.push_back("Content-Transfer-Encoding: 8bit");
    out.push_back("Content-Disposition: inline");
    out.push_back("");
    out.insert(out.end(), original.begin(), original.end());
    out.push_back("--" + boundary + "--");
    out.push_back(".");
    out.push_back("");
    return JoinLines(out);
}

// The notice layout shared by both kinds. A message that is not a single
// text part goes whole into the enclosing multipart form; any other keeps
// its header with the subject marked, then the text lines, then the whole
// message with the HTML lines after the first line that opens the body.
std::string BuildNotice(const std::string& message, const std::string& subjectMark,
                        const std::vector<std::string>& textLines,
                        const std::vector<std::string>& htmlLines) {
    std::vector<std::string> lines = SplitLines(message);
    // The piece after the last CR LF is not a line; the stored end marker is
    // not part of the header copy.
    size_t real = lines.size() - 1;
    const HeaderFields header = ReadHeader(lines, real);
    if (!TakesTextInFront(header)) return BuildEnclosingNotice(lines, real, header, subjectMark, textLines);
    std::vector<std::string> out;
    bool typed = false, versioned = false, encoded = false, identified = false;
    for (const auto& f : header.fields) {
        typed = typed || StartsWithNoCase(f.front(), "content-type:");
        versioned = versioned || StartsWithNoCase(f.front(), "mime-version:");
        encoded = encoded || StartsWithNoCase(f.front(), "content-transfer-encoding:");
        if (StartsWithNoCase(f.front(), "message-id:")) {
            // The notice's own id, where the message had its id.
            if (!identified) out.push_back(NoticeMessageIdLine());
            identified = true;
            continue;
        }
        out.push_back(MarkedSubject(f.front(), subjectMark));
        out.insert(out.end(), f.begin() + 1, f.end());
    }
    if (!identified) out.push_back(NoticeMessageIdLine());
    // A message that declares nothing is plain text, ASCII unless it holds
    // more: then the notice says in which charset, UTF-8 when its text is
    // that, else the usual 8-bit one.
    if (!typed && !CharsetTables::IsAscii(message)) {
        if (!versioned) out.push_back("MIME-Version: 1.0");
        out.push_back(std::string("Content-Type: text/plain; charset=") +
                      (CharsetTables::IsValidUtf8(message) ? "utf-8" : "windows-1252"));
        if (!encoded) out.push_back("Content-Transfer-Encoding: 8bit");
    }
    out.push_back("");
    for (const auto& l : textLines) out.push_back(DotStuff(l));
    bool inserted = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        out.push_back(lines[i]);
        if (!inserted && i < real && qev_util::LowerCase(lines[i]).find("<body") != std::string::npos) {
            inserted = true;
            for (const auto& h : htmlLines) out.push_back(DotStuff(h));
        }
    }
    return Terminated(JoinLines(out));
}

}  // namespace

std::string GeneratedDate() {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto t = platform::NowLocal();
    return std::string(days[t.weekday % 7]) + ", " + platform::TwoDigits(t.day) + " " + months[(t.month + 11) % 12] + " " +
           std::to_string(t.year) + " " + platform::TwoDigits(t.hour) + ":" + platform::TwoDigits(t.minute) + ":" + platform::TwoDigits(t.second) + " " +
           ZoneText(t.utcOffsetMinutes);
}

std::string ZoneText(int minutesEast) {
    // Without the zone a reader has to guess, and most take the time as UTC.
    const int m = minutesEast < 0 ? -minutesEast : minutesEast;
    return std::string(minutesEast < 0 ? "-" : "+") + platform::TwoDigits(m / 60 % 100) + platform::TwoDigits(m % 60);
}

std::string LocalRecipient(const std::string& user) { return "\"" + user + "\" <" + user + "@localhost>"; }

std::string MessageIdHost() {
    // Strict readers want a domain after the "@": the machine's name when it
    // is one, else the name every mailbox here is addressed under.
    const std::string name = procs::GetComputerName();
    bool usable = !name.empty() && name.front() != '.' && name.front() != '-' && name.back() != '.';
    for (size_t i = 0; usable && i < name.size(); ++i) {
        const char c = name[i];
        usable = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 (c == '.' && name[i - 1] != '.');
    }
    return usable ? name : "localhost";
}

std::string GeneratedMessageId(const std::string& idText) { return "<" + idText + "@" + MessageIdHost() + ">"; }

std::string GeneratedMessage(const GeneratedMail& mail) {
    // Unless the writer declares its own content, the mail is plain text in
    // UTF-8: a piece that is not UTF-8 (a name taken from a message as it
    // came) is read as Windows-1252, so that the declaration holds.
    bool declared = false, versioned = false;
    for (const auto& header : mail.extraHeaders) {
        declared = declared || StartsWithNoCase(header, "content-type:");
        versioned = versioned || StartsWithNoCase(header, "mime-version:");
    }
    std::vector<std::string> body;
    bool ascii = true;
    for (const auto& text : mail.body)
        for (auto& piece : TextLines(text)) {
            if (!declared && !CharsetTables::IsValidUtf8(piece))
                piece = CharsetTables::ToUtf8(piece, CharsetTables::TCharset::Windows1252);
            ascii = ascii && CharsetTables::IsAscii(piece);
            body.push_back(piece);
        }
    if (mail.footer) body.push_back(GeneratedFooterLine);
    // A text typed as one long paragraph (an out-of-office reply) would
    // hold a line longer than a mail system takes: it goes quoted-printable.
    const bool quoted = !declared && !CodecTables::LinesFitMail(body);
    if (quoted)
        body = CodecTables::EncodeQuotedPrintableLines(body);
    else
        for (auto& line : body) line = DotStuff(line);

    std::vector<std::string> lines;
    if (mail.messageId) lines.push_back("Message-ID: " + GeneratedMessageId(TimeStamp()));
    const std::string from = mail.from.empty() ? std::string("\"Tarnwick\" <") + NoticeSenderAddress + ">" : mail.from;
    // Header text beyond ASCII goes as encoded words.
    lines.push_back("From: " + qev_util::EncodeAddressList(OneLine(from)));
    lines.push_back("To: " + qev_util::EncodeAddressList(OneLine(mail.to)));
    lines.push_back("Subject: " + HeaderWords::EncodeHeaderText(OneLine(mail.subject)));
    lines.push_back("Date: " + GeneratedDate());
    if (mail.mailerHeaders)
        lines.insert(lines.end(), {"X-Priority: 3", "X-MSMail-Priority: Normal", "X-Mailer: Tarnwick 1.1",
                                   "X-MimeOLE: Produced By Tarnwick"});
    if (!declared) {
        if (!versioned) lines.push_back("MIME-Version: 1.0");
        lines.push_back("Content-Type: text/plain; charset=utf-8");
        lines.push_back(std::string("Content-Transfer-Encoding: ") +
                        (quoted ? "quoted-printable" : ascii ? "7bit" : "8bit"));
    }
    for (const auto& header : mail.extraHeaders) lines.push_back(OneLine(header));
    lines.push_back("");
    lines.insert(lines.end(), body.begin(), body.end());
    lines.push_back(".");
    lines.push_back("");
    return JoinLines(lines);
}

std::string GeneratedMessage(const std::string& user, const std::string& subject,
                             const std::vector<std::string>& bodyLines,
                             const std::vector<std::string>& extraHeaders) {
    GeneratedMail mail;
    mail.to = LocalRecipient(user);
    mail.subject = subject;
    mail.body = bodyLines;
    mail.extraHeaders = extraHeaders;
    return GeneratedMessage(mail);
}

std::string BuildFailureNotice(const std::string& message, int attempts,
                               const std::vector<std::string>& refused) {
    const std::string count = std::to_string(attempts);
    const bool suspended = attempts >= 20;
    const std::string goOn =
        "Tarnwick will continue to try to send the email, so if you don't want it to go then please "
        "contact your network administrator and get them to manually check the outbox.";
    const std::string stop =
        "Tarnwick has suspended the email, please contact your network administrator and get them to "
        "manually check the outbox.";
    std::vector<std::string> text = {"Tarnwick had trouble delivering a message after " + count + " attempts:",
                                     "", "", "Failed recipients:"};
    std::vector<std::string> html = {
        "<DIV>Tarnwick had trouble delivering a message after " + count + " attempts:<BR><BR></DIV>",
        "<DIV><BR>Failed recipients:</DIV>"};
    for (const auto& r : refused) {
        text.push_back(StripAngleBrackets(r));
        html.push_back("<DIV>" + HtmlText(StripAngleBrackets(r)) + "</DIV>");
    }
    text.insert(text.end(), {"", suspended ? stop : goOn, " ", "Here is the original message:", " "});
    html.insert(html.end(), {"<DIV><BR>" + (suspended ? stop : goOn) + "</DIV>", "<DIV><BR><BR></DIV>",
                             "<DIV>Here is the original message:</DIV>", "<DIV> <HR></DIV>"});
    return BuildNotice(message, "### Failed ###", text, html);
}

std::string BuildReturnNotice(const std::string& message, const std::vector<std::string>& external) {
    const std::string why =
        "Tarnwick failed to deliver the message below, as it is only set up to send internal mail";
    std::vector<std::string> text = {why, "", " The following recipients were deemed to be external:"};
    std::vector<std::string> html = {"<DIV>" + why + "<BR><BR></DIV>",
                                     "<DIV>The following recipients were deemed to be external:</DIV>"};
    for (const auto& r : external) {
        text.push_back(StripAngleBrackets(r));
        html.push_back("<DIV> " + HtmlText(StripAngleBrackets(r)) + "</DIV>");
    }
    text.insert(text.end(), {" ", "Here is the original message:", " "});
    html.insert(html.end(), {"<DIV><BR><BR></DIV>", "<DIV>Here is the original message:</DIV>",
                             "<DIV> <HR></DIV>"});
    return BuildNotice(message, "### Returned ###", text, html);
}

}  // namespace smtp

namespace {

// Stem and folder of out/<id>.<ext>.
void SplitQueueFile(const std::string& file, std::string& folder, std::string& id) {
    size_t slash = file.find_last_of('/');
    folder = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    std::string name = file.substr(slash == std::string::npos ? 0 : slash + 1);
    size_t dot = name.find_last_of('.');
    id = dot == std::string::npos ? name : name.substr(0, dot);
}

int ToNumber(const std::string& text, int def) {
    try {
        size_t used = 0;
        int v = std::stoi(text, &used);
        return used == text.size() ? v : def;
    } catch (...) {
        return def;
    }
}

void LogSmtp(const std::string& line) { procs::WriteLog(ProgramDir + "smtp.log", line); }

}  // namespace

void TFrmSMTP::ProcessFailedMessage(const std::string& file) {
    std::string folder, id;
    SplitQueueFile(file, folder, id);
    const int attempts = ToNumber(smtp::ReadPortsValue(id, "Goes"), 1);

    if (attempts > 0 && attempts % 10 == 0) {
        std::string message;
        if (platform::ReadFile(file, message)) {
            // Every recipient the message has not reached: those refused or
            // put off one by one at RCPT, and all of them when the provider
            // put the whole message off (a 4xx to MAIL or to the data), which
            // refuses no one.
            // Delivered ones have moved from To<n> to Sent<n>.
            std::vector<std::string> refused;
            for (const auto& [n, waiting] : smtp::ReadQueueRecord(id).to)
                if (!waiting.empty()) refused.push_back(waiting);
            std::string notice = smtp::BuildFailureNotice(message, attempts, refused);
            std::vector<std::string> users;
            std::string user;
            if (IsLocalAddress(smtp::ReadPortsValue(id, "From"), users) && !users.empty())
                user = users.front();
            else if (FrmServers)
                user = FrmServers->NoticeFallbackUser();
            if (!user.empty() &&
                smtp::WriteMailboxFile(smtp::FolderIn, user, smtp::NoticeStamp(), notice).empty())
                LogSmtp("Failure notice for " + id + " could not be stored for " + user);
        } else {
            LogSmtp("Failure notice for " + id + ": message file unreadable");
        }
    }

    std::string target;
    if (attempts < 20) {
        target = folder + id + smtp::StateQueued;
    } else {
        smtp::WritePortsValue(id, std::string("Goes"), "0");
        target = folder + id + smtp::StateSuspended;
    }
    if (!platform::Env::Current()->Rename(file, target).ok())
        LogSmtp("Could not move " + file + " to " + target);
}

bool TFrmSMTP::ReturnExternalMail(const std::string& file, int count, const std::string& sender) {
    std::string folder, id;
    SplitQueueFile(file, folder, id);
    // Only a local sender can be given the mail back; anyone else must be
    // told by the refusal of the message itself.
    std::vector<std::string> users;
    if (!IsLocalAddress(sender, users) || users.empty()) {
        LogSmtp("Returned mail " + id + ": sender " + sender + " is not local");
        return false;
    }
    std::string message;
    if (!platform::ReadFile(file, message)) {
        LogSmtp("Returned mail " + id + ": message file unreadable");
        return false;
    }
    std::vector<std::string> external;
    for (int i = 1; i <= count; ++i) external.push_back(smtp::ReadPortsValue(id, "To" + std::to_string(i)));
    std::string notice = smtp::BuildReturnNotice(message, external);
    if (!smtp::RewriteFile(file, notice)) {
        LogSmtp("Returned mail " + id + ": message file could not be rewritten");
        return false;
    }
    if (smtp::WriteMailboxFile(smtp::FolderIn, users.front(), id, notice).empty()) {
        LogSmtp("Returned mail " + id + " could not be stored for " + users.front());
        return false;
    }
    platform::Env::Current()->Unlink(file);
    smtp::WritePortsValue(id, std::nullopt);
    return true;
}
