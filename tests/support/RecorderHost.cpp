#include "RecorderHost.h"

#include "TerminalFilter.h"

#include <QDateTime>
#include <QThread>

namespace kestrel::test {

TestClock::TestClock(bool fake) : fake_(fake) {}

qint64 TestClock::nowMs() const {
    return fake_ ? fakeMs_ : QDateTime::currentMSecsSinceEpoch();
}

void TestClock::advanceMs(qint64 ms) {
    if (fake_)
        fakeMs_ += ms;
    else if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

void RecorderHost::appendToTerminal(const QByteArray& chunk) {
    appended.append(chunk);
    terminal = appendToTerminalText(terminal, chunk);
}

void RecorderHost::clearTerminal() {
    terminal.clear();
}

void RecorderHost::setField(int fieldId, const QString& text) {
    fields[fieldId] = text;
    fieldHistory[fieldId].append(text);
}

void RecorderHost::setProgressRange(int lower, int upper) {
    progressLower = lower;
    progressUpper = upper;
}

void RecorderHost::setProgressPosition(int position) {
    progressPositions.append(position);
}

void RecorderHost::messageBox(const QString& text, BoxIcon) {
    messages.append(text);
    if (onMessage) onMessage(text);
}

void RecorderHost::pumpMessages() {
    ++pumps;
    if (onPump) onPump();
}

void RecorderHost::sleepMilliseconds(int msecs) {
    sleeps.append(msecs);
    clock_.advanceMs(msecs);
}

QByteArray RecorderHost::rawTerminal() const {
    QByteArray all;
    for (const auto& c : appended)
        all += c;
    return all;
}

} // namespace kestrel::test
