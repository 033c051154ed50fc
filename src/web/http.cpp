// Built-in web server: the listener, the gathering of one request per
// connection, the dispatch on the path with the login each path needs, and
// the response.
#include "web/http.h"

#include "codecs/charsettables.h"
#include "codecs/details.h"
#include "codecs/qev_util.h"
#include "filters/spam.h"
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/setup_hooks.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/logins.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"
#include "transport/store.h"
#include "web/web_sets.h"
#include "web/webmail.h"

#include <QHostInfo>
#include <QTimer>

#include <algorithm>
#include <any>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string_view>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

TFrmhttp* Frmhttp = nullptr;

namespace http {

SpamPageSettings CurrentSpamPageSettings() {
    SpamPageSettings s;
    if (const spam::TSpamFilter* filter = spam::Filter()) {
        const spam::Settings& live = filter->settings();
        s.limited = live.webLimited;
        s.limit = live.webPageLimit;
        s.bookmark = live.webBookmark;
        s.preview = live.previewSize;
        s.oneLine = live.oneLine;
        return s;
    }
    const spam::Settings stored = spam::ReadSettings({});
    s.bookmark = stored.webBookmark;
    s.limited = stored.webLimited;
    s.limit = stored.webPageLimit;
    s.preview = stored.previewSize;
    s.oneLine = stored.oneLine;
    return s;
}

// --- Requests ---------------------------------------------------------------

namespace {

const char kHexUpper[] = "0123456789ABCDEF";

}  // namespace

namespace {

// A spooled request mapped read-only: an upload of megabytes is searched
// and copied from the page cache, never loaded into memory whole.
class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) return;
        size_ = static_cast<std::size_t>(st.st_size);
        ok_ = true;
        if (size_ == 0) return;
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p == MAP_FAILED) {
            ok_ = false;
            size_ = 0;
            return;
        }
        data_ = static_cast<const char*>(p);
    }
    ~MappedFile() {
        if (data_) ::munmap(const_cast<char*>(data_), size_);
        if (fd_ >= 0) ::close(fd_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool ok() const { return ok_; }
    std::string_view view() const { return data_ ? std::string_view(data_, size_) : std::string_view(); }

private:
    int fd_ = -1;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};

}  // namespace

bool LoadRequestWithoutFiles(const std::string& RequestFile, const std::string& Boundary, std::string& Text) {
    Text.clear();
    MappedFile file(RequestFile);
    if (!file.ok()) return false;
    const std::string_view all = file.view();
    std::size_t body = BodyOffset(std::string(all.substr(0, std::min<std::size_t>(all.size(), kMaxHeaderBytes + 4))));
    if (body == std::string::npos || Boundary.empty()) {
        Text.assign(all);
        return true;
    }
    Text.assign(all.substr(0, body));
    const std::string delimiter = "--" + Boundary;
    std::size_t pos = body;
    while (pos < all.size()) {
        const std::size_t headerEnd = all.find("\r\n\r\n", pos);
        if (headerEnd == std::string_view::npos) break;
        const std::string_view header = all.substr(pos, headerEnd + 4 - pos);
        const std::size_t next = all.find("\r\n" + delimiter, headerEnd + 4);
        const std::size_t stop = next == std::string_view::npos ? all.size() : next;
        Text.append(header);
        // A file's data stays in the spool; the text fields come along.
        if (header.find("filename=") == std::string_view::npos) Text.append(all.substr(headerEnd + 4, stop - headerEnd - 4));
        pos = stop;
        if (next == std::string_view::npos) break;
        const std::size_t lineEnd = all.find("\r\n", next + 2);
        const std::size_t partStart = lineEnd == std::string_view::npos ? all.size() : lineEnd + 2;
        Text.append(all.substr(next, partStart - next));
        pos = partStart;
    }
    if (pos < all.size()) Text.append(all.substr(pos));
    return true;
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
    MappedFile file(RequestFile);
    if (!file.ok()) return false;
    const std::string_view data = file.view();
    const std::string_view key = "Content-Disposition: form-data; name=\"atchfile\";";
    std::size_t pos = data.find(key);
    if (pos == std::string::npos) return false;
    std::size_t lineEnd = data.find_first_of("\r\n", pos);
    if (lineEnd == std::string::npos) return false;
    const std::string_view line = data.substr(pos, lineEnd - pos);
    std::string name;
    std::size_t fn = line.find("filename=\"");
    if (fn != std::string::npos) {
        fn += 10;
        std::size_t q = line.find('"', fn);
        name = std::string(line.substr(fn, q == std::string::npos ? std::string::npos : q - fn));
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
    const std::string temp = target + ".part";
    platform::Env& fs = *platform::Env::Current();
    fs.Unlink(target);
    // Copied from the mapping straight into the file: the upload is never
    // held in memory.
    std::unique_ptr<platform::WritableFile> out;
    if (!fs.NewWritableFile(temp, platform::CreateMode::Truncate, out).ok()) return false;
    bool ok = out->Append(std::string_view(data.data() + start, end - start)).ok();
    ok = out->Close().ok() && ok;
    if (!ok || !fs.Rename(temp, target).ok()) {
        fs.Unlink(temp);
        return false;
    }
    return true;
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

std::string BuildResponse(const std::string& page, bool isHtml, const std::string& cookie, bool sandbox,
                          const std::string& charset) {
    return BuildStatusResponse("200 OK", "", page, isHtml, cookie, sandbox, charset);
}

std::string BuildStatusResponse(const std::string& status, const std::string& extraHeaders, const std::string& page,
                                bool isHtml, const std::string& cookie, bool sandbox, const std::string& charset) {
    std::string r = "HTTP/1.1 " + status + "\r\nServer: Tarnwick\r\nConnection: Close\r\n" + extraHeaders;
    // Mail and attachments are never kept by a browser or a proxy.
    r += "Cache-Control: no-store, no-cache, must-revalidate\r\n";
    r += std::string("Content-Type: ") + (isHtml ? "text/html" : "text/plain") + "; charset=" + charset + "\r\n";
    // No other site may frame the pages and have the user click in them.
    r += "X-Frame-Options: SAMEORIGIN\r\n";
    // A message's own HTML runs without scripts, apart from the pages that
    // hold the login, and fetches nothing from outside (no tracking
    // pictures): it may only use what it carries.
    if (sandbox)
        r += "Content-Security-Policy: sandbox; default-src 'none'; img-src data: cid:; style-src 'unsafe-inline'\r\n";
    // Scripts never see the login, and no other site's page sends it along.
    if (!cookie.empty()) r += "Set-Cookie: " + cookie + "; HttpOnly; SameSite=Strict\r\n";
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
    // Logging out (an empty user name) must not leave the password behind.
    if (user.empty()) return "u=&p=";
    return "u=" + enc(user) + "&p=" + enc(password);
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 240) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == '/' || c == '\\' || c == 0x7f) return false;
    return true;
}

}  // namespace http

// --- The object ------------------------------------------------------------------

namespace {
// A refused body that stops coming for this long is not waited for.
constexpr int kDrainQuietMs = 2000;

std::string RefusedPage(const std::string& why) {
    return http::PageHead("Tarnwick") + "<BODY>\r\nRequest refused - " + why + "<BR>\r\n" + http::PageEnd;
}
}  // namespace

struct TFrmhttp::Connection {
    // The header block, then the body when it is kept in memory.
    std::string text;
    std::size_t bodyOffset = std::string::npos;  // set once the header block has ended
    http::RequestHead head;
    std::int64_t bodyBytes = 0;  // body bytes received
    // An upload's body goes to the spool file only; a body over the limit
    // is read and dropped, so that the browser can show the answer.
    bool tooLarge = false;
    bool draining = false;  // refused as too large; the rest of the body is dropped
    std::string spoolPath;
    std::FILE* spool = nullptr;
    bool answered = false;
    std::unique_ptr<QTimer> quiet;     // a POST without Content-Length has ended
    std::unique_ptr<QTimer> deadline;  // the header block, then the whole request, must have come by then
    ~Connection() {
        if (spool) std::fclose(spool);
        if (!spoolPath.empty()) ::unlink(spoolPath.c_str());
    }
};

TFrmhttp::TFrmhttp(QObject* parent) : QObject(parent), TblAddress(tables::Addresses().Table()) {
    setObjectName("http");
    httpServer.OnAccept = [this](platform::TcpConnection& c) { return httpServerAccept(c); };
    httpServer.OnClientConnect = [this](platform::TcpConnection& c) { httpServerClientConnect(c); };
    httpServer.OnClientRead = [this](platform::TcpConnection& c) { httpServerClientRead(c); };
    httpServer.OnClientError = [this](platform::TcpConnection& c, int code) { httpServerClientError(c, code); };
    httpServer.OnClientDisconnect = [](platform::TcpConnection& c) { c.UserData().reset(); };
    // A slot of a held connection is free again by the header deadline at
    // the latest; a browser or proxy that reads the status tries then.
    httpServer.SetMaxConnectionsPerClient(
        http::kMaxClientConnections,
        http::BuildStatusResponse("503 Service Unavailable",
                                  "Retry-After: " + std::to_string(http::kHeaderDeadlineMs / 1000) + "\r\n",
                                  RefusedPage("too many connections from your address, try again later.")));
    setup::hooks.webServerRecheck = [this] { CheckServerActive(); };
    CheckServerActive();
}

TFrmhttp::~TFrmhttp() {
    // The listener goes with its member, without running further events.
    setup::hooks.webServerRecheck = nullptr;
    if (Frmhttp == this) Frmhttp = nullptr;
    // The address book is served while its server lives.
    tables::Addresses().Close();
}

void TFrmhttp::CheckServerActive() {
    events::Get().StartupProgress("Starting HTPP server...");
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
        tables::Addresses().Close();
        // An unreadable address book is set aside, never thrown away.
        TvdlMemTable loaded;
        tablefiles::LoadOrCreate(loaded, ProgramDir + "address.dat", [](TvdlMemTable& t) {
            tablefiles::Define(t, {{"User", ftString, 64}, {"Name", ftString, 64}, {"Email", ftString, 64}},
                               "ixUser", "User;Name", ixPrimary);
        });
        tablefiles::SelectIndex(loaded, "ixuser");
        tables::Addresses().Adopt(loaded);
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
        state->quiet = std::make_unique<QTimer>();
        state->quiet->setSingleShot(true);
        std::weak_ptr<Connection> weakState = state;
        QObject::connect(state->quiet.get(), &QTimer::timeout, this, [this, weak, weakState] {
            auto c = weak.lock();
            auto st = weakState.lock();
            if (!c || !st || !c->Connected()) return;
            if (st->draining) c->Close();
            else Answer(c);
        });
        state->deadline = std::make_unique<QTimer>();
        state->deadline->setSingleShot(true);
        QObject::connect(state->deadline.get(), &QTimer::timeout, this, [this, weak, weakState] {
            auto c = weak.lock();
            auto st = weakState.lock();
            if (!c || !st || !c->Connected()) return;
            if (st->draining) {
                c->Close();
                return;
            }
            // Without a whole header block there is nothing to answer.
            if (st->bodyOffset == std::string::npos) {
                st->answered = true;
                c->Abort();
                return;
            }
            GiveUp(c);
        });
        state->deadline->start(http::kHeaderDeadlineMs);
        any = state;
    }
    return std::any_cast<std::shared_ptr<Connection>>(any);
}

bool TFrmhttp::httpServerAccept(platform::TcpConnection& Socket) {
    return static_cast<int>(httpServer.Connections().size()) < http::kMaxConnections &&
           servers::ConnectionAdmitted(Socket.RemoteAddress(), "connect.log");
}

void TFrmhttp::httpServerClientConnect(platform::TcpConnection& Socket) { StateOf(Socket); }

void TFrmhttp::httpServerClientRead(platform::TcpConnection& Socket) {
    auto state = StateOf(Socket);
    std::string data = Socket.ReceiveText();
    if (state->draining) {
        // The refusal of a body over the limit has been sent; the rest of
        // the body is read and dropped so that the browser gets to show it.
        state->bodyBytes += static_cast<std::int64_t>(data.size());
        if (state->head.contentLength != http::kNoContentLength && state->bodyBytes >= state->head.contentLength)
            Socket.Close();
        else
            state->quiet->start(kDrainQuietMs);
        return;
    }
    if (state->answered || data.empty()) return;
    if (state->bodyOffset == std::string::npos) {
        state->text += data;
        data.clear();
        const std::size_t body = http::BodyOffset(state->text);
        if (body == std::string::npos) {
            if (static_cast<std::int64_t>(state->text.size()) > http::kMaxHeaderBytes) {
                state->answered = true;
                Socket.Abort();
            }
            return;
        }
        state->bodyOffset = body;
        state->head = http::ParseHead(state->text.substr(0, body));
        if (state->head.method != "post") {
            state->text.resize(body);
            Answer(Socket.shared_from_this());
            return;
        }
        state->deadline->start(http::kRequestDeadlineMs);
        data = state->text.substr(body);
        state->text.resize(body);
        const std::int64_t limit = state->head.multipart ? http::kMaxUploadBytes : http::kMaxRequestBytes;
        if (state->head.contentLength != http::kNoContentLength &&
            state->head.contentLength > limit - static_cast<std::int64_t>(body))
            state->tooLarge = true;
        // The whole form at once: growing a string of megabytes step by
        // step copies it over and over inside read events.
        if (!state->head.multipart && !state->tooLarge && state->head.contentLength != http::kNoContentLength)
            state->text.reserve(body + static_cast<std::size_t>(state->head.contentLength));
        if (state->head.multipart && !state->tooLarge) {
            // Only uploads are spooled: the upload routine reads the file.
            state->spoolPath = ProgramDir + "attach/http_" + std::to_string(Socket.RemotePort()) + "_" +
                               std::to_string(Socket.Id());
            ::unlink(state->spoolPath.c_str());
            const int fd = platform::OpenPrivate(state->spoolPath, O_WRONLY | O_TRUNC | O_CLOEXEC);
            state->spool = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
            if (fd >= 0 && !state->spool) ::close(fd);
            if (state->spool) std::fwrite(state->text.data(), 1, state->text.size(), state->spool);
        }
    }
    state->bodyBytes += static_cast<std::int64_t>(data.size());
    const std::int64_t limit = state->head.multipart ? http::kMaxUploadBytes : http::kMaxRequestBytes;
    if (!state->tooLarge && state->bodyBytes > limit - static_cast<std::int64_t>(state->bodyOffset)) {
        state->tooLarge = true;
        state->text.resize(state->bodyOffset);
    }
    if (state->tooLarge) {
        Answer(Socket.shared_from_this());
        return;
    }
    if (state->head.multipart) {
        if (state->spool && std::fwrite(data.data(), 1, data.size(), state->spool) != data.size()) {
            std::fclose(state->spool);
            state->spool = nullptr;
        }
    } else {
        state->text += data;
    }
    if (state->head.contentLength == http::kNoContentLength) {
        state->quiet->start(http::kNoLengthQuietMs);
        return;
    }
    if (state->bodyBytes >= state->head.contentLength) Answer(Socket.shared_from_this());
}

void TFrmhttp::GiveUp(const platform::TcpConnectionPtr& socket) {
    // What came of the body is dropped unread: a page given half a form
    // would send, save or change what the user never finished sending.
    auto state = StateOf(*socket);
    if (state->answered) return;
    state->answered = true;
    if (state->spool) {
        std::fclose(state->spool);
        state->spool = nullptr;
    }
    if (!state->spoolPath.empty()) ::unlink(state->spoolPath.c_str());
    state->spoolPath.clear();
    std::string().swap(state->text);
    socket->SendText(http::BuildStatusResponse(
        "408 Request Timeout", "",
        RefusedPage("it did not arrive whole in time; nothing was sent or changed. Please try again.")));
    // The rest of a body still on its way is read and dropped, as for a
    // body over the limit, so that the answer reaches the browser.
    state->draining = true;
    state->quiet->start(kDrainQuietMs);
    state->deadline->start(kDrainQuietMs * 5);
}

void TFrmhttp::Answer(const platform::TcpConnectionPtr& socket) {
    auto state = StateOf(*socket);
    if (state->answered) return;
    state->answered = true;
    state->quiet->stop();
    state->deadline->stop();
    std::string request;
    request.swap(state->text);
    bool readable = true;
    if (state->spool) {
        readable = std::fflush(state->spool) == 0;
        std::fclose(state->spool);
        state->spool = nullptr;
        // The body was spooled, not kept. The compose form's files stay in
        // the spool (the upload routine copies them from there); other
        // uploads are address lists that the pages read whole.
        if (readable && !state->tooLarge)
            readable = state->head.path == "/compose"
                           ? http::LoadRequestWithoutFiles(state->spoolPath, state->head.boundary, request)
                           : platform::ReadFile(state->spoolPath, request);
    } else if (state->head.multipart && !state->tooLarge) {
        readable = false;  // the spool file could not be written
    }
    std::string response;
    int deferMs = 0;
    if (state->tooLarge || !readable) {
        std::string page = http::PageHead("Tarnwick") + "<BODY>\r\n";
        page += state->head.path == "/compose" ? "Couldn't send email - " : "Request refused - ";
        page += state->tooLarge ? "it is larger than " +
                                      std::to_string((state->head.multipart ? http::kMaxUploadBytes
                                                                            : http::kMaxRequestBytes) /
                                                     (1024 * 1024)) +
                                      " MB.  Please press <B>Back</B> on your browser.<BR><BR>"
                                : "it could not be stored.  Please press <B>Back</B> on your browser.<BR><BR>";
        response = http::BuildResponse(page + http::PageEnd, true, std::string());
        if (state->tooLarge) {
            socket->SendText(response);
            state->draining = true;
            state->quiet->start(kDrainQuietMs);
            state->deadline->start(http::kRequestDeadlineMs);
            return;
        }
    } else {
        LastHttpRemotePort = socket->RemotePort();
        try {
            response = HandleRequest(request, state->spoolPath, deferMs, socket->RemoteAddress());
        } catch (const std::exception&) {
            response.clear();
            deferMs = 0;
        }
        LastHttpRemotePort = 0;
    }
    if (!state->spoolPath.empty()) ::unlink(state->spoolPath.c_str());
    state->spoolPath.clear();
    if (deferMs > 0) {
        // The cycle just started gets its moment before the page shows it;
        // a login after too many failures is answered late.
        std::weak_ptr<platform::TcpConnection> weak = socket;
        QTimer::singleShot(deferMs, this, [weak, response] {
            auto c = weak.lock();
            if (!c) return;
            c->SendText(response.empty() ? http::BuildResponse(http::StatusPage(), true, "u=&p=") : response);
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

bool IsWebFolder(const std::string& dir) {
    return dir == "in" || dir == "websent" || dir == "webdeleted" || dir == "websaved";
}

// The names this machine answers to, besides IP literals and localhost.
const std::vector<std::string>& OwnNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (std::string name : {procs::GetComputerName(), QHostInfo::localHostName().toStdString()}) {
            name = qev_util::LowerCase(name);
            if (name.empty()) continue;
            n.push_back(name);
            const std::string domain = qev_util::LowerCase(QHostInfo::localDomainName().toStdString());
            if (!domain.empty() && name.find('.') == std::string::npos) n.push_back(name + "." + domain);
        }
        return n;
    }();
    return names;
}

bool TicksSpam(const http::Params& params) {
    for (int n = 0; n <= http::kMaxSpamTicks; ++n)
        if (params.Has("spam" + std::to_string(n))) return true;
    return false;
}

}  // namespace

std::string TFrmhttp::HandleRequest(const std::string& requestText, const std::string& requestFile,
                                    int& deferMs, const std::string& remoteAddress) {
    deferMs = 0;
    const http::RequestHead head = http::ParseHead(requestText);
    // A page that reached us under a name of its own (DNS rebinding) gets
    // nothing of the mail.
    if (!http::HostAllowed(head.host, OwnNames()))
        return http::BuildResponse(RefusedPage("this server is not known by that name."), true, std::string());
    const bool isPost = head.method == "post";
    const std::string& path = head.path;
    const std::int64_t contentLength = isPost ? head.contentLength : http::kNoContentLength;
    // Parameters come from the request line, the Cookie lines and the body;
    // never from other header lines.
    const http::Params params = http::Params::OfRequest(requestText, head.multipart);
    auto param = [&](const char* name) { return params.Get(name); };
    auto lowerParam = [&](const char* name) { return qev_util::LowerCase(params.Get(name)); };
    // The uploaded file of an upload page, in lower case as those pages
    // read the request: for a POST other than "/safeaddresses" each "&"
    // starts a line of its own. Only the file is lowered, not the request.
    auto uploadedLines = [&] {
        std::string lower = qev_util::LowerCase(http::UploadedPart(requestText, "uploaded_file"));
        if (path == "/safeaddresses" || lower.find('&') == std::string::npos) return lower;
        std::string replaced;
        replaced.reserve(lower.size() + 64);
        std::size_t from = 0;
        for (std::size_t amp = lower.find('&'); amp != std::string::npos; amp = lower.find('&', from)) {
            replaced.append(lower, from, amp - from).append("\r\n");
            from = amp + 1;
        }
        replaced.append(lower, from, std::string::npos);
        return replaced;
    };

    // A page of another site must not act for the user through the browser:
    // whatever sends, deletes, moves or saves is refused when the browser
    // says the request came from elsewhere.
    const bool changes = isPost || path == "/send" || path == "/compose" || !lowerParam("inputtype").empty() ||
                         params.Has("restorefile") || params.Has("savefile") || !param("fullname").empty() ||
                         params.Has("deletefile") || params.Has("btndel") || params.Has("btnpw") ||
                         params.Has("btndelld") || params.Has("btnnewld") || TicksSpam(params);
    if (changes && http::CrossSite(head))
        return http::BuildResponse(RefusedPage("it came from a page of another site."), true, std::string());

    bool isHtml = true;
    bool sandbox = false;
    std::string charset = "ISO-8859-1";
    std::string cookie;
    std::string page;

    auto statusPage = [&] {
        cookie = "u=&p=";
        page = http::StatusPage();
    };
    // A login from the request's fields or its cookie, braked per remote
    // address; user gets the name as the users table holds it (web mail).
    auto login = [&](bool forAdmin, std::string& user, std::string& typed) {
        typed = param("user");
        if (typed.empty()) typed = param("u");
        std::string password = param("password");
        if (password.empty()) password = param("p");
        cookie = http::LoginCookie(typed, password);
        if (typed.empty()) return false;
        if (logins::Refused("Web", remoteAddress, typed)) {
            deferMs = http::kLoginBrakeDelayMs;
            return false;
        }
        auto adminAccepts = [&] {
            std::string login, adminPassword;
            AdminLoginEmpty(login, adminPassword);
            return !login.empty() && typed == login && password == adminPassword;
        };
        auto mailAccepts = [&](std::string& canonical) {
            return FrmServers != nullptr && FrmServers->CheckUserPassword(typed, password, nullptr, &canonical) &&
                   http::IsPlainName(canonical) && settings::IsSafeUserName(canonical);
        };
        std::string canonical;
        const bool ok = forAdmin ? adminAccepts() : mailAccepts(canonical);
        if (ok && !forAdmin) user = canonical;
        // The browser sends its cookie to every page: the web mail login
        // reaches the administration pages and the other way round. Such a
        // cookie, or one without a password, guesses nothing.
        const bool guess = !ok && !password.empty() && !(forAdmin ? mailAccepts(canonical) : adminAccepts());
        if (ok) logins::Succeeded(remoteAddress, typed);
        else if (guess && logins::Failed("Web", remoteAddress, typed)) deferMs = http::kLoginBrakeDelayMs;
        return ok;
    };

    const std::string attachFile = param("AttachFile");
    if (path == "/send") {
        if (events::Get().View().sendReceiveEnabled && mailsettings::Current()->allowSendRec) {
            events::Get().SendReceiveRequested(events::Cycle::Full);
            deferMs = 200;
            return std::string();
        }
        statusPage();
    } else if (path == "/spam") {
        page = http::SpamFrameset();
    } else if (path == "/safeaddresses") {
        const bool upload = isPost && contentLength < 100000;
        page = http::SafeAddressesPage(upload, upload ? uploadedLines() : std::string());
    } else if (!attachFile.empty()) {
        // Browsers send the name %-escaped: the length limit is the name's own.
        std::string name = path.size() > 1 ? details::UnescapeName(path.substr(1)).substr(0, 64) : std::string();
        std::string user, typed;
        const std::string dir = lowerParam("Dir");
        if (!name.empty()) {
            if (!login(false, user, typed)) {
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
        if (!login(false, user, typed)) {
            page = webmail::LoginPage(typed, false);
        } else {
            std::string dir = lowerParam("dir");
            if (dir != "websent" && dir != "webdeleted" && dir != "websaved" && dir != "settings") dir = "in";
            if (path == "/address") {
                // The upload form is multipart; any other POST brings no file.
                const bool upload = isPost && head.multipart;
                page = webmail::AddressBookPage(user, !param("cc").empty(), upload, upload ? uploadedLines() : std::string());
            } else if (path == "/attach") {
                page = webmail::AttachPage(user);
            } else if (path == "/compose") {
                page = webmail::ComposeRequest(user, dir, isPost, requestText, params, head.boundary, requestFile);
                if (page.find("Couldn't send email") != std::string::npos) {
                    page += "Request (Post length " + std::to_string(contentLength) + "):<BR>";
                    // The header block and at most a little of the body:
                    // the echo is for reading, not a copy of the upload.
                    for (const auto& l : http::EchoedRequestLines(requestText, 4096))
                        page += http::HtmlEscape(l) + "<BR>";
                    page += http::PageEnd;
                }
            } else {
                bool saved = webmail::ListActions(user, dir, params);
                page = path == "/webmail" ? webmail::WebmailFrameset()
                                          : webmail::WebmailListPage(user, dir,
                                                                     settings::IntFromText(param("StartFrom"), 1),
                                                                     saved);
            }
        }
    } else if (path == "/spamlist") {
        http::SpamListActions(params);
        page = http::SpamListPage();
    } else if (path == "/settings" || path == "/log") {
        std::string login_, adminPassword, user, typed;
        if (AdminLoginEmpty(login_, adminPassword)) {
            typed = param("user");
            if (typed.empty()) typed = param("u");
            std::string password = param("password");
            if (password.empty()) password = param("p");
            cookie = http::LoginCookie(typed, password);
            page = "Settings not available on browser - please see Remote setup in Tarnwick<BR>Click "
                   "<B>Back</B> on your browser.";
        } else if (!login(true, user, typed)) {
            page = webmail::LoginPage(typed, true);
        } else if (path == "/log") {
            page = http::LogText(lowerParam("file"), isHtml);
        } else {
            std::string pwUser, pwPassword, delUser, newEmail, newUser, delEmail, delLdUser;
            if (params.Has("btndel")) delUser = param("users_name");
            if (params.Has("btnpw")) {
                pwUser = param("users_name");
                pwPassword = param("users_pw");
            }
            if (params.Has("btndelld")) {
                delEmail = param("ld_email");
                delLdUser = param("ld_username");
            }
            if (params.Has("btnnewld")) {
                newEmail = param("ld_email");
                newUser = param("ld_username");
            }
            page = web_sets::SettingsPage(pwUser, pwPassword, delUser, newEmail, newUser, delEmail, delLdUser);
        }
    } else if (path == "/showmail") {
        const std::string dir = lowerParam("dir");
        const std::string email = lowerParam("email");
        bool spamFolder = dir == "spam1" || dir == "spam2";
        std::string user, typed;
        if (IsWebFolder(dir) && !login(false, user, typed)) {
            page = webmail::LoginPage(typed, false);
        } else {
            std::string file;
            if (http::IsPlainName(email) &&
                (spamFolder || (IsWebFolder(dir) && smtp::IsUserFile(email + ".dat", user))))
                file = platform::ResolveNoCase(smtp::StoreFolder(dir), email + ".dat");
            if (!file.empty() && platform::FileExists(file)) {
                details::GetMessageBody(file, isHtml, page);
                sandbox = isHtml;
                // The body goes labelled as what it is: UTF-8 when it is
                // that (as the preview window reads it), else converted to
                // UTF-8 from the charset the message declares for its text;
                // ISO-8859-1 only when it declares nothing the program knows.
                std::string message;
                if (http::IsUtf8Text(page)) {
                    charset = "UTF-8";
                } else if (!CharsetTables::IsValidUtf8(page) && details::LoadStoredMessage(file, message)) {
                    bool known = false;
                    const std::string declared = http::DeclaredTextCharset(message);
                    const auto cs = CharsetTables::CharsetOfName(declared, &known);
                    if (known && cs != CharsetTables::TCharset::ISO_8859_1) {
                        page = CharsetTables::ToUtf8(page, cs);
                        charset = "UTF-8";
                    }
                }
            } else {
                page = "Email no longer present - please refresh list";
            }
        }
    } else if (path == "/empty" || path == "/favicon.ico") {
        page.clear();
    } else {
        statusPage();
    }
    return http::BuildResponse(page, isHtml, cookie, sandbox, charset);
}
