#include "ExeFiles.h"

#include <QFile>

#include <gtest/gtest.h>

namespace kestrel::test {

void putLe16(QByteArray& bytes, int offset, quint16 value) {
    bytes[offset] = static_cast<char>(value & 0xff);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void putLe32(QByteArray& bytes, int offset, quint32 value) {
    putLe16(bytes, offset, static_cast<quint16>(value & 0xffff));
    putLe16(bytes, offset + 2, static_cast<quint16>(value >> 16));
}

QByteArray makePsExe(const PsExeContents& contents) {
    QByteArray file(2048, '\0');
    file.replace(0, 8, "PS-X EXE");
    putLe32(file, 16, contents.pc);
    putLe32(file, 20, contents.gp);
    putLe32(file, 24, contents.address);
    putLe32(file, 28, contents.size.value_or(static_cast<quint32>(contents.image.size())));
    putLe32(file, 48, contents.stackBase);
    putLe32(file, 52, contents.stackSize);
    return file + contents.image;
}

QByteArray makeAOut(const AOutContents& contents) {
    const int count = static_cast<int>(contents.sections.size());
    QByteArray file(20 + 56 + 40 * count, '\0');
    putLe16(file, 0, 0x0162);
    putLe16(file, 2, contents.sectionCount.value_or(static_cast<quint16>(count)));
    putLe16(file, 16, contents.optionalHeaderSize);
    putLe16(file, 18, contents.flags);
    putLe16(file, 20, 0x0107);
    putLe32(file, 20 + 16, contents.entry);
    putLe32(file, 20 + 52, contents.gp);
    for (int i = 0; i < count; ++i) {
        const SectionContents& s = contents.sections[i];
        const int record = 76 + 40 * i;
        file.replace(record, s.name.size(), s.name);
        putLe32(file, record + 8, s.address);
        putLe32(file, record + 12, s.address);
        putLe32(file, record + 16, s.size.value_or(static_cast<quint32>(s.data.size())));
        quint32 offset = s.rawOffset.value_or(0);
        if (!s.data.isEmpty() && !s.rawOffset) {
            offset = static_cast<quint32>(file.size());
            file += s.data;
        }
        putLe32(file, record + 20, offset);
        putLe32(file, record + 36, s.flags);
    }
    return file;
}

QByteArray pattern(int length, int seed) {
    QByteArray bytes(length, '\0');
    quint32 state = 0x9e3779b9u * static_cast<quint32>(seed);
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
    return path;
}

QByteArray readWhole(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

} // namespace kestrel::test
