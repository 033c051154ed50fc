// TCP sockets for the protocol windows: a listening server with its client
// connections, and a client socket. Everything runs on the main thread and
// reports through std::function events, in the shape the protocol handlers
// were designed around (client connect, read, disconnect, error; connect,
// read, write, disconnect, error). Data is bytes in std::string.
//
// Rules that callers may rely on:
// - No event ever runs inside the call that caused it (Send, Close, Abort,
//   Open): events come from the event loop, so a handler never re-enters
//   itself through the socket layer.
// - Output keeps its order. A handler that must pause after a reply (the old
//   protocol code slept 200 to 1000 ms for the socket to drain) registers a
//   continuation with WhenFlushed instead of sleeping.
// - A connection or client may be closed, aborted or dropped from inside any
//   of its own events; the objects behind it are deleted later, from the
//   event loop.
// - Error codes are the classic socket numbers the logs have always shown
//   (10048 address in use, 10049 address not available, 10053/10054 aborted
//   or reset, 10060 timed out, 10061 refused, 11001 host not found, ...).
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Classic socket error numbers used in log lines.
namespace sockerr {
constexpr int AccessDenied = 10013;
constexpr int MessageTooLong = 10040;
constexpr int OperationNotSupported = 10045;
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBufferSpace = 10055;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostNotFound = 11001;
constexpr int Unknown = 10000;
}  // namespace sockerr

// The system's words for one of the numbers above ("Connection refused"),
// so that a log line that names the number also says what it means.
std::string SocketErrorText(int code);

class TcpServer;

// One accepted client connection of a TcpServer. Owned by the server; the
// server hands out shared pointers so that a handler may keep one beyond
// the event (for example in a continuation); once the connection has ended
// every call on it is harmless and does nothing.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Queues bytes for sending; order is kept. Ignored once closing.
    void SendText(const std::string& data);
    // Everything received and not yet taken.
    std::string ReceiveText();
    // At most maxBytes of it; the rest stays for a later call. Input that is
    // not taken is not read from the network either, so a client is held
    // back by TCP while its handler is not ready for more.
    std::string ReceiveText(std::size_t maxBytes);
    // Bytes received and not yet taken.
    std::int64_t BytesAvailable() const;
    // Bytes sent but not yet handed to the network.
    std::int64_t PendingOutput() const;

    // Dotted IPv4 text of the peer (IPv4-mapped IPv6 shown as IPv4; other
    // IPv6 addresses in their usual text form).
    std::string RemoteAddress() const;
    int RemotePort() const;
    int LocalPort() const;
    // True from accept until the connection is closed from either side.
    bool Connected() const;
    // A number unique among the connections of this process, for logs.
    std::uint64_t Id() const;

    // Closes once the queued output has been written. No read or error
    // event follows; OnClientDisconnect follows once, from the event loop.
    void Close();
    // Drops the connection at once, discarding unsent output. Then as Close.
    void Abort();

    // Runs `continuation` once: as soon as everything sent before this call
    // has been handed to the network, or after maxMilliseconds, or when the
    // connection ends, whichever comes first; never inside this call.
    // Continuations run in the order they were registered. The connection is
    // still a valid object when it runs; Connected() tells whether it is up.
    void WhenFlushed(std::function<void()> continuation, int maxMilliseconds);

    // The protocol's session state for this connection.
    std::any& UserData();

    // The server this connection belongs to (nullptr once the server is gone).
    TcpServer* Server() const;

    // Internal: connections are made by TcpServer only.
    struct Impl;
    explicit TcpConnection(std::unique_ptr<Impl> impl);
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

using TcpConnectionPtr = std::shared_ptr<TcpConnection>;

enum class OpenResult {
    Ok,
    AddressInUse,         // the port is taken by another listener
    AddressNotAvailable,  // the bind address is not one of this host's
    AccessDenied,         // e.g. a port below 1024 without the right to it
    Failed,               // anything else; see ErrorText()
};

// A listening socket. Open it, set the events, let the event loop run.
class TcpServer {
public:
    TcpServer();
    ~TcpServer();  // closes like Close(), but runs no events
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Starts listening on port (0 picks a free one, see Port()) at
    // bindAddress: empty for every address of the host (IPv4 and IPv6),
    // otherwise a numeric address such as "127.0.0.1" or "0.0.0.0".
    // Reopening an active server closes it first.
    OpenResult Open(int port, const std::string& bindAddress = std::string());
    // Stops listening and closes every connection at once; each connection
    // still gets its OnClientDisconnect (from the event loop).
    void Close();
    bool Active() const;
    int Port() const;                 // the port actually listened on; 0 when not active
    std::string ErrorText() const;    // why the last Open failed

    // Connections that have been accepted and have not yet ended.
    std::vector<TcpConnectionPtr> Connections() const;

    // At most this many connections at once (0: no cap). A connection over
    // the cap is sent BusyReply (when not empty) and closed; no event is
    // raised for it.
    void SetMaxConnections(int count, const std::string& busyReply = std::string());
    // At most this many connections at once from one client address
    // (ClientAddress; 0: no cap), so that one machine cannot take every
    // place. A connection over it is sent busyReply and closed, as one over
    // the overall cap.
    void SetMaxConnectionsPerClient(int count, const std::string& busyReply);
    // True while accepting is paused because the process is out of file
    // descriptors; it resumes when one of our connections ends, and is
    // retried every half second meanwhile.
    bool AcceptPaused() const;

    // Asked for each new connection before OnClientConnect; false refuses
    // it: it is dropped at once and no other event is raised for it.
    std::function<bool(TcpConnection&)> OnAccept;
    std::function<void(TcpConnection&)> OnClientConnect;
    // Data arrived; ReceiveText() takes it.
    std::function<void(TcpConnection&)> OnClientRead;
    // Exactly once for every connection that got OnClientConnect, however
    // it ended (peer, Close, Abort, error, server Close).
    std::function<void(TcpConnection&)> OnClientDisconnect;
    // A socket error on the connection (code: classic socket number). A
    // peer's orderly close is not an error. The connection ends afterwards.
    std::function<void(TcpConnection&, int code)> OnClientError;
    // Accepting paused (out of descriptors) or a connection turned away
    // over the cap; the text says which, for the log.
    std::function<void(const std::string& text)> OnAcceptTrouble;

    struct Impl;  // internal
    Impl& impl();

private:
    std::unique_ptr<Impl> impl_;
};

// True for addresses of this host and of the networks an office has to
// itself: loopback, 10/8, 172.16/12, 192.168/16, 169.254/16, fc00::/7 and
// fe80::/10 (IPv4-mapped IPv6 addresses as their IPv4 address). False for
// anything else, text that is not an address included.
bool IsLocalNetworkAddress(const std::string& address);

// The client a remote address belongs to, for everything that is limited
// per client: an IPv4 address as it is, an IPv6 address as its /64 (one
// host may use any address of its network), and all of loopback
// (127.0.0.0/8 and ::1) as "loopback", since every local program is the
// same machine. IPv4-mapped IPv6 addresses count as their IPv4 address;
// text that is no address is its own client.
std::string ClientAddress(const std::string& address);

// Raises the soft limit of open files to the hard limit, so that many
// connections fit; returns the soft limit in force afterwards.
long RaiseDescriptorLimit();

// The listen backlog servers use: the system's maximum.
int ListenBacklog();

// A client socket for the collector, the relay and the alerts.
class TcpClient {
public:
    TcpClient();
    ~TcpClient();  // drops the connection; runs no events
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Host (a name, looked up without blocking) wins over Address (a numeric
    // address) when both are set.
    void SetHost(const std::string& host);
    void SetAddress(const std::string& address);
    void SetPort(int port);
    const std::string& Host() const;
    const std::string& Address() const;
    int Port() const;
    // A connect attempt that has not succeeded after this many milliseconds
    // raises OnError(sockerr::TimedOut); 0 (the default) leaves it to the
    // system.
    void SetConnectTimeout(int milliseconds);

    // Starts looking up and connecting; the outcome arrives as OnConnect or
    // OnError. Opening an open client drops the old connection silently.
    void Open();
    // Closes once the queued output is written. No event of any kind
    // follows (not even OnDisconnect).
    void Close();
    // Drops the connection at once, unsent output discarded; no event follows.
    void Abort();
    // True while looking up, connecting or connected.
    bool Active() const;
    bool Connected() const;

    void SendText(const std::string& data);
    std::string ReceiveText();
    // At most maxBytes; the rest stays for a later call (and holds the peer
    // back once Qt's read-ahead is full).
    std::string ReceiveText(std::size_t maxBytes);
    std::int64_t BytesAvailable() const;
    // Bytes sent but not yet handed to the network (progress of a long send).
    std::int64_t PendingOutput() const;

    std::string RemoteAddress() const;
    int LocalPort() const;
    std::string LocalAddress() const;

    // Free for the owner (the collector keeps its state number here).
    int Tag = 0;

    std::function<void()> OnConnect;
    std::function<void()> OnRead;
    // All output sent so far has been handed to the network.
    std::function<void()> OnWrite;
    // The peer closed the connection or it was lost. Not raised after
    // OnError, Close or Abort.
    std::function<void()> OnDisconnect;
    // A failure (lookup, connect, transfer). The connection is dropped
    // before this runs, and no OnDisconnect follows.
    std::function<void(int code, const std::string& text)> OnError;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
