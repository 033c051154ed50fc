// HTTP downloads in a worker thread: TWebGet is the component the windows
// hold (request parameters and events); TWebGetThread does one download and
// hands progress and its result back to the main thread, where every event
// of the component fires.
//
// A download into a file goes to FileName + ".part" first and is renamed to
// FileName only when the whole body arrived with a success status, so
// FileName is either absent or the complete download.
#pragma once

#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class TWebGet;

// What the worker needs, copied from the component when a download starts.
struct TWebGetRequest {
    std::string URL;
    std::string Agent;
    std::string AcceptTypes;
    std::string UserName;
    std::string Password;
    std::string Referer;
    std::string PostData;
    std::string FileName;
    bool BinaryData = false;
    bool UseCache = false;
};

class TWebGetThread : public QThread {
    Q_OBJECT
public:
    explicit TWebGetThread(const TWebGetRequest& request, QObject* parent = nullptr);

    // Asks the download to end; it ends as failed.
    void Stop() { stop_ = true; }

    // The download itself; runs in the thread.
    void Execute();

    // Results: valid once the thread has finished.
    bool Result = false;
    std::int64_t Total = 0;     // Content-Length; 0 when the server sent none
    std::int64_t Received = 0;  // body bytes read
    std::string Text;           // the body, when no file was asked for
    std::string FileName;       // the file written, when one was asked for

signals:
    void Progress(qint64 total, qint64 soFar);

protected:
    void run() override { Execute(); }

private:
    TWebGetRequest request_;
    std::atomic<bool> stop_{false};
};

class TWebGet : public QObject {
    Q_OBJECT
public:
    explicit TWebGet(QObject* parent = nullptr);
    ~TWebGet() override;

    // Request.
    std::string URL;
    std::string Agent;
    std::string AcceptTypes;
    bool BinaryData = false;  // text result: true keeps NUL bytes
    bool UseCache = false;    // false: always fetched fresh
    bool WaitThread = false;  // true: GetFile returns when the download has ended
    std::string FileName;     // target file; empty: the body is delivered as text
    std::string UserName;
    std::string Password;
    std::string Referer;
    std::string PostData;     // not empty: POST with this body as text/xml

    // Events, all on the main thread.
    std::function<void(TWebGet* Sender, std::int64_t total, std::int64_t soFar)> OnProgress;
    std::function<void(TWebGet* Sender, const std::string& fileName, std::int64_t fileSize)> OnDoneFile;
    std::function<void(TWebGet* Sender, const std::string& text)> OnDoneString;
    std::function<void(TWebGet* Sender)> OnError;

    // Starts a download; does nothing while one runs.
    void GetFile();
    // True from GetFile until the done events have returned.
    bool Busy() const { return thread_ != nullptr; }

private:
    void ThreadDone(TWebGetThread* thread);

    TWebGetThread* thread_ = nullptr;
};

namespace WebGet {

// The URL split as requests are addressed: a leading "http://" or
// "https://" (any case) removed, the host up to the first "/" (a port kept
// with it), the path from that "/" on ("/" when there is none).
struct UrlParts {
    bool secure = false;
    std::string host;
    std::string path;
};
UrlParts SplitURL(const std::string& url);

}  // namespace WebGet
