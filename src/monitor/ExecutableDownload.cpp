#include "ExecutableDownload.h"

#include "FileAccess.h"
#include "FrameLoop.h"
#include "MonitorLink.h"
#include "Verify.h"

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

TransferOutcome outcomeOf(FrameLoopEnd end) {
    switch (end) {
    case FrameLoopEnd::AllSent:
        return TransferOutcome::Completed;
    case FrameLoopEnd::Stopped:
        return TransferOutcome::Stopped;
    default:
        return TransferOutcome::Failed;
    }
}

// The piece loop of an executable; a file that could not be positioned at
// the start of the bytes has ended before them.
FrameLoopEnd sendPieces(MonitorLink& link, ExclusiveFile& file, const QString& path, quint32 size,
                        SentFrames& sent, bool positioned = true) {
    if (positioned) return sendFrames(link, file, path, size, FrameStyle::Executable, sent);
    link.host().appendToTerminal(
        format("\t\tError! The file ended early: %06lx of %06lx bytes sent.\r", 0ul, ulong(size)));
    return FrameLoopEnd::FileEnded;
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

QByteArrayView registerName(StartRegister reg) {
    return reg == StartRegister::Epc ? "epc" : reg == StartRegister::Gp ? "gp" : "sp";
}

const QString RegistersNotConfirmed =
    QStringLiteral("ERROR: The monitor did not confirm the start registers!");

// Sets the three start registers, then shows `done` once the monitor has
// confirmed them. It echoes every byte it takes, a CR as CR LF, in order: the
// echo of the last command with its line end means all three have arrived
// whole. Without it (the device went away, the line cut them) the load has
// failed, and the user is told so instead of `done`.
TransferOutcome setStartRegisters(MonitorLink& link, const QByteArray& done, quint32 pc, quint32 gp,
                                  quint32 sp) {
    bool confirmed = false;
    {
        const TransferHold quiet(link, TransferHold::Kind::Display);
        setStartRegister(link, StartRegister::Epc, pc);
        setStartRegister(link, StartRegister::Gp, gp);
        link.setStartRegister(registerName(StartRegister::Sp), sp);
        confirmed =
            link.awaitEcho(MonitorProtocol::registerCommand(registerName(StartRegister::Sp), sp));
        link.discardInput();
    }
    if (!confirmed) {
        link.host().messageBox(RegistersNotConfirmed);
        return TransferOutcome::Failed;
    }
    link.host().appendToTerminal(done);
    return TransferOutcome::Completed;
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
    link.clearAbort();
    const TransferHold quiet(link, TransferHold::Kind::Display);

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
    FrameLoopEnd end = FrameLoopEnd::Refused;
    SentFrames sent;
    if (link.beginBinaryWrite()) {
        link.sendLoadHeader(address, size);
        end = sendPieces(link, file, path, size, sent);
        outcome.note(outcomeOf(end));
        clearFrameCount(host);
    } else {
        outcome.note(TransferOutcome::Failed);
    }
    // Closed also after Stop, a refused piece or a missing prompt, so the
    // monitor is back at its prompt for the register commands.
    const bool ended = link.endBinary();
    if (!ended) outcome.note(TransferOutcome::Failed);
    if (ended && end == FrameLoopEnd::AllSent && link.verifyDownloads())
        outcome.note(verifyDownload(link, file, PsExeImageOffset, sent, address, size));
    file.close();

    // Start registers that point into a program not wholly in memory crash
    // the console on "go": they are set only after a download that went
    // through (and read back as sent, when verifying).
    if (outcome.result() != TransferOutcome::Completed) return outcome.result();
    return setStartRegisters(
        link,
        format("Registers set:  PC-%08lx, GP-%08lx, SP-%08lx", ulong(pc), ulong(gp), ulong(sp)), pc,
        gp, sp);
}

TransferOutcome downloadAOut(MonitorLink& link, const QString& path) {
    return downloadAOut(link, path, allocateSectionTable);
}

namespace {

enum class SectionEnd { Sent, Stopped, EndedEarly, NoPrompt };

// One section in its own binary write. A refused piece or a short file ends
// the download as Stop would (EndedEarly).
SectionEnd sendSection(MonitorLink& link, ExclusiveFile& file, const QString& path,
                       const AOutSectionHeader& section, OutcomeTracker& outcome) {
    Host& host = link.host();
    const bool positioned = file.seek(section.rawDataOffset) == section.rawDataOffset;
    const quint32 address = section.physicalAddress;
    host.appendToTerminal(
        pathLine(path, format(" [%6s] address:%08lx-%08lx size:%06lx\r", section.name.constData(),
                              ulong(address), ulong(quint32(address + section.size - 1)),
                              ulong(section.size))));
    host.setField(FieldTask, QStringLiteral("Sending %1").arg(QLatin1String(section.name)));
    link.discardInput();
    if (!link.beginBinaryWrite()) {
        host.appendToTerminal("ERROR: No binary write prompt received.");
        return SectionEnd::NoPrompt;
    }
    link.sendLoadHeader(address, section.size);
    SentFrames sent;
    const FrameLoopEnd end = sendPieces(link, file, path, section.size, sent, positioned);
    outcome.note(outcomeOf(end));
    const bool endedWell = link.endBinary();
    if (!endedWell) {
        host.messageBox(NoEndBinary);
        outcome.note(TransferOutcome::Failed);
    }
    // The monitor needs a moment after each section before the next binary
    // write; nothing is dispatched meanwhile.
    host.sleepMilliseconds(1000);
    showSectionDone(host);
    if (end == FrameLoopEnd::Refused || end == FrameLoopEnd::FileEnded)
        return SectionEnd::EndedEarly;
    if (end == FrameLoopEnd::AllSent && endedWell && link.verifyDownloads()) {
        const TransferOutcome verified =
            verifyDownload(link, file, section.rawDataOffset, sent, address, section.size);
        outcome.note(verified);
        // Sections after one that did not arrive as sent would only run a
        // broken program: they are not sent, as after a refused piece.
        if (verified == TransferOutcome::Failed) return SectionEnd::EndedEarly;
    }
    return link.isAborting() ? SectionEnd::Stopped : SectionEnd::Sent;
}

} // namespace

TransferOutcome downloadAOut(MonitorLink& link, const QString& path,
                             const SectionTableAllocator& allocate) {
    Host& host = link.host();
    MonitorLink::Operation operation(link);
    link.clearAbort();

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
    SectionEnd end = SectionEnd::Sent;
    for (int i = 0; i < headers.sections.count(); ++i) {
        const AOutSectionHeader section = headers.sections.at(i);
        if (isSectionSelected(section)) {
            end = sendSection(link, file, path, section, outcome);
            if (end == SectionEnd::NoPrompt) return TransferOutcome::Failed;
            if (end == SectionEnd::EndedEarly) break;
        }
        if (link.isAborting()) break;
    }

    showSectionDone(host);
    host.setTitle(AOutDownloadTitle);
    headers = AOutHeaders{};
    file.close();
    if (!link.endBinary()) {
        host.messageBox(NoEndBinary);
        outcome.note(TransferOutcome::Failed);
    }
    if (link.isAborting() || end == SectionEnd::EndedEarly) {
        outcome.note(TransferOutcome::Stopped);
        return outcome.result();
    }

    outcome.note(setStartRegisters(
        link, format("PC=%08lx, GP=%08lx, SP=%08lx\r", ulong(pc), ulong(gp), ulong(sp)), pc, gp,
        sp));
    return outcome.result();
}

void setStartRegister(MonitorLink& link, StartRegister reg, quint32 value) {
    const TransferHold quiet(link, TransferHold::Kind::Display);
    link.setStartRegister(registerName(reg), value);
    // Its echo and prompt are not shown; the downloads wait only for the
    // echo of the last of the three.
    link.discardInput();
}

} // namespace kestrel
