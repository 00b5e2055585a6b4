#include "Pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

void Pty::close() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
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
