#include "Pty.h"

#include <QElapsedTimer>

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

void makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

Pty::Pty() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    makeRaw(master_);
    makeRaw(slave_);
    slavePath_ = QString::fromLocal8Bit(name);
}

Pty::~Pty() {
    closeMaster();
    closeSlave();
}

bool Pty::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

QByteArray Pty::read(int timeoutMs) {
    if (master_ < 0) return {};
    pollfd p{master_, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0 || !(p.revents & POLLIN)) return {};
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, n) : QByteArray();
}

QByteArray Pty::readExactly(qsizetype count, int timeoutMs) {
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) break;
        got += read(static_cast<int>(left));
    }
    return got;
}

QByteArray Pty::readUntilQuiet(int quietMs) {
    QByteArray got;
    for (QByteArray chunk = read(quietMs); !chunk.isEmpty(); chunk = read(quietMs))
        got += chunk;
    return got;
}

void Pty::closeMaster() {
    closeFd(master_);
}
void Pty::closeSlave() {
    closeFd(slave_);
}

} // namespace kestrel::test
