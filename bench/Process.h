#pragma once
// Child processes for the bench runner: run to the end with wall time, CPU
// and peak memory, or start and talk to one that keeps running.
#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrel::bench {

using Arguments = std::vector<std::string>;

// Nanoseconds on the monotonic clock, the same clock the first-paint probe
// reports on.
long long monotonicNanos();

struct Finished {
    int exitStatus = -1;     // -1: killed by a signal or never started
    double seconds = 0;      // fork to reaped
    double cpuSeconds = 0;   // user + system
    long peakKiB = 0;        // peak resident memory
    std::string output;      // stdout
    long long startedAt = 0; // monotonicNanos() just before the fork
};

// Runs the program with `environment` ("NAME=value") added, captures stdout,
// lets stderr through, and reaps it with its resource usage.
Finished runToEnd(const Arguments& arguments, const Arguments& environment = {});

// A program that keeps running until stopped (SIGTERM on destruction).
class Child {
public:
    explicit Child(const Arguments& arguments, const Arguments& environment = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The next line on its stdout, nullopt after the timeout or at its end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // SIGTERM and reap; returns the exit status (-1 after a signal).
    int stop();

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

// The monitor simulator on its own pseudo-terminal.
class Simulator {
public:
    Simulator(const std::string& program, const Arguments& options = {});
    const std::string& device() const { return device_; }

private:
    Child child_;
    std::string device_;
};

// CPU time of every thread of a running process, in seconds (from the
// scheduler's nanosecond accounting).
double processCpuSeconds(pid_t pid);
// How many of the process's threads the kernel shows as running right now.
int runningThreads(pid_t pid);

} // namespace kestrel::bench
