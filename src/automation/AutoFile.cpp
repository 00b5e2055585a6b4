#include "AutoFile.h"

#include "FileAccess.h"
#include "MonitorLink.h"
#include "SerialPort.h"
#include "Strings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace kestrel {

namespace {

constexpr qint64 ReadChunkSize = 4096;
constexpr char CtrlZ = 26;

bool isLineEnd(char c) {
    return c == '\r' || c == '\n' || c == CtrlZ;
}

// Auto files written for the working directory they were started from keep
// working; the fallback lets a file that names its companions relative to
// itself run from anywhere (a file manager, the repository root).
QByteArray resolveBesideAutoFile(Host& host, const QByteArray& name, const QString& autoFileDir) {
    const QString path = QFile::decodeName(name);
    if (autoFileDir.isEmpty() || path.isEmpty() || QDir::isAbsolutePath(path) ||
        QFileInfo::exists(path))
        return name;
    const QString beside = QDir::cleanPath(QDir(autoFileDir).filePath(path));
    if (!QFileInfo::exists(beside)) return name;
    const QByteArray resolved = QFile::encodeName(beside);
    host.appendToTerminal(QByteArrayLiteral("Using ") + resolved + QByteArrayLiteral("\r"));
    return resolved;
}

} // namespace

QByteArray normaliseAutoLine(QByteArray line) {
    line.replace('\t', ' ');
    // Runs of spaces and " 0x" are squeezed out in place: a long line is
    // never copied.
    char* d = line.data();
    qsizetype out = 0;
    // A space after a space already kept is dropped, which is what replacing
    // pairs by one until none is left comes to.
    for (qsizetype in = 0; in < line.size(); ++in)
        if (!(d[in] == ' ' && out > 0 && d[out - 1] == ' ')) d[out++] = d[in];
    line.truncate(out);
    // Occurrences are found in the text as it stood, so " 0x0x1" keeps one
    // "0x"; removing a prefix may leave two spaces together, and they stay.
    out = 0;
    for (qsizetype in = 0; in < line.size(); ++in) {
        d[out++] = d[in];
        if (d[in] == ' ' && in + 2 < line.size() && d[in + 1] == '0' && d[in + 2] == 'x') in += 2;
    }
    line.truncate(out);
    for (char& c : line)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return std::move(line).trimmed();
}

CutText cut(QByteArrayView text) {
    const qsizetype space = text.indexOf(' ');
    if (space < 0) return {text, text};
    return {text.first(space), text.sliced(space + 1)};
}

std::optional<LocalCommandResult> executeAutoLine(MonitorLink& link, QByteArray line,
                                                  const QString& autoFileDir) {
    if (line.isEmpty()) return {};
    line.removeIf([](char c) { return c == '\0'; });
    line = normaliseAutoLine(std::move(line));
    link.host().setField(FieldTask, QString::fromLocal8Bit(line));
    const auto [first, afterFirst] = cut(line);
    if (first != QByteArrayView("local")) {
        // Sent back to back: whatever time the console needs for a line can
        // only be given by a local command.
        if (!line.isEmpty()) {
            link.sendText(line);
            link.sendText(QByteArrayLiteral("\r"));
        }
        return {};
    }
    const auto [keyword, rest] = cut(afterFirst);
    const auto [firstArg, afterFirstArg] = cut(rest);
    const CutText secondArg = cut(afterFirstArg);
    QByteArray fileArg = firstArg.toByteArray();
    if (keyword == QByteArrayView("load") || keyword == QByteArrayView("dload"))
        fileArg = resolveBesideAutoFile(link.host(), fileArg, autoFileDir);
    return runLocalCommand(link, keyword.toByteArray(), fileArg, secondArg.word.toByteArray(),
                           rest.toByteArray());
}

AutoRunner::AutoRunner(MonitorLink& link)
    : readChunk(
          [](ExclusiveFile& file, char* buffer, qint64 size) { return file.read(buffer, size); }),
      link_(link) {}

std::optional<AutoRunResult> AutoRunner::autoCommand(const FileChooser& chooseFile) {
    if (link_.isBusy()) {
        link_.host().messageBox(strings::text(strings::UploadInProgress));
        return {};
    }
    // Held from before the chooser opens, so the terminal stays as it is
    // while the user picks; cancelling gives it back.
    TransferHold hold(link_);
    const std::optional<QString> path = chooseFile(AutoFileFilter);
    if (!path) return {};
    lastAutoFile = *path;
    return runAutoFile(lastAutoFile, std::move(hold));
}

std::optional<AutoRunResult> AutoRunner::autoAgainCommand() {
    if (lastAutoFile.isEmpty()) {
        link_.host().messageBox(
            QStringLiteral("Nothing to Auto-Again with!\nUse Auto (F3) first."));
        return {};
    }
    if (link_.isBusy()) {
        link_.host().messageBox(strings::text(strings::UploadInProgress));
        return {};
    }
    return runAutoFile(lastAutoFile, TransferHold(link_));
}

AutoRunResult AutoRunner::runAutoFile(const QString& path, TransferHold hold) {
    // Declared first so it is released last, after the file is closed and the
    // pane written.
    const TransferHold held = std::move(hold);
    MonitorLink::Operation operation(link_);
    Host& host = link_.host();
    host.appendToTerminal(QByteArrayLiteral("Starting auto-execution : "));
    host.appendToTerminal(QFile::encodeName(path));
    host.appendToTerminal(QByteArrayLiteral("\r\n"));
    link_.clearAbort();

    AutoRunResult result;
    const QString autoFileDir = QFileInfo(path).absolutePath();
    {
        ExclusiveFile file;
        const FileErrorCategory error = file.open(path, ExclusiveFile::Mode::Read);
        if (error != FileErrorCategory::None) {
            host.messageBox(cantOpenFileMessage(path, error, file.lastErrno()));
            return {AutoRunResult::End::NotOpened, 0};
        }
        // A pipe (or standard input) has no length: it is read to its end.
        qint64 remaining = file.isRegular() ? std::max<qint64>(file.size(), 0)
                                            : std::numeric_limits<qint64>::max();
        std::array<char, ReadChunkSize> chunk;
        qint64 filled = 0;
        qint64 next = 0;
        QByteArray line;
        // Stop is looked at before every byte, so a run ends at the byte after
        // the line during which it was pressed.
        while (remaining > 0 && !link_.isAborting()) {
            if (!link_.port().portOpen()) {
                // Console lines would be dropped and every download fail
                // fast: the run ends, naming the device.
                const QString lost = QStringLiteral("*** DEVICE %1 LOST - AUTO-EXECUTION ENDED ***")
                                         .arg(link_.port().deviceName());
                host.appendToTerminal("\r" + lost.toLocal8Bit() + "\r");
                host.setField(FieldTask, lost);
                result.end = AutoRunResult::End::DeviceLost;
                break;
            }
            if (next == filled) {
                filled = readChunk(file, chunk.data(), std::min(ReadChunkSize, remaining));
                next = 0;
                if (filled < 0) {
                    host.appendToTerminal(QByteArrayLiteral(
                        "\r*** AUTO FILE READ ERROR - AUTO-EXECUTION ENDED ***\r"));
                    result.end = AutoRunResult::End::ReadError;
                    break;
                }
                if (filled == 0) break; // the file has shrunk since it was opened
            }
            // Nothing between two line ends can press Stop, so the ordinary
            // bytes up to the next line end are taken in one piece.
            const char* begin = chunk.data() + next;
            const char* lineEnd =
                std::find_if(begin, static_cast<const char*>(chunk.data() + filled), isLineEnd);
            line.append(begin, lineEnd - begin);
            next += lineEnd - begin;
            remaining -= lineEnd - begin;
            if (next == filled) continue;
            ++next;
            --remaining;
            const auto local =
                executeAutoLine(link_, std::exchange(line, QByteArray()), autoFileDir);
            if (local && local->transfer && *local->transfer != TransferOutcome::Completed)
                ++result.failedTransfers;
        }
    }
    if (result.end != AutoRunResult::End::DeviceLost)
        host.setField(FieldTask, QStringLiteral("Auto file completed."));
    if (result.end == AutoRunResult::End::Completed && link_.isAborting())
        result.end = AutoRunResult::End::Stopped;
    return result;
}

} // namespace kestrel
