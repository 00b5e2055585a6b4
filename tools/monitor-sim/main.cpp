// kestrel-monitor-sim: behaves on a pseudo-terminal as the console's resident
// monitor does towards Kestrel, so the terminal can be tried and tested
// without a console.
#include "Session.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* usage = R"(Usage: kestrel-monitor-sim [options]

Opens a pseudo-terminal pair and answers on it as the console's resident
monitor: echo and the ">>" prompt, "bwr" binary write, "brd" binary read,
"sr REGISTER HEX" and "dr". The first line on stdout is the device to open
in Kestrel. Stops on SIGTERM, SIGINT or SIGHUP; SIGUSR1 writes the report.

Options:
  --link PATH          also make PATH a symlink to the device
  --relink             after a hangup open a new device at --link PATH
  --report FILE        write the memory and register report to FILE on
                       SIGUSR1 and at exit
  --transcript FILE    record every byte in and out in FILE
  --baud N             pace both directions at N baud (10 bits a byte)
  --block-timeout MS   drop a header or frame after MS ms of silence (3000)
  --refuse-frame N     answer frame N (1-based, counted over the run) with a
                       refusal; may be given more than once
  --no-end-binary      answer 0x03 with the prompt only, without "end binary"
  --stall-after N      after N acknowledged frames answer nothing at all
  --garbage-prompt     send noise in place of "binary"
  --wrong-read-byte N  change byte N (1-based, counted over every binary read
                       of the run) of what a binary read sends
  --short-read N       end every binary read after N bytes
  --hangup-after N     close the device after N received bytes
  --listen tcp:HOST:PORT
                       serve the line on a TCP port instead (raw bytes, one
                       client at a time; port 0 picks a free one); the first
                       line on stdout is then tcp:HOST:PORT
  --help               show this text
)";

bool parseNumber(std::string_view text, std::uint64_t& value) {
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "kestrel-monitor-sim: %s\n(--help shows the options)\n", message.c_str());
    return 2;
}

// A path the simulator will write: its folder must exist and take new files,
// checked now rather than at the first report.
std::string unwritablePath(const char* option, const std::string& path) {
    if (path.empty()) return {};
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return std::string(option) + " " + path + ": the folder " + folder +
               " cannot be used: " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return std::string(option) + " " + path + ": " + folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return std::string(option) + " " + path + ": the folder " + folder +
               " does not take new files: " + std::strerror(errno);
    return {};
}

// Closed standard descriptors would be taken by the pseudo-terminal, and the
// device line on stdout would go down the line itself.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
}

} // namespace

int main(int argc, char** argv) {
    openStandardDescriptors();
    kestrel::sim::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        const auto takeNumber = [&](std::uint64_t& number) {
            return takeValue() && parseNumber(value, number);
        };
        std::uint64_t number = 0;
        if (name == "--help" || name == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (name == "--link" && takeValue()) {
            options.link = value;
        } else if (name == "--relink") {
            options.relink = true;
        } else if (name == "--report" && takeValue()) {
            options.report = value;
        } else if (name == "--transcript" && takeValue()) {
            options.transcript = value;
        } else if (name == "--baud" && takeNumber(number) && number > 0 && number <= 100'000'000) {
            options.baud = static_cast<std::uint32_t>(number);
        } else if (name == "--block-timeout" && takeNumber(number)) {
            options.blockTimeout = std::chrono::milliseconds(number);
        } else if (name == "--refuse-frame" && takeNumber(number) && number > 0) {
            options.faults.refusedFrames.insert(number);
        } else if (name == "--no-end-binary") {
            options.faults.noEndBinary = true;
        } else if (name == "--stall-after" && takeNumber(number)) {
            options.faults.stallAfter = number;
        } else if (name == "--wrong-read-byte" && takeNumber(number) && number > 0) {
            options.faults.wrongReadByte = number;
        } else if (name == "--short-read" && takeNumber(number)) {
            options.faults.shortRead = number;
        } else if (name == "--garbage-prompt") {
            options.faults.garbagePrompt = true;
        } else if (name == "--hangup-after" && takeNumber(number) && number > 0) {
            options.hangupAfter = number;
        } else if (name == "--listen" && takeValue() && value.starts_with("tcp:")) {
            options.listen = std::string(value.substr(4));
        } else {
            return fail("bad option or value: " + std::string(name) +
                        (value.empty() ? "" : " " + std::string(value)));
        }
    }
    if (options.relink && options.link.empty()) return fail("--relink needs --link");
    if (!options.listen.empty() && !options.link.empty())
        return fail("--listen serves a TCP port; --link names a pseudo-terminal");
    for (const auto& [option, path] :
         {std::pair{"--report", options.report}, std::pair{"--link", options.link},
          std::pair{"--transcript", options.transcript}})
        if (const std::string error = unwritablePath(option, path); !error.empty())
            return fail(error);
    return kestrel::sim::Session(std::move(options)).run();
}
