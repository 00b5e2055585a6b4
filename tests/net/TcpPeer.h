#pragma once
// A TCP server on 127.0.0.1 run from a thread of its own, for tests of the
// network serial port: the port's blocking open and waits hold the test's
// thread, so the far end must answer without it. It accepts one connection
// at a time (and the next once that one is closed), records every byte it
// receives as it came off the wire, and, as a Telnet server, answers the
// client's option requests: COM port control accepted or refused.
#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestrel::test {

class TcpPeer {
public:
    enum class Mode { Raw, TelnetComPort, TelnetRefusingComPort };

    explicit TcpPeer(Mode mode);
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    quint16 port() const { return port_; }
    // Sends to the client of the moment; false when there is none.
    bool send(const QByteArray& wire);
    // Everything received on every connection so far.
    QByteArray received() const;
    // Waits until `needle` has been received (true) or msecs pass.
    bool waitForReceived(const QByteArray& needle, int msecs = 5000) const;
    // Waits until a client is connected, or msecs pass.
    bool waitForClient(int msecs = 5000) const;
    // Closes the connection of the moment; the next one is accepted.
    void dropClient();
    // The next `count` connections are told `words` and closed at once, as
    // ser2net turns a client away while another has the port.
    void turnAway(int count, const QByteArray& words);
    int connectionsAccepted() const { return accepted_; }

private:
    void run();
    void answer(const QByteArray& chunk, int fd);

    Mode mode_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<int> client_{-1};
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> turnAway_{0};
    QByteArray turnAwayWords_; // guarded by mutex_
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    QByteArray received_;
    std::thread thread_;
};

// A listener whose queue is full: the kernel drops further connection
// requests, so a connect neither succeeds nor is refused until the client
// gives up.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    quint16 port() const { return port_; }

private:
    int fd_ = -1;
    int fillers_[3] = {-1, -1, -1};
    quint16 port_ = 0;
};

} // namespace kestrel::test
