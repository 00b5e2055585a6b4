#include "LocalCommand.h"

#include "DataDownload.h"
#include "ExecutableDownload.h"
#include "ExecutableFormat.h"
#include "FileAccess.h"
#include "MonitorLink.h"
#include "NumberText.h"
#include "Strings.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <utility>

namespace kestrel {

namespace {

// A count of seconds whose milliseconds still fit the host's int sleep.
constexpr qint32 LongestSleepSeconds = 2147483;
constexpr int PauseAfterDataLoadMs = 1000;

struct Command {
    MonitorLink& link;
    Host& host;
    const QByteArray& firstArg;
    const QByteArray& secondArg;
    const QByteArray& rest;

    void append(const QByteArray& piece) { host.appendToTerminal(piece); }
};

using Handler = std::optional<TransferOutcome> (*)(Command&);

std::optional<TransferOutcome> dataLoad(Command& c) {
    const quint32 address = parseHex32(c.secondArg);
    // Only a wait for the monitor to be ready: without the prompt the
    // download still goes ahead and reports its own failures.
    c.link.awaitPrompt();
    const TransferOutcome outcome =
        downloadDataFile(c.link, QFile::decodeName(c.firstArg), address);
    c.host.sleepMilliseconds(PauseAfterDataLoadMs);
    return outcome;
}

std::optional<TransferOutcome> executableLoad(Command& c) {
    const QString path = QFile::decodeName(c.firstArg);
    c.append(QByteArrayLiteral("\r"));
    const ExecutableFormat format = classifyExecutable(path);
    c.append(c.firstArg);
    switch (format) {
    case ExecutableFormat::PsExe:
        c.append(QByteArrayLiteral(": PSX-EXE format.\r"));
        return downloadPsExe(c.link, path);
    case ExecutableFormat::AOut:
        c.append(QByteArrayLiteral(": A-OUT format.\r"));
        return downloadAOut(c.link, path);
    case ExecutableFormat::SFormat:
        c.append(QByteArrayLiteral(": S-Format.\r"));
        return TransferOutcome::NotStarted;
    case ExecutableFormat::NotExecutable:
        break;
    }
    // A file that cannot be read is no executable either, but what the user
    // needs to hear is why it cannot be read.
    ExclusiveFile file;
    if (const FileErrorCategory error = file.open(path, ExclusiveFile::Mode::Read);
        error != FileErrorCategory::None) {
        c.host.messageBox(cantOpenFileMessage(path, error));
        c.append(QByteArrayLiteral("\t\t: Cannot open file for download.\r"));
        return TransferOutcome::NotStarted;
    }
    c.append(
        QByteArrayLiteral(": Not a PlayStation executable - Use Download Datafile instead.\r"));
    return TransferOutcome::NotStarted;
}

std::optional<TransferOutcome> messageBox(Command& c) {
    c.host.waitForUser(QString::fromLocal8Bit(c.rest));
    return {};
}

std::optional<TransferOutcome> waitForOk(Command& c) {
    c.host.waitForUser(strings::text(strings::ClickOkWhenReady));
    return {};
}

std::optional<TransferOutcome> clearScreen(Command& c) {
    c.host.clearTerminal();
    return {};
}

std::optional<TransferOutcome> echo(Command& c) {
    c.append(c.rest);
    c.append(QByteArrayLiteral("\r"));
    return {};
}

std::optional<TransferOutcome> quitProgram(Command& c) {
    c.host.requestQuit();
    return {};
}

std::optional<TransferOutcome> nestedAuto(Command& c) {
    c.append(QByteArrayLiteral("Nesting of AUTO files is not supported.\r"));
    return {};
}

std::optional<TransferOutcome> help(Command& c) {
    c.append(QByteArrayLiteral("HELP: See KESTREL.DOC for help.\r"));
    return {};
}

std::optional<TransferOutcome> beep(Command& c) {
    c.host.beep();
    return {};
}

std::optional<TransferOutcome> sleepSeconds(Command& c) {
    c.append(QByteArrayLiteral("Going to sleep for "));
    c.append(c.firstArg);
    c.append(QByteArrayLiteral(" seconds..."));
    // A negative count sleeps not at all; a count whose milliseconds would
    // overflow sleeps as long as the host's sleep can.
    const qint32 seconds = std::clamp(parseDecimal32(c.firstArg), 0, LongestSleepSeconds);
    if (seconds > 0) c.host.sleepMilliseconds(seconds * 1000);
    c.append(QByteArrayLiteral("done.\r"));
    return {};
}

const std::array<std::pair<QByteArrayView, Handler>, 11> Commands{{
    {"dload", dataLoad},
    {"load", executableLoad},
    {"msgbox", messageBox},
    {"pause", waitForOk},
    {"cls", clearScreen},
    {"echo", echo},
    {"quit", quitProgram},
    {"auto", nestedAuto},
    {"help", help},
    {"beep", beep},
    {"sleep", sleepSeconds},
}};

} // namespace

LocalCommandResult runLocalCommand(MonitorLink& link, const QByteArray& keyword,
                                   const QByteArray& firstArg, const QByteArray& secondArg,
                                   const QByteArray& rest) {
    MonitorLink::Operation operation(link);
    Command command{link, link.host(), firstArg, secondArg, rest};
    for (const auto& [name, handler] : Commands)
        if (QByteArrayView(keyword) == name) return {true, handler(command)};
    command.append(keyword);
    command.append(QByteArrayLiteral(" - **** NOT A VALID LOCAL COMMAND ****\r"));
    return {false, std::nullopt};
}

std::optional<TransferOutcome> onDownloadExecutable(MonitorLink& link,
                                                    const FileChooser& chooseFile) {
    MonitorLink::Operation operation(link);
    if (link.isBusy()) {
        link.host().messageBox(strings::text(strings::UploadInProgress));
        return {};
    }
    const std::optional<QString> path = chooseFile(ExecutableFileFilter);
    if (!path) return {};
    TransferHold hold(link);
    const QByteArray name = QFile::encodeName(*path);
    return runLocalCommand(link, QByteArrayLiteral("load"), name, name, name).transfer;
}

} // namespace kestrel
