#include "TcpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::test {

TcpPeer::TcpPeer(Mode mode) : mode_(mode) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

TcpPeer::~TcpPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (client_ >= 0) ::close(client_);
    if (listener_ >= 0) ::close(listener_);
}

void TcpPeer::run() {
    while (!stop_) {
        if (client_ < 0) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            ++accepted_;
            if (turnAway_ > 0) {
                --turnAway_;
                QByteArray words;
                {
                    std::lock_guard lock(mutex_);
                    words = turnAwayWords_;
                }
                (void)!::write(fd, words.constData(), words.size());
                ::close(fd);
                changed_.notify_all();
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                client_ = fd;
            }
            changed_.notify_all();
            continue;
        }
        const int fd = client_;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            // The client went away; wait for the next one.
            int expected = fd;
            if (client_.compare_exchange_strong(expected, -1)) ::close(fd);
            continue;
        }
        const QByteArray chunk(buffer, n);
        {
            std::lock_guard lock(mutex_);
            received_ += chunk;
        }
        changed_.notify_all();
        answer(chunk, fd);
    }
}

// Enough of a Telnet server for the client's opening: its requests arrive in
// one write, so a scan of the chunk finds them whole.
void TcpPeer::answer(const QByteArray& chunk, int fd) {
    if (mode_ == Mode::Raw) return;
    const char iac = '\xff', will = '\xfb', dO = '\xfd', dont = '\xfe';
    QByteArray reply;
    const auto command = [&reply](char verb, char option) {
        reply.append('\xff').append(verb).append(option);
    };
    for (qsizetype i = 0; i + 2 < chunk.size(); ++i) {
        if (chunk[i] != iac) continue;
        const char verb = chunk[i + 1], option = chunk[i + 2];
        if (verb == will && option == 44)
            command(mode_ == Mode::TelnetComPort ? dO : dont, option);
        else if (verb == will && (option == 0 || option == 3))
            command(dO, option);
        else if (verb == dO && (option == 0 || option == 3))
            command(will, option);
        else if (verb == iac)
            ++i; // a doubled 0xFF in the data
    }
    if (!reply.isEmpty()) (void)!::write(fd, reply.constData(), reply.size());
}

bool TcpPeer::send(const QByteArray& wire) {
    const int fd = client_;
    if (fd < 0) return false;
    return ::write(fd, wire.constData(), wire.size()) == wire.size();
}

QByteArray TcpPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool TcpPeer::waitForReceived(const QByteArray& needle, int msecs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(msecs),
                             [&] { return received_.contains(needle); });
}

bool TcpPeer::waitForClient(int msecs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(msecs), [&] { return client_ >= 0; });
}

void TcpPeer::turnAway(int count, const QByteArray& words) {
    {
        std::lock_guard lock(mutex_);
        turnAwayWords_ = words;
    }
    turnAway_ = count;
}

void TcpPeer::dropClient() {
    const int fd = client_.exchange(-1);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

FullListener::FullListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(fd_, 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    for (int& filler : fillers_) {
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&addr), len);
    }
}

FullListener::~FullListener() {
    for (int filler : fillers_)
        ::close(filler);
    ::close(fd_);
}

} // namespace kestrel::test
