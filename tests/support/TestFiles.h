#pragma once
// Files a test writes into its own temporary folder.
#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrel::test {

// Writes bytes to NAME inside dir and returns the whole path; a file that
// cannot be written fails the test that asked for it.
inline QString writeTestFile(const QTemporaryDir& dir, const QString& name,
                             const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << file.fileName().toStdString();
    EXPECT_EQ(file.write(bytes), bytes.size()) << file.fileName().toStdString();
    return file.fileName();
}

// A private copy of a committed executable fixture (tests/fixtures/exe).
// Downloads open their file for exclusive use, so tests running side by side
// must not share the committed file: each test program works on its own copy.
inline QString fixturePath(const QString& name) {
    static const QTemporaryDir copies;
    const QString copy = copies.filePath(name);
    if (!QFile::exists(copy)) {
        const QString original = QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/") + name;
        EXPECT_TRUE(QFile::copy(original, copy)) << name.toStdString();
    }
    return copy;
}

// Bytes of every value in an order fixed by the seed, so a failure repeats.
inline QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random.bounded(256));
    return bytes;
}

} // namespace kestrel::test
