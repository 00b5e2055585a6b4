#pragma once
// A pseudo-terminal pair for tests that need a real tty: the code under test
// opens slavePath() as its serial device, the test plays the far end on the
// master. Both sides are put in raw mode so the line discipline passes every
// byte through unchanged (no echo, no CR/LF rewriting, no signals).
//
// The pair keeps its own slave descriptor open until closeSlave(), so master
// reads do not fail with EIO before the code under test has opened the slave.
#include <QByteArray>
#include <QString>

namespace kestrel::test {

class Pty {
public:
    // Opens a new pair; isOpen() tells whether that worked.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isOpen() const { return master_ >= 0; }
    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    // The pair's own slave descriptor (-1 after closeSlave()), e.g. to read
    // the line settings the code under test applied.
    int slaveFd() const { return slave_; }

    // Writes every byte to the master (the console's side of the line).
    bool write(const QByteArray& bytes);

    // Whatever the master can read within timeoutMs: returns as soon as some
    // bytes have arrived (possibly fewer than were sent), empty on time-out.
    QByteArray read(int timeoutMs);
    // Reads until `count` bytes have arrived or timeoutMs has passed in total.
    QByteArray readExactly(qsizetype count, int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    QByteArray readUntilQuiet(int quietMs);

    // Hangs up the far end: the slave's user sees EIO / hang-up.
    void closeMaster();
    void closeSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};

} // namespace kestrel::test
