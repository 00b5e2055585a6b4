#include "Process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::bench {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// fork + exec with stdout on a pipe; the parent keeps the read end. Everything
// the child needs is built before the fork, so the runner may start programs
// from several threads at once.
pid_t spawn(const Arguments& arguments, const Arguments& environment, int& outputFd) {
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view name(*entry, std::strcspn(*entry, "="));
        const bool replaced = std::any_of(environment.begin(), environment.end(), [&](auto& e) {
            return e.compare(0, name.size() + 1, std::string(name) + "=") == 0;
        });
        if (!replaced) envp.push_back(*entry);
    }
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) fail("pipe");
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
        static const char message[] = "kestrel-bench: cannot run a benchmark program\n";
        [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    ::close(pipeFds[1]);
    outputFd = pipeFds[0];
    return pid;
}

int exitStatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

} // namespace

long long monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

Finished runToEnd(const Arguments& arguments, const Arguments& environment) {
    Finished finished;
    int output = -1;
    finished.startedAt = monotonicNanos();
    const pid_t pid = spawn(arguments, environment, output);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(output, buffer, sizeof buffer);
        if (n > 0) {
            finished.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(output);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    finished.seconds = double(monotonicNanos() - finished.startedAt) / 1e9;
    finished.exitStatus = exitStatusOf(status);
    finished.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    finished.peakKiB = usage.ru_maxrss;
    return finished;
}

Child::Child(const Arguments& arguments, const Arguments& environment) {
    pid_ = spawn(arguments, environment, output_);
}

Child::~Child() {
    stop();
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    const long long deadline = monotonicNanos() + timeout.count() * 1'000'000LL;
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const long long left = (deadline - monotonicNanos()) / 1'000'000LL;
        if (output_ < 0 || left <= 0) return std::nullopt;
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[512];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

int Child::stop() {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (output_ >= 0) ::close(output_);
    output_ = -1;
    return exitStatusOf(status);
}

Simulator::Simulator(const std::string& program, const Arguments& options)
    : child_([&] {
          Arguments arguments{program};
          arguments.insert(arguments.end(), options.begin(), options.end());
          return arguments;
      }()) {
    const auto line = child_.readLine(std::chrono::seconds(5));
    if (!line || line->empty()) throw std::runtime_error("the simulator named no device");
    device_ = *line;
}

namespace {

// Every thread of the process, as /proc paths.
std::vector<std::string> threadDirectories(pid_t pid) {
    std::vector<std::string> threads;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(base.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') threads.push_back(base + "/" + entry->d_name);
        closedir(dir);
    }
    return threads;
}

} // namespace

double processCpuSeconds(pid_t pid) {
    double total = 0;
    for (const auto& thread : threadDirectories(pid)) {
        std::ifstream schedstat(thread + "/schedstat");
        unsigned long long onCpuNanos = 0;
        if (schedstat >> onCpuNanos) total += double(onCpuNanos) / 1e9;
    }
    return total;
}

int runningThreads(pid_t pid) {
    int running = 0;
    for (const auto& thread : threadDirectories(pid)) {
        std::ifstream stat(thread + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The state follows the command name, which is in parentheses and
        // may itself hold blanks.
        const auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'R')
            ++running;
    }
    return running;
}

} // namespace kestrel::bench
