#pragma once
// The console's resident monitor in memory behind a FakeSerialPort, for
// conversation tests on the test clock. It reads what the link writes byte by
// byte, however the writes are cut, and answers as the console does: each
// typed byte echoed, the prompt after a line, "binary" after "bwr" or "brd",
// "Y" after a frame with a good checksum, "end binary" after 0x03, the
// requested memory after a binary-read header. Switches make it fail the ways
// a transfer must survive, and it keeps what arrived for the test to check.
#include "FakeSerialPort.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <functional>

namespace kestrel::test {

class ScriptedMonitor {
public:
    // Answers every write on `port` from now on (it takes the port's responder).
    explicit ScriptedMonitor(FakeSerialPort& port);
    ScriptedMonitor(const ScriptedMonitor&) = delete;
    ScriptedMonitor& operator=(const ScriptedMonitor&) = delete;

    // Faults.
    bool answerPrompts = true; // false: "bwr" and "brd" are echoed, "binary" never comes
    bool answerEnd = true;     // false: 0x03 gets no "end binary" and no prompt
    // Frames answered with "N", numbered from 1 over the whole run.
    QList<int> refusedFrames;
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

    // One binary write, from its prompt to its closing 0x03.
    struct Conversation {
        quint32 address = 0;
        quint32 size = 0;
        QByteArray memory; // the frames' data as the monitor stored it
        int frames = 0;
        bool closed = false;
    };
    QList<Conversation> conversations;

    // What arrived.
    QList<QByteArray> headers;     // each binary write's or read's 9 header bytes, 0x01 first
    int frames = 0;                // frames whose 2048 bytes arrived, over the whole run
    int closingEnds = 0;           // 0x03 at the prompt, outside any binary write
    QByteArray typed;              // every byte that reached the prompt, commands included
    QList<int> waitingAtLineStart; // bytes unread by the link as each typed line began

    // Runs when a frame's block has arrived, before it is answered (1-based).
    std::function<void(int frame)> onFrame;
    // Runs after the monitor has handled each write.
    std::function<void(const QByteArray& written)> afterWrite;

private:
    enum class State { Line, Header, FrameOrEnd, Block, Checksum, Stalled };
    void take(char byte);
    void takeAtPrompt(char byte);
    // Sends after whatever is still queued for the line.
    void answer(const QByteArray& bytes, qint64 gapMs = 0);
    void headerComplete();
    void checksumArrived(char sum);

    FakeSerialPort& port_;
    qint64 lineFreeAtMs_ = 0;
    State state_ = State::Line;
    bool reading_ = false;
    QByteArray line_;
    QByteArray header_;
    QByteArray block_;
    quint32 writeAddress_ = 0;
    quint32 writeRemaining_ = 0;
    // Where the byte being taken sits: a frame's block must be one write.
    qsizetype writeSize_ = 0;
    qsizetype writeIndex_ = 0;
    bool blockInOneWrite_ = false;
};

} // namespace kestrel::test
