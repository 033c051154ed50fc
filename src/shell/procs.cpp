// Shared procedures of the windows: status line and tray hint, the pumping
// delay, entry checks and small file and host helpers.
#include "shell/procs.h"

#include "codecs/qev_util.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "transport/globals.h"
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

namespace {

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

void Delay(int milliseconds) {
    // Measured on a monotonic clock, sleeping between events: a changed
    // wall clock cannot stretch the wait and the CPU is not spun.
    platform::PumpEventsFor(milliseconds);
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
    std::string lower = qev_util::LowerCase(text);
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

}  // namespace procs
