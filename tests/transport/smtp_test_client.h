// A plain SMTP client over loopback for the tests that drive the server in
// this process: it writes lines and reads whole replies while running the
// event loop, so the server answers in between.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <functional>
#include <string>

namespace twtest {

inline bool PumpFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class SmtpClient {
public:
    explicit SmtpClient(int port) {
        socket_.connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(port));
        greeting = Reply();
    }
    void Write(const std::string& data) {
        socket_.write(data.data(), static_cast<qint64>(data.size()));
        socket_.flush();
    }
    // One whole reply (its last line has a blank after the code).
    std::string Reply(int ms = 5000) {
        PumpFor([&] {
            buffer_ += socket_.readAll().toStdString();
            return Complete();
        }, ms);
        size_t end = Complete();
        std::string reply = buffer_.substr(0, end);
        buffer_.erase(0, end);
        return reply;
    }
    std::string Say(const std::string& line) {
        Write(line + "\r\n");
        return Reply();
    }
    bool Closed() {
        PumpFor([&] { return socket_.state() == QAbstractSocket::UnconnectedState; }, 3000);
        return socket_.state() == QAbstractSocket::UnconnectedState;
    }
    void Drop() { socket_.abort(); }
    std::string greeting;

private:
    // Length of the first whole reply in the buffer, 0 when none.
    size_t Complete() const {
        size_t pos = 0;
        while (true) {
            size_t lf = buffer_.find('\n', pos);
            if (lf == std::string::npos) return 0;
            if (lf - pos >= 4 && buffer_[pos + 3] == ' ') return lf + 1;
            if (lf - pos < 4) return lf + 1;
            pos = lf + 1;
        }
    }
    QTcpSocket socket_;
    std::string buffer_;
};

}  // namespace twtest
