// Built-in web server: web mail, address book, spam pages, status page and
// remote administration for browsers on the office network.
//
// One request per connection. A connection's header block and form body
// are gathered in its own buffer across as many read events as they take
// (an upload's body goes to a request file under attach/ instead); once the
// request is whole it is dispatched, answered and the connection closed.
// Nothing waits inside an event, and every request is bounded in size, in
// time and in the work its parsing takes, so browsers cannot starve each
// other or the mail servers.
//
// The rest of the program reaches the server through Frmhttp:
// - CheckServerActive (re)opens or closes the listener from the settings
//   (the settings window's save calls it through setup::hooks);
// - TblAddress is the address book (address.dat).
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "tables/memtable.h"
#include "transport/table_owner.h"
#include "web/http_request.h"


namespace http {

// At most this many browsers are served at once; further connections are
// refused at accept, so that browsers cannot use up the program's file
// descriptors (the mail servers share them).
inline constexpr int kMaxConnections = 64;
// Of them, at most this many from one client address (platform::ClientAddress);
// a further one is answered "503 Service Unavailable" with a refusal page at
// once.
inline constexpr int kMaxClientConnections = 50;
// A connection whose header block has not ended by then is closed unanswered.
inline constexpr int kHeaderDeadlineMs = 15000;
// A POST without Content-Length is taken as complete after this quiet time.
inline constexpr int kNoLengthQuietMs = 250;
// A request whose body is still incomplete this long after its header
// block came is answered "408 Request Timeout" and never handed to a page:
// half a form must not be sent, saved or acted on, and a slow sender cannot
// hold a connection for ever.
inline constexpr int kRequestDeadlineMs = 60000;
// A login refused or failed after the free attempts (logins::LoginBrake)
// is answered this late.
inline constexpr int kLoginBrakeDelayMs = 3000;

// Spam page settings of the spam filter window.
struct SpamPageSettings {
    bool limited = true;   // CHBWebLimit
    int limit = 100;       // SpinWebCount
    bool bookmark = true;  // CHBWebBookmark
    bool oneLine = false;  // RbtOneLine
    int preview = 50;      // SpinPreview, percent
};
// The spam window's values; without that window, [Spam] of the settings
// file, where it keeps them.
SpamPageSettings CurrentSpamPageSettings();

// --- Requests ---------------------------------------------------------------

// The spooled multipart request in RequestFile without the data of its file
// fields (their part headers stay), so that a compose form with an
// attachment of megabytes is read into memory as its text fields only.
bool LoadRequestWithoutFiles(const std::string& RequestFile, const std::string& Boundary, std::string& Text);
// Stores the file of the form field "atchfile" of the request spooled in
// RequestFile as attach/<User>/<file name>. False when nothing was stored.
bool SaveUploadedAttachment(const std::string& RequestFile, const std::string& User,
                            const std::string& Boundary);
// The file-name part of an uploaded file's name, made safe to name a file
// in a user's attachment folder ("unknown.txt" when nothing is left).
std::string SafeUploadName(const std::string& name);

// --- Page building -----------------------------------------------------------

// Text for HTML: markup characters escaped, characters beyond ASCII of
// UTF-8 text written as numeric references (pages declare a Western
// charset, header values are UTF-8).
std::string HtmlEscape(const std::string& text);
// A URL query value or path piece: everything but letters, digits and
// "-._~" written as %XX.
std::string UrlEncode(const std::string& text);
// Text as the inside of a single-quoted script string within an HTML
// attribute.
std::string JsString(const std::string& text);
// The data of the uploaded file field Field of a multipart request (the
// text of the part, up to the next delimiter); of a plain request, its body.
std::string UploadedPart(const std::string& text, const std::string& field);
// title, onMouseOver and onMouseOut attributes that show Text as a hint.
std::string HintAttributes(const std::string& Text);
// "<HTML><HEAD><TITLE>..." through the STYLE block and "</HEAD>"; the
// Verdana variant for the status and login pages.
std::string PageHead(const std::string& title, bool verdana = false, const std::string& extraHead = "");
inline constexpr char PageEnd[] = "</BODY></HTML>";

// The whole HTTP response for a page.
std::string BuildResponse(const std::string& page, bool isHtml, const std::string& cookie,
                          bool sandbox = false, const std::string& charset = "ISO-8859-1");
// The same with another status line ("503 Service Unavailable") and extra
// header lines, each ending in CR LF.
std::string BuildStatusResponse(const std::string& status, const std::string& extraHeaders, const std::string& page,
                                bool isHtml = true, const std::string& cookie = std::string(), bool sandbox = false,
                                const std::string& charset = "ISO-8859-1");
// The cookie text of a login; characters that would end the value or the
// header are %-escaped, so the parameter lookup gives back what was typed.
std::string LoginCookie(const std::string& user, const std::string& password);

// --- Pages of the server itself ----------------------------------------------

std::string StatusPage();
std::string SpamFrameset();
std::string SpamListPage();
std::string SpamRows(const std::string& Folder, int& Count, int Limit, bool oneLine);
// RequestLines: the uploaded file's text, in lower case.
std::string SafeAddressesPage(bool IsUpload, const std::string& RequestLines);
// A log file as plain text; isHtml is cleared. Only the five logs are served.
std::string LogText(const std::string& FileName, bool& isHtml);
// The spam-list actions of a request (Delete, Save, ticked form). The
// ticked form names its messages Spam0 up to Spam<kMaxSpamTicks>.
inline constexpr int kMaxSpamTicks = 100;
void SpamListActions(const Params& request);
// The full path of a held spam message named by its key ("Spam1\name"),
// empty when the key names anything else.
std::string SpamKeyPath(const std::string& key);
// True for a message name (file name without ".dat") that can only name a
// file inside its folder.
bool IsPlainName(const std::string& name);

}  // namespace http

class TFrmhttp : public QObject {
    Q_OBJECT
public:
    explicit TFrmhttp(QObject* parent = nullptr);
    ~TFrmhttp() override;

    platform::TcpServer httpServer;
    std::string Memo1;         // scratch buffer of the /log page
    // address.dat: User, Name, Email; index ixUser. Its owner's rows: the
    // address book page changes them through tables::Addresses().
    TvdlMemTable& TblAddress;

    // Remote port of the request being handled; 0 when none.
    int LastHttpRemotePort = 0;

    // (Re)opens the listener on [Remote] Port while browser control is on,
    // closes it otherwise, and loads the address book.
    void CheckServerActive();
    // The port listened on; 0 when closed.
    int ListeningPort() const { return httpServer.Port(); }

    // Refuses connections beyond kMaxConnections.
    bool httpServerAccept(platform::TcpConnection& Socket);
    void httpServerClientConnect(platform::TcpConnection& Socket);
    void httpServerClientRead(platform::TcpConnection& Socket);
    void httpServerClientError(platform::TcpConnection& Socket, int& ErrorCode);

    // Dispatches one whole request from remoteAddress and returns the
    // response bytes (empty: no reply, or the status page after deferMs).
    // deferMs is set when the reply must wait that long (the start of a
    // Send/Recv cycle gets its moment first; a login after too many
    // failures is answered late).
    std::string HandleRequest(const std::string& requestText, const std::string& requestFile, int& deferMs,
                              const std::string& remoteAddress = std::string());

private:
    struct Connection;
    void LoadAddressBook();
    void Finish(const platform::TcpConnectionPtr& socket);
    void Answer(const platform::TcpConnectionPtr& socket);
    // The body did not come whole by the deadline: 408, nothing handled.
    void GiveUp(const platform::TcpConnectionPtr& socket);
    std::shared_ptr<Connection> StateOf(platform::TcpConnection& socket);
};

extern TFrmhttp* Frmhttp;
