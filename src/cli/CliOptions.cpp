#include "CliOptions.h"

#include <QCoreApplication>

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
    Command{"auto", 1, 1}, Command{"term", 0, 0},
};

constexpr std::array flowNames{"none", "xonxoff", "rts", "xonrts"};

Usage mistake(const QString& text) {
    return Usage{QStringLiteral("kestrel-cli: %1\nTry 'kestrel-cli --help'.\n").arg(text),
                 ExitUsage};
}

} // namespace

QString helpText() {
    return QStringLiteral(
        "Usage: kestrel-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
        "\n"
        "Talks to the Net Yaroze console's resident monitor over a serial line.\n"
        "\n"
        "Options:\n"
        "  -p, --port DEVICE        serial device; default: the port stored by the window\n"
        "  -s, --settings TEXT      line settings \"speed,parity,data,stop\", e.g. 115200,n,8,1;\n"
        "                           default: the stored settings, else 9600,n,8,1\n"
        "  -f, --flow none|xonxoff|rts|xonrts   flow control (default none)\n"
        "  -q, --quiet              no progress display\n"
        "  -t, --then-terminal      after the command, stay attached as with `term`\n"
        "  -h, --help               show this help\n"
        "      --version            show the version\n"
        "\n"
        "Commands:\n"
        "  load FILE                      classify and download an executable, then set the\n"
        "                                 start registers\n"
        "  dload FILE ADDRESS             download a data file to a hexadecimal address\n"
        "  receive FILE ADDRESS LENGTH    receive a memory block into FILE\n"
        "  auto FILE                      run an auto file\n"
        "  term                           interactive terminal; Ctrl-] ends it\n"
        "\n"
        "Ctrl-C stops a running transfer as the Stop button does; a second Ctrl-C ends\n"
        "the program.\n"
        "\n"
        "Exit status: 0 done and acknowledged; 1 a transfer failed or was stopped;\n"
        "2 bad usage, an unreadable file, a port that cannot be opened, or a file that\n"
        "is not an executable for load.\n");
}

ParseResult parseCommandLine(const QStringList& args) {
    Options options;
    QStringList positional;
    bool optionsEnded = false;

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-') {
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
            inlineValue = arg.mid(2);
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
        return options;
    }
    return mistake(QStringLiteral("unknown command '%1'").arg(options.command));
}

} // namespace kestrel::cli
