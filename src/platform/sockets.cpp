// TCP server, connections and client over Qt's sockets; see sockets.h for
// the rules the callers rely on.
#include "platform/sockets.h"
#include "platform/exceptions.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <deque>

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace platform {
namespace {

// A connection asked to close whose peer never takes the rest of the output
// would otherwise hang in the closing state for good.
constexpr int kCloseLingerMs = 30000;
// What Qt reads ahead from a connection before it waits for us to take it.
constexpr qint64 kReadAhead = 256 * 1024;
// Retry of a paused accept while the process is out of descriptors.
constexpr int kAcceptRetryMs = 500;

int ClassicCode(QAbstractSocket::SocketError e) {
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError: return sockerr::ConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError: return sockerr::ConnectionReset;
    case QAbstractSocket::HostNotFoundError: return sockerr::HostNotFound;
    case QAbstractSocket::SocketAccessError: return sockerr::AccessDenied;
    case QAbstractSocket::SocketResourceError: return sockerr::NoBufferSpace;
    case QAbstractSocket::SocketTimeoutError: return sockerr::TimedOut;
    case QAbstractSocket::DatagramTooLargeError: return sockerr::MessageTooLong;
    case QAbstractSocket::NetworkError: return sockerr::NetworkDown;
    case QAbstractSocket::AddressInUseError: return sockerr::AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError: return sockerr::AddressNotAvailable;
    case QAbstractSocket::UnsupportedSocketOperationError: return sockerr::OperationNotSupported;
    default: return sockerr::Unknown;
    }
}

std::string AddressText(const QHostAddress& a) {
    bool isV4 = false;
    quint32 v4 = a.toIPv4Address(&isV4);
    if (isV4) return QHostAddress(v4).toString().toStdString();
    return a.toString().toStdString();
}

std::string ToStd(const QByteArray& b) { return std::string(b.constData(), static_cast<size_t>(b.size())); }

void Post(QObject* ctx, std::function<void()> fn) {
    QMetaObject::invokeMethod(ctx, std::move(fn), Qt::QueuedConnection);
}

// Stops every signal of the socket reaching us and lets Qt delete it once
// control is back in the event loop (we may be inside one of its signals).
void Discard(QTcpSocket* s, bool abort) {
    if (!s) return;
    QObject::disconnect(s, nullptr, nullptr, nullptr);
    if (abort) s->abort();
    s->deleteLater();
}

// Closes after the output is written, then deletes the socket; no signal
// reaches the caller any more.
void CloseQuietly(QTcpSocket* s) {
    if (!s) return;
    QObject::disconnect(s, nullptr, nullptr, nullptr);
    if (s->state() != QAbstractSocket::ConnectedState) {
        s->abort();
        s->deleteLater();
        return;
    }
    QPointer<QTcpSocket> guard(s);
    QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    QTimer::singleShot(kCloseLingerMs, s, [guard] {
        if (guard) {
            guard->abort();
            guard->deleteLater();
        }
    });
    s->disconnectFromHost();
}

std::atomic<std::uint64_t> g_nextConnectionId{1};

// Calls a handler with an exception barrier. Our events are raised from
// inside Qt's socket code, which is built without exception cleanups: an
// exception unwinding through it leaves the socket's internal flags set and
// its events silenced for good. So nothing may escape this far.
template <typename Fn, typename... Args>
void Raise(const Fn& handler, Args&&... args) {
    if (!handler) return;
    Fn copy = handler;  // the handler may replace or destroy its own std::function
    try {
        copy(std::forward<Args>(args)...);
    } catch (...) {
        HandleException(std::current_exception());
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection

struct TcpConnection::Impl {
    TcpServer* server = nullptr;  // nulled when the server object goes away
    QTcpSocket* socket = nullptr;
    QObject ctx;                  // receiver of deferred work; dies with us
    std::uint64_t id = 0;
    std::any userData;
    std::string remoteAddress;
    std::string client;           // ClientAddress(remoteAddress)
    int remotePort = 0, localPort = 0;
    bool closing = false;         // Close/Abort called or server closed
    bool ended = false;           // the socket is gone
    bool silent = false;          // server destroyed: no events at all
    bool announced = false;       // got OnClientConnect
    bool draining = false;        // the peer closed; its last input is still being taken
    std::uint64_t queued = 0, written = 0;
    struct Waiter {
        std::uint64_t seq;
        std::uint64_t target;
        std::function<void()> fn;
        std::chrono::steady_clock::time_point deadline;
    };
    std::deque<Waiter> waiters;
    std::uint64_t nextSeq = 1;
    TcpConnection* self = nullptr;
    // One timer per connection for the longest waits, armed for the earliest
    // deadline: a timer object per wait cost a POP3 server at full load a
    // tenth of its time, and most waits end early when the output leaves.
    QTimer* waitTimer = nullptr;
    std::chrono::steady_clock::time_point armedFor;

    TcpConnectionPtr Keep() { return self->shared_from_this(); }

    // Runs waiters up to and including seq (0: only those flushed already).
    void RunWaiters(std::uint64_t upToSeq, bool all) {
        auto keep = Keep();
        while (!waiters.empty()) {
            Waiter& w = waiters.front();
            if (!all && w.target > written && w.seq > upToSeq) break;
            auto fn = std::move(w.fn);
            waiters.pop_front();
            if (silent) continue;
            Raise(fn);
        }
    }

    void ArmWaitTimer(std::chrono::steady_clock::time_point deadline) {
        const auto now = std::chrono::steady_clock::now();
        if (!waitTimer) {
            waitTimer = new QTimer(&ctx);
            waitTimer->setSingleShot(true);
            waitTimer->setTimerType(Qt::PreciseTimer);
            QObject::connect(waitTimer, &QTimer::timeout, &ctx, [this] { WaitTimerFired(); });
        } else if (waitTimer->isActive() && armedFor <= deadline) {
            return;  // fires first anyway and re-arms for this one
        }
        armedFor = deadline;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        waitTimer->start(static_cast<int>(std::max<long long>(0, ms)));
    }

    void WaitTimerFired() {
        const auto now = std::chrono::steady_clock::now();
        std::uint64_t due = 0;
        for (const Waiter& w : waiters)
            if (w.deadline <= now) due = w.seq;
        auto keep = Keep();
        if (due) RunWaiters(due, false);
        if (waiters.empty()) return;
        auto next = waiters.front().deadline;
        for (const Waiter& w : waiters) next = std::min(next, w.deadline);
        ArmWaitTimer(next);
    }

    void Finish(bool abort);
    void PeerClosed();
    void Drain(int stalls);
};

TcpConnection::TcpConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    impl_->self = this;
}

TcpConnection::~TcpConnection() {
    if (impl_ && impl_->socket) Discard(impl_->socket, true);
}

void TcpConnection::SendText(const std::string& data) {
    Impl& d = *impl_;
    // A peer that has closed takes no more; what it sent is still handled.
    if (d.closing || d.ended || d.draining || !d.socket || data.empty()) return;
    d.queued += data.size();
    d.socket->write(data.data(), static_cast<qint64>(data.size()));
}

std::string TcpConnection::ReceiveText() {
    Impl& d = *impl_;
    if (!d.socket) return std::string();
    return ToStd(d.socket->readAll());
}

std::string TcpConnection::ReceiveText(std::size_t maxBytes) {
    Impl& d = *impl_;
    if (!d.socket) return std::string();
    return ToStd(d.socket->read(static_cast<qint64>(maxBytes)));
}

std::int64_t TcpConnection::BytesAvailable() const {
    return impl_->socket ? static_cast<std::int64_t>(impl_->socket->bytesAvailable()) : 0;
}

std::int64_t TcpConnection::PendingOutput() const {
    return impl_->socket ? static_cast<std::int64_t>(impl_->socket->bytesToWrite()) : 0;
}

std::string TcpConnection::RemoteAddress() const { return impl_->remoteAddress; }
int TcpConnection::RemotePort() const { return impl_->remotePort; }
int TcpConnection::LocalPort() const { return impl_->localPort; }
bool TcpConnection::Connected() const { return !impl_->closing && !impl_->ended; }
std::uint64_t TcpConnection::Id() const { return impl_->id; }
std::any& TcpConnection::UserData() { return impl_->userData; }
TcpServer* TcpConnection::Server() const { return impl_->server; }

void TcpConnection::Close() {
    Impl& d = *impl_;
    if (d.closing || d.ended) return;
    d.closing = true;
    if (d.socket->state() != QAbstractSocket::ConnectedState) {
        d.Finish(true);
        return;
    }
    QPointer<QTcpSocket> guard(d.socket);
    QTimer::singleShot(kCloseLingerMs, &d.ctx, [this, guard] {
        if (guard && !impl_->ended) impl_->Finish(true);
    });
    // May report the disconnect at once when nothing is left to write;
    // Finish defers everything it raises.
    d.socket->disconnectFromHost();
}

void TcpConnection::Abort() {
    Impl& d = *impl_;
    if (d.ended) return;
    d.closing = true;
    d.Finish(true);
}

void TcpConnection::WhenFlushed(std::function<void()> continuation, int maxMilliseconds) {
    Impl& d = *impl_;
    const std::uint64_t seq = d.nextSeq++;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, maxMilliseconds));
    d.waiters.push_back({seq, d.queued, std::move(continuation), deadline});
    if (d.ended || d.written >= d.queued) {
        Post(&d.ctx, [this] { impl_->RunWaiters(0, impl_->ended); });
        return;
    }
    d.ArmWaitTimer(deadline);
}

// ---------------------------------------------------------------------------
// Server

struct TcpServer::Impl {
    TcpServer* owner = nullptr;
    std::unique_ptr<QTcpServer> listener;
    std::vector<TcpConnectionPtr> connections;
    std::string error;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    int maxConnections = 0;
    std::string busyReply;
    int maxPerClient = 0;
    std::string clientBusyReply;
    bool acceptPaused = false;
    QTimer acceptRetry;

    void PauseAccepting() {
        if (!listener) return;
        listener->pauseAccepting();
        acceptPaused = true;
        acceptRetry.start(kAcceptRetryMs);
    }
    // descriptorFreed: one of our connections ended, so the next accept has
    // a descriptor (and the log a file to write to).
    void ResumeAccepting(bool descriptorFreed) {
        if (!acceptPaused || !listener) return;
        acceptPaused = false;
        acceptRetry.stop();
        listener->resumeAccepting();
        if (descriptorFreed)
            Raise(owner->OnAcceptTrouble, std::string("Out of file descriptors: accepting was paused until now"));
        // Connections that waited meanwhile are taken now.
        QTimer::singleShot(0, listener.get(), [this] { Accept(); });
    }

    void Forget(TcpConnection* c) {
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if (it->get() == c) {
                connections.erase(it);
                return;
            }
        }
    }

    void Accept();
    void Wire(const TcpConnectionPtr& conn);
};

TcpServer::Impl& TcpServer::impl() { return *impl_; }

TcpServer::TcpServer() : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->acceptRetry.setSingleShot(true);
    Impl* d = impl_.get();
    QObject::connect(&d->acceptRetry, &QTimer::timeout, [d] { d->ResumeAccepting(false); });
}

TcpServer::~TcpServer() {
    *impl_->alive = false;
    if (impl_->listener) {
        impl_->listener->close();
        // We may be inside its newConnection signal.
        impl_->listener.release()->deleteLater();
    }
    for (auto& c : impl_->connections) {
        auto& d = c->impl();
        d.silent = true;
        d.server = nullptr;
        d.waiters.clear();
        d.Finish(true);
    }
    impl_->connections.clear();
}

OpenResult TcpServer::Open(int port, const std::string& bindAddress) {
    Close();
    impl_->error.clear();
    QHostAddress address(QHostAddress::Any);
    if (!bindAddress.empty()) {
        if (!address.setAddress(QString::fromStdString(bindAddress))) {
            impl_->error = "not a numeric address: " + bindAddress;
            return OpenResult::AddressNotAvailable;
        }
    }
    if (port < 0 || port > 65535) {
        impl_->error = "port out of range: " + std::to_string(port);
        return OpenResult::Failed;
    }
    auto listener = std::make_unique<QTcpServer>();
    listener->setListenBacklogSize(ListenBacklog());
    if (!listener->listen(address, static_cast<quint16>(port))) {
        impl_->error = listener->errorString().toStdString();
        switch (listener->serverError()) {
        case QAbstractSocket::AddressInUseError: return OpenResult::AddressInUse;
        case QAbstractSocket::SocketAddressNotAvailableError: return OpenResult::AddressNotAvailable;
        case QAbstractSocket::SocketAccessError: return OpenResult::AccessDenied;
        default: return OpenResult::Failed;
        }
    }
    Impl* d = impl_.get();
    QObject::connect(listener.get(), &QTcpServer::newConnection, listener.get(), [d] { d->Accept(); });
    QObject::connect(listener.get(), &QTcpServer::acceptError, listener.get(),
                     [d](QAbstractSocket::SocketError) {
                         // Out of descriptors (or buffers): the pending
                         // connection stays queued; accepting again at once
                         // would only fail again, so wait for one to free.
                         d->PauseAccepting();
                     });
    impl_->listener = std::move(listener);
    impl_->acceptPaused = false;
    impl_->acceptRetry.stop();
    return OpenResult::Ok;
}

void TcpServer::SetMaxConnections(int count, const std::string& busyReply) {
    impl_->maxConnections = std::max(0, count);
    impl_->busyReply = busyReply;
}

void TcpServer::SetMaxConnectionsPerClient(int count, const std::string& busyReply) {
    impl_->maxPerClient = std::max(0, count);
    impl_->clientBusyReply = busyReply;
}

bool TcpServer::AcceptPaused() const { return impl_->acceptPaused; }

void TcpServer::Close() {
    impl_->acceptRetry.stop();
    impl_->acceptPaused = false;
    if (impl_->listener) {
        impl_->listener->close();
        // We may be inside its newConnection signal.
        impl_->listener.release()->deleteLater();
    }
    auto conns = impl_->connections;
    for (auto& c : conns) c->Abort();
}

bool TcpServer::Active() const { return impl_->listener && impl_->listener->isListening(); }

int TcpServer::Port() const { return Active() ? impl_->listener->serverPort() : 0; }

std::string TcpServer::ErrorText() const { return impl_->error; }

std::vector<TcpConnectionPtr> TcpServer::Connections() const {
    std::vector<TcpConnectionPtr> out;
    for (auto& c : impl_->connections)
        if (!c->impl().ended) out.push_back(c);
    return out;
}

void TcpServer::Impl::Accept() {
    std::weak_ptr<bool> guard = alive;
    while (listener && listener->hasPendingConnections()) {
        QTcpSocket* s = listener->nextPendingConnection();
        if (!s) break;
        s->setParent(nullptr);
        s->setReadBufferSize(kReadAhead);
        const std::string who = AddressText(s->peerAddress());
        const std::string client = ClientAddress(who);
        const std::string* reply = &busyReply;
        std::string why;
        if (maxConnections > 0 && static_cast<int>(connections.size()) >= maxConnections) {
            why = std::to_string(maxConnections) + " connections already";
        } else if (maxPerClient > 0 &&
                   std::count_if(connections.begin(), connections.end(), [&](const TcpConnectionPtr& c) {
                       return !c->impl().ended && c->impl().client == client;
                   }) >= maxPerClient) {
            reply = &clientBusyReply;
            why = std::to_string(maxPerClient) + " connections from that address already";
        }
        if (!why.empty()) {
            if (!reply->empty()) s->write(reply->data(), static_cast<qint64>(reply->size()));
            CloseQuietly(s);
            Raise(owner->OnAcceptTrouble, "Connection from " + who + " turned away: " + why);
            if (guard.expired()) return;
            continue;
        }
        auto d = std::make_unique<TcpConnection::Impl>();
        d->server = owner;
        d->socket = s;
        d->id = g_nextConnectionId++;
        d->remoteAddress = who;
        d->client = client;
        d->remotePort = s->peerPort();
        d->localPort = s->localPort();
        auto conn = std::make_shared<TcpConnection>(std::move(d));
        if (auto filter = owner->OnAccept) {
            bool ok = false;  // a filter that fails refuses
            try {
                ok = filter(*conn);
            } catch (...) {
                HandleException(std::current_exception());
            }
            if (guard.expired()) {
                conn->impl().silent = true;
                conn->impl().Finish(true);
                return;
            }
            if (!ok) {
                conn->impl().silent = true;
                conn->impl().Finish(true);
                continue;
            }
        }
        Wire(conn);
        connections.push_back(conn);
        conn->impl().announced = true;
        Raise(owner->OnClientConnect, *conn);
        if (guard.expired()) return;
        auto& ci = conn->impl();
        if (!ci.ended && !ci.closing && ci.socket && ci.socket->bytesAvailable() > 0) {
            Post(&ci.ctx, [this, conn, guard] {
                if (guard.expired()) return;
                auto& c = conn->impl();
                if (c.closing || c.ended || !c.socket || c.socket->bytesAvailable() == 0) return;
                Raise(owner->OnClientRead, *conn);
            });
        }
    }
}

void TcpServer::Impl::Wire(const TcpConnectionPtr& conn) {
    TcpConnection* c = conn.get();
    TcpConnection::Impl* ci = &conn->impl();
    QTcpSocket* s = ci->socket;
    QObject::connect(s, &QTcpSocket::readyRead, &ci->ctx, [ci, c] {
        if (ci->closing || ci->ended || ci->silent || !ci->server) return;
        auto keep = ci->Keep();
        Raise(ci->server->OnClientRead, *c);
    });
    QObject::connect(s, &QTcpSocket::bytesWritten, &ci->ctx, [ci](qint64 n) {
        ci->written += static_cast<std::uint64_t>(n);
        // Deferred: Qt may report progress inside our own write call.
        if (!ci->waiters.empty()) Post(&ci->ctx, [ci] { ci->RunWaiters(0, false); });
    });
    QObject::connect(s, &QTcpSocket::errorOccurred, &ci->ctx, [ci, c](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError) {
            // An orderly close by the peer; disconnected() says the rest.
            if (ci->socket && ci->socket->state() == QAbstractSocket::UnconnectedState) ci->PeerClosed();
            return;
        }
        const int code = ClassicCode(e);
        if (!ci->closing && !ci->ended && !ci->silent && ci->server) {
            auto keep = ci->Keep();
            ci->closing = true;
            Post(&ci->ctx, [ci, c, code, keep] {
                if (ci->silent || !ci->server) return;
                Raise(ci->server->OnClientError, *c, code);
            });
        }
        // Not aborted here: we are inside the socket's own signal; deleting
        // it later closes it.
        ci->Finish(false);
    });
    QObject::connect(s, &QTcpSocket::disconnected, &ci->ctx, [ci] { ci->PeerClosed(); });
}

// Handlers take input in bites, so the peer's last words may still wait in
// the socket when it closes (a client that sends its commands and shuts its
// side): they are handed over before the connection ends.
void TcpConnection::Impl::PeerClosed() {
    if (ended || draining) return;
    if (closing || silent || !server || !socket || socket->bytesAvailable() == 0) {
        Finish(false);
        return;
    }
    draining = true;
    Drain(0);
}

void TcpConnection::Impl::Drain(int stalls) {
    // A handler that waits for a later turn takes nothing now; one that
    // takes nothing for long is done with the input.
    constexpr int kMaxStalls = 400;
    QTimer::singleShot(stalls ? 5 : 0, &ctx, [this, stalls] {
        if (ended) return;
        if (closing || silent || !server || !socket || socket->bytesAvailable() == 0 || stalls > kMaxStalls) {
            Finish(false);
            return;
        }
        auto keep = Keep();
        const qint64 before = socket->bytesAvailable();
        Raise(server->OnClientRead, *self);
        if (ended) return;
        Drain(socket && socket->bytesAvailable() == before ? stalls + 1 : 0);
    });
}

void TcpConnection::Impl::Finish(bool abort) {
    if (ended) return;
    ended = true;
    closing = true;
    QTcpSocket* s = socket;
    socket = nullptr;
    Discard(s, abort);
    if (silent) return;
    auto keep = Keep();
    Post(&ctx, [this, keep] {
        RunWaiters(0, true);
        TcpServer* srv = server;
        if (silent || !srv) return;
        if (announced) {
            announced = false;
            Raise(srv->OnClientDisconnect, *self);
        }
        // The server may be gone now (deleted in the handler).
        if (server) {
            server->impl().Forget(self);
            // A descriptor is free again.
            server->impl().ResumeAccepting(true);
        }
    });
}

// ---------------------------------------------------------------------------
// Addresses and limits

bool IsLocalNetworkAddress(const std::string& address) {
    QHostAddress a;
    if (address.empty() || !a.setAddress(QString::fromStdString(address))) return false;
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    if (isV4) a = QHostAddress(v4);
    static const char* const networks[] = {"127.0.0.0/8",    "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",
                                           "169.254.0.0/16", "::1/128",    "fc00::/7",      "fe80::/10"};
    for (const char* n : networks) {
        const auto subnet = QHostAddress::parseSubnet(QString::fromLatin1(n));
        if (a.isInSubnet(subnet)) return true;
    }
    return false;
}

std::string ClientAddress(const std::string& address) {
    QHostAddress a;
    if (!a.setAddress(QString::fromStdString(address))) return address;
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    if (isV4) a = QHostAddress(v4);
    if (a.isLoopback()) return "loopback";
    if (isV4) return a.toString().toStdString();
    Q_IPV6ADDR bytes = a.toIPv6Address();
    for (int i = 8; i < 16; ++i) bytes[i] = 0;
    return QHostAddress(bytes).toString().toStdString() + "/64";
}

long RaiseDescriptorLimit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    if (rl.rlim_cur < rl.rlim_max) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    return rl.rlim_cur == RLIM_INFINITY ? LONG_MAX : static_cast<long>(rl.rlim_cur);
}

int ListenBacklog() {
    // The kernel cuts any larger value down to net.core.somaxconn.
    int value = SOMAXCONN;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        int v = 0;
        if (std::fscanf(f, "%d", &v) == 1 && v > 0) value = v;
        std::fclose(f);
    }
    return value;
}

// ---------------------------------------------------------------------------
// Client

struct TcpClient::Impl {
    TcpClient* owner = nullptr;
    std::string host, address;
    int port = 0;
    int connectTimeout = 0;
    QObject ctx;
    QTcpSocket* socket = nullptr;
    QTimer connectTimer;
    std::uint64_t generation = 0;  // events of an earlier socket are stale
    bool closing = false;

    // Runs fn from the event loop, unless the socket it is about has been
    // replaced or closed by then.
    void Later(std::function<void()> fn) {
        const std::uint64_t gen = generation;
        Post(&ctx, [this, gen, fn = std::move(fn)] {
            if (gen != generation || closing) return;
            fn();
        });
    }

    void Drop(bool abort) {
        connectTimer.stop();
        ++generation;
        QTcpSocket* s = socket;
        socket = nullptr;
        Discard(s, abort);
    }

    void Fail(int code, const std::string& text) {
        Drop(true);
        const std::uint64_t gen = generation;
        Post(&ctx, [this, gen, code, text] {
            if (gen != generation || closing) return;
            Raise(owner->OnError, code, text);
        });
    }
};

TcpClient::TcpClient() : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->connectTimer.setSingleShot(true);
    Impl* d = impl_.get();
    QObject::connect(&d->connectTimer, &QTimer::timeout, &d->ctx, [d] {
        if (d->socket && d->socket->state() != QAbstractSocket::ConnectedState)
            d->Fail(sockerr::TimedOut, "Connection timed out");
    });
}

TcpClient::~TcpClient() {
    impl_->closing = true;
    impl_->Drop(true);
}

void TcpClient::SetHost(const std::string& host) { impl_->host = host; }
void TcpClient::SetAddress(const std::string& address) { impl_->address = address; }
void TcpClient::SetPort(int port) { impl_->port = port; }
const std::string& TcpClient::Host() const { return impl_->host; }
const std::string& TcpClient::Address() const { return impl_->address; }
int TcpClient::Port() const { return impl_->port; }
void TcpClient::SetConnectTimeout(int milliseconds) { impl_->connectTimeout = std::max(0, milliseconds); }

void TcpClient::Open() {
    Impl* d = impl_.get();
    d->Drop(true);
    d->closing = false;
    const std::string target = !d->host.empty() ? d->host : d->address;
    if (target.empty()) {
        d->Fail(sockerr::HostNotFound, "No host or address given");
        return;
    }
    if (d->port <= 0 || d->port > 65535) {
        d->Fail(sockerr::AddressNotAvailable, "Port out of range: " + std::to_string(d->port));
        return;
    }
    auto* s = new QTcpSocket();
    s->setReadBufferSize(kReadAhead);
    d->socket = s;
    QObject::connect(s, &QTcpSocket::connected, &d->ctx, [d] {
        d->connectTimer.stop();
        d->Later([d] {
            Raise(d->owner->OnConnect);
        });
    });
    QObject::connect(s, &QTcpSocket::readyRead, &d->ctx, [d] {
        d->Later([d] {
            if (!d->socket || d->socket->bytesAvailable() == 0) return;
            Raise(d->owner->OnRead);
        });
    });
    QObject::connect(s, &QTcpSocket::bytesWritten, &d->ctx, [d](qint64) {
        if (!d->socket || d->socket->bytesToWrite() > 0) return;
        d->Later([d] {
            Raise(d->owner->OnWrite);
        });
    });
    QObject::connect(s, &QTcpSocket::errorOccurred, &d->ctx, [d](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError) return;  // disconnected() follows
        if (!d->socket) return;
        const std::string text = d->socket->errorString().toStdString();
        const int code = ClassicCode(e);
        // Nothing more from this socket; reads already posted still get
        // their data, then the socket goes and the error is raised.
        QObject::disconnect(d->socket, nullptr, &d->ctx, nullptr);
        d->connectTimer.stop();
        d->Later([d, code, text] {
            d->Drop(false);
            Raise(d->owner->OnError, code, text);
        });
    });
    QObject::connect(s, &QTcpSocket::disconnected, &d->ctx, [d] {
        if (!d->socket) return;
        QObject::disconnect(d->socket, nullptr, &d->ctx, nullptr);
        // Posted behind any read still pending, so the peer's last words
        // (a closing reply) are delivered before the disconnect.
        d->Later([d] {
            d->Drop(false);
            Raise(d->owner->OnDisconnect);
        });
    });
    if (d->connectTimeout > 0) d->connectTimer.start(d->connectTimeout);
    s->connectToHost(QString::fromStdString(target), static_cast<quint16>(d->port));
}

void TcpClient::Close() {
    Impl* d = impl_.get();
    d->closing = true;
    d->connectTimer.stop();
    ++d->generation;
    QTcpSocket* s = d->socket;
    d->socket = nullptr;
    CloseQuietly(s);
}

void TcpClient::Abort() {
    impl_->closing = true;
    impl_->Drop(true);
}

bool TcpClient::Active() const {
    return impl_->socket && !impl_->closing && impl_->socket->state() != QAbstractSocket::UnconnectedState;
}

bool TcpClient::Connected() const {
    return impl_->socket && !impl_->closing && impl_->socket->state() == QAbstractSocket::ConnectedState;
}

void TcpClient::SendText(const std::string& data) {
    Impl* d = impl_.get();
    if (!d->socket || d->closing || data.empty()) return;
    d->socket->write(data.data(), static_cast<qint64>(data.size()));
}

std::string TcpClient::ReceiveText() {
    if (!impl_->socket) return std::string();
    return ToStd(impl_->socket->readAll());
}

std::string TcpClient::ReceiveText(std::size_t maxBytes) {
    if (!impl_->socket) return std::string();
    return ToStd(impl_->socket->read(static_cast<qint64>(maxBytes)));
}

std::int64_t TcpClient::BytesAvailable() const {
    return impl_->socket ? static_cast<std::int64_t>(impl_->socket->bytesAvailable()) : 0;
}

std::int64_t TcpClient::PendingOutput() const {
    return impl_->socket ? static_cast<std::int64_t>(impl_->socket->bytesToWrite()) : 0;
}

std::string TcpClient::RemoteAddress() const {
    return impl_->socket ? AddressText(impl_->socket->peerAddress()) : std::string();
}

int TcpClient::LocalPort() const { return impl_->socket ? impl_->socket->localPort() : 0; }

std::string TcpClient::LocalAddress() const {
    return impl_->socket ? AddressText(impl_->socket->localAddress()) : std::string();
}

}  // namespace platform

namespace platform {

std::string SocketErrorText(int code) {
    // Each classic number stands for one errno of ours; its text is the C
    // library's own.
    static const struct {
        int code;
        int error;
    } kErrors[] = {
        {sockerr::AccessDenied, EACCES},         {sockerr::MessageTooLong, EMSGSIZE},
        {sockerr::OperationNotSupported, EOPNOTSUPP}, {sockerr::AddressInUse, EADDRINUSE},
        {sockerr::AddressNotAvailable, EADDRNOTAVAIL}, {sockerr::NetworkDown, ENETDOWN},
        {sockerr::ConnectionAborted, ECONNABORTED}, {sockerr::ConnectionReset, ECONNRESET},
        {sockerr::NoBufferSpace, ENOBUFS},       {sockerr::TimedOut, ETIMEDOUT},
        {sockerr::ConnectionRefused, ECONNREFUSED},
    };
    for (const auto& e : kErrors)
        if (e.code == code) return std::strerror(e.error);
    if (code == sockerr::HostNotFound) return gai_strerror(EAI_NONAME);
    return "Unknown error";
}

}  // namespace platform
