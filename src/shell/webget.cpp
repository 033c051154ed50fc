// HTTP download component and its worker thread.
#include "shell/webget.h"

#include "codecs/qev_util.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/shell.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Blocks as the design reads them; each one is a progress report.
constexpr qint64 kBlock = 1025;

}  // namespace

namespace WebGet {

UrlParts SplitURL(const std::string& url) {
    UrlParts parts;
    std::string rest = url;
    std::string lower = qev_util::LowerCase(url);
    if (lower.rfind("https://", 0) == 0) {
        parts.secure = true;
        rest = url.substr(8);
    } else if (lower.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    }
    std::size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        parts.host = rest;
        parts.path = "/";
    } else {
        parts.host = rest.substr(0, slash);
        parts.path = rest.substr(slash);
    }
    return parts;
}

}  // namespace WebGet

// --- TWebGetThread -------------------------------------------------------------

TWebGetThread::TWebGetThread(const TWebGetRequest& request, QObject* parent)
    : QThread(parent), request_(request) {}

void TWebGetThread::Execute() {
    Result = false;
    Total = 0;
    Received = 0;
    Text.clear();
    FileName.clear();

    WebGet::UrlParts parts = WebGet::SplitURL(request_.URL);
    QUrl url(QString::fromStdString((parts.secure ? "https://" : "http://") + parts.host + parts.path));
    if (!url.isValid() || parts.host.empty()) return;
    if (!request_.UserName.empty()) url.setUserName(QString::fromStdString(request_.UserName));
    if (!request_.Password.empty()) url.setPassword(QString::fromStdString(request_.Password));

    QNetworkRequest req(url);
    if (!request_.Agent.empty())
        req.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(request_.Agent));
    if (!request_.AcceptTypes.empty())
        req.setRawHeader("Accept", QByteArray::fromStdString(request_.AcceptTypes));
    if (!request_.Referer.empty()) req.setRawHeader("Referer", QByteArray::fromStdString(request_.Referer));
    // The body's length is checked against Content-Length, which only holds
    // for a body sent as it is.
    req.setRawHeader("Accept-Encoding", "identity");
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                     request_.UseCache ? QNetworkRequest::PreferCache : QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, request_.UseCache);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A server that stops sending must not keep the download open for ever.
    req.setTransferTimeout(60000);

    int fd = -1;
    std::string part;
    if (!request_.FileName.empty()) {
        part = request_.FileName + ".part";
        fd = platform::OpenPrivate(part, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) return;
    }

    QNetworkAccessManager manager;
    QNetworkReply* reply = nullptr;
    if (!request_.PostData.empty()) {
        req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
        reply = manager.post(req, QByteArray::fromStdString(request_.PostData));
    } else {
        reply = manager.get(req);
    }

    bool writeFailed = false;
    auto drain = [&] {
        if (Total == 0) {
            QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid()) Total = length.toLongLong();
        }
        char block[kBlock];
        while (!stop_ && !writeFailed && reply->bytesAvailable() > 0) {
            qint64 n = reply->read(block, kBlock);
            if (n <= 0) break;
            if (fd >= 0) {
                if (!platform::WriteAll(fd, block, static_cast<std::size_t>(n))) writeFailed = true;
            } else if (request_.BinaryData) {
                Text.append(block, static_cast<std::size_t>(n));
            } else {
                // As text a NUL ends what the block contributes.
                const void* nul = std::memchr(block, '\0', static_cast<std::size_t>(n));
                Text.append(block, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block)
                                       : static_cast<std::size_t>(n));
            }
            Received += n;
            emit Progress(Total, Received);
        }
        if (stop_ || writeFailed) reply->abort();
    };

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer stopCheck;
    QObject::connect(&stopCheck, &QTimer::timeout, &loop, [&] {
        if (stop_) reply->abort();
    });
    stopCheck.start(50);
    if (!reply->isFinished()) loop.exec();
    stopCheck.stop();
    drain();

    int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    bool ok = reply->error() == QNetworkReply::NoError && !stop_ && !writeFailed && status >= 200 &&
              status < 300 && (Total <= 0 || Received == Total);
    delete reply;

    if (fd >= 0) {
        // On disk before it takes the real name: a crash never leaves a
        // short file under FileName.
        if (ok && ::fsync(fd) != 0) ok = false;
        if (::close(fd) != 0) ok = false;
        if (ok && ::rename(part.c_str(), request_.FileName.c_str()) == 0) {
            platform::SyncPath(platform::FolderOf(request_.FileName));
            FileName = request_.FileName;
        } else {
            ok = false;
            ::unlink(part.c_str());
        }
    }
    Result = ok;
}

// --- TWebGet -------------------------------------------------------------------

TWebGet::TWebGet(QObject* parent) : QObject(parent) {}

TWebGet::~TWebGet() {
    if (thread_ != nullptr) {
        // Nobody is left to hear the result.
        thread_->disconnect(this);
        thread_->Stop();
        thread_->wait();
        delete thread_;
        thread_ = nullptr;
    }
}

void TWebGet::GetFile() {
    if (thread_ != nullptr) return;
    TWebGetRequest request;
    request.URL = URL;
    request.Agent = Agent;
    request.AcceptTypes = AcceptTypes;
    request.UserName = UserName;
    request.Password = Password;
    request.Referer = Referer;
    request.PostData = PostData;
    request.FileName = FileName;
    request.BinaryData = BinaryData;
    request.UseCache = UseCache;

    QNetworkProxyFactory::setUseSystemConfiguration(true);
    // Owned by the component as well, so a thread whose done event never
    // ran still goes with it.
    auto* thread = new TWebGetThread(request, this);
    thread_ = thread;
    // Both arrive through the main thread's event queue, progress first.
    connect(thread, &TWebGetThread::Progress, this,
            [this](qint64 total, qint64 soFar) {
                if (OnProgress) OnProgress(this, total, soFar);
            },
            Qt::QueuedConnection);
    connect(thread, &QThread::finished, this, [this, thread] { ThreadDone(thread); }, Qt::QueuedConnection);
    thread->start();

    if (WaitThread) {
        while (thread_ == thread) platform::PumpEventsFor(50);
    }
}

void TWebGet::ThreadDone(TWebGetThread* thread) {
    if (thread != thread_) return;
    thread->wait();
    // The component stays busy while its events run, so a handler that
    // waits (pumping messages) cannot have a second download started under
    // it.
    if (!thread->Result) {
        if (OnError) OnError(this);
    } else if (!thread->FileName.empty()) {
        if (OnDoneFile) OnDoneFile(this, thread->FileName, thread->Received);
    } else {
        if (OnDoneString) OnDoneString(this, thread->Text);
    }
    if (thread_ == thread) thread_ = nullptr;
    thread->deleteLater();
}
