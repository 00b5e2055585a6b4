#include "CliOptions.h"

#include "AppIdentity.h"
#include "DeviceMap.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <array>

namespace kestrel::cli {

namespace {

struct Command {
    const char* name;
    int minArgs;
    int maxArgs;
};

constexpr std::array commands{
    Command{"load", 1, 1}, Command{"dload", 2, 2}, Command{"receive", 3, 3},
    Command{"auto", 1, 1}, Command{"term", 0, 0},  Command{"ports", 0, 0},
};

// In FlowControl's order.
constexpr std::array flowNames{"none", "xonxoff", "rts", "xonrts"};

Usage mistake(const QString& text) {
    return Usage{QStringLiteral("kestrel-cli: %1\nTry 'kestrel-cli --help'.\n").arg(text),
                 ExitUsage};
}

// The hexadecimal numbers of the command line: 1 to 8 digits, an optional
// 0x first. The window reads its dialog leniently; a script that mistypes an
// address must not have its file written to address 0.
std::optional<quint32> strictHex32(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^(?:0[xX])?([0-9A-Fa-f]{1,8})$"));
    const auto m = form.match(text);
    if (!m.hasMatch()) return std::nullopt;
    return m.captured(1).toUInt(nullptr, 16);
}

std::optional<Usage> checkNumbers(const Options& o) {
    const auto notHex = [](const char* what, const QString& text) {
        return mistake(QStringLiteral("%1 '%2' is not a hexadecimal number of 1 to 8 digits "
                                      "(0x first is allowed)")
                           .arg(QLatin1String(what), text));
    };
    if (o.command == QLatin1String("dload") || o.command == QLatin1String("receive")) {
        if (!strictHex32(o.arguments[1])) return notHex("ADDRESS", o.arguments[1]);
    }
    if (o.command == QLatin1String("receive")) {
        const auto length = strictHex32(o.arguments[2]);
        if (!length) return notHex("LENGTH", o.arguments[2]);
        if (*length == 0 || *length > LargestReceiveLength)
            return mistake(QStringLiteral("LENGTH '%1' must be 1 to %2 (16 MiB, more than any "
                                          "console holds)")
                               .arg(o.arguments[2])
                               .arg(LargestReceiveLength, 0, 16));
    }
    return std::nullopt;
}

// How an option's value lands in Options: nullopt, or the mistake to report.
// A missing value arrives as an empty text.
using Apply = std::optional<Usage> (*)(Options&, const QString& value);

std::optional<Usage> setFlow(Options& o, const QString& v) {
    for (int k = 0; k < int(flowNames.size()); ++k) {
        if (v.compare(QLatin1String(flowNames[k]), Qt::CaseInsensitive) == 0) {
            o.flow = static_cast<FlowControl>(k);
            return std::nullopt;
        }
    }
    if (v.isEmpty()) return mistake(QStringLiteral("--flow needs none, xonxoff, rts or xonrts"));
    return mistake(QStringLiteral("unknown flow control '%1' (none, xonxoff, rts, xonrts)").arg(v));
}

enum class Kind { Flag, Value, Help, Version };

// One row per option: its names, what it takes, its lines in the help text
// and where it lands. The parser, the help text and the flags that may share
// one word ("-qt") all read this table.
struct OptionRow {
    char shortName; // 0: long name only
    const char* longName;
    Kind kind;
    const char* valueName; // how the help text names the value
    // Up to three lines; an initializer_list here would point at a temporary
    // array that is gone once the table is built.
    std::array<const char*, 3> help;
    bool Options::*flag = nullptr; // Kind::Flag
    Apply apply = nullptr;         // Kind::Value with its own check
    // Kind::Value taken as it is: where it goes, and what an empty one lacks.
    QString Options::*text = nullptr;
    const char* needs = nullptr;
};

const std::array optionTable{
    OptionRow{'p',
              "port",
              Kind::Value,
              "DEVICE",
              {"serial device (a path, or COM1 to COM8), or a network",
               "port rfc2217://HOST:PORT or tcp://HOST:PORT; default:",
               "the window's stored port, else COM2 (/dev/ttyS1)"},
              nullptr,
              nullptr,
              &Options::port,
              "a device"},
    OptionRow{'s',
              "settings",
              Kind::Value,
              "TEXT",
              {"line settings \"speed,parity,data,stop\", e.g. 115200,n,8,1;",
               "default: the stored settings, else 9600,n,8,1"},
              nullptr,
              nullptr,
              &Options::settings,
              "a text"},
    OptionRow{'f',
              "flow",
              Kind::Value,
              "none|xonxoff|rts|xonrts",
              {"flow control (default none)"},
              nullptr,
              setFlow},
    OptionRow{'q', "quiet", Kind::Flag, nullptr, {"no progress display"}, &Options::quiet},
    OptionRow{'t',
              "then-terminal",
              Kind::Flag,
              nullptr,
              {"after the command, stay attached as with `term`"},
              &Options::thenTerminal},
    OptionRow{0,
              "visible-controls",
              Kind::Flag,
              nullptr,
              {"`term` shows control characters as ^[ and friends"},
              &Options::visibleControls},
    OptionRow{0,
              "log",
              Kind::Value,
              "FILE",
              {"append the terminal's text as shown, LF line ends, to",
               "FILE: a regular or new file, not the command's own FILE"},
              nullptr,
              nullptr,
              &Options::logPath,
              "a file"},
    OptionRow{
        0,
        "timestamps",
        Kind::Flag,
        nullptr,
        {"start each line of the --log file with the local time", "(2026-12-10 14:03:07.412)"},
        &Options::timestamps},
    OptionRow{0,
              "log-raw",
              Kind::Value,
              "FILE",
              {"append every byte received to FILE exactly as it came",
               "(a regular or new file, as for --log)"},
              nullptr,
              nullptr,
              &Options::rawLogPath,
              "a file"},
    OptionRow{0,
              "watch",
              Kind::Flag,
              nullptr,
              {"with load or auto: stay attached as with `term` and run",
               "the command again each time FILE changes"},
              &Options::watch},
    OptionRow{
        0,
        "verify",
        Kind::Flag,
        nullptr,
        {"with load, dload or auto: read every download back", "and compare it with what was sent"},
        &Options::verify},
    OptionRow{'h', "help", Kind::Help, nullptr, {"show this help"}},
    OptionRow{0, "version", Kind::Version, nullptr, {"show the version"}},
};

// The help column starts at character 27; a longer entry puts its help three
// spaces after it on the same line.
QString optionsHelp() {
    constexpr int HelpColumn = 27;
    QString out;
    for (const OptionRow& row : optionTable) {
        QString entry = row.shortName ? QStringLiteral("  -%1, ").arg(QLatin1Char(row.shortName))
                                      : QStringLiteral("      ");
        entry += QLatin1String("--") + QLatin1String(row.longName);
        if (row.valueName) entry += QLatin1Char(' ') + QLatin1String(row.valueName);
        entry = entry.size() < HelpColumn ? entry.leftJustified(HelpColumn)
                                          : entry + QLatin1String("   ");
        for (const char* line : row.help) {
            if (!line) break;
            out += entry + QLatin1String(line) + u'\n';
            entry = QString(HelpColumn, u' ');
        }
    }
    return out;
}

// `name` is "--long" or "-s".
const OptionRow* findOption(const QString& name) {
    for (const OptionRow& row : optionTable) {
        if (name == QLatin1String("--") + QLatin1String(row.longName)) return &row;
        if (row.shortName && name.size() == 2 && name[1] == QLatin1Char(row.shortName)) return &row;
    }
    return nullptr;
}

// Short options that take no value may share one word ("-qt").
bool sharesWord(QChar c) {
    for (const OptionRow& row : optionTable)
        if (row.shortName && row.kind != Kind::Value && c == QLatin1Char(row.shortName))
            return true;
    return false;
}

} // namespace

QString helpText() {
    const QString head =
        QStringLiteral("Usage: kestrel-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
                       "\n"
                       "Talks to the Net Yaroze console's resident monitor over a serial line.\n"
                       "\n"
                       "Options:\n");
    return head + optionsHelp() +
           QStringLiteral(
               "\n"
               "Commands:\n"
               "  load FILE                      classify and download an executable, then set "
               "the\n"
               "                                 start registers (only after a download that\n"
               "                                 went through; exit 1 if the monitor does not\n"
               "                                 echo them)\n"
               "  dload FILE ADDRESS             download a data file to a hexadecimal address\n"
               "  receive FILE ADDRESS LENGTH    receive a memory block into FILE (LENGTH at most\n"
               "                                 1000000, 16 MiB); FILE is replaced only when the\n"
               "                                 whole block has arrived, else FILE.partial holds\n"
               "                                 what did\n"
               "  auto FILE                      run an auto file (- or a pipe: read as a stream)\n"
               "  term                           interactive terminal; Ctrl-] ends it\n"
               "  ports                          list the serial devices of this machine\n"
               "\n"
               "In term and with --watch, a device or connection that goes away is said once\n"
               "and looked for every second; the terminal goes on once it is back (piped input\n"
               "waits for it). A transfer it cuts short fails.\n"
               "\n"
               "ADDRESS and LENGTH are 1 to 8 hexadecimal digits, 0x first allowed. Binary\n"
               "transfers are refused under xonxoff flow control (it cannot carry binary data).\n"
               "\n"
               "Ctrl-C stops a running transfer as the Stop button does; a second Ctrl-C ends\n"
               "the program. SIGTERM and SIGHUP stop a running command the same way and then\n"
               "end the program (status 1); with nothing running they end it at once (status\n"
               "128 plus the signal number).\n"
               "\n"
               "The program ends once everything sent has crossed the line at the speed of\n"
               "the line settings (at most its line time plus 2 seconds; Ctrl-C ends the wait).\n"
               "\n"
               "Exit status: 0 done and acknowledged; 1 a transfer failed or was stopped, what\n"
               "was sent could not be delivered, or `ports` could not write its list; 2 bad\n"
               "usage, an unreadable file, a port that cannot be opened, or a file that is not\n"
               "an executable for load.\n");
}

ParseResult parseCommandLine(const QStringList& given) {
    Options options;
    QStringList args = given;
    QStringList positional;
    bool optionsEnded = false;

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        // No option starts with a digit: "-1" is a (bad) number, said as such.
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-' || arg[1].isDigit()) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = arg;
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--"))) {
            const qsizetype eq = arg.indexOf(u'=');
            if (eq > 0) {
                name = arg.left(eq);
                inlineValue = arg.mid(eq + 1);
            }
        } else if (arg.size() > 2) {
            name = arg.left(2);
            if (sharesWord(arg[1])) {
                // "-qt" is "-q -t": the rest of the word is the next flag.
                args.insert(i + 1, QLatin1Char('-') + arg.mid(2));
            } else {
                inlineValue = arg.mid(2);
            }
        }
        auto value = [&]() -> std::optional<QString> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        const OptionRow* row = findOption(name);
        if (!row) return mistake(QStringLiteral("unknown option '%1'").arg(arg));
        switch (row->kind) {
        case Kind::Help:
            return Usage{helpText(), ExitOk};
        case Kind::Version:
            return Usage{QStringLiteral("kestrel-cli %1\n").arg(fullVersion()), ExitOk};
        case Kind::Flag:
            if (inlineValue) return mistake(QStringLiteral("option %1 takes no value").arg(name));
            options.*(row->flag) = true;
            break;
        case Kind::Value: {
            const QString v = value().value_or(QString());
            if (row->apply) {
                if (auto u = row->apply(options, v)) return *u;
            } else if (v.isEmpty()) {
                return mistake(QStringLiteral("--%1 needs %2")
                                   .arg(QLatin1String(row->longName), QLatin1String(row->needs)));
            } else {
                options.*(row->text) = v;
            }
            break;
        }
        }
    }
    // A text that does not parse leaves `line` empty; the refusal is said
    // where the port would have refused it, after the port is known.
    if (!options.settings.isEmpty()) options.line = LineSettings::parse(options.settings);

    if (const auto number = commPortInName(options.port);
        number && (*number < FirstCommPort || *number > LastNamedCommPort))
        return mistake(QStringLiteral("--port %1: COM1 to COM8 name the serial ports by number; "
                                      "give any other device by its path")
                           .arg(options.port));
    if (options.timestamps && options.logPath.isEmpty())
        return mistake(
            QStringLiteral("--timestamps stamps the lines of --log FILE; give --log too"));
    if (positional.isEmpty()) return mistake(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    options.arguments = positional;
    for (const Command& c : commands) {
        if (options.command != QLatin1String(c.name)) continue;
        const auto n = options.arguments.size();
        if (n < c.minArgs || n > c.maxArgs)
            return mistake(QStringLiteral("'%1' takes %2 argument%3")
                               .arg(options.command)
                               .arg(c.minArgs)
                               .arg(c.minArgs == 1 ? QString() : QStringLiteral("s")));
        for (const QString& a : options.arguments)
            if (a.isEmpty()) return mistake(QStringLiteral("empty argument"));
        if (auto u = checkNumbers(options)) return *u;
        if (options.verify && options.command != QLatin1String("load") &&
            options.command != QLatin1String("dload") && options.command != QLatin1String("auto"))
            return mistake(QStringLiteral("--verify goes with load, dload or auto, not '%1'")
                               .arg(options.command));
        if (options.watch && options.command != QLatin1String("load") &&
            options.command != QLatin1String("auto"))
            return mistake(
                QStringLiteral("--watch goes with load or auto, not '%1'").arg(options.command));
        // The watched file is read again at each change; a stream is read once.
        if (options.watch && options.command == QLatin1String("auto") &&
            options.arguments[0] == u'-')
            return mistake(QStringLiteral("--watch needs a file: '-' is standard input, and "
                                          "standard input cannot be watched"));
        return options;
    }
    return mistake(QStringLiteral("unknown command '%1'").arg(options.command));
}

} // namespace kestrel::cli
