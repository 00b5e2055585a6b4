#include "Pty.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::sim {

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool makeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

std::string Pty::open() {
    close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) return systemError("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const auto error = systemError("grantpt/unlockpt");
        close();
        return error;
    }
    char name[256];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        const auto error = systemError("ptsname");
        close();
        return error;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0 || !makeRaw(slave_) || !makeRaw(master_)) {
        const auto error = systemError(slavePath_);
        close();
        return error;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    return {};
}

void Pty::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void Pty::closeSlave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

bool Pty::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto written = ::write(master_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            pollfd room{master_, POLLOUT, 0};
            ::poll(&room, 1, 100);
            continue;
        }
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string Pty::read(int timeoutMs) {
    if (master_ < 0) return {};
    pollfd readable{master_, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&readable, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0 || !(readable.revents & POLLIN)) return {};
    char buffer[4096];
    const auto count = ::read(master_, buffer, sizeof buffer);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

std::string Pty::readExactly(std::size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        got += read(static_cast<int>(left));
    }
    return got;
}

std::string Pty::readUntilQuiet(int quietMs) {
    std::string got;
    for (std::string chunk = read(quietMs); !chunk.empty(); chunk = read(quietMs))
        got += chunk;
    return got;
}

std::string replaceLink(const std::string& link, const std::string& target) {
    struct stat existing {};
    if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return link + " exists and is not a symlink";
    const std::string temporary = link + ".new" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) return systemError(temporary);
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        const auto error = systemError(link);
        ::unlink(temporary.c_str());
        return error;
    }
    return {};
}

void removeLink(const std::string& link, const std::string& target) {
    char pointsTo[4096];
    const auto length = readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
    if (length < 0) return;
    if (std::string(pointsTo, static_cast<std::size_t>(length)) == target) ::unlink(link.c_str());
}

} // namespace kestrel::sim
