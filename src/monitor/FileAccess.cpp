#include "FileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

FileErrorCategory categoryFromErrno(int error) {
    switch (error) {
    case 0:
        return FileErrorCategory::None;
    case ENOENT:
        return FileErrorCategory::FileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return FileErrorCategory::BadPath;
    case EMFILE:
    case ENFILE:
        return FileErrorCategory::TooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return FileErrorCategory::AccessDenied;
    case EBADF:
        return FileErrorCategory::InvalidFile;
    case ESPIPE:
        return FileErrorCategory::BadSeek;
    case EIO:
        return FileErrorCategory::HardIO;
    case EWOULDBLOCK:
        return FileErrorCategory::SharingViolation;
    case ENOLCK:
        return FileErrorCategory::LockViolation;
    case ENOSPC:
    case EDQUOT:
        return FileErrorCategory::DiskFull;
    default:
        return FileErrorCategory::Generic;
    }
}

QString cantOpenFileMessage(const QString& path, FileErrorCategory category, int error) {
    QString text = QStringLiteral("Can't open file %1, error = %2\n")
                       .arg(path)
                       .arg(static_cast<unsigned>(category));
    if (error != 0)
        text += QStringLiteral("(%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    return text;
}

ExclusiveFile::~ExclusiveFile() {
    close();
}

ExclusiveFile::ExclusiveFile(ExclusiveFile&& other) noexcept
    : fd_(other.fd_), lastErrno_(other.lastErrno_) {
    other.fd_ = -1;
}

ExclusiveFile& ExclusiveFile::operator=(ExclusiveFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        lastErrno_ = other.lastErrno_;
        other.fd_ = -1;
    }
    return *this;
}

FileErrorCategory ExclusiveFile::open(const QString& path, Mode mode) {
    close();
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) {
        lastErrno_ = ENOENT;
        return FileErrorCategory::FileNotFound;
    }
    // Write mode must not empty a file someone else holds: open without
    // truncating, lock, then truncate.
    const int flags = mode == Mode::Read ? O_RDONLY : (O_WRONLY | O_CREAT);
    // Created under the user's umask, but never writable by everyone, even
    // with a umask of 0: a received memory image is the user's own.
    int fd = ::open(name.constData(), flags | O_CLOEXEC | O_NOCTTY, 0664);
    if (fd < 0) {
        lastErrno_ = errno;
        // ENOENT names both a missing file and a missing folder on its way;
        // only the first is "file not found".
        if (lastErrno_ == ENOENT && !QFileInfo(path).absoluteDir().exists())
            return FileErrorCategory::BadPath;
        return categoryFromErrno(lastErrno_);
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        lastErrno_ = EISDIR;
        return FileErrorCategory::AccessDenied;
    }
    const int lockType = LOCK_EX;
    if (::flock(fd, lockType | LOCK_NB) != 0) {
        lastErrno_ = errno;
        ::close(fd);
        return lastErrno_ == EWOULDBLOCK ? FileErrorCategory::SharingViolation
                                         : categoryFromErrno(lastErrno_);
    }
    if (mode == Mode::Write && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        lastErrno_ = errno;
        ::close(fd);
        return categoryFromErrno(lastErrno_);
    }
    fd_ = fd;
    lastErrno_ = 0;
    return FileErrorCategory::None;
}

void ExclusiveFile::close() {
    if (fd_ >= 0) {
        ::close(fd_); // closing releases the lock
        fd_ = -1;
    }
}

qint64 ExclusiveFile::read(char* buffer, qint64 size) {
    if (fd_ < 0) return -1;
    qint64 total = 0;
    while (total < size) {
        const ssize_t n = ::read(fd_, buffer + total, static_cast<size_t>(size - total));
        if (n < 0) {
            if (errno == EINTR) continue;
            lastErrno_ = errno;
            return total > 0 ? total : -1;
        }
        if (n == 0) break;
        total += n;
    }
    return total;
}

qint64 ExclusiveFile::write(const char* data, qint64 size) {
    if (fd_ < 0) return -1;
    qint64 total = 0;
    while (total < size) {
        const ssize_t n = ::write(fd_, data + total, static_cast<size_t>(size - total));
        if (n < 0) {
            if (errno == EINTR) continue;
            lastErrno_ = errno;
            return -1;
        }
        total += n;
    }
    return total;
}

qint64 ExclusiveFile::seek(qint64 offset) {
    if (fd_ < 0) return -1;
    const off_t pos = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    if (pos < 0) lastErrno_ = errno;
    return pos;
}

bool ExclusiveFile::isRegular() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

qint64 ExclusiveFile::size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

} // namespace kestrel
