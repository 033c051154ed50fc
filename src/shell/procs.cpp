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
#include <QGuiApplication>
#include <QPointer>
#include <QRubberBand>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
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

namespace {

constexpr int kTrayFrames = 10;
constexpr int kTrayFrameMs = 15;
constexpr int kTrayCornerSize = 32;

// The outline of the animation that runs now, if one does.
QPointer<QRubberBand> trayOutline;

// Where the tray is: its icon when the desktop tells, else a square in the
// screen corner next to the panel (top right beside a top panel, bottom left
// beside a left one, bottom right otherwise).
QRect TrayRect(const QSystemTrayIcon& tray, const QWidget& form) {
    const QRect icon = tray.geometry();
    if (icon.isValid() && !icon.isEmpty()) return icon;
    QScreen* screen = form.screen() != nullptr ? form.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return QRect();
    const QRect all = screen->geometry();
    const QRect free = screen->availableGeometry();
    const QSize square(kTrayCornerSize, kTrayCornerSize);
    if (free.top() > all.top())
        return QRect(QPoint(all.right() - kTrayCornerSize + 1, all.top()), square);
    if (free.left() > all.left())
        return QRect(QPoint(all.left(), all.bottom() - kTrayCornerSize + 1), square);
    return QRect(all.bottomRight() - QPoint(kTrayCornerSize - 1, kTrayCornerSize - 1), square);
}

QRect Between(const QRect& from, const QRect& to, int frame) {
    auto at = [frame](int a, int b) { return a + (b - a) * frame / kTrayFrames; };
    return QRect(QPoint(at(from.left(), to.left()), at(from.top(), to.top())),
                 QSize(at(from.width(), to.width()), at(from.height(), to.height())));
}

}  // namespace

void AnimateToTray(QWidget* form, bool toTray, bool forceAnimation) {
    // The drawing needs no system switch here, so there is nothing to force.
    (void)forceAnimation;
    if (form == nullptr || qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
    QSystemTrayIcon* tray = FrmMain != nullptr ? FrmMain->TrayIcon1 : nullptr;
    if (tray == nullptr || !tray->isVisible()) return;
    const QRect trayRect = TrayRect(*tray, *form);
    const QRect formRect = form->frameGeometry();
    if (!trayRect.isValid() || !formRect.isValid()) return;
    const QRect from = toTray ? formRect : trayRect;
    const QRect to = toTray ? trayRect : formRect;

    // One outline at a time: a new minimise or restore takes over.
    delete trayOutline.data();
    // A frameless top-level outline, moved by a timer: the caller and every
    // other event go on while it runs, and it removes itself at the end.
    auto* outline = new QRubberBand(QRubberBand::Rectangle);
    outline->setObjectName("TrayAnimation");
    outline->setAttribute(Qt::WA_TransparentForMouseEvents);
    outline->setAttribute(Qt::WA_ShowWithoutActivating);
    outline->setGeometry(from);
    outline->show();
    trayOutline = outline;
    // Nothing outlives the window it stands for, or the program.
    QObject::connect(form, &QObject::destroyed, outline, [outline] { delete outline; });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, outline,
                     [outline] { delete outline; });
    auto* timer = new QTimer(outline);
    auto frame = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, outline, [outline, timer, frame, from, to] {
        if (++*frame > kTrayFrames) {
            timer->stop();
            outline->deleteLater();
            return;
        }
        outline->setGeometry(Between(from, to, *frame));
    });
    timer->start(kTrayFrameMs);
}

}  // namespace procs
