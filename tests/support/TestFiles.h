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

// Bytes of every value in an order fixed by the seed, so a failure repeats.
inline QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random.bounded(256));
    return bytes;
}

} // namespace kestrel::test
