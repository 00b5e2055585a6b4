#include "CliOptions.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <array>
#include <cstring>

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

// Flags without a value, which may share one word ("-qt").
constexpr char ShortFlags[] = "qth";

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

} // namespace

QString helpText() {
    return QStringLiteral(
        "Usage: kestrel-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
        "\n"
        "Talks to the Net Yaroze console's resident monitor over a serial line.\n"
        "\n"
        "Options:\n"
        "  -p, --port DEVICE        serial device; default: the port stored by the\n"
        "                           window, else COM2 (/dev/ttyS1)\n"
        "  -s, --settings TEXT      line settings \"speed,parity,data,stop\", e.g. 115200,n,8,1;\n"
        "                           default: the stored settings, else 9600,n,8,1\n"
        "  -f, --flow none|xonxoff|rts|xonrts   flow control (default none)\n"
        "  -q, --quiet              no progress display\n"
        "  -t, --then-terminal      after the command, stay attached as with `term`\n"
        "      --visible-controls   `term` shows control characters as ^[ and friends\n"
        "  -h, --help               show this help\n"
        "      --version            show the version\n"
        "\n"
        "Commands:\n"
        "  load FILE                      classify and download an executable, then set the\n"
        "                                 start registers\n"
        "  dload FILE ADDRESS             download a data file to a hexadecimal address\n"
        "  receive FILE ADDRESS LENGTH    receive a memory block into FILE (LENGTH at most\n"
        "                                 1000000, 16 MiB); FILE is replaced only when the\n"
        "                                 whole block has arrived, else FILE.partial holds\n"
        "                                 what did\n"
        "  auto FILE                      run an auto file (- or a pipe: read as a stream)\n"
        "  term                           interactive terminal; Ctrl-] ends it\n"
        "  ports                          list the serial devices of this machine\n"
        "\n"
        "ADDRESS and LENGTH are 1 to 8 hexadecimal digits, 0x first allowed. Binary\n"
        "transfers are refused under xonxoff flow control (it cannot carry binary data).\n"
        "\n"
        "Ctrl-C stops a running transfer as the Stop button does; a second Ctrl-C ends\n"
        "the program. SIGTERM and SIGHUP stop a running command the same way and then\n"
        "end the program (status 1); with nothing running they end it at once (status\n"
        "128 plus the signal number).\n"
        "\n"
        "Exit status: 0 done and acknowledged; 1 a transfer failed or was stopped;\n"
        "2 bad usage, an unreadable file, a port that cannot be opened, or a file that\n"
        "is not an executable for load.\n");
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
            if (std::strchr(ShortFlags, arg[1].toLatin1())) {
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
        auto flag = [&](bool& target) -> std::optional<Usage> {
            if (inlineValue) return mistake(QStringLiteral("option %1 takes no value").arg(name));
            target = true;
            return std::nullopt;
        };

        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            return Usage{helpText(), ExitOk};
        } else if (name == QLatin1String("--version")) {
            return Usage{QStringLiteral("kestrel-cli %1\n").arg(QStringLiteral(KESTREL_VERSION)),
                         ExitOk};
        } else if (name == QLatin1String("-p") || name == QLatin1String("--port")) {
            const auto v = value();
            if (!v || v->isEmpty()) return mistake(QStringLiteral("--port needs a device"));
            options.port = *v;
        } else if (name == QLatin1String("-s") || name == QLatin1String("--settings")) {
            const auto v = value();
            if (!v || v->isEmpty()) return mistake(QStringLiteral("--settings needs a text"));
            options.settings = *v;
        } else if (name == QLatin1String("-f") || name == QLatin1String("--flow")) {
            const auto v = value();
            if (!v) return mistake(QStringLiteral("--flow needs none, xonxoff, rts or xonrts"));
            int found = -1;
            for (int k = 0; k < int(flowNames.size()); ++k)
                if (v->compare(QLatin1String(flowNames[k]), Qt::CaseInsensitive) == 0) found = k;
            if (found < 0)
                return mistake(QStringLiteral("unknown flow control '%1' (none, xonxoff, rts, "
                                              "xonrts)")
                                   .arg(*v));
            options.flow = found;
        } else if (name == QLatin1String("-q") || name == QLatin1String("--quiet")) {
            if (auto u = flag(options.quiet)) return *u;
        } else if (name == QLatin1String("-t") || name == QLatin1String("--then-terminal")) {
            if (auto u = flag(options.thenTerminal)) return *u;
        } else if (name == QLatin1String("--visible-controls")) {
            if (auto u = flag(options.visibleControls)) return *u;
        } else {
            return mistake(QStringLiteral("unknown option '%1'").arg(arg));
        }
    }

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
        return options;
    }
    return mistake(QStringLiteral("unknown command '%1'").arg(options.command));
}

} // namespace kestrel::cli
