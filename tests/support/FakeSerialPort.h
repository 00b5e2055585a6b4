#pragma once
// A serial port in memory, for conversation tests on an injected clock: every
// write is recorded, a responder can answer writes, and bytes can be scheduled
// to arrive at a later time of the test clock. Waits move the fake clock
// instead of sleeping.
#include "RecorderHost.h"
#include "SerialPort.h"

#include <QList>

#include <functional>

namespace kestrel::test {

class FakeSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit FakeSerialPort(TestClock& clock, QObject* parent = nullptr);

    bool setCommPort(int number) override;
    int commPort() const override { return commPort_; }
    bool setSettings(const LineSettings& line) override;
    LineSettings settings() const override { return settings_; }
    bool setFlowControl(FlowControl flow) override;
    FlowControl flowControl() const override { return flow_; }
    bool setPortOpen(bool open) override;
    bool portOpen() const override { return open_; }
    QString lastError() const override { return openError; }
    void setRThreshold(int threshold) override { rThreshold_ = threshold; }
    int rThreshold() const override { return rThreshold_; }
    int inBufferCount() override;
    void setInputLen(int length) override { inputLen_ = length; }
    QByteArray input() override;
    bool output(const QByteArray& bytes) override;
    int outBufferCount() override { return open_ ? heldBack : 0; }
    int commEvent() const override { return commEvent_; }
    bool waitForInput(int msecs) override;
    bool waitForOutput(int msecs) override;
    QString deviceName() const override { return QStringLiteral("fake"); }

    // Bytes that arrive `afterMs` from now on the test clock.
    void deliver(const QByteArray& bytes, qint64 afterMs = 0);
    void setCommEvent(int code) { commEvent_ = code; }
    TestClock& clock() const { return clock_; }

    // Every output() call, in order, and all of them joined.
    QList<QByteArray> writes;
    QByteArray wire() const;

    // Called after each write the port accepted.
    std::function<void(const QByteArray& written)> responder;
    bool failOutput = false; // output() reports a component error
    // Bytes the port's own queue holds and never sends (a line held back by
    // flow control); waitForOutput then waits out its time on the clock.
    int heldBack = 0;
    bool refuseOpen = false; // setPortOpen(true) fails
    QString openError = QStringLiteral("refused by the test");
    // Settings setSettings refuses, by their text.
    QStringList refusedSettings;
    // Flow control setFlowControl refuses.
    QList<FlowControl> refusedFlow;

private:
    void moveArrived();

    TestClock& clock_;
    struct Pending {
        qint64 atMs;
        QByteArray bytes;
    };
    QList<Pending> pending_;
    QByteArray buffer_;
    int commPort_ = 1;
    LineSettings settings_;
    FlowControl flow_ = FlowControl::None;
    bool open_ = true;
    int rThreshold_ = 1;
    int inputLen_ = 0;
    int commEvent_ = DataReceived;
};

} // namespace kestrel::test
