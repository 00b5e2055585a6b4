#pragma once
// Small executable files made in memory for the loader tests.
#include "TestFiles.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace kestrel::test {

void putLe16(QByteArray& bytes, int offset, quint16 value);
void putLe32(QByteArray& bytes, int offset, quint32 value);

struct PsExeContents {
    quint32 pc = 0x80010000;
    quint32 gp = 0;
    quint32 address = 0x80010000;
    std::optional<quint32> size; // the image's length when not given
    quint32 stackBase = 0;
    quint32 stackSize = 0;
    QByteArray image;
};
// The 2048-byte header followed by the image.
QByteArray makePsExe(const PsExeContents& contents);

struct SectionContents {
    QByteArray name; // up to 8 bytes, NUL-padded in the record
    quint32 flags = 0;
    quint32 address = 0;
    QByteArray data;                  // placed after the headers, in order
    std::optional<quint32> size;      // data's length when not given
    std::optional<quint32> rawOffset; // where the data went, when not given
};

struct AOutContents {
    quint16 optionalHeaderSize = 56;
    quint16 flags = 0x0107;
    quint32 entry = 0x80010000;
    quint32 gp = 0;
    QList<SectionContents> sections;
    std::optional<quint16> sectionCount; // the table's length when not given
};
// File header, optional header, section table, then the section data.
QByteArray makeAOut(const AOutContents& contents);

// A pseudo-random but repeatable byte pattern.
QByteArray pattern(int length, int seed = 1);

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes);
QByteArray readWhole(const QString& path);

} // namespace kestrel::test
