#pragma once
// A console monitor in memory behind a FakeSerialPort: it reads what the link
// writes byte by byte and answers binary writes and reads the way the console
// does, with switches for the faults the transfers must survive.
#include "FakeSerialPort.h"

#include <QByteArray>
#include <QMap>

#include <functional>

namespace kestrel::test {

class ScriptedMonitor {
public:
    ScriptedMonitor(FakeSerialPort& port, TestClock& clock);

    // Faults.
    bool answerPrompts = true; // false: the commands are echoed, "binary" never comes
    int refuseFrame = 0;       // 1-based frame answered with "N" instead of "Y"
    bool answerEnd = true;     // false: 0x03 gets no "end binary"
    // Binary read: how many of the requested bytes are sent (-1: all of them;
    // fewer leave the monitor stalled, answering nothing more),
    // and a stray line sent when the first header byte arrives, as a monitor
    // still finishing its prompt line would.
    qint64 readBytesSent = -1;
    QByteArray strayAfterPrompt;
    // Binary read: the memory goes out in pieces of this many bytes, one
    // every chunkGapMs (0: all at once). Later answers queue up behind it.
    int readChunk = 0;
    int chunkGapMs = 10;

    // Memory the binary writes have filled and the binary reads return
    // (unwritten bytes read as 0).
    QMap<quint32, char> memory;
    QByteArray memoryAt(quint32 address, quint32 length) const;
    void fill(quint32 address, const QByteArray& bytes);

    // What arrived.
    int framesReceived = 0;
    QList<QByteArray> headers;
    // Runs when a frame's block has arrived, before it is answered (1-based).
    std::function<void(int frame)> onFrame;

private:
    enum class State { Line, Header, FrameOrEnd, Block, Checksum, Stalled };
    void take(char byte);
    // Sends after whatever is still queued for the line.
    void answer(const QByteArray& bytes, qint64 gapMs = 0);
    void headerComplete();

    FakeSerialPort& port_;
    TestClock& clock_;
    qint64 lineFreeAtMs_ = 0;
    State state_ = State::Line;
    bool reading_ = false;
    QByteArray line_;
    QByteArray header_;
    QByteArray block_;
    quint32 writeAddress_ = 0;
    quint32 writeRemaining_ = 0;
};

} // namespace kestrel::test
