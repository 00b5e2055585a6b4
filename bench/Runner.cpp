// kestrel-bench: runs every benchmark of the suite and prints one table.
//
// Each figure is measured in the same run as its floor (a minimal program
// doing the same work), so a shared or slow machine shifts both alike and the
// ratio stays meaningful. Nothing here fails on a slow machine: the exit
// status is 0 unless a benchmark could not run at all.
//
//   kestrel-bench [--quick] [--markdown FILE] [BENCHMARK...]
#include "Process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kestrel::bench;
using namespace std::chrono_literals;

namespace {

struct Programs {
    std::string cli = KESTREL_BENCH_CLI;
    std::string simulator = KESTREL_BENCH_SIMULATOR;
    std::string kestrel = KESTREL_BENCH_WINDOW_APP;
    std::string sender = KESTREL_BENCH_SENDER;
    std::string windowDriver = KESTREL_BENCH_WINDOW_DRIVER;
    std::string minimalWindow = KESTREL_BENCH_MINIMAL_WINDOW;
    std::string paintProbe = KESTREL_BENCH_PAINT_PROBE;
};

// How much work each benchmark does; --quick shrinks it for a smoke run.
struct Sizes {
    long long overheadBytes = 16LL << 20;
    int overheadRounds = 4;
    long long smallBytes = 1LL << 20;
    long long largeBytes = 256LL << 20;
    long long pacedBytes = 256LL << 10;
    long long pacedWindowBytes = 256LL << 10;
    int idleSeconds = 10;
    long long floodBytes = 4LL << 20;
    int startupRuns = 11;

    static Sizes quick() {
        Sizes s;
        s.overheadBytes = 2LL << 20;
        s.overheadRounds = 1;
        s.largeBytes = 16LL << 20;
        s.pacedBytes = 16LL << 10;
        s.pacedWindowBytes = 16LL << 10;
        s.idleSeconds = 2;
        s.floodBytes = 512LL << 10;
        s.startupRuns = 2;
        return s;
    }
};

constexpr const char* LoadAddress = "80010000";
constexpr long long FrameData = 2048;
constexpr double Baud = 115200;
constexpr double BytesPerSecondAtBaud = Baud / 10; // 10 bits a byte on the line

long long framesFor(long long bytes) {
    return (bytes + FrameData - 1) / FrameData;
}

// The share of the time the line was busy with what the sender itself must
// put on it: the frames, the load header and the end byte.
double lineEfficiency(long long size, double seconds) {
    const double lineBytes = double(framesFor(size)) * (FrameData + 2) + 9 + 1;
    return lineBytes / BytesPerSecondAtBaud / seconds;
}

struct Row {
    std::string figure;
    std::string value;
    std::string target;
    std::optional<bool> met; // nullopt: no target, only a figure
};

struct Report {
    std::vector<Row> rows;
    std::vector<std::string> commands; // how each figure was produced
    std::vector<std::string> failures; // benchmarks that could not run, and why

    void add(std::string figure, std::string value, std::string target = {},
             std::optional<bool> met = std::nullopt) {
        rows.push_back({std::move(figure), std::move(value), std::move(target), met});
    }
};

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// A command line as the table shows it: programs by name, the rest as run.
std::string joined(const Arguments& arguments) {
    std::string text;
    for (const auto& argument : arguments) {
        if (!text.empty()) text += ' ';
        text += text.empty() ? std::filesystem::path(argument).filename().string() : argument;
    }
    return text;
}

Finished mustRun(const Arguments& arguments, const Arguments& environment = {}) {
    Finished finished = runToEnd(arguments, environment);
    if (finished.exitStatus != 0)
        throw std::runtime_error(joined(arguments) + " exited with status " +
                                 std::to_string(finished.exitStatus));
    return finished;
}

// "name value" lines, as the window driver and the paint probe write them.
std::map<std::string, double> readValues(const std::string& text) {
    std::map<std::string, double> values;
    std::istringstream lines(text);
    std::string name;
    double value = 0;
    while (lines >> name >> value)
        values[name] = value;
    return values;
}

double valueOf(const std::map<std::string, double>& values, const std::string& name) {
    const auto found = values.find(name);
    if (found == values.end()) throw std::runtime_error("no figure '" + name + "' reported");
    return found->second;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

class Suite {
public:
    Suite(Programs programs, Sizes sizes, std::filesystem::path work)
        : programs_(std::move(programs)), sizes_(sizes), work_(std::move(work)) {}

    // The benchmarks by name, in the order a full run takes them.
    static const std::vector<std::string>& names() {
        static const std::vector<std::string> all{"overhead", "line-speed", "network", "memory",
                                                  "idle",     "flood",      "startup"};
        return all;
    }

    // Runs the named benchmarks, or all of them when none is named.
    Report run(const std::vector<std::string>& only) {
        const std::map<std::string, std::function<void()>> bodies{
            {"overhead", [this] { frameOverhead(); }},
            {"line-speed", [this] { lineSpeed(); }},
            {"network", [this] { network(); }},
            {"memory", [this] { memory(); }},
            {"idle", [this] { idle(); }},
            {"flood", [this] { flood(); }},
            {"startup", [this] { startup(); }},
        };
        for (const auto& name : names())
            if (only.empty() || std::find(only.begin(), only.end(), name) != only.end())
                section(name, bodies.at(name));
        return report_;
    }

private:
    void section(const std::string& name, const std::function<void()>& body) {
        std::fprintf(stderr, "kestrel-bench: %s...\n", name.c_str());
        try {
            body();
        } catch (const std::exception& error) {
            report_.add(name, "FAILED (see below)");
            report_.failures.push_back(name + ": " + error.what());
        }
    }

    std::string dataFile(const std::string& name, long long bytes, bool sparse = false) {
        const auto path = (work_ / name).string();
        if (std::filesystem::exists(path)) return path;
        if (sparse) {
            std::ofstream(path).close();
            std::filesystem::resize_file(path, static_cast<std::uintmax_t>(bytes));
            return path;
        }
        std::ifstream random("/dev/urandom", std::ios::binary);
        std::ofstream out(path, std::ios::binary);
        std::vector<char> buffer(1 << 16);
        for (long long left = bytes; left > 0;) {
            const auto take = static_cast<std::streamsize>(
                std::min<long long>(left, static_cast<long long>(buffer.size())));
            random.read(buffer.data(), take);
            out.write(buffer.data(), take);
            left -= take;
        }
        if (!out) throw std::runtime_error("cannot write " + path);
        return path;
    }

    Arguments cliDload(const std::string& device, const std::string& file,
                       const std::string& settings = {}) const {
        Arguments arguments{programs_.cli, "-q", "-p", device};
        if (!settings.empty()) arguments.insert(arguments.end(), {"-s", settings});
        arguments.insert(arguments.end(), {"dload", file, LoadAddress});
        return arguments;
    }

    void frameOverhead() {
        const long long bytes = sizes_.overheadBytes;
        const auto file = dataFile("data-overhead.bin", bytes);
        const double frames = double(framesFor(bytes));
        const double mib = double(bytes) / (1 << 20);
        Simulator simulator(programs_.simulator);
        const auto& device = simulator.device();
        const Arguments floor{programs_.sender, device, file, LoadAddress};
        const Arguments cli = cliDload(device, file);
        const Arguments window{programs_.windowDriver, "download", device, file, LoadAddress};

        // Interleaved rounds: each of Kestrel's runs is compared with the
        // floor run just before it, which saw nearly the same load, and the
        // median of the rounds is kept, so one lucky or unlucky run cannot
        // decide the figure.
        std::vector<double> floorTimes, cliRatios, windowRatios, cliExtra, windowExtra, cliCpu,
            windowCpu;
        for (int round = 0; round < sizes_.overheadRounds; ++round) {
            const double floorSeconds = mustRun(floor).seconds;
            const Finished c = mustRun(cli);
            const auto w = readValues(mustRun(window).output);
            const double windowSeconds = valueOf(w, "seconds");
            floorTimes.push_back(floorSeconds);
            cliRatios.push_back(c.seconds / floorSeconds);
            windowRatios.push_back(windowSeconds / floorSeconds);
            cliExtra.push_back(c.seconds - floorSeconds);
            windowExtra.push_back(windowSeconds - floorSeconds);
            cliCpu.push_back(c.cpuSeconds);
            windowCpu.push_back(valueOf(w, "cpu"));
        }
        const std::string size = format("%.0f MiB", mib);
        // Negative when Kestrel ran within the noise of the floor.
        const double cliFrameUs = median(cliExtra) / frames * 1e6;
        const double windowFrameUs = median(windowExtra) / frames * 1e6;
        const std::string rounds = " (median of " + std::to_string(sizes_.overheadRounds) + ")";
        report_.add("Minimal sender, " + size + " over the pty (floor)",
                    format("%.3f s", median(floorTimes)) + rounds);
        report_.add("kestrel-cli dload, " + size, format("%.2fx floor", median(cliRatios)), "<= 2x",
                    median(cliRatios) <= 2.0);
        report_.add("kestrel-cli overhead per frame", format("%.0f us", cliFrameUs), "<= 300 us",
                    cliFrameUs <= 300);
        report_.add("Window download, " + size, format("%.2fx floor", median(windowRatios)));
        report_.add("Window overhead per frame", format("%.0f us", windowFrameUs), "<= 1000 us",
                    windowFrameUs <= 1000);
        report_.add("kestrel-cli CPU per MiB (user+sys)",
                    format("%.1f ms", median(cliCpu) / mib * 1000));
        report_.add("Window CPU per MiB (user+sys)",
                    format("%.1f ms", median(windowCpu) / mib * 1000));
        report_.commands.push_back("floor:  " + joined(floor));
        report_.commands.push_back("cli:    " + joined(cli));
        report_.commands.push_back("window: " + joined(window));
    }

    // One paced binary write on a simulator of its own, timed by the
    // simulator's transcript from the first byte that crossed the line to
    // "end binary": the conversation, without the sender's own start and exit.
    struct PacedRun {
        double lineSeconds = 0;
        Finished process;
    };
    PacedRun pacedRun(const std::string& name,
                      const std::function<Arguments(const std::string& device)>& command) {
        const auto transcript = (work_ / ("transcript-" + name + ".txt")).string();
        PacedRun run;
        {
            Simulator simulator(programs_.simulator,
                                {"--baud", "115200", "--transcript", transcript});
            run.process = mustRun(command(simulator.device()));
        }
        run.lineSeconds = conversationSeconds(transcript);
        return run;
    }

    static double conversationSeconds(const std::string& transcript) {
        std::ifstream lines(transcript);
        std::string line;
        std::optional<double> firstIn;
        std::string sent;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            double seconds = 0;
            std::string kind, hex;
            words >> seconds >> kind;
            if (kind == "in" && !firstIn) firstIn = seconds;
            if (kind != "out") continue;
            while (words >> hex)
                sent += static_cast<char>(std::stoi(hex, nullptr, 16));
            if (firstIn && sent.find("end binary") != std::string::npos) return seconds - *firstIn;
        }
        throw std::runtime_error("no complete binary write in " + transcript);
    }

    void lineSpeed() {
        const long long bytes = sizes_.pacedBytes;
        const auto file = dataFile("data-paced.bin", bytes);
        const auto windowFile = dataFile("data-paced-window.bin", sizes_.pacedWindowBytes);
        Arguments floor, cli, window;
        // The three wait on the line nearly all the time, so they run side by
        // side, each on a simulator of its own.
        auto floorRun = std::async(std::launch::async, [&] {
            return pacedRun("floor", [&](const std::string& device) {
                return floor = {programs_.sender, device, file, LoadAddress};
            });
        });
        auto cliRun = std::async(std::launch::async, [&] {
            return pacedRun("cli", [&](const std::string& device) {
                return cli = cliDload(device, file, "115200,n,8,1");
            });
        });
        auto windowRun = std::async(std::launch::async, [&] {
            return pacedRun("window", [&](const std::string& device) {
                return window = {programs_.windowDriver, "download", device, windowFile,
                                 LoadAddress};
            });
        });
        const PacedRun floorResult = floorRun.get();
        const PacedRun cliResult = cliRun.get();
        const PacedRun windowResult = windowRun.get();
        const auto windowValues = readValues(windowResult.process.output);

        const auto efficiency = lineEfficiency;
        const double bound = efficiency(bytes, 1);
        const double cliEfficiency = efficiency(bytes, cliResult.lineSeconds);
        const double windowEfficiency =
            efficiency(sizes_.pacedWindowBytes, windowResult.lineSeconds);
        const double cpuShare = cliResult.process.cpuSeconds / cliResult.process.seconds;
        const double windowShare = valueOf(windowValues, "cpu") / valueOf(windowValues, "seconds");
        const std::string size = format("%.0f KiB", double(bytes) / 1024);
        const std::string windowSize = format("%.0f KiB", double(sizes_.pacedWindowBytes) / 1024);
        report_.add("Line-time bound, " + size + " at 115200", format("%.3f s", bound));
        report_.add("Minimal sender at 115200 (floor)",
                    format("%.3f s", floorResult.lineSeconds) +
                        format(" = efficiency %.3f", efficiency(bytes, floorResult.lineSeconds)));
        report_.add("kestrel-cli dload at 115200",
                    format("%.3f s", cliResult.lineSeconds) +
                        format(" = efficiency %.3f", cliEfficiency) +
                        format(" (process %.3f s)", cliResult.process.seconds),
                    ">= 0.99", cliEfficiency >= 0.99);
        report_.add("Window download at 115200, " + windowSize,
                    format("%.3f s", windowResult.lineSeconds) +
                        format(" = efficiency %.3f", windowEfficiency),
                    ">= 0.99", windowEfficiency >= 0.99);
        report_.add("kestrel-cli CPU while the line is busy",
                    format("%.1f%% of a core", cpuShare * 100), "no busy-wait", cpuShare < 0.05);
        report_.add("Window CPU while the line is busy",
                    format("%.1f%% of a core", windowShare * 100), "no busy-wait",
                    windowShare < 0.05);
        report_.commands.push_back(
            "paced:  kestrel-monitor-sim --baud 115200 --transcript FILE, one each for " +
            joined(floor) + "; " + joined(cli) + "; " + joined(window) + " (side by side)");
    }

    // A loopback port nobody listens on yet.
    static int freePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        return ntohs(address.sin_port);
    }

    // Whether something listens on 127.0.0.1:port, from the kernel's table.
    static bool listening(int port) {
        char local[32];
        std::snprintf(local, sizeof local, "0100007F:%04X", port);
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, address, remote, state;
            fields >> slot >> address >> remote >> state;
            if (address == local && state == "0A") return true;
        }
        return false;
    }

    // ser2net serving `device` through a telnet(rfc2217) accepter; returns
    // the port name Kestrel opens.
    std::string startSer2net(std::optional<Child>& server, const std::string& device) {
        const int port = freePort();
        const auto config = (work_ / ("ser2net-" + std::to_string(port) + ".yaml")).string();
        std::ofstream(config) << "connection: &console\n"
                              << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                              << "  connector: serialdev," << device
                              << ",115200n81,local\n"
                              // As the README advises for a loader: the
                              // monitor's one-byte answers go on at once
                              // instead of after ser2net's character delay.
                              << "  options:\n    chardelay: false\n    mdns: false\n";
        const std::string program =
            std::filesystem::exists("/usr/sbin/ser2net") ? "/usr/sbin/ser2net" : "/usr/bin/ser2net";
        server.emplace(Arguments{program, "-n", "-u", "-c", config});
        for (int tries = 0; !listening(port); ++tries) {
            if (tries == 500) throw std::runtime_error(program + " did not start listening");
            std::this_thread::sleep_for(10ms);
        }
        return "rfc2217://127.0.0.1:" + std::to_string(port);
    }

    // The median time from an answer of the monitor to the next byte it
    // receives: the sender's turn-around per frame as the device sees it.
    static double medianTurnaround(const std::string& transcript) {
        std::ifstream lines(transcript);
        std::string line;
        double lastOut = -1; // none since the last byte received
        std::vector<double> gaps;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            double seconds = 0;
            std::string kind;
            words >> seconds >> kind;
            if (kind == "out") lastOut = seconds;
            if (kind == "in" && lastOut >= 0) {
                gaps.push_back(seconds - lastOut);
                lastOut = -1;
            }
        }
        if (gaps.empty()) throw std::runtime_error("no answers in " + transcript);
        return median(gaps);
    }

    // The same paced download on the pseudo-terminal and through ser2net's
    // RFC 2217 accepter, side by side.
    void network() {
        const long long bytes = sizes_.pacedBytes;
        // Each download holds its file for exclusive use.
        const auto file = dataFile("data-paced.bin", bytes);
        const auto netFile = dataFile("data-paced-net.bin", bytes);
        Arguments direct, viaNet;
        auto directRun = std::async(std::launch::async, [&] {
            return pacedRun("direct", [&](const std::string& device) {
                return direct = cliDload(device, file, "115200,n,8,1");
            });
        });
        std::optional<Child> server;
        auto netRun = std::async(std::launch::async, [&] {
            return pacedRun("ser2net", [&](const std::string& device) {
                return viaNet = cliDload(startSer2net(server, device), netFile, "115200,n,8,1");
            });
        });
        const PacedRun directResult = directRun.get();
        const PacedRun netResult = netRun.get();
        server.reset();

        const double directEfficiency = lineEfficiency(bytes, directResult.lineSeconds);
        const double netEfficiency = lineEfficiency(bytes, netResult.lineSeconds);
        const double ratio = netEfficiency / directEfficiency;
        const std::string size = format("%.0f KiB", double(bytes) / 1024);
        report_.add("kestrel-cli dload " + size + " at 115200, pty",
                    format("%.3f s", directResult.lineSeconds) +
                        format(" = efficiency %.3f", directEfficiency));
        report_.add("kestrel-cli dload " + size + " at 115200, ser2net RFC 2217",
                    format("%.3f s", netResult.lineSeconds) +
                        format(" = efficiency %.3f", netEfficiency) +
                        format(" = %.3f of the pty's", ratio),
                    ">= 0.98 of the pty's", ratio >= 0.98);
        report_.add("Per-frame round trip at the device, pty",
                    format("%.0f us", medianTurnaround(work_ / "transcript-direct.txt") * 1e6));
        report_.add("Per-frame round trip at the device, ser2net RFC 2217",
                    format("%.0f us", medianTurnaround(work_ / "transcript-ser2net.txt") * 1e6));
        report_.commands.push_back(
            "network: kestrel-monitor-sim --baud 115200 --transcript FILE, one each for " +
            joined(direct) + "; " + joined(viaNet) +
            " with ser2net -n -u -c FILE (telnet(rfc2217) accepter) (side by side)");
    }

    void memory() {
        Simulator simulator(programs_.simulator);
        const auto small = dataFile("data-small.bin", sizes_.smallBytes);
        const auto large = dataFile("data-large.bin", sizes_.largeBytes, true);
        const Finished smallRun = mustRun(cliDload(simulator.device(), small));
        const Finished largeRun = mustRun(cliDload(simulator.device(), large));
        std::filesystem::remove(large);
        const double growth = double(largeRun.peakKiB - smallRun.peakKiB) / 1024;
        report_.add(format("kestrel-cli peak RSS, %.0f MiB", double(sizes_.smallBytes) / (1 << 20)),
                    format("%.1f MiB", double(smallRun.peakKiB) / 1024));
        report_.add(format("kestrel-cli peak RSS, %.0f MiB", double(sizes_.largeBytes) / (1 << 20)),
                    format("%.1f MiB", double(largeRun.peakKiB) / 1024) +
                        format(" (%+.2f MiB)", growth),
                    "<= +2 MiB", growth <= 2.0);
        report_.commands.push_back("memory: " + joined(cliDload(simulator.device(), large)) +
                                   " (sparse file; peak RSS from wait4)");
    }

    void idle() {
        Simulator simulator(programs_.simulator);
        const Arguments kestrel{programs_.kestrel, "--port", simulator.device()};
        Child window(kestrel);
        std::this_thread::sleep_for(2s); // start-up is not idle time
        const double before = processCpuSeconds(window.pid());
        const long long start = monotonicNanos();
        int samples = 0, running = 0;
        const long long end = start + sizes_.idleSeconds * 1'000'000'000LL;
        while (monotonicNanos() < end) {
            std::this_thread::sleep_for(100ms);
            running += runningThreads(window.pid()) > 0 ? 1 : 0;
            ++samples;
        }
        const double cpu = processCpuSeconds(window.pid()) - before;
        const double elapsed = double(monotonicNanos() - start) / 1e9;
        window.stop();
        const double share = cpu / elapsed;
        report_.add(format("Window idle, port open, %.0f s", elapsed),
                    format("%.3f%% of a core", share * 100) + " (" + std::to_string(running) + "/" +
                        std::to_string(samples) + " samples running)",
                    "< 0.5%", share < 0.005);
        report_.commands.push_back("idle:   " + joined(kestrel) +
                                   " (CPU from /proc/PID/task/*/schedstat)");
    }

    void flood() {
        const Arguments driver{programs_.windowDriver, "flood", std::to_string(sizes_.floodBytes)};
        const auto values = readValues(mustRun(driver).output);
        const double seconds = valueOf(values, "seconds");
        const double multiple = valueOf(values, "bytes") / seconds / BytesPerSecondAtBaud;
        const double silence = valueOf(values, "longest-silence") * 1000;
        const bool exact =
            valueOf(values, "text-exact") == 1 && valueOf(values, "received-intact") == 1;
        report_.add(format("Terminal flood, %.0f MiB, until the last line is shown",
                           valueOf(values, "bytes") / (1 << 20)),
                    format("%.3f s", seconds) + format(" = %.0fx 115200 baud", multiple), ">= 50x",
                    multiple >= 50);
        report_.add("Longest event-loop silence during the flood", format("%.1f ms", silence),
                    "<= 100 ms", silence <= 100);
        report_.add("Final view text equals the filter model", exact ? "exact" : "DIFFERS", "exact",
                    exact);
        report_.commands.push_back("flood:  " + joined(driver));
        floodWithLog();
    }

    // The same flood with the session log on, timestamps included. Each
    // variant runs three times, alternating, and keeps its best: one run of
    // each would compare the machine's moods more than the log's cost.
    void floodWithLog() {
        const std::string logFile =
            "/tmp/kestrel-bench-flood-" + std::to_string(::getpid()) + ".log";
        const Arguments plain{programs_.windowDriver, "flood", std::to_string(sizes_.floodBytes)};
        Arguments logged = plain;
        logged.push_back(logFile);
        double best[2] = {1e9, 1e9};
        for (int round = 0; round < 3; ++round) {
            for (int v = 0; v < 2; ++v) {
                std::remove(logFile.c_str());
                const auto values = readValues(mustRun(v ? logged : plain).output);
                best[v] = std::min(best[v], valueOf(values, "seconds"));
            }
        }
        std::remove(logFile.c_str());
        const double kept = best[0] / best[1];
        report_.add("Terminal flood with the session log and timestamps on, throughput kept",
                    format("%.0f%%", kept * 100) + format(" (%.3f s", best[1]) +
                        format(" with the log, %.3f s without)", best[0]),
                    ">= 90%", kept >= 0.9);
        report_.commands.push_back("flood-log: " + joined(logged) + " (best of 3, alternating)");
    }

    double firstPaintMs(const Arguments& arguments) {
        const Finished run =
            mustRun(arguments, {"LD_PRELOAD=" + programs_.paintProbe, "KESTREL_BENCH_PAINT_FD=1"});
        const auto values = readValues(run.output);
        return (valueOf(values, "first-paint") - double(run.startedAt)) / 1e6;
    }

    void startup() {
        Simulator simulator(programs_.simulator);
        const Arguments minimal{programs_.minimalWindow};
        const Arguments kestrel{programs_.kestrel, "--port", simulator.device()};
        std::vector<double> minimalTimes, kestrelTimes;
        // Warm the file cache for both alike.
        firstPaintMs(minimal);
        firstPaintMs(kestrel);
        for (int run = 0; run < sizes_.startupRuns; ++run) {
            minimalTimes.push_back(firstPaintMs(minimal));
            kestrelTimes.push_back(firstPaintMs(kestrel));
        }
        const double floor = median(minimalTimes);
        const double measured = median(kestrelTimes);
        report_.add("Minimal Qt window, start to first paint (floor)", format("%.1f ms", floor));
        report_.add("kestrel, start to first paint",
                    format("%.1f ms", measured) + format(" = %.2fx floor", measured / floor),
                    "<= 1.5x", measured / floor <= 1.5);
        report_.commands.push_back("start:  " + joined(kestrel) + " vs " + joined(minimal) +
                                   " (LD_PRELOAD first-paint probe, median of " +
                                   std::to_string(sizes_.startupRuns) + ")");
    }

    Programs programs_;
    Sizes sizes_;
    std::filesystem::path work_;
    Report report_;
};

std::string verdict(const Row& row) {
    if (!row.met) return "";
    return *row.met ? "met" : "MISSED";
}

void printTable(const Report& report, std::FILE* out) {
    std::size_t widths[4] = {6, 5, 6, 0};
    for (const Row& row : report.rows) {
        widths[0] = std::max(widths[0], row.figure.size());
        widths[1] = std::max(widths[1], row.value.size());
        widths[2] = std::max(widths[2], row.target.size());
    }
    const auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                          const std::string& d) {
        std::fprintf(out, "%-*s  %-*s  %-*s  %s\n", int(widths[0]), a.c_str(), int(widths[1]),
                     b.c_str(), int(widths[2]), c.c_str(), d.c_str());
    };
    line("Figure", "Value", "Target", "");
    line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'), "");
    for (const Row& row : report.rows)
        line(row.figure, row.value, row.target, verdict(row));
    std::fputs("\nCommands:\n", out);
    for (const auto& command : report.commands)
        std::fprintf(out, "  %s\n", command.c_str());
    if (!report.failures.empty()) std::fputs("\nFailed:\n", out);
    for (const auto& failure : report.failures)
        std::fprintf(out, "  %s\n", failure.c_str());
}

void writeMarkdown(const Report& report, const std::string& path) {
    std::ofstream out(path);
    out << "| Figure | Value | Target | |\n|---|---|---|---|\n";
    for (const Row& row : report.rows)
        out << "| " << row.figure << " | " << row.value << " | " << row.target << " | "
            << verdict(row) << " |\n";
    out << "\nCommands:\n\n";
    for (const auto& command : report.commands)
        out << "    " << command << "\n";
}

// The scratch directory and the private settings store, removed however the
// run ends.
class WorkDirectory {
public:
    WorkDirectory() {
        char pattern[] = "/tmp/kestrel-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("cannot create a scratch directory");
        path_ = pattern;
    }
    ~WorkDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace

int main(int argc, char** argv) {
    Sizes sizes;
    std::string markdown;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto& names = Suite::names();
        if (argument == "--quick") {
            sizes = Sizes::quick();
        } else if (argument == "--markdown" && i + 1 < argc) {
            markdown = argv[++i];
        } else if (std::find(names.begin(), names.end(), argument) != names.end()) {
            only.push_back(argument);
        } else {
            std::fputs("usage: kestrel-bench [--quick] [--markdown FILE] [BENCHMARK...]\n"
                       "benchmarks: overhead line-speed network memory idle flood startup\n",
                       stderr);
            return 2;
        }
    }
    try {
        WorkDirectory work;
        // The window and the command line read and write the per-user
        // settings store; a private one keeps the user's own untouched.
        // It holds a working port, as a user's store would; the benchmarks
        // name the device itself on the command line.
        const auto config = work.path() / "config";
        std::filesystem::create_directories(config / "Tamsworth");
        std::ofstream(config / "Tamsworth" / "Kestrel.conf")
            << "[Config]\nCommPort=1\nCommSettings=\"115200,n,8,1\"\n";
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        const auto runtime = work.path() / "runtime";
        std::filesystem::create_directory(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

        const Report report = Suite(Programs{}, sizes, work.path()).run(only);
        printTable(report, stdout);
        if (!markdown.empty()) writeMarkdown(report, markdown);
        return report.failures.empty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-bench: %s\n", error.what());
        return 1;
    }
}
