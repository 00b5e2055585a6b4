#include "ExecutableDownload.h"

#include "FileAccess.h"
#include "MonitorLink.h"

#include <QFile>

#include <cstdio>

namespace kestrel {

namespace {

// printf-style formatting for the terminal lines and panes, whose formats
// come with the monitor's conventions ("%08lx" and friends).
template <typename... Args> QByteArray format(const char* pattern, Args... args) {
    char text[256];
    const int n = std::snprintf(text, sizeof text, pattern, args...);
    return QByteArray(text, qBound(0, n, static_cast<int>(sizeof text) - 1));
}

// Keeps the first reason a download did not simply complete.
class OutcomeTracker {
public:
    void note(TransferOutcome outcome) {
        if (outcome_ == TransferOutcome::Completed) outcome_ = outcome;
    }
    TransferOutcome result() const { return outcome_; }

private:
    TransferOutcome outcome_ = TransferOutcome::Completed;
};

enum class PieceLoopEnd { Finished, Stopped, Refused, FileEnded };

TransferOutcome outcomeOf(PieceLoopEnd end) {
    switch (end) {
    case PieceLoopEnd::Finished:
        return TransferOutcome::Completed;
    case PieceLoopEnd::Stopped:
        return TransferOutcome::Stopped;
    case PieceLoopEnd::Refused:
    case PieceLoopEnd::FileEnded:
        return TransferOutcome::Failed;
    }
    return TransferOutcome::Failed;
}

PieceLoopEnd reportFileEnded(Host& host, quint64 sent, quint32 size) {
    host.appendToTerminal(format("\t\tError! The file ended early: %06lx of %06lx bytes sent.\r",
                                 ulong(sent), ulong(size)));
    return PieceLoopEnd::FileEnded;
}

// Sends `size` bytes from the file's current position, one 2048-byte piece per
// frame. Every read asks for a whole piece, so the last one may carry bytes
// that follow the image; the load header has told the monitor where to stop.
PieceLoopEnd runPieceLoop(MonitorLink& link, ExclusiveFile& file, quint32 size) {
    Host& host = link.host();
    char* const buffer = link.transferBuffer.data();
    // 64 bits: near the top of the 32-bit range the count would wrap.
    quint64 sent = 0;
    while (sent < size) {
        if (link.abortRequested) return PieceLoopEnd::Stopped;
        const qint64 n = file.read(buffer, FrameSize);
        // Without this the count would stop advancing and the loop would
        // resend nothing forever.
        if (n <= 0) return reportFileEnded(host, sent, size);
        const bool accepted = link.sendBinaryBlocks(buffer, static_cast<qint32>(n));
        host.setProgressPosition(static_cast<int>(static_cast<double>(sent) * 1000.0 / size));
        host.setField(FieldCounter, QString::fromLatin1(format("%06lx Bytes of %06lx sent.",
                                                               ulong(sent), ulong(size))));
        host.transferProgress(sent, size);
        // The monitor has dropped out of the conversation; further frames
        // would only be refused one by one, each with its own message.
        if (!accepted) return PieceLoopEnd::Refused;
        sent += static_cast<quint64>(n);
    }
    return PieceLoopEnd::Finished;
}

bool openForDownload(MonitorLink& link, ExclusiveFile& file, const QString& path) {
    if (link.refuseBinaryOverXonXoff()) return false;
    const FileErrorCategory error = file.open(path, ExclusiveFile::Mode::Read);
    if (error == FileErrorCategory::None) return true;
    link.host().messageBox(cantOpenFileMessage(path, error, file.lastErrno()));
    link.host().appendToTerminal("\t\t: Cannot open file for download.\r");
    return false;
}

// Path first and separately: a '%' in a file name is not a conversion.
QByteArray pathLine(const QString& path, const QByteArray& rest) {
    return QFile::encodeName(path) + rest;
}

void setStartRegisters(MonitorLink& link, quint32 pc, quint32 gp, quint32 sp) {
    setStartRegister(link, StartRegister::Epc, pc);
    setStartRegister(link, StartRegister::Gp, gp);
    setStartRegister(link, StartRegister::Sp, sp);
}

void showSectionDone(Host& host) {
    host.setField(FieldCounter, QString());
    host.transferProgressEnded();
    host.setField(FieldTask, QString());
    host.setField(FieldState, QStringLiteral("Done."));
}

const QString NoEndBinary = QStringLiteral("No end binary!");

} // namespace

TransferOutcome downloadPsExe(MonitorLink& link, const QString& path) {
    Host& host = link.host();
    MonitorLink::Operation operation(link);
    host.setProgressRange(0, 1000);
    host.setProgressPosition(0);
    link.abortRequested = false;
    link.displaySuppressed = true; // the caller restores it

    ExclusiveFile file;
    if (!openForDownload(link, file, path)) return TransferOutcome::NotStarted;
    char headerBytes[PsExeHeaderSize];
    const qint64 got = file.read(headerBytes, PsExeHeaderSize);
    const auto header = decodePsExeHeader(QByteArrayView(headerBytes, qMax<qint64>(got, 0)));
    std::optional<HeaderError> error;
    if (!header)
        error = HeaderError::PsExeRead;
    else if (file.seek(PsExeImageOffset) != PsExeImageOffset)
        error = HeaderError::PsExeSkip;
    if (error) {
        file.close();
        host.appendToTerminal(headerErrorText(*error));
        return TransferOutcome::NotStarted;
    }

    const quint32 pc = header->initialPc;
    const quint32 gp = header->initialGp;
    const quint32 sp = header->startSp();
    const quint32 address = header->textAddress;
    const quint32 size = header->textSize;
    host.appendToTerminal(
        pathLine(path, format("  address:%08lx-%08lx size:%06lx  \r", ulong(address),
                              ulong(quint32(address + size - 1)), ulong(size))));

    OutcomeTracker outcome;
    link.discardInput();
    if (link.beginBinaryWrite()) {
        link.sendLoadHeader(address, size);
        outcome.note(outcomeOf(runPieceLoop(link, file, size)));
        host.setField(FieldCounter, QString());
        host.transferProgressEnded();
        host.setProgressPosition(0);
        file.close();
    } else {
        outcome.note(TransferOutcome::Failed);
    }
    // Closed also after Stop, a refused piece or a missing prompt, so the
    // monitor is back at its prompt for the register commands.
    if (!link.endBinary()) outcome.note(TransferOutcome::Failed);

    host.appendToTerminal(
        format("Registers set:  PC-%08lx, GP-%08lx, SP-%08lx", ulong(pc), ulong(gp), ulong(sp)));
    setStartRegisters(link, pc, gp, sp);
    return outcome.result();
}

TransferOutcome downloadAOut(MonitorLink& link, const QString& path) {
    return downloadAOut(link, path, allocateSectionTable);
}

TransferOutcome downloadAOut(MonitorLink& link, const QString& path,
                             const SectionTableAllocator& allocate) {
    Host& host = link.host();
    MonitorLink::Operation operation(link);
    link.abortRequested = false;

    ExclusiveFile file;
    if (!openForDownload(link, file, path)) return TransferOutcome::NotStarted;
    AOutHeaders headers;
    const ByteReader fromFile = [&](char* buffer, qint64 size) { return file.read(buffer, size); };
    if (const auto error = readAOutHeaders(fromFile, headers, allocate)) {
        host.appendToTerminal(headerErrorText(*error));
        return TransferOutcome::NotStarted;
    }
    const quint32 pc = headers.optional.entryPoint;
    const quint32 gp = headers.optional.gpValue;
    const quint32 sp = DefaultStackPointer;

    host.setProgressRange(0, 1000);
    OutcomeTracker outcome;
    bool endedEarly = false; // a refused piece or a short file: treated like Stop
    for (int i = 0; i < headers.sections.count() && !endedEarly; ++i) {
        const AOutSectionHeader section = headers.sections.at(i);
        if (isSectionSelected(section)) {
            const bool positioned = file.seek(section.rawDataOffset) == section.rawDataOffset;
            const quint32 address = section.physicalAddress;
            host.appendToTerminal(pathLine(path, format(" [%6s] address:%08lx-%08lx size:%06lx\r",
                                                        section.name.constData(), ulong(address),
                                                        ulong(quint32(address + section.size - 1)),
                                                        ulong(section.size))));
            host.setField(FieldTask, QStringLiteral("Sending %1").arg(QLatin1String(section.name)));
            link.discardInput();
            if (!link.beginBinaryWrite()) {
                host.appendToTerminal("ERROR: No binary write prompt received.");
                return TransferOutcome::Failed;
            }
            link.sendLoadHeader(address, section.size);
            const PieceLoopEnd end = positioned ? runPieceLoop(link, file, section.size)
                                                : reportFileEnded(host, 0, section.size);
            outcome.note(outcomeOf(end));
            endedEarly = end == PieceLoopEnd::Refused || end == PieceLoopEnd::FileEnded;
            if (!link.endBinary()) {
                host.messageBox(NoEndBinary);
                outcome.note(TransferOutcome::Failed);
            }
            // The monitor needs a moment after each section before the next
            // binary write; nothing is dispatched meanwhile.
            host.sleepMilliseconds(1000);
            showSectionDone(host);
        }
        if (link.abortRequested) break;
    }

    showSectionDone(host);
    host.setTitle(AOutDownloadTitle);
    headers = AOutHeaders{};
    file.close();
    if (!link.endBinary()) {
        host.messageBox(NoEndBinary);
        outcome.note(TransferOutcome::Failed);
    }
    if (link.abortRequested || endedEarly) {
        outcome.note(TransferOutcome::Stopped);
        return outcome.result();
    }

    host.appendToTerminal(
        format("PC=%08lx, GP=%08lx, SP=%08lx\r", ulong(pc), ulong(gp), ulong(sp)));
    setStartRegisters(link, pc, gp, sp);
    return outcome.result();
}

void setStartRegister(MonitorLink& link, StartRegister reg, quint32 value) {
    const bool saved = link.displaySuppressed;
    link.displaySuppressed = true;
    const char* pattern = reg == StartRegister::Epc  ? "sr epc %lx\r"
                          : reg == StartRegister::Gp ? "sr gp %lx\r"
                                                     : "sr sp %lx\r";
    // The monitor reads typed commands: one byte per write, as a key would.
    for (char c : format(pattern, ulong(value)))
        link.sendByte(static_cast<quint8>(c));
    // Its echo and prompt are not shown; there is no wait for them either.
    link.discardInput();
    link.displaySuppressed = saved;
}

} // namespace kestrel
