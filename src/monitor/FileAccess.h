#pragma once
// Files the transfers read and write: opened for exclusive use (an advisory
// lock, so another program holding the file is noticed), closed by RAII, and a
// failed open classified into the number the user is shown.
#include <QString>
#include <QtGlobal>

#include <optional>

namespace kestrel {

// The number shown by "Can't open file %s, error = %u\n". It classifies the
// failure; it is not the operating system's error code.
enum class FileErrorCategory : unsigned {
    None = 0,
    Generic = 1,
    FileNotFound = 2,
    BadPath = 3,
    TooManyOpenFiles = 4,
    AccessDenied = 5,
    InvalidFile = 6,
    RemoveCurrentDir = 7,
    DirectoryFull = 8,
    BadSeek = 9,
    HardIO = 10,
    SharingViolation = 11,
    LockViolation = 12,
    DiskFull = 13,
    EndOfFile = 14,
};

FileErrorCategory categoryFromErrno(int error);

// "Can't open file %s, error = %u\n", followed by the system's reason when
// `error` (an errno value) gives one: the number alone tells only a category.
QString cantOpenFileMessage(const QString& path, FileErrorCategory category, int error = 0);

class ExclusiveFile {
public:
    enum class Mode { Read, Write };

    ExclusiveFile() = default;
    ~ExclusiveFile();
    ExclusiveFile(ExclusiveFile&& other) noexcept;
    ExclusiveFile& operator=(ExclusiveFile&& other) noexcept;
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // Read opens an existing file; Write creates it or empties it (mode 0664
    // less the umask: never writable by others). Returns the category of the
    // failure, or None.
    FileErrorCategory open(const QString& path, Mode mode);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    // Up to `size` bytes; 0 at the end of the file, -1 on a read error.
    qint64 read(char* buffer, qint64 size);
    // Writes everything or fails (-1; errno tells why).
    qint64 write(const char* data, qint64 size);
    // Position from the start; the new position, or -1.
    qint64 seek(qint64 offset);
    qint64 size() const;
    int lastErrno() const { return lastErrno_; }
    // A file with a length (not a pipe, a terminal or a device).
    bool isRegular() const;

private:
    int fd_ = -1;
    int lastErrno_ = 0;
};

} // namespace kestrel
