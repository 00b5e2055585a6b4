// Command-line parsing never crashes, and whatever it accepts is a known
// command with the right number of non-empty arguments.
#include "CliOptions.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QStringList args;
    for (const QByteArray& part :
         QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0'))
        args << QString::fromUtf8(part);
    const auto result = kestrel::cli::parseCommandLine(args);
    if (const auto* o = std::get_if<kestrel::cli::Options>(&result)) {
        static const QStringList known{"load", "dload", "receive", "auto", "term", "ports"};
        if (!known.contains(o->command)) std::abort();
        if (!kestrel::flowControlFromNumber(kestrel::flowControlNumber(o->flow))) std::abort();
        // The typed settings are what the text given says.
        if (o->line && kestrel::LineSettings::parse(o->settings) != o->line) std::abort();
        for (const QString& a : o->arguments)
            if (a.isEmpty()) std::abort();
    } else if (std::get<kestrel::cli::Usage>(result).exitStatus == 0) {
        bool asked = false;
        for (const QString& a : args)
            // Short flags combine, so "-th" asks for help too.
            asked |= (a.startsWith('-') && !a.startsWith("--") && a.contains('h')) ||
                     a.startsWith("--help") || a.startsWith("--version");
        if (!asked) std::abort();
    }
    return 0;
}
