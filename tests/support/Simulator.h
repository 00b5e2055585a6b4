#pragma once
// The console monitor simulator (tools/monitor-sim) for tests: starts the
// built program on a fresh pseudo-terminal, asks for and parses its memory
// and register report, reads its transcript, and stops it on destruction.
//
//   Simulator sim({"--refuse-frame", "2"});
//   SimulatorLine line(sim.devicePath());   // or open it with Kestrel's port
//   ...
//   EXPECT_EQ(sim.memory(0x80010000, 3), "abc");
//
// The simulator is started with its report and transcript in a temporary
// directory of its own; do not pass --report or --transcript.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <optional>
#include <vector>

namespace kestrel::test {

struct SimulatorReport {
    struct Region {
        quint32 address = 0;
        QByteArray bytes;
    };

    std::map<QString, quint32> registers;
    std::map<QString, quint64> counters;
    std::vector<Region> regions; // written memory, in address order

    // The simulator's memory; what was never written reads as 0.
    QByteArray memory(quint32 address, qsizetype length) const;
    // A counter by its report name ("frames-acknowledged", ...); a missing one
    // fails the test and reads as 0.
    quint64 counter(const QString& name) const;

    // nullopt if the text is not a well-formed report.
    static std::optional<SimulatorReport> parse(const QByteArray& text);
};

struct SimulatorTranscript {
    enum class Kind { In, Out, Event };
    struct Entry {
        double seconds = 0;
        Kind kind = Kind::Event;
        QByteArray bytes; // In and Out
        QString event;    // Event
    };

    std::vector<Entry> entries;

    QByteArray received() const; // every byte the simulator took in, in order
    QByteArray sent() const;     // every byte it wrote
    QStringList events() const;

    static SimulatorTranscript parse(const QByteArray& text);
};

class Simulator {
public:
    // Starts the simulator with extra command-line options and waits for its
    // device; a failure to start fails the test and leaves devicePath() empty.
    explicit Simulator(const QStringList& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The built program: $KESTREL_MONITOR_SIM if set, else the build tree's.
    static QString program();

    QString devicePath() const { return devicePath_; }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    qint64 processId() const { return process_.processId(); }

    // Asks for a report (SIGUSR1), waits until it is written and parses it.
    SimulatorReport report();
    QByteArray memory(quint32 address, qsizetype length) {
        return report().memory(address, length);
    }
    std::map<QString, quint32> registers() { return report().registers; }

    // The transcript so far (the simulator flushes it before every sleep).
    SimulatorTranscript transcript() const;

    // The next line on the simulator's stdout after the device line
    // ("report FILE", "hangup", "device PATH"), skipping lines that do not
    // start with `prefix`; nullopt after msecs.
    std::optional<QString> waitForLine(const QString& prefix, int msecs = 5000);

    // SIGTERM, then waits for the exit; returns the report written on the way
    // out. Also done by the destructor.
    SimulatorReport stop();

private:
    SimulatorReport readReport();

    QTemporaryDir directory_;
    QProcess process_;
    QString devicePath_;
};

// The device side of the line, opened raw as Kestrel's serial port opens it,
// for tests that talk to the simulator without Kestrel.
class SimulatorLine {
public:
    explicit SimulatorLine(const QString& devicePath);
    ~SimulatorLine();
    SimulatorLine(const SimulatorLine&) = delete;
    SimulatorLine& operator=(const SimulatorLine&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Writes every byte, waiting for room as needed; false on a hangup.
    bool write(const QByteArray& bytes);
    // Reads until `expected` has arrived (or the line hangs up, or msecs
    // pass); returns everything read, so the caller can compare it whole.
    QByteArray readUntil(const QByteArray& expected, int msecs = 5000);
    // Reads until `count` bytes have arrived or msecs pass.
    QByteArray readCount(qsizetype count, int msecs = 5000);
    // Everything that arrives within msecs.
    QByteArray readFor(int msecs);
    // True once the far end has closed the line (seen by a read).
    bool hungUp() const { return hungUp_; }

private:
    // Reads what is there within msecs; false at the deadline or a hangup.
    bool readSome(QByteArray& into, qint64 msecs);

    int fd_ = -1;
    bool hungUp_ = false;
};

} // namespace kestrel::test
