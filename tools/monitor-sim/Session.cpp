#include "Session.h"

#include "Report.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kestrel::sim {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reportRequested = 0;

extern "C" void onStopSignal(int) {
    stopRequested = 1;
}
extern "C" void onReportSignal(int) {
    reportRequested = 1;
}

// The signals stay blocked except inside ppoll, so a request can never slip in
// between the flag test and the sleep.
sigset_t installSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onStopSignal;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    action.sa_handler = onReportSignal;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);

    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&blocked, signal);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigdelset(&previous, signal);
    return previous;
}

// Lines on stdout are how a caller learns the device and when a report is ready.
void announce(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

constexpr std::size_t readChunk = 4096;
// With pacing only a few bytes are taken from the kernel ahead of their time,
// so a writer that outruns the line is held back by the pty as by a UART: at
// least this many, and at fast speeds as many as cross the line in
// pacedLead. A UART goes on shifting bits while its program is not running;
// the lead lets the simulator miss a wake-up on a busy machine without the
// line going idle.
constexpr std::size_t pacedWindow = 64;
constexpr auto pacedLead = std::chrono::milliseconds(50);
// Paced bytes go in groups at most this often: never before their time, at
// most this much after it, so fast speeds do not cost a wake-up per byte.
constexpr auto pacingQuantum = std::chrono::milliseconds(1);
constexpr std::size_t sendChunk = 4096;        // a binary read is produced this much at a time
constexpr std::size_t outputHighWater = 65536; // input waits while this much is unsent

} // namespace

Session::Session(Options options)
    : options_(std::move(options)), monitor_(options_.faults),
      byteTime_(options_.baud ? std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::nanoseconds(10'000'000'000ull / options_.baud))
                              : Clock::duration::zero()) {}

int Session::run() {
    const sigset_t waitMask = installSignals();
    const auto start = Clock::now();
    if (!options_.transcript.empty()) {
        if (const auto error = transcript_.open(options_.transcript, start); !error.empty()) {
            std::fprintf(stderr, "kestrel-monitor-sim: %s\n", error.c_str());
            return 1;
        }
    }
    if (!openLine()) return 1;

    while (!stopRequested) {
        if (reportRequested) {
            reportRequested = 0;
            writeReportFile();
        }
        const auto now = Clock::now();
        processInput(now);
        if (monitor_.inBlock() && now - lastInput_ >= options_.blockTimeout) {
            monitor_.dropPartialBlock();
            transcript_.event("block-dropped", now);
        }
        fillOutput(now);
        writeOutput(now);

        pollfd line{-1, 0, 0};
        if (pty_.isOpen()) {
            line.fd = pty_.master();
            line.events =
                static_cast<short>((inputRoom() > 0 ? POLLIN : 0) | (writeBlocked_ ? POLLOUT : 0));
        } else if (listener_ >= 0) {
            line = {listener_, POLLIN, 0};
        }
        timespec timeout{};
        const auto wake = nextWake();
        if (wake) {
            const auto wait = std::max(*wake - Clock::now(), Clock::duration::zero());
            const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(nanos / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
        }
        transcript_.flush();
        const int ready = ppoll(&line, 1, wake ? &timeout : nullptr, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "kestrel-monitor-sim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (ready <= 0 || line.fd < 0) continue;
        if (line.fd == listener_) {
            acceptClient();
            continue;
        }
        if (line.revents & POLLOUT) writeBlocked_ = false;
        if (line.revents & POLLIN)
            readInput();
        else if (line.revents & (POLLHUP | POLLERR))
            hangUp("line lost");
    }

    writeReportFile();
    transcript_.event("stop", Clock::now());
    transcript_.flush();
    if (!options_.link.empty() && pty_.isOpen()) removeLink(options_.link, pty_.slavePath());
    if (listener_ >= 0) ::close(listener_);
    return 0;
}

bool Session::openLine() {
    if (!options_.listen.empty()) return openListener();
    if (const auto error = pty_.open(); !error.empty()) {
        std::fprintf(stderr, "kestrel-monitor-sim: %s\n", error.c_str());
        return false;
    }
    if (!options_.link.empty()) {
        if (const auto error = replaceLink(options_.link, pty_.slavePath()); !error.empty()) {
            std::fprintf(stderr, "kestrel-monitor-sim: %s\n", error.c_str());
            return false;
        }
    }
    transcript_.event("device " + pty_.slavePath(), Clock::now());
    announce(announcedFirst_ ? "device " + pty_.slavePath() : pty_.slavePath());
    announcedFirst_ = true;
    return true;
}

void Session::hangUp(const std::string& why) {
    // What the monitor said before the cable went still reaches the line.
    writeBlocked_ = false;
    writeOutput(Clock::time_point::max());
    ++monitor_.counters().hangups;
    transcript_.event("hangup " + why, Clock::now());
    if (!options_.link.empty() && !options_.relink) removeLink(options_.link, pty_.slavePath());
    pty_.close();
    input_.clear();
    output_.clear();
    monitor_.resetLine();
    announce("hangup");
    // A TCP line waits for the next client on the same port.
    if (options_.relink && listener_ < 0 && !openLine()) stopRequested = 1;
}

// The line as a raw TCP port, as a device server offers a serial port: the
// listener is announced in place of the device, and each client in turn is
// the line until it hangs up.
bool Session::openListener() {
    const auto colon = options_.listen.rfind(':');
    std::string host = options_.listen.substr(0, colon == std::string::npos ? 0 : colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port = colon == std::string::npos ? "" : options_.listen.substr(colon + 1);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host.empty() || port.empty() ||
        getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        std::fprintf(stderr, "kestrel-monitor-sim: --listen needs tcp:HOST:PORT\n");
        return false;
    }
    listener_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool ok = listener_ >= 0 && ::bind(listener_, found->ai_addr, found->ai_addrlen) == 0 &&
                    ::listen(listener_, 1) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (!ok || getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        std::fprintf(stderr, "kestrel-monitor-sim: %s: %s\n", options_.listen.c_str(),
                     std::strerror(errno));
        return false;
    }
    const auto boundPort = bound.ss_family == AF_INET6
                               ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    // An IPv6 address in brackets, as a port name writes it.
    const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    const std::string name = "tcp:" + shownHost + ":" + std::to_string(boundPort);
    transcript_.event("listen " + name, Clock::now());
    announce(name);
    announcedFirst_ = true;
    return true;
}

void Session::acceptClient() {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    // Each answer goes out as soon as it is written, as on a serial line.
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    pty_.adopt(client, "client");
    transcript_.event("client connected", Clock::now());
}

std::size_t Session::inputRoom() const {
    const std::size_t window =
        byteTime_ > Clock::duration::zero()
            ? std::clamp<std::size_t>(static_cast<std::size_t>(pacedLead / byteTime_), pacedWindow,
                                      readChunk)
            : readChunk;
    std::size_t room = input_.size() < window ? window - input_.size() : 0;
    if (options_.hangupAfter && !countedHangupDone_) {
        const auto left = *options_.hangupAfter - received_ - input_.size();
        room = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    }
    return room;
}

bool Session::canProcess() const {
    return pty_.isOpen() && !monitor_.sending() && output_.size() < outputHighWater;
}

void Session::readInput() {
    const auto room = std::min(inputRoom(), readChunk);
    if (room == 0) return;
    std::uint8_t buffer[readChunk];
    const auto count = ::read(pty_.master(), buffer, room);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count <= 0) return hangUp("line lost");
    const auto now = Clock::now();
    for (ssize_t i = 0; i < count; ++i) {
        inputClock_ = std::max(inputClock_, now) + byteTime_;
        input_.push_back({buffer[i], inputClock_});
    }
}

void Session::processInput(Clock::time_point now) {
    std::vector<std::uint8_t> taken;
    Clock::time_point takenAt{};
    std::string answer;
    while (!input_.empty() && input_.front().due <= now && canProcess()) {
        const Timed next = input_.front();
        input_.pop_front();
        if (taken.empty()) takenAt = next.due;
        taken.push_back(next.byte);
        lastInput_ = next.due;
        answer.clear();
        monitor_.receive(next.byte, answer);
        queueOutput(answer, next.due);
        ++received_;
        if (options_.hangupAfter && !countedHangupDone_ && received_ >= *options_.hangupAfter) {
            countedHangupDone_ = true;
            transcript_.record(Transcript::Direction::In, taken.data(), taken.size(), takenAt);
            return hangUp("after " + std::to_string(received_) + " bytes");
        }
    }
    if (!taken.empty()) lastProcessed_ = now;
    transcript_.record(Transcript::Direction::In, taken.data(), taken.size(), takenAt);
}

void Session::fillOutput(Clock::time_point now) {
    std::string chunk;
    while (monitor_.sending() && output_.size() < sendChunk) {
        chunk.clear();
        monitor_.continueSending(chunk, sendChunk - output_.size());
        queueOutput(chunk, now);
    }
}

void Session::queueOutput(const std::string& bytes, Clock::time_point from) {
    for (const char byte : bytes) {
        outputClock_ = std::max(outputClock_, from) + byteTime_;
        output_.push_back({static_cast<std::uint8_t>(byte), outputClock_});
    }
}

void Session::writeOutput(Clock::time_point now) {
    if (!pty_.isOpen()) {
        output_.clear();
        return;
    }
    std::uint8_t buffer[readChunk];
    while (!writeBlocked_ && !output_.empty() && output_.front().due <= now) {
        std::size_t ready = 0;
        while (ready < output_.size() && ready < sizeof buffer && output_[ready].due <= now) {
            buffer[ready] = output_[ready].byte;
            ++ready;
        }
        const auto written = ::write(pty_.master(), buffer, ready);
        if (written < 0) {
            if (errno != EAGAIN && errno != EINTR) output_.clear(); // nobody left to hear it
            writeBlocked_ = errno == EAGAIN;
            return;
        }
        lastWritten_ = Clock::now();
        transcript_.record(Transcript::Direction::Out, buffer, static_cast<std::size_t>(written),
                           lastWritten_);
        monitor_.counters().bytesOut += static_cast<std::uint64_t>(written);
        output_.erase(output_.begin(), output_.begin() + written);
        writeBlocked_ = static_cast<std::size_t>(written) < ready;
    }
}

std::optional<Clock::time_point> Session::nextWake() const {
    const auto now = Clock::now();
    std::optional<Clock::time_point> wake;
    const auto consider = [&wake](Clock::time_point when) {
        if (!wake || when < *wake) wake = when;
    };
    const bool paced = byteTime_ > Clock::duration::zero();
    // The quantum is not waited out once everything taken in is due before
    // it: the end of a frame is answered when its last byte has crossed the
    // line, not up to a quantum later, and nothing is taken early.
    if (!input_.empty() && canProcess())
        consider(paced ? std::max(input_.front().due,
                                  std::min(lastProcessed_ + pacingQuantum, input_.back().due))
                       : input_.front().due);
    if (!output_.empty() && !writeBlocked_)
        consider(paced ? std::max(output_.front().due, lastWritten_ + pacingQuantum)
                       : output_.front().due);
    if (monitor_.sending() && output_.size() < sendChunk) consider(now);
    if (monitor_.inBlock()) consider(lastInput_ + options_.blockTimeout);
    if (reportRequested || stopRequested) consider(now);
    return wake;
}

void Session::writeReportFile() {
    if (options_.report.empty()) return;
    if (const auto error = writeReport(options_.report, monitor_); !error.empty()) {
        std::fprintf(stderr, "kestrel-monitor-sim: %s\n", error.c_str());
        return;
    }
    announce("report " + options_.report);
}

} // namespace kestrel::sim
