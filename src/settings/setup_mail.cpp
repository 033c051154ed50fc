// Mail the settings unit writes itself (the welcome message of a new user,
// the support request), the repair of the outgoing queue, and the folder
// and instance helpers of start-up.
#include "settings/setup.h"

#include "codecs/charsettables.h"
#include "codecs/codectables.h"
#include "codecs/headerwords.h"
#include "codecs/qev_util.h"
#include "platform/files.h"
#include "platform/process.h"
#include "transport/globals.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <cctype>
#include <filesystem>
#include <set>
#include <stdexcept>

namespace setup {

namespace {

const std::string kBoundary = "----=_NextPart_000_0094_01C200EB.808660C0";

// Text for a header field: no line breaks or other control characters, and
// none of the characters that end the field's quoting or brackets.
std::string HeaderSafe(const std::string& text, const std::string& drop) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || drop.find(c) != std::string::npos) continue;
        out += c;
    }
    return out;
}

// A body line: no line breaks inside it.
std::string BodySafe(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    return out;
}

bool IsQueueState(const std::string& ext) {
    const std::string e = qev_util::LowerCase(ext);
    return e == smtp::StateReceiving || e == smtp::StateQueued || e == smtp::StateSent ||
           e == smtp::StateSuspended;
}

// Queue ids of the messages the SMTP server is receiving now: their files
// are written until the last byte has come and been made durable.
std::set<std::string> IdsBeingReceived() {
    return FrmSMTP != nullptr ? FrmSMTP->IdsBeingReceived() : std::set<std::string>();
}

// Every queue file of out/ with its id, but the messages still arriving.
struct QueueFile {
    std::string path;
    std::string id;
};
std::vector<QueueFile> QueueFiles() {
    std::vector<QueueFile> files;
    const std::string out = smtp::StoreFolder(smtp::FolderOut);
    const std::set<std::string> arriving = IdsBeingReceived();
    for (const std::string& name : platform::ListFiles(out, "*.tx*")) {
        const auto dot = name.find_last_of('.');
        if (dot == std::string::npos || dot == 0) continue;
        const std::string ext = name.substr(dot);
        // "*.tx*" also matches rewrites in progress ("x.txt.new"): not queue files.
        if (!IsQueueState(ext)) continue;
        const std::string id = name.substr(0, dot);
        if (qev_util::LowerCase(ext) == smtp::StateReceiving && arriving.count(qev_util::LowerCase(id))) continue;
        files.push_back({out + name, id});
    }
    return files;
}

bool RemoveFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(path, ec) && !ec;
}

}  // namespace

std::string WelcomeMessage(const std::string& UserName) {
    const std::string& u = UserName;
    const std::string sep = "--" + kBoundary;
    std::vector<std::string> body = {
        "This is a multi-part message in MIME format.",
        "",
        sep,
        "Content-Type: text/plain;",
        "\tcharset=\"Windows-1252\"",
        "Content-Transfer-Encoding: quoted-printable",
        "",
        "Dear " + u,
        "",
        "Welcome to Tarnwick.  You have successfully created your local mail account and can now start "
        "sending and receiving emails through Tarnwick.=",
        "",
        "",
        "Do not reply to this message - it was generated automatically!!!",
        "",
        "",
        "",
        "Tarnwick.",
        "",
        sep,
        "Content-Type: text/html;",
        "\tcharset=\"Windows-1252\"",
        // The HTML below is quoted-printable ("=3D", soft line breaks) and
        // reads wrongly when declared as plain 7-bit text.
        "Content-Transfer-Encoding: quoted-printable",
        "",
        "",
        "",
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">",
        "<HTML><HEAD>",
        "<STYLE>BODY {",
        "\tBACKGROUND-POSITION: left top; FONT-SIZE: 10pt; MARGIN-LEFT: 25px; =",
        "COLOR: #000080; BACKGROUND-REPEAT: no-repeat; FONT-FAMILY: Arial",
        "}",
        "</STYLE>",
        "",
        "<META content=\"MSHTML 5.50.4134.600\" name=3DGENERATOR></HEAD>",
        "<BODY bgColor=#ffffff>",
        "<DIV>Dear " + u + " </DIV>",
        "<DIV>&nbsp;</DIV>",
        "<DIV>Welcome to Tarnwick.&nbsp; You have successfully created your local mail",
        " account and can now start sending and receiving emails through Tarnwick.</DIV>",
    };
    for (int i = 0; i < 4; ++i) body.push_back("<DIV>&nbsp;</DIV>");
    body.push_back("<DIV>Do not reply to this message - it was generated automatically!!!</DIV>");
    for (int i = 0; i < 4; ++i) body.push_back("<DIV>&nbsp;</DIV>");
    body.push_back("<DIV>Tarnwick.</DIV></BODY></HTML>");
    body.push_back("");
    body.push_back(sep + "--");
    body.push_back("");
    body.push_back("");
    smtp::GeneratedMail mail;
    mail.to = smtp::LocalRecipient(u);
    mail.subject = kWelcomeSubject;
    mail.body = body;
    // The welcome mail carries its own mailer lines after the MIME header
    // and ends at its closing boundary, without the generated-mail footer.
    mail.mailerHeaders = false;
    mail.footer = false;
    mail.extraHeaders = {"MIME-Version: 1.0",
                         "Content-Type: multipart/alternative;",
                         "\tboundary=\"" + kBoundary + "\"",
                         "X-Priority: 3",
                         "X-MSMail-Priority: Normal",
                         "X-Mailer: Microsoft Outlook Express 5.50.4522.1200",
                         "X-MimeOLE: Produced By Microsoft MimeOLE V5.50.4522.1200"};
    return smtp::GeneratedMessage(mail);
}

std::string WriteWelcomeMail(const std::string& UserName) {
    // A user name becomes part of the file name.
    if (!settings::IsSafeUserName(UserName)) return {};
    smtp::CreateStoreFolders({smtp::FolderIn});
    return smtp::WriteMailboxFile(smtp::FolderIn, UserName, smtp::TimeStamp(), WelcomeMessage(UserName));
}

std::string SupportMessage(const std::string& id, const std::string& name, const std::string& address,
                           const std::vector<std::string>& question, const std::string& subject) {
    // A name beyond ASCII goes as encoded words; the question as UTF-8 text.
    const std::string safeName = HeaderSafe(name, "\"\\");
    const std::string shownName =
        CharsetTables::IsAscii(safeName) ? "\"" + safeName + "\"" : HeaderWords::EncodeHeaderText(safeName);
    std::vector<std::string> text;
    for (const std::string& q : question)
        for (const std::string& piece : smtp::SplitLines(q)) text.push_back(BodySafe(piece));
    // A question typed as one long paragraph would hold a line longer than
    // a mail system takes: it goes quoted-printable.
    const bool quoted = !CodecTables::LinesFitMail(text);
    std::vector<std::string> lines = {
        "Message-ID: " + smtp::GeneratedMessageId(id),
        "From: " + shownName + " <" + HeaderSafe(address, "<>\" ") + ">",
        std::string("To: \"Tarnwick Support\" <") + kSupportAddress + ">",
        "Subject: " + HeaderSafe(subject, ""),
        "Date: " + smtp::GeneratedDate(),
        "X-Priority: 3",
        "X-MSMail-Priority: Normal",
        "X-Mailer: Tarnwick 1.1",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        std::string("Content-Transfer-Encoding: ") + (quoted ? "quoted-printable" : "8bit"),
        "",
    };
    // A question line of a single "." would otherwise end the message there
    // when it is relayed.
    if (quoted)
        for (std::string& line : CodecTables::EncodeQuotedPrintableLines(text)) lines.push_back(std::move(line));
    else
        for (const std::string& piece : text) lines.push_back(smtp::DotStuff(piece));
    lines.push_back("");
    lines.push_back(".");
    lines.push_back("");
    return smtp::JoinLines(lines);
}

std::string QueueSupportRequest(const std::string& name, const std::string& address,
                                const std::vector<std::string>& question, const std::string& subject) {
    smtp::CreateStoreFolders({smtp::FolderOut});
    // The file is made under the "arriving" state, so no delivery run takes
    // it before its record is complete.
    const std::string id = smtp::CreateQueueFile(smtp::WebQueueId(), smtp::StateReceiving);
    if (id.empty()) throw std::runtime_error("Cannot create a file in " + smtp::StoreFolder(smtp::FolderOut));
    const std::string out = smtp::StoreFolder(smtp::FolderOut);
    const std::string arriving = out + id + smtp::StateReceiving;
    auto fail = [&](const std::string& what) {
        RemoveFile(arriving);
        smtp::WritePortsValue(id, std::nullopt);
        throw std::runtime_error(what);
    };
    if (!platform::WriteFileAtomic(arriving, SupportMessage(id, name, address, question, subject)))
        fail("Cannot write " + arriving);
    const std::string from = HeaderSafe(address, "<>\" ");
    if (!smtp::WritePortsValue(id, std::string("rcpt"), "1") ||
        !smtp::WritePortsValue(id, std::string("To1"), std::string("<") + kSupportAddress + ">") ||
        !smtp::WritePortsValue(id, std::string("From"), "<" + from + ">"))
        fail("Cannot write " + smtp::PortsFileName());
    std::error_code ec;
    std::filesystem::rename(arriving, out + id + smtp::StateQueued, ec);
    if (ec) fail("Cannot queue " + arriving + ": " + ec.message());
    return id;
}

int RepairPostboxes() {
    int count = 0;
    for (const QueueFile& f : QueueFiles()) {
        if (!smtp::ReadPortsValue(f.id, "From").empty()) continue;
        if (RemoveFile(f.path)) ++count;
    }
    return count;
}

int EmptyOutbox() {
    int count = 0;
    for (const QueueFile& f : QueueFiles())
        if (RemoveFile(f.path)) ++count;
    return count;
}

int EmptyMailbox(const std::string& user) {
    if (user.empty()) return 0;
    const std::string in = smtp::StoreFolder(smtp::FolderIn);
    int count = 0;
    for (const std::string& name : smtp::ListUserFiles(in, user))
        if (RemoveFile(in + name)) ++count;
    return count;
}

void DeleteFolderTree(const std::string& Path) {
    namespace fs = std::filesystem;
    std::string p = Path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(p, ec))) return;
    fs::remove_all(p, ec);
}

bool IsAlreadyRunning() {
    static platform::InstanceLock lock;
    if (lock.Held()) return false;
    return !lock.Acquire(ProgramDir);
}

}  // namespace setup
