// Built-in web server: the listener, the gathering of one request per
// connection, the dispatch on the path with the login each path needs, and
// the response.
#include "web/http.h"

#include "codecs/details.h"
#include "filters/spam.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/settings_file.h"
#include "settings/setup.h"
#include "settings/table_files.h"
#include "shell/globals.h"
#include "shell/main.h"
#include "shell/splash.h"
#include "transport/servers.h"
#include "transport/store.h"
#include "web/web_sets.h"
#include "web/webmail.h"
#include "transport/mail_settings.h"

#include <QPlainTextEdit>
#include <QToolButton>
#include <QTimer>

#include <algorithm>
#include <any>
#include <cstdio>
#include <exception>
#include <unistd.h>

TFrmhttp* Frmhttp = nullptr;

namespace http {

SpamPageSettings CurrentSpamPageSettings() {
    SpamPageSettings s;
    if (FrmSpam != nullptr) {
        s.limited = FrmSpam->webLimited();
        s.limit = FrmSpam->webPageLimit();
        s.bookmark = FrmSpam->webBookmark();
        s.preview = FrmSpam->previewSize();
        s.oneLine = FrmSpam->oneLinePerMessage();
        return s;
    }
    platform::IniFile ini(settings::IniPath());
    s.bookmark = ini.ReadBool("Spam", "ShowBoomark", true);
    s.limited = ini.ReadBool("Spam", "PageLimited", true);
    s.limit = std::clamp(ini.ReadInteger("Spam", "PageLimit", 100), 5, 99999);
    s.preview = std::clamp(ini.ReadInteger("Spam", "PreviewSize", 50), 0, 80);
    s.oneLine = ini.ReadBool("Spam", "OneLine", false);
    return s;
}

// --- Requests ---------------------------------------------------------------

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

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

namespace {

const char kHexLower[] = "0123456789abcdef";
const char kHexUpper[] = "0123456789ABCDEF";

void DecodePass(std::string& value, const char* digits) {
    for (int code = 1; code <= 255; ++code) {
        const std::string pattern{'%', digits[code >> 4], digits[code & 15]};
        std::size_t pos = value.find(pattern);
        while (pos != std::string::npos) {
            value.replace(pos, 3, 1, static_cast<char>(code));
            // What was just made may complete the same escape with the text
            // before it.
            pos = value.find(pattern, pos >= 2 ? pos - 2 : 0);
        }
    }
}

// The value at pos: up to NUL, LF, CR, blank, "&" or ";"; "+" is a blank.
std::string ValueAt(const std::string& text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size()) {
        char c = text[end];
        if (c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '&' || c == ';') break;
        ++end;
    }
    std::string value = text.substr(pos, end - pos);
    for (char& c : value)
        if (c == '+') c = ' ';
    return DecodePercent(value);
}

}  // namespace

std::string DecodePercent(const std::string& value) {
    if (value.find('%') == std::string::npos) return value;
    std::string out = value;
    DecodePass(out, kHexLower);
    DecodePass(out, kHexUpper);
    return out;
}

namespace {

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of lowerKey in text, ignoring case, from pos on; the
// text is never copied (a request may be megabytes long).
std::size_t FindNoCase(const std::string& text, const std::string& lowerKey, std::size_t pos = 0) {
    auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(std::min(pos, text.size())), text.end(),
                          lowerKey.begin(), lowerKey.end(), [](char a, char b) { return LowerChar(a) == b; });
    return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

}  // namespace

std::string GetRequestParam(const std::string& Name, const std::string& Text) {
    // The Referer line's "=" signs do not count: no parameter is ever read
    // from the referring address.
    std::size_t refStart = FindNoCase(Text, "referer:"), refEnd = refStart;
    if (refStart != std::string::npos) {
        refEnd = Text.find('\r', refStart);
        if (refEnd == std::string::npos) refEnd = Text.size();
    }
    const std::string key = Lower(Name) + "=";
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
    const std::string key = Lower(Name) + "=";
    std::size_t pos = FindNoCase(Text, key);
    if (pos == std::string::npos) return std::string();
    return ValueAt(Text, pos + key.size());
}

std::string SafeUploadName(const std::string& name) {
    std::string base = name;
    std::size_t cut = base.find_last_of("\\/");
    if (cut != std::string::npos) base = base.substr(cut + 1);
    std::string clean;
    for (char c : base)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) clean += c;
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    if (clean.size() > 200) clean = clean.substr(clean.size() - 200);
    if (clean.empty() || clean == "." || clean == "..") clean = "unknown.txt";
    return clean;
}

bool SaveUploadedAttachment(const std::string& RequestFile, const std::string& User,
                            const std::string& Boundary) {
    if (Boundary.empty() || !IsPlainName(User)) return false;
    std::string data;
    if (!platform::ReadFile(RequestFile, data)) return false;
    const std::string key = "Content-Disposition: form-data; name=\"atchfile\";";
    std::size_t pos = data.find(key);
    if (pos == std::string::npos) return false;
    std::size_t lineEnd = data.find_first_of("\r\n", pos);
    if (lineEnd == std::string::npos) return false;
    std::string line = data.substr(pos, lineEnd - pos);
    std::string name;
    std::size_t fn = line.find("filename=\"");
    if (fn != std::string::npos) {
        fn += 10;
        std::size_t q = line.find('"', fn);
        name = line.substr(fn, q == std::string::npos ? std::string::npos : q - fn);
    }
    name = SafeUploadName(name);
    std::size_t start = data.find("\r\n\r\n", pos);
    if (start == std::string::npos) return false;
    start += 4;
    std::size_t end = data.find("\r\n--" + Boundary, start);
    if (end == std::string::npos) return false;
    const std::string folder = ProgramDir + "attach/" + User;
    platform::CreateFolder(folder);
    const std::string target = folder + "/" + name;
    ::unlink(target.c_str());
    return platform::WriteFileAtomic(target, data.substr(start, end - start));
}

std::int64_t ContentLength(const std::vector<std::string>& lowerLines) {
    std::int64_t length = kNoContentLength;
    for (const auto& line : lowerLines) {
        if (line.empty()) break;  // the header block only: a body may quote headers
        std::size_t p = line.find("content-length:");
        if (p == std::string::npos) continue;
        std::string digits = line.substr(p + 15);
        std::size_t a = digits.find_first_not_of(" \t");
        std::size_t b = digits.find_last_not_of(" \t");
        digits = a == std::string::npos ? std::string() : digits.substr(a, b - a + 1);
        std::int64_t value = 0;
        bool ok = !digits.empty() && digits.size() <= 15;
        for (char c : digits) {
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

namespace {

// Offset of the body: just after the first empty line that follows a
// non-empty one; npos while the header block has not ended.
std::size_t BodyOffset(const std::string& text) {
    bool seenText = false;
    std::size_t i = 0, lineStart = 0;
    const std::size_t limit = std::min<std::size_t>(text.size(), kMaxHeaderBytes + 4);
    while (i < limit) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            bool empty = i == lineStart;
            if (c == '\r') {
                if (i + 1 >= text.size()) return std::string::npos;  // the LF may follow
                if (text[i + 1] == '\n') ++i;
            }
            ++i;
            if (empty && seenText) return i;
            if (!empty) seenText = true;
            lineStart = i;
        } else {
            ++i;
        }
    }
    return std::string::npos;
}

std::string FirstWord(const std::string& line) {
    std::size_t a = line.find_first_not_of(' ');
    if (a == std::string::npos) return std::string();
    std::size_t b = line.find(' ', a);
    return Lower(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
}

}  // namespace

RequestState CheckRequest(const std::string& text) {
    if (static_cast<std::int64_t>(text.size()) > kMaxRequestBytes) return RequestState::TooLarge;
    std::size_t body = BodyOffset(text);
    if (body == std::string::npos)
        return static_cast<std::int64_t>(text.size()) > kMaxHeaderBytes ? RequestState::TooLarge
                                                                         : RequestState::Incomplete;
    std::vector<std::string> lines = SplitRequestLines(text.substr(0, body));
    if (lines.empty() || FirstWord(lines.front()) != "post") return RequestState::Complete;
    for (auto& l : lines) l = Lower(l);
    std::int64_t length = ContentLength(lines);
    if (length == kNoContentLength) return RequestState::CompleteWhenQuiet;
    if (length > kMaxRequestBytes - static_cast<std::int64_t>(body)) return RequestState::TooLarge;
    return static_cast<std::int64_t>(body) + length <= static_cast<std::int64_t>(text.size())
               ? RequestState::Complete
               : RequestState::Incomplete;
}

// --- Page building -----------------------------------------------------------

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            case '\'': out += "&#39;"; continue;
            default: break;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // A well-formed UTF-8 sequence becomes a numeric reference; any
        // other byte is taken as the page's own charset.
        int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
        if (c >= 0xF5) extra = 0;
        unsigned cp = extra == 3 ? c & 0x07u : extra == 2 ? c & 0x0Fu : c & 0x1Fu;
        bool ok = extra > 0 && i + extra < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (ok) {
            out += "&#" + std::to_string(cp) + ";";
            i += extra;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UrlEncode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHexUpper[c >> 4];
            out += kHexUpper[c & 15];
        }
    }
    return out;
}

std::string JsString(const std::string& text) {
    std::string js;
    for (char c : text) {
        if (c == '\\' || c == '\'') js += '\\';
        if (c == '\r' || c == '\n') c = ' ';
        js += c;
    }
    return HtmlEscape(js);
}

std::string HintAttributes(const std::string& Text) {
    return " title=\"" + HtmlEscape(Text) + "\" onMouseOver=\"window.status='" + JsString(Text) +
           "'; return true\" onMouseOut=\"window.status=''; return true\"";
}

std::string UploadedPart(const std::string& text, const std::string& field) {
    std::size_t body = BodyOffset(text);
    if (body == std::string::npos) return std::string();
    const std::string boundary = GetRequestParam("boundary", text.substr(0, body));
    std::size_t pos = text.find("name=\"" + field + "\"", body);
    if (boundary.empty() || pos == std::string::npos) return text.substr(body);
    std::size_t start = text.find("\r\n\r\n", pos);
    if (start == std::string::npos) return std::string();
    start += 4;
    std::size_t end = text.find("\r\n--" + boundary, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string PageHead(const std::string& title, bool verdana, const std::string& extraHead) {
    const char* fonts = verdana ? "Verdana, Arial, Helvetica, sans-serif" : "Arial, Helvetica, sans-serif";
    const char* tdMargin = verdana ? "25px" : "10px";
    return "<HTML><HEAD><TITLE>" + title +
           "</TITLE>\r\n<META http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">\r\n"
           "<STYLE type=\"text/css\">\r\nBODY { font-size: 10pt; margin-left: 10px; color: #000080; "
           "font-family: " +
           fonts + "; }\r\ntd { font-size: 10pt; margin-left: " + tdMargin +
           "; color: #000080; font-family: " + fonts + "; }\r\n" + "</STYLE>\r\n" + extraHead +
           "</HEAD>\r\n";
}

std::string BuildResponse(const std::string& page, bool isHtml, const std::string& cookie, bool sandbox) {
    std::string r = "HTTP/1.1 200 OK\r\nServer: Tarnwick\r\nConnection: Close\r\n";
    if (isHtml)
        r += "Cache-Control: no-store, no-cache, must-revalidate\r\nContent-Type: text/html; charset=ISO-8859-1\r\n";
    else
        r += "Content-Type: text/plain; charset=ISO-8859-1\r\n";
    // A message's own HTML runs without scripts and apart from the pages
    // that hold the login.
    if (sandbox) r += "Content-Security-Policy: sandbox\r\n";
    if (!cookie.empty()) r += "Set-Cookie: " + cookie + "\r\n";
    r += "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n";
    r += page;
    return r;
}

std::string LoginCookie(const std::string& user, const std::string& password) {
    auto enc = [](const std::string& v) {
        std::string out;
        for (unsigned char c : v) {
            if (c <= 0x20 || c >= 0x7f || c == ';' || c == '&' || c == '%' || c == '+' || c == ',' ||
                c == '"' || c == '\\') {
                out += '%';
                out += kHexUpper[c >> 4];
                out += kHexUpper[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    };
    return "u=" + enc(user) + "&p=" + enc(password);
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 240) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == '/' || c == '\\' || c == 0x7f) return false;
    return true;
}

}  // namespace http

// --- The window ------------------------------------------------------------------

struct TFrmhttp::Connection {
    std::string text;
    std::string spoolPath;
    std::FILE* spool = nullptr;
    bool answered = false;
    std::unique_ptr<QTimer> quiet;     // a POST without Content-Length has ended
    std::unique_ptr<QTimer> deadline;  // the whole request must have come by then
    ~Connection() {
        if (spool) std::fclose(spool);
        if (!spoolPath.empty()) ::unlink(spoolPath.c_str());
    }
};

TFrmhttp::TFrmhttp(QWidget* parent) : QDialog(parent) {
    setWindowTitle("http");
    Memo1 = new QPlainTextEdit(this);
    Memo1->hide();
    httpServer.OnClientConnect = [this](platform::TcpConnection& c) { httpServerClientConnect(c); };
    httpServer.OnClientRead = [this](platform::TcpConnection& c) { httpServerClientRead(c); };
    httpServer.OnClientError = [this](platform::TcpConnection& c, int code) { httpServerClientError(c, code); };
    httpServer.OnClientDisconnect = [](platform::TcpConnection& c) { c.UserData().reset(); };
    setup::hooks.webServerRecheck = [this] { CheckServerActive(); };
    CheckServerActive();
}

TFrmhttp::~TFrmhttp() {
    // The listener goes with its member, without running further events.
    setup::hooks.webServerRecheck = nullptr;
}

void TFrmhttp::CheckServerActive() {
    splash::Progress("Starting HTPP server...");
    platform::CreateFolder(ProgramDir + "attach");
    httpServer.Close();
    const auto mail = mailsettings::Current();
    const int port = mail->webPort;
    const bool enabled = mail->browserEnabled;
    if (enabled && httpServer.Open(port, servers::BindAddress()) != platform::OpenResult::Ok) {
        platform::MessageBox("Couldn't start the webserver on port " + std::to_string(port) +
                                 ", please check settings.",
                             platform::MsgKind::Error, platform::MsgButtons::Ok);
    }
    LoadAddressBook();
}

void TFrmhttp::LoadAddressBook() {
    try {
        if (TblAddress.Active() && TblAddress.State() != dsBrowse) TblAddress.Cancel();
        TblAddress.Close();
        // An unreadable address book is set aside, never thrown away.
        tablefiles::LoadOrCreate(TblAddress, ProgramDir + "address.dat", [](TvdlMemTable& t) {
            tablefiles::Define(t, {{"User", ftString, 64}, {"Name", ftString, 64}, {"Email", ftString, 64}},
                               "ixUser", "User;Name", ixPrimary);
        });
        tablefiles::SelectIndex(TblAddress, "ixuser");
    } catch (const std::exception& e) {
        tablefiles::LogLine(std::string("Address book: ") + e.what());
    }
}

void TFrmhttp::httpServerClientError(platform::TcpConnection& Socket, int& ErrorCode) {
    (void)Socket;
    ErrorCode = 0;
}

std::shared_ptr<TFrmhttp::Connection> TFrmhttp::StateOf(platform::TcpConnection& socket) {
    std::any& any = socket.UserData();
    if (!any.has_value()) {
        auto state = std::make_shared<Connection>();
        std::weak_ptr<platform::TcpConnection> weak = socket.shared_from_this();
        auto answerLater = [this, weak] {
            if (auto c = weak.lock(); c && c->Connected()) Answer(c);
        };
        state->quiet = std::make_unique<QTimer>();
        state->quiet->setSingleShot(true);
        QObject::connect(state->quiet.get(), &QTimer::timeout, this, answerLater);
        state->deadline = std::make_unique<QTimer>();
        state->deadline->setSingleShot(true);
        QObject::connect(state->deadline.get(), &QTimer::timeout, this, answerLater);
        state->deadline->start(http::kRequestDeadlineMs);
        any = state;
    }
    return std::any_cast<std::shared_ptr<Connection>>(any);
}

void TFrmhttp::httpServerClientConnect(platform::TcpConnection& Socket) { StateOf(Socket); }

void TFrmhttp::httpServerClientRead(platform::TcpConnection& Socket) {
    auto state = StateOf(Socket);
    std::string data = Socket.ReceiveText();
    if (state->answered || data.empty()) return;
    if (state->spoolPath.empty()) {
        state->spoolPath = ProgramDir + "attach/http_" + std::to_string(Socket.RemotePort()) + "_" +
                           std::to_string(Socket.Id());
        ::unlink(state->spoolPath.c_str());
        state->spool = std::fopen(state->spoolPath.c_str(), "wb");
    }
    state->text += data;
    if (state->spool) std::fwrite(data.data(), 1, data.size(), state->spool);

    switch (http::CheckRequest(state->text)) {
        case http::RequestState::TooLarge:
            state->answered = true;
            Socket.Abort();
            return;
        case http::RequestState::Complete:
            Answer(Socket.shared_from_this());
            return;
        case http::RequestState::CompleteWhenQuiet:
            state->quiet->start(http::kNoLengthQuietMs);
            return;
        case http::RequestState::Incomplete:
            state->quiet->stop();
            return;
    }
}

void TFrmhttp::Answer(const platform::TcpConnectionPtr& socket) {
    auto state = StateOf(*socket);
    if (state->answered) return;
    state->answered = true;
    state->quiet->stop();
    state->deadline->stop();
    if (state->spool) {
        std::fflush(state->spool);
        std::fclose(state->spool);
        state->spool = nullptr;
    }
    if (state->text.empty()) {
        socket->Close();
        return;
    }
    LastHttpRemotePort = socket->RemotePort();
    std::string response;
    int deferMs = 0;
    try {
        response = HandleRequest(state->text, state->spoolPath, deferMs);
    } catch (const std::exception&) {
        response.clear();
        deferMs = 0;
    }
    LastHttpRemotePort = 0;
    if (!state->spoolPath.empty()) ::unlink(state->spoolPath.c_str());
    state->spoolPath.clear();
    state->text.clear();
    if (deferMs > 0) {
        // The cycle just started gets its moment before the page shows it.
        std::weak_ptr<platform::TcpConnection> weak = socket;
        QTimer::singleShot(deferMs, this, [weak] {
            auto c = weak.lock();
            if (!c) return;
            c->SendText(http::BuildResponse(http::StatusPage(), true, "u=&p="));
            c->Close();
        });
        return;
    }
    if (!response.empty()) socket->SendText(response);
    socket->Close();
}

namespace {

bool AdminLoginEmpty(std::string& login, std::string& password) {
    const auto mail = mailsettings::Current();
    login = mail->webLogin;
    password = mail->webPassword;
    return login.empty();
}

// A web mail login from the request's fields or its cookie. user gets the
// name as the users table holds it.
bool WebmailLogin(const std::string& text, std::string& user, std::string& typedUser, std::string& cookie) {
    typedUser = http::GetRequestParam("user", text);
    if (typedUser.empty()) typedUser = http::GetRequestParam("u", text);
    std::string password = http::GetRequestParam("password", text);
    if (password.empty()) password = http::GetRequestParam("p", text);
    cookie = http::LoginCookie(typedUser, password);
    std::string canonical;
    if (FrmServers == nullptr || typedUser.empty() ||
        !FrmServers->CheckUserPassword(typedUser, password, nullptr, &canonical))
        return false;
    // The name becomes part of file and folder names.
    if (!http::IsPlainName(canonical) || !settings::IsSafeUserName(canonical)) return false;
    user = canonical;
    return true;
}

bool IsWebFolder(const std::string& dir) {
    return dir == "in" || dir == "websent" || dir == "webdeleted" || dir == "websaved";
}

}  // namespace

std::string TFrmhttp::HandleRequest(const std::string& requestText, const std::string& requestFile,
                                    int& deferMs) {
    deferMs = 0;
    std::vector<std::string> rawLines = http::SplitRequestLines(requestText);
    const std::string rawText = http::JoinCrLf(rawLines);
    std::string lowerText = http::Lower(rawText);
    const std::string requestLine = rawLines.empty() ? std::string() : http::Lower(rawLines.front());

    // The method is the request line's first word: a path that merely
    // contains "get" or "post" does not make the request one.
    bool isPost = false;
    std::string path;
    if (const std::string method = http::FirstWord(requestLine); method == "get" || method == "post") {
        isPost = method == "post";
        std::size_t after = requestLine.find(method) + method.size();
        if (after < requestLine.size()) path = requestLine.substr(after + 1);
    }
    for (char cut : {' ', '?', '#'}) {
        std::size_t p = path.find(cut);
        if (p != std::string::npos) path = path.substr(0, p);
    }
    std::int64_t contentLength = http::kNoContentLength;
    if (isPost) {
        std::vector<std::string> lowerLines;
        for (const auto& l : rawLines) lowerLines.push_back(http::Lower(l));
        contentLength = http::ContentLength(lowerLines);
        if (path != "/safeaddresses") {
            std::string replaced;
            for (char c : lowerText) {
                if (c == '&') replaced += "\r\n";
                else replaced += c;
            }
            lowerText.swap(replaced);
        }
    }

    bool isHtml = true;
    bool sandbox = false;
    std::string cookie;
    std::string page;

    auto statusPage = [&] {
        cookie = "u=&p=";
        page = http::StatusPage();
    };

    const std::string attachFile = http::GetRequestParam("AttachFile", requestText);
    if (path == "/send") {
        if (FrmMain != nullptr && FrmMain->BtnSendRec->isEnabled()) {
            FrmMain->BtnSendRecClick(FrmMain->AlarmClock1);
            deferMs = 200;
            return std::string();
        }
        statusPage();
    } else if (path == "/spam") {
        page = http::SpamFrameset();
    } else if (path == "/safeaddresses") {
        page = http::SafeAddressesPage(isPost && contentLength < 100000, lowerText);
    } else if (!attachFile.empty()) {
        // Browsers send the name %-escaped: the length limit is the name's own.
        std::string name = path.size() > 1 ? details::UnescapeName(path.substr(1)).substr(0, 64) : std::string();
        std::string user, typed;
        const std::string dir = http::Lower(http::GetRequestParam("Dir", requestText));
        if (!name.empty()) {
            if (!WebmailLogin(requestText, user, typed, cookie)) {
                page = webmail::LoginPage(typed, false);
            } else {
                isHtml = false;
                if (IsWebFolder(dir) && http::IsPlainName(attachFile) &&
                    smtp::IsUserFile(attachFile + ".dat", user)) {
                    const std::string file = platform::ResolveNoCase(smtp::StoreFolder(dir), attachFile + ".dat");
                    details::DecodeAttachment(file, name, page);
                } else {
                    details::DecodeAttachment(std::string(), name, page);
                }
            }
        }
    } else if (path == "/webmail" || path == "/webmaillist" || path == "/address" || path == "/attach" ||
               path == "/compose") {
        std::string user, typed;
        if (!WebmailLogin(requestText, user, typed, cookie)) {
            page = webmail::LoginPage(typed, false);
        } else {
            std::string dir = http::GetRequestParam("dir", lowerText);
            if (dir != "websent" && dir != "webdeleted" && dir != "websaved" && dir != "settings") dir = "in";
            if (path == "/address") {
                page = webmail::AddressBookPage(user, !http::GetRequestParam("cc", requestText).empty(), isPost,
                                                lowerText);
            } else if (path == "/attach") {
                page = webmail::AttachPage(user);
            } else if (path == "/compose") {
                page = webmail::ComposeRequest(user, dir, isPost, requestText, lowerText, requestFile);
                if (page.find("Couldn't send email") != std::string::npos) {
                    page += "Request (Post length " + std::to_string(contentLength) + "):<BR>";
                    for (const auto& l : rawLines) page += http::HtmlEscape(l) + "<BR>";
                    page += http::PageEnd;
                }
            } else {
                bool saved = webmail::ListActions(user, dir, requestText);
                page = path == "/webmail" ? webmail::WebmailFrameset()
                                          : webmail::WebmailListPage(user, dir,
                                                                     settings::IntFromText(http::GetRequestParam("StartFrom", requestText), 1),
                                                                     saved);
            }
        }
    } else if (path == "/spamlist") {
        http::SpamListActions(requestText, lowerText);
        page = http::SpamListPage();
    } else if (path == "/settings" || path == "/log") {
        std::string typed = http::GetRequestParam("user", rawText);
        if (typed.empty()) typed = http::GetRequestParam("u", rawText);
        std::string password = http::GetRequestParam("password", rawText);
        if (password.empty()) password = http::GetRequestParam("p", rawText);
        cookie = http::LoginCookie(typed, password);
        std::string login, adminPassword;
        if (AdminLoginEmpty(login, adminPassword)) {
            page = "Settings not available on browser - please see Remote setup in Tarnwick<BR>Click "
                   "<B>Back</B> on your browser.";
        } else if (typed != login || password != adminPassword) {
            page = webmail::LoginPage(typed, true);
        } else if (path == "/log") {
            page = http::LogText(http::GetRequestParam("file", lowerText), isHtml);
        } else {
            std::string pwUser, pwPassword, delUser, newEmail, newUser, delEmail, delLdUser;
            auto has = [&](const char* button) { return lowerText.find(button) != std::string::npos; };
            if (has("btndel=")) delUser = http::GetRequestParam("users_name", rawText);
            if (has("btnpw=")) {
                pwUser = http::GetRequestParam("users_name", rawText);
                pwPassword = http::GetRequestParam("users_pw", rawText);
            }
            if (has("btndelld=")) {
                delEmail = http::GetRequestParam("ld_email", rawText);
                delLdUser = http::GetRequestParam("ld_username", rawText);
            }
            if (has("btnnewld=")) {
                newEmail = http::GetRequestParam("ld_email", rawText);
                newUser = http::GetRequestParam("ld_username", rawText);
            }
            page = web_sets::SettingsPage(pwUser, pwPassword, delUser, newEmail, newUser, delEmail, delLdUser);
        }
    } else if (path == "/showmail") {
        const std::string dir = http::Lower(http::GetRequestParam("dir", requestText));
        const std::string email = http::GetRequestParam("email", lowerText);
        bool spamFolder = dir == "spam1" || dir == "spam2";
        std::string user, typed;
        if (IsWebFolder(dir) && !WebmailLogin(requestText, user, typed, cookie)) {
            page = webmail::LoginPage(typed, false);
        } else {
            std::string file;
            if (http::IsPlainName(email) &&
                (spamFolder || (IsWebFolder(dir) && smtp::IsUserFile(email + ".dat", user))))
                file = platform::ResolveNoCase(smtp::StoreFolder(dir), email + ".dat");
            if (!file.empty() && platform::FileExists(file)) {
                details::GetMessageBody(file, isHtml, page);
                sandbox = isHtml;
            } else {
                page = "Email no longer present - please refresh list";
            }
        }
    } else if (path == "/empty" || path == "/favicon.ico") {
        page.clear();
    } else {
        statusPage();
    }
    return http::BuildResponse(page, isHtml, cookie, sandbox);
}
