// Web mail compose and send: the compose form with its uploaded
// attachments, replies, and sending, which stores the message exactly as
// the SMTP server stores mail from a local client.
#include "codecs/charsettables.h"
#include "codecs/codectables.h"
#include "codecs/details.h"
#include "codecs/headerwords.h"
#include "codecs/qevmsg.h"
#include "codecs/qev_util.h"
#include "filters/addinrule.h"
#include "filters/holiday.h"
#include "platform/env.h"
#include "platform/files.h"
#include "transport/settings_file.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "web/http.h"
#include "web/webmail.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace webmail {

using http::HtmlEscape;

std::string SplitFirst(std::string& Text, char Char) {
    std::size_t p = Text.find(Char);
    std::string first;
    if (p == std::string::npos) {
        first.swap(Text);
    } else {
        first = Text.substr(0, p);
        Text.erase(0, p + 1);
    }
    return first;
}

std::string AddressAround(const std::string& text, std::size_t from, std::size_t* begin, std::size_t* end) {
    std::size_t at = text.find('@', from);
    if (at == std::string::npos) return std::string();
    auto stop = [](char c) {
        return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '"' || c == '\'' || c == ',' || c == '<' ||
               c == '=' || c == '>' || c == '|';
    };
    std::size_t a = at;
    while (a > from && !stop(text[a - 1])) --a;
    std::size_t b = at + 1;
    while (b < text.size() && !stop(text[b])) ++b;
    if (begin) *begin = a;
    if (end) *end = b;
    return text.substr(a, b - a);
}

std::string AttachFolder(const std::string& User) { return ProgramDir + "attach/" + User + "/"; }

namespace {

std::string Trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    std::size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// A header value typed in a form: one line.
std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return s;
}

std::vector<std::string> BodyLinesOf(const std::string& body) {
    std::vector<std::string> lines;
    std::string cur;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}


// An address a message can be sent to: a local part and a domain around the
// last "@", without blanks, controls, brackets or list separators (a
// quoted local part may hold what it likes but line breaks).
bool IsAddress(const std::string& address) {
    const std::size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
    auto plain = [](std::string_view part) {
        return std::none_of(part.begin(), part.end(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return c <= ' ' || c == 0x7F || std::string_view("<>()[],;:\\\"@").find(ch) != std::string_view::npos;
        });
    };
    const std::string_view local = std::string_view(address).substr(0, at);
    const std::string_view domain = std::string_view(address).substr(at + 1);
    const bool quoted = local.size() >= 2 && local.front() == '"' && local.back() == '"' &&
                        std::none_of(local.begin(), local.end(), [](char c) { return c == '\r' || c == '\n'; });
    return plain(domain) && (quoted || plain(local));
}

// A display name as a header may carry it: quoted when it holds a special
// character.
std::string DisplayName(const std::string& name) {
    if (name.find_first_of(",;:<>@()[]\\\"") == std::string::npos) return name;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool WriteAllTo(platform::WritableFile& file, const std::string& text) { return file.Append(text).ok(); }

// The message FillRawMail made (without attachments) written to path with
// the files attached as FillRawMail attaches them: their base64 is made
// from the files piece by piece, so that an attachment of megabytes is
// never held whole in memory.
bool WriteMessageFile(const TQevMsg& msg, const std::vector<std::string>& files, const std::string& path) {
    std::unique_ptr<platform::WritableFile> out;
    if (!platform::Env::Current()->NewWritableFile(path, platform::CreateMode::Truncate, out).ok()) return false;
    platform::WritableFile& fd = *out;
    bool ok = true;
    if (files.empty()) {
        ok = WriteAllTo(fd, smtp::WithEndMarker(msg.RawMailText()));
    } else {
        const std::string delimiter = "--" + qev_util::MakeBoundary();
        std::string head, textHeaders, body;
        std::size_t i = 0;
        bool ofText = false;  // the header line being continued goes with the text part
        for (; i < msg.RawMail.size() && !msg.RawMail[i].empty(); ++i) {
            const std::string& line = msg.RawMail[i];
            if (line[0] == ' ' || line[0] == '\t') {
                (ofText ? textHeaders : head) += line + "\r\n";
            } else if (line.rfind("Content-Type: ", 0) == 0) {
                ofText = true;
                textHeaders += line + "\r\n";
                head += "Content-Type: multipart/mixed; boundary=\"" + delimiter.substr(2) + "\"\r\n";
            } else if (line.rfind("Content-Transfer-Encoding: ", 0) == 0) {
                ofText = true;
                textHeaders += line + "\r\n";
            } else {
                ofText = false;
                head += line + "\r\n";
            }
        }
        for (++i; i < msg.RawMail.size(); ++i) body += msg.RawMail[i] + "\r\n";
        ok = WriteAllTo(fd, head + "\r\n" + delimiter + "\r\n" + textHeaders + "\r\n" + body);
        // Whole lines of 76 characters from every piece but the last.
        std::vector<char> buffer(57 * 1152);
        for (const auto& file : files) {
            if (!ok) break;
            std::string partHead = delimiter + "\r\n";
            for (const auto& l : HeaderWords::AttachmentPartHeader(qev_util::ContentTypeOfExtension(file),
                                                                   file.substr(file.find_last_of('/') + 1)))
                partHead += l + "\r\n";
            ok = WriteAllTo(fd, partHead + "\r\n");
            const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (in < 0) {
                ok = false;
                break;
            }
            for (;;) {
                // A full buffer is read before encoding, so that only the
                // file's last line is short.
                std::size_t got = 0;
                while (got < buffer.size()) {
                    const ssize_t r = ::read(in, buffer.data() + got, buffer.size() - got);
                    if (r < 0 && errno == EINTR) continue;
                    if (r <= 0) {
                        if (r < 0) ok = false;
                        break;
                    }
                    got += static_cast<std::size_t>(r);
                }
                if (got == 0 || !ok) break;
                ok = WriteAllTo(fd, CodecTables::EncodeBase64(std::string_view(buffer.data(), got), 76) + "\r\n");
                if (!ok || got < buffer.size()) break;
            }
            ::close(in);
        }
        ok = ok && WriteAllTo(fd, "\r\n" + delimiter + "--\r\n\r\n.\r\n");
    }
    ok = ok && fd.Sync().ok();
    ok = fd.Close().ok() && ok;
    return ok;
}

// A copy of the message file in a mailbox folder as <user>_<id>.dat, made
// as the store makes its files: whole under a temporary name, then linked
// to a name nobody has. The path, or empty when it could not be stored.
std::string CopyIntoMailbox(const std::string& message, const std::string& folderName, const std::string& user,
                            const std::string& id) {
    const std::string folder = smtp::StoreFolder(folderName);
    const std::string temp = folder + "x" + id + "_" + std::to_string(smtp::Random(1000000)) + ".tmp";
    if (!platform::CopyFileKeepDate(message, temp)) return std::string();
    const std::string path = folder + smtp::MailboxFileName(user, id);
    const bool linked = platform::Env::Current()->Link(temp, path).ok();
    platform::Env::Current()->Unlink(temp);
    if (!linked || !platform::SyncPath(folder)) return std::string();
    return path;
}

void EmptyAttachFolder(const std::string& user) { platform::DeleteFiles(AttachFolder(user), "*"); }

// The user name of the users table for a bare name, empty when none.
// Found without regard to case whatever the index of users.dat says, as
// mailboxes are.
std::string LocalUserNamed(const std::string& name) {
    if (FrmServers == nullptr) return std::string();
    try {
        return settings::StoredUserName(FrmServers->TblUsers, name);
    } catch (const std::exception&) {
    }
    return std::string();
}

// The From header of a sent message. Typed without an address ("demo <>",
// "demo"), it gets the user's own, so that a reply or a bounce reaches
// someone; the typed name stays.
std::string HeaderSender(const std::string& user, const std::string& from) {
    qev_util::Mailbox typed;
    qev_util::NextMailbox(from, 0, typed);
    if (IsAddress(typed.address)) return from;
    std::string name = typed.angle ? typed.name : Trim(from);
    if (!typed.angle && name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    if (name.empty()) name = WebsetsName(user);
    return DisplayName(name) + " <" + SenderAddress(user) + ">";
}

}  // namespace

std::string FormText(const std::string& text) {
    std::string utf8 = CharsetTables::IsValidUtf8(text) ? text : CharsetTables::ToUtf8(text, CharsetTables::TCharset::Windows1252);
    if (utf8.find("&#") == std::string::npos) return utf8;
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '&' && i + 3 < utf8.size() && utf8[i + 1] == '#') {
            const bool hex = utf8[i + 2] == 'x' || utf8[i + 2] == 'X';
            std::size_t j = i + (hex ? 3 : 2);
            unsigned cp = 0;
            std::size_t digits = 0;
            for (; j < utf8.size() && digits < 8; ++j, ++digits) {
                const char c = utf8[j];
                int v = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (v < 0) break;
                cp = cp * (hex ? 16 : 10) + static_cast<unsigned>(v);
            }
            // Only what the browser had to write so: characters beyond
            // ASCII. A reference to an ASCII character is text the user typed.
            if (digits > 0 && j < utf8.size() && utf8[j] == ';' && cp >= 0x80 && cp <= 0x10FFFF &&
                !(cp >= 0xD800 && cp <= 0xDFFF)) {
                CharsetTables::AppendUtf8(out, cp);
                i = j;
                continue;
            }
        }
        out += utf8[i];
    }
    return out;
}

std::string ComposeRequest(const std::string& User, const std::string& Dir, bool IsPost,
                           const std::string& RequestText, const http::Params& Request,
                           const std::string& Boundary, const std::string& RequestFile) {
    if (!IsPost) {
        EmptyAttachFolder(User);
        const std::string reply = qev_util::LowerCase(Request.Get("replyfile"));
        std::string file;
        const std::string folder = Dir == "settings" ? "in" : Dir;
        if (http::IsPlainName(reply) && smtp::IsUserFile(reply + ".dat", User))
            file = platform::ResolveNoCase(smtp::StoreFolder(folder), reply + ".dat");
        return ReplyCompose(User, file);
    }
    const std::string& boundary = Boundary;
    auto field = [&](const std::string& name) { return FormText(http::GetMultipartField(name, RequestText, boundary)); };
    const bool addFile = !field("addfile").empty();
    const bool deleteFiles = !addFile && !field("do_delete").empty();
    if (addFile || deleteFiles) platform::CreateFolder(AttachFolder(User));
    if (addFile) {
        http::SaveUploadedAttachment(RequestFile, User, boundary);
    } else if (deleteFiles) {
        for (int n = 1; n <= 200; ++n) {
            const std::string name = field("delete" + std::to_string(n));
            if (http::IsPlainName(name)) platform::Env::Current()->Unlink(AttachFolder(User) + name);
        }
    }
    // Only the Send button sends (a browser names the button that submitted
    // the form, and Enter in a field submits with the first one, Send): a
    // form without it, however it came, is shown again as typed.
    if (addFile || deleteFiles || field("Send").empty())
        return ComposePage(User, field("emailfrom"), field("emailsubj"), field("emailto"), field("emailcc"),
                           BodyLinesOf(field("emailbody")));
    return SendWebmail(User, field("emailfrom"), field("emailto"), field("emailcc"), field("emailsubj"),
                       field("emailbody"));
}

std::string ComposePage(const std::string& User, const std::string& From, const std::string& Subject,
                        const std::string& To, const std::string& CC, const std::vector<std::string>& BodyLines,
                        const std::string& Note) {
    const std::string style =
        "<STYLE type=\"text/css\">\r\n.button { background-color: #d6e7ef; border-color: #99cccc; "
        "border-right-width: 1px; border-bottom-width: 1px; color: #00009c; font-family: verdana; font-size: 98%; "
        "padding-top: 2px; padding-bottom: 2px; }\r\n</STYLE>\r\n"
        "<SCRIPT language=\"JavaScript\">\r\nfunction GoURL(URL) { if (URL != 'attachcount') "
        "window.open(URL, 'address', 'scrollbars=yes,width=400,height=600'); }\r\n</SCRIPT>\r\n";
    std::string p = http::PageHead("Tarnwick - WebMail", false, style);
    p += std::string("<BODY onLoad=\"document.EMailForm.") + (From.empty() ? "emailto" : "emailbody") + ".focus()\">\r\n";
    if (!Note.empty()) p += HtmlEscape(Note) + "<BR><BR>\r\n";
    // The form comes back in UTF-8 whatever the page's own charset, so that
    // no character the user typed is lost.
    p += "<FORM name=\"EMailForm\" method=\"post\" enctype=\"multipart/form-data\" accept-charset=\"UTF-8\" "
         "action=\"/compose\">\r\n";
    p += "<TABLE border=\"0\" cellpadding=\"2\">\r\n";
    p += "<TR><TD>From:</TD><TD><INPUT class=\"button\" type=\"text\" name=\"emailfrom\" size=\"60\" value=\"" +
         HtmlEscape(From) + "\"></TD></TR>\r\n";
    p += "<TR><TD><A href=\"javascript:GoURL('/address?to=1')\"" + http::HintAttributes("address book") +
         ">To</A></TD><TD><INPUT class=\"button\" type=\"text\" name=\"emailto\" size=\"60\" value=\"" +
         HtmlEscape(To) + "\"></TD></TR>\r\n";
    p += "<TR><TD><A href=\"javascript:GoURL('/address?cc=1')\"" + http::HintAttributes("address book") +
         ">CC</A></TD><TD><INPUT class=\"button\" type=\"text\" name=\"emailcc\" size=\"60\" value=\"" +
         HtmlEscape(CC) + "\"></TD></TR>\r\n";
    p += "<TR><TD>Subject:</TD><TD><INPUT class=\"button\" type=\"text\" name=\"emailsubj\" size=\"60\" value=\"" +
         HtmlEscape(Subject) + "\"></TD></TR>\r\n";
    p += "<TR><TD valign=\"top\">Message:</TD><TD><TEXTAREA class=\"button\" name=\"emailbody\" rows=\"20\" cols=\"80\">";
    for (const auto& line : BodyLines) p += HtmlEscape(line) + "\r";
    p += "</TEXTAREA></TD></TR>\r\n";
    p += "<TR><TD></TD><TD><INPUT type=\"submit\" name=\"Send\" value=\"Send\"> "
         "<INPUT type=\"button\" value=\"Cancel\" onClick=\"window.location='/empty'\"></TD></TR>\r\n";
    p += "<TR bgcolor=\"#CCCCCC\"><TD> Attach: </TD><TD><INPUT type=\"file\" name=\"atchfile\" size=\"48\"> "
         "<INPUT type=\"submit\" name=\"addfile\" value=\"add\"></TD></TR>\r\n";
    const std::vector<std::string> files = platform::ListFiles(AttachFolder(User), "*");
    int n = 0;
    for (const auto& f : files) {
        ++n;
        std::int64_t size = 0;
        platform::FileSize(AttachFolder(User) + f, size);
        p += "<TR><TD></TD><TD><INPUT type=\"checkbox\" name=\"delete" + std::to_string(n) + "\" value=\"" +
             HtmlEscape(f) + "\"> " + HtmlEscape(f) + " (" + servers::FormatByteSize(size) + ")</TD></TR>\r\n";
    }
    if (!files.empty())
        p += "<TR><TD></TD><TD><INPUT type=\"submit\" name=\"do_delete\" value=\"Delete selected attachments\">"
             "</TD></TR>\r\n";
    p += "</TABLE></FORM>\r\n";
    p += http::PageEnd;
    return p;
}

std::string ReplyCompose(const std::string& User, const std::string& MessageFile) {
    const std::string from = WebsetsName(User) + " <" + SenderAddress(User) + ">";
    std::string to, subject;
    std::vector<std::string> body;
    if (!MessageFile.empty() && platform::FileExists(MessageFile)) {
        std::string date;
        int count = -1;
        std::vector<std::string> names;
        std::string f, t, s;
        details::ReadMessageHeaders(MessageFile, f, t, s, date, count, names);
        // The reply goes to the sender's address as the From field has it
        // (the shown text has lost the quotes around the name).
        const std::vector<std::string> header = holiday::LoadHeaderLines(MessageFile);
        const qev_util::Mailbox sender =
            qev_util::FirstMailbox(qev_util::HeaderValue(qev_util::FindHeader(header, "FROM:"), "FROM:", false));
        const std::string name = Trim(HeaderWords::DecodeHeaderText(sender.name));
        to = name.empty() || sender.address.empty() ? sender.address
                                                     : DisplayName(name) + " <" + sender.address + ">";
        subject = qev_util::LowerCase(s).rfind("re: ", 0) == 0 ? s : "Re: " + s;
        std::string text;
        if (details::LoadStoredMessage(MessageFile, text)) {
            TQevMsg msg;
            msg.SetRawMailText(text);
            msg.ParseRawMail();
            body.push_back("\r\r\r======= Original message ========");
            for (const auto& line : msg.Text) body.push_back(">" + line);
        }
    }
    return ComposePage(User, from, subject, to, std::string(), body);
}

std::string SendWebmail(const std::string& User, const std::string& From, const std::string& To,
                        const std::string& CC, const std::string& Subject, const std::string& Body) {
    std::string page = http::PageHead("Tarnwick - WebMail") + "<BODY>\r\n";
    qev_util::Mailbox typedSender;
    qev_util::NextMailbox(From, 0, typedSender);
    const std::string sender = IsAddress(typedSender.address) ? typedSender.address : std::string();
    // Recipients are separated by "," or ";"; what is neither an address
    // nor a local user's name is refused before anything is sent.
    std::string recipients = To;
    if (!CC.empty()) recipients += "," + CC;
    std::vector<std::string> local, external, refused;
    qev_util::Mailbox entry;
    for (std::size_t pos = 0; pos < recipients.size();) {
        pos = qev_util::NextMailbox(recipients, pos, entry);
        if (entry.text.empty()) continue;
        if (IsAddress(entry.address)) {
            std::vector<std::string> users;
            if (FrmSMTP != nullptr && FrmSMTP->IsLocalAddress(entry.address, users))
                local.insert(local.end(), users.begin(), users.end());
            else
                external.push_back(entry.address);
        } else if (std::string name = LocalUserNamed(entry.address); !name.empty()) {
            local.push_back(name);
        } else {
            refused.push_back(entry.text);
        }
    }
    if (!refused.empty()) {
        std::string named;
        for (const auto& r : refused) named += (named.empty() ? "" : ", ") + OneLine(r);
        return ComposePage(User, From, Subject, To, CC, BodyLinesOf(Body),
                           "Not sent - neither an address nor a local user: " + named);
    }
    // One copy per mailbox, however often a user was named.
    std::vector<std::string> mailboxes;
    for (const auto& u : local)
        if (settings::IsSafeUserName(u) &&
            std::none_of(mailboxes.begin(), mailboxes.end(), [&](const std::string& m) { return qev_util::LowerCase(m) == qev_util::LowerCase(u); }))
            mailboxes.push_back(u);
    if (mailboxes.empty() && external.empty()) {
        return page + "Couldn't send email - you must have at least one valid recipient.  Please press "
                      "<B>Back</B> on your browser.<BR><BR>";
    }
    if (!external.empty() && sender.empty()) {
        return page + "Couldn't send email - you must have a valid from address.  Please press <B>Back</B> on "
                      "your browser.<BR><BR>";
    }

    // The message is built into a file, and every copy is made from it.
    const std::string built = ProgramDir + "attach/send_" + User + ".tmp";
    struct Remove {
        const std::string& path;
        ~Remove() { platform::Env::Current()->Unlink(path); }
    } removeBuilt{built};
    try {
        TQevMsg msg;
        msg.Date = smtp::GeneratedDate();
        msg.XMailer = ProgramVersion.empty() ? "Tarnwick" : "Tarnwick " + ProgramVersion;
        msg.From = qev_util::EncodeAddressList(OneLine(HeaderSender(User, From)));
        msg.SendTo = qev_util::EncodeAddressList(OneLine(To));
        msg.CC = qev_util::EncodeAddressList(OneLine(CC));
        msg.Subject = HeaderWords::EncodeHeaderText(OneLine(Subject));
        msg.Text = BodyLinesOf(Body);
        // Text beyond ASCII comes from the browser as UTF-8 and goes out so.
        if (!CharsetTables::IsAscii(Body)) msg.CharSet = "UTF-8";
        std::vector<std::string> extra, files;
        for (const auto& f : platform::ListFiles(AttachFolder(User), "*")) {
            const std::string path = AttachFolder(User) + f;
            if (!platform::FileExists(path)) continue;
            files.push_back(path);
            extra.push_back("X-Attachment: " + OneLine(f));
        }
        if (!extra.empty()) extra.push_back("X-AttachmentCount: " + std::to_string(files.size()));
        msg.ExtraHeaders = extra;
        msg.FillRawMail();
        if (!WriteMessageFile(msg, files, built)) return page + "Couldn't send email - it cannot be stored.<BR><BR>";
    } catch (const std::exception& e) {
        return page + "Couldn't send email - " + HtmlEscape(e.what()) + "<BR><BR>";
    }

    std::string id = smtp::WebQueueId();
    if (!external.empty()) {
        // As the SMTP server queues: the record is written before the file
        // becomes ".txt", so the relay never meets a message without it.
        const std::string out = smtp::StoreFolder(smtp::FolderOut);
        const std::string reserved = smtp::CreateQueueFile(id, smtp::StateReceiving);
        bool ok = !reserved.empty();
        if (ok) {
            id = reserved;
            std::vector<std::pair<std::string, std::string>> record = {{"rcpt", std::to_string(external.size())}};
            for (std::size_t i = 0; i < external.size(); ++i)
                record.emplace_back("To" + std::to_string(i + 1), "<" + external[i] + ">");
            record.emplace_back("From", "<" + sender + ">");
            record.emplace_back("User", User);
            ok = platform::CopyFileKeepDate(built, out + id + smtp::StateReceiving) &&
                 smtp::WritePortsSection(id, record) &&
                 platform::Env::Current()->Rename(out + id + smtp::StateReceiving, out + id + smtp::StateQueued).ok() &&
                 platform::SyncPath(out);
            if (!ok) {
                platform::Env::Current()->Unlink(out + id + smtp::StateReceiving);
                platform::Env::Current()->Unlink(out + id + smtp::StateQueued);
                smtp::WritePortsValue(id, std::nullopt);
            }
        }
        if (!ok) return page + "Couldn't send email - the outbox cannot be written.<BR><BR>";
        // The sender's rules see it as outgoing mail.
        const std::string queuedFile = out + id + smtp::StateQueued;
        AddInRule::ApplyRules(queuedFile, User, 99, true, holiday::LoadHeaderLines(queuedFile));
    }
    // Only now: a message that could not be queued keeps its attachments.
    EmptyAttachFolder(User);
    std::vector<std::string> failed;
    for (const auto& user : mailboxes) {
        if (CopyIntoMailbox(built, smtp::FolderIn, user, id).empty()) failed.push_back(user);
        else if (FrmServers != nullptr) FrmServers->QueueNewMailAlert(user);
    }
    CopyIntoMailbox(built, smtp::FolderWebSent, User, id);
    if (!failed.empty()) {
        page += "Couldn't deliver to";
        for (const auto& u : failed) page += " " + HtmlEscape(u);
        page += "<BR><BR>";
    }
    page += "Message sent";
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(true);
    return page;
}

std::string AttachPage(const std::string& User) {
    (void)User;
    return http::PageHead("Tarnwick - WebMail") + "<BODY>\r\n<TABLE>\r\n";
}

}  // namespace webmail
