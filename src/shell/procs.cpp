// Shared procedures: status line and tray hint, log files, the pumping delay,
// protocol-line splitting, entry checks and small file and host helpers.
#include "shell/procs.h"

#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "shell/globals.h"
#include "shell/logs.h"
#include "shell/main.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QToolButton>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace procs {

int LogSizeLimit = 5000;
bool LogClientActivity = true;
bool LogServerActivity = false;

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsServerLog(const std::string& fileName) {
    return Lower(fileName).find("svr") != std::string::npos;
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool minimizeAnimation = false;

}  // namespace

void SetStatus(const std::string& text, bool active) {
    if (FrmMain == nullptr) return;
    FrmMain->SetStatusLine(text, active);
    std::string hint;
    if (active) {
        hint = "Tarnwick: Active\r" + text;
    } else {
        hint = FrmMain->IdleTrayHint();
    }
    FrmMain->SetTrayHint(hint);
    // "Idle" means the cycle is over whichever way it ended, so the buttons
    // come back even when a caller passes it as an active text.
    if (text == "Idle") {
        FrmMain->BtnSendRec->setEnabled(true);
        FrmMain->BtnSendRec2->setEnabled(true);
    }
}

void WriteLog(const std::string& fileName, const std::string& line) {
    bool on = IsServerLog(fileName) ? LogServerActivity : LogClientActivity;
    if (!on) return;
    // A log line is worth less than the event that logs it: failures are
    // swallowed here on purpose.
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, line + "\r\n");
        ::close(fd);
    }
    // The viewer's pages are matched by the exact file name; a log written
    // under another spelling has no page.
    if (FrmLogs != nullptr && FrmLogs->isVisible()) FrmLogs->AddLine(fileName, line);
}

void TrimLogFile(const std::string& fileName) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) return;
    long long limit = std::max(0, LogSizeLimit);
    if (st.st_size <= limit) return;
    int in = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    std::string tail(static_cast<std::size_t>(limit), '\0');
    std::size_t got = 0;
    off_t from = st.st_size - limit;
    while (got < tail.size()) {
        ssize_t n = ::pread(in, tail.data() + got, tail.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(in);
    tail.resize(got);
    // The tail goes into ".new" and is renamed over the log, so the log is
    // never missing, not even for a moment.
    std::string tmp = fileName + ".new";
    ::unlink(tmp.c_str());
    int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return;
    bool ok = WriteAll(out, tail);
    ::close(out);
    if (!ok || ::rename(tmp.c_str(), fileName.c_str()) != 0) ::unlink(tmp.c_str());
}

void Delay(int milliseconds) {
    // Measured on a monotonic clock, sleeping between events: a changed
    // wall clock cannot stretch the wait and the CPU is not spun.
    platform::PumpEventsFor(milliseconds);
}

void SplitCommand(const std::string& line, std::string& command, std::string& argument) {
    std::string text;
    text.reserve(line.size());
    for (char c : line)
        if (c != '\r' && c != '\n') text += c;
    std::size_t blank = text.find(' ');
    if (blank == std::string::npos) {
        command = Lower(text);
        argument.clear();
    } else {
        command = Lower(text.substr(0, blank));
        argument = text.substr(blank + 1, 255);
    }
}

void ReplaceChar(const std::string& text, char character, const std::string& replacement,
                 std::string& result) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == character)
            out += replacement;
        else
            out += c;
    }
    result = std::move(out);
}

bool ValidateField(const std::string& text, bool checkCharacters, bool checkEmpty,
                   const std::string& fieldName) {
    std::string lower = Lower(text);
    if (checkCharacters) {
        for (char c : lower) {
            bool ok = c == '+' || c == '-' || c == '.' || c == '@' || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9');
            if (!ok) {
                platform::MessageBox("Illegal characters (only letters and digits please) in " +
                                         fieldName + ".",
                                     platform::MsgKind::Error, platform::MsgButtons::Ok);
                return true;
            }
        }
    }
    if (checkEmpty && text.empty()) {
        platform::MessageBox("Field " + fieldName + " cannot be empty.", platform::MsgKind::Error,
                             platform::MsgButtons::Ok);
        return true;
    }
    return false;
}

std::int64_t FileSizeOf(const std::string& fileName) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : 1024;
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1024;
    struct stat fst {};
    int rc = ::fstat(fd, &fst);
    ::close(fd);
    if (rc != 0 || fst.st_size < 0) return 1024;
    return fst.st_size;
}

void DeleteFiles(const std::string& folder, const std::string& mask) {
    platform::DeleteFiles(folder, mask);
}

void GetLocalIPList() {
    std::string list;
    for (const std::string& address : platform::LocalIPv4Addresses()) list += address + "\r";
    if (list.empty()) return;
    platform::MessageBox(list, platform::MsgKind::Information, platform::MsgButtons::Ok);
}

std::string GetComputerName() {
    std::string name = platform::ComputerName();
    if (name.size() > 255) name.resize(255);
    return name;
}

bool IsWin9x() { return false; }

std::string GetWindowsDir() {
    // The system's own configuration folder stands in for the Windows folder.
    return "/etc";
}

void FetchURL(const std::string& url, std::string& text) {
    if (QCoreApplication::instance() == nullptr) throw std::runtime_error("Unable to initialize Wininet");
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QString::fromStdString(url)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Tarnwick"));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(60000);
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    bool failed = reply->error() != QNetworkReply::NoError || status >= 400;
    QByteArray body = failed ? QByteArray() : reply->readAll();
    delete reply;
    if (failed) {
        throw std::runtime_error("Cannot open URL " + url);
    }
    // The body is read in blocks of 1025 bytes; a NUL ends the text of its block.
    text.clear();
    for (qsizetype at = 0; at < body.size(); at += 1025) {
        qsizetype len = std::min<qsizetype>(1025, body.size() - at);
        const char* p = body.constData() + at;
        const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(len)));
        text.append(p, nul ? static_cast<std::size_t>(nul - p) : static_cast<std::size_t>(len));
    }
}

void SetMinimizeAnimation(bool on) {
    // Linux desktops draw their own minimise effects and offer no switch for
    // them; the flag only keeps what was asked.
    minimizeAnimation = on;
}

void AnimateToTray(QWidget* form, bool toTray, bool forceAnimation) {
    // No caption animation is drawn: the window simply hides to, or returns
    // from, the tray.
    (void)form;
    (void)toTray;
    (void)forceAnimation;
}

void DebugTrace(const std::string& source, const std::string& party, const std::string& item,
                const std::string& note) {
    (void)source;
    (void)party;
    (void)item;
    (void)note;
}

}  // namespace procs
