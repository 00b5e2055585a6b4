#pragma once
// A Host that records everything shown to the user, answers message boxes at
// once, and keeps time on a clock the test controls.
#include "Host.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

namespace kestrel::test {

// Milliseconds since an arbitrary start, the host's steady clock. Real:
// follows the system clock. Fake: moves only when a wait or sleep moves it.
class TestClock {
public:
    explicit TestClock(bool fake = true);
    bool isFake() const { return fake_; }
    qint64 nowMs() const;
    void advanceMs(qint64 ms);

private:
    bool fake_;
    qint64 fakeMs_ = 1'000'000'500; // mid-second, like a real clock usually is
};

class RecorderHost : public Host {
public:
    explicit RecorderHost(TestClock& clock) : clock_(clock) {}

    void appendToTerminal(const QByteArray& chunk) override;
    void clearTerminal() override;
    void setField(int fieldId, const QString& text) override;
    void setProgressRange(int lower, int upper) override;
    void setProgressPosition(int position) override;
    void setTitle(const QString& title) override { title_ = title; }
    void messageBox(const QString& text, BoxIcon icon) override;
    void beep() override { ++beeps; }
    void pumpMessages() override;
    void sleepMilliseconds(int msecs) override;
    qint64 steadyMs() override { return clock_.nowMs(); }
    void requestQuit() override { ++quitRequests; }

    // What the terminal view holds (filter and bound applied).
    QByteArray terminal;
    // Every chunk as it was appended, before the filter.
    QList<QByteArray> appended;
    QMap<int, QString> fields;
    // Every text each field was given, in order.
    QMap<int, QStringList> fieldHistory;
    QList<int> progressPositions;
    int progressLower = 0, progressUpper = 0;
    QStringList messages;
    QList<int> sleeps;
    QString title_;
    int pumps = 0;
    int beeps = 0;
    int quitRequests = 0;

    // Runs inside every pumpMessages (a test presses Stop from here).
    std::function<void()> onPump;
    // Runs inside every messageBox, before it returns.
    std::function<void(const QString&)> onMessage;

    QByteArray rawTerminal() const; // all appended chunks, concatenated

private:
    TestClock& clock_;
};

} // namespace kestrel::test
