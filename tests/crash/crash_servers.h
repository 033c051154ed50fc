// Scripted peers for the report mail tests: an SMTP server that answers
// from a small script and keeps every byte it received, and a DNS server
// that answers MX queries from a table. Both listen on 127.0.0.1 only, on
// ports the system picks, and serve from a thread of their own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace crashtest {

inline int ListenLoopback(int type, int& port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

struct SmtpScript {
    std::string Greeting = "220 scripted ESMTP\r\n";
    std::string Ehlo = "250-scripted\r\n250 SIZE 100000\r\n";
    std::string Helo = "250 scripted\r\n";
    std::string Quit = "221 bye\r\n";
    std::string Rcpt = "250 ok\r\n";
    bool Silent = false;  // accepts and never says anything
    bool Trickle = false; // answers EHLO with continuation lines for ever
};

class ScriptedSmtpServer {
public:
    explicit ScriptedSmtpServer(SmtpScript script = {}) : script_(std::move(script)) {
        fd_ = ListenLoopback(SOCK_STREAM, port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedSmtpServer() {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int Port() const { return port_; }
    // Everything the client sent, once the session has ended.
    std::string Received() {
        std::lock_guard<std::mutex> lock(lock_);
        return received_;
    }
    int Sessions() const { return sessions_; }

private:
    bool Wait(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) return true;
        }
        return false;
    }

    void Serve() {
        while (Wait(fd_)) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            ++sessions_;
            Session(c);
            close(c);
        }
    }

    void Reply(int c, const std::string& text) { send(c, text.data(), text.size(), MSG_NOSIGNAL); }

    void Session(int c) {
        if (!script_.Silent) Reply(c, script_.Greeting);
        std::string buffer;
        enum { Commands, Data, AuthUser, AuthPassword } state = Commands;
        while (Wait(c)) {
            char piece[4096];
            ssize_t n = recv(c, piece, sizeof piece, 0);
            if (n <= 0) return;
            {
                std::lock_guard<std::mutex> lock(lock_);
                received_.append(piece, std::size_t(n));
            }
            if (script_.Silent) continue;
            buffer.append(piece, std::size_t(n));
            for (;;) {
                if (state == Data) {
                    std::size_t end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) break;
                    buffer.erase(0, end + 5);
                    Reply(c, "250 queued\r\n");
                    state = Commands;
                    continue;
                }
                std::size_t eol = buffer.find("\r\n");
                if (eol == std::string::npos) break;
                std::string line = buffer.substr(0, eol);
                buffer.erase(0, eol + 2);
                std::string verb = line.substr(0, 4);
                if (state == AuthUser) {
                    Reply(c, "334 UGFzc3dvcmQ6\r\n");
                    state = AuthPassword;
                } else if (state == AuthPassword) {
                    Reply(c, "235 ok\r\n");
                    state = Commands;
                } else if (verb == "EHLO" && script_.Trickle) {
                    while (!stop_ && send(c, "250-more\r\n", 10, MSG_NOSIGNAL) == 10) usleep(50000);
                    return;
                } else if (verb == "EHLO") {
                    Reply(c, script_.Ehlo);
                } else if (verb == "HELO") {
                    Reply(c, script_.Helo);
                } else if (verb == "AUTH") {
                    Reply(c, "334 VXNlcm5hbWU6\r\n");
                    state = AuthUser;
                } else if (verb == "MAIL" || verb == "RSET") {
                    Reply(c, "250 ok\r\n");
                } else if (verb == "RCPT") {
                    Reply(c, script_.Rcpt);
                } else if (verb == "DATA") {
                    Reply(c, "354 go ahead\r\n");
                    state = Data;
                } else if (verb == "QUIT") {
                    Reply(c, script_.Quit);
                    return;
                } else {
                    Reply(c, "500 what\r\n");
                }
            }
        }
    }

    SmtpScript script_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> sessions_{0};
    std::mutex lock_;
    std::string received_;
    std::thread thread_;
};

// Answers MX queries with the given exchangers and glue addresses; the
// first `referrals` queries get a referral to a name server at 127.0.0.1
// (this server again) instead, as a root or parent zone would.
class ScriptedDnsServer {
public:
    ScriptedDnsServer(std::vector<std::pair<int, std::string>> exchangers,
                      std::vector<std::pair<std::string, std::string>> glue, int referrals = 0)
        : exchangers_(std::move(exchangers)), glue_(std::move(glue)), referrals_(referrals) {
        fd_ = ListenLoopback(SOCK_DGRAM, port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedDnsServer() {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int Port() const { return port_; }
    int Queries() const { return queries_; }
    std::string LastQuestion() {
        std::lock_guard<std::mutex> lock(lock_);
        return question_;
    }

private:
    static void Name(std::string& out, const std::string& name) {
        std::size_t at = 0;
        while (at < name.size()) {
            std::size_t dot = name.find('.', at);
            if (dot == std::string::npos) dot = name.size();
            out += char(dot - at);
            out += name.substr(at, dot - at);
            at = dot + 1;
        }
        out += '\0';
    }
    static void U16(std::string& out, unsigned v) {
        out += char(v >> 8);
        out += char(v & 0xFF);
    }

    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            char q[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 17) continue;
            std::string query(q, std::size_t(n));
            std::size_t end = 12;
            std::string name;
            while (end < query.size() && query[end] != 0) {
                if (!name.empty()) name += '.';
                name += query.substr(end + 1, std::size_t(static_cast<unsigned char>(query[end])));
                end += 1 + static_cast<unsigned char>(query[end]);
            }
            {
                std::lock_guard<std::mutex> lock(lock_);
                question_ = name;
            }
            ++queries_;
            std::string r = query.substr(0, 2);
            if (referrals_ > 0) {
                --referrals_;
                r += "\x81\x00";
                U16(r, 1);
                U16(r, 0);
                U16(r, 1);
                U16(r, 1);
                r += query.substr(12, end + 5 - 12);
                r += "\xC0\x0C";
                U16(r, 2);
                U16(r, 1);
                r += std::string("\0\0\0\x3c", 4);
                std::string ns;
                Name(ns, "ns1.parent.example");
                U16(r, unsigned(ns.size()));
                r += ns;
                Name(r, "ns1.parent.example");
                U16(r, 1);
                U16(r, 1);
                r += std::string("\0\0\0\x3c\0\x04\x7f\0\0\x01", 10);
                sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                continue;
            }
            r += "\x81\x80";
            U16(r, 1);
            U16(r, unsigned(exchangers_.size()));
            U16(r, 0);
            U16(r, unsigned(glue_.size()));
            r += query.substr(12, end + 5 - 12);  // the question
            for (const auto& [preference, host] : exchangers_) {
                r += "\xC0\x0C";
                U16(r, 15);
                U16(r, 1);
                r += std::string("\0\0\0\x3c", 4);
                std::string data;
                U16(data, unsigned(preference));
                Name(data, host);
                U16(r, unsigned(data.size()));
                r += data;
            }
            for (const auto& [host, address] : glue_) {
                Name(r, host);
                U16(r, 1);
                U16(r, 1);
                r += std::string("\0\0\0\x3c", 4);
                U16(r, 4);
                in_addr a{};
                inet_pton(AF_INET, address.c_str(), &a);
                r += std::string(reinterpret_cast<const char*>(&a), 4);
            }
            sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    std::vector<std::pair<int, std::string>> exchangers_;
    std::vector<std::pair<std::string, std::string>> glue_;
    int referrals_ = 0;
    std::atomic<int> queries_{0};
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string question_;
    std::thread thread_;
};

}  // namespace crashtest
