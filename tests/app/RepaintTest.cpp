// When the window repaints during a transfer: never between the monitor's
// answer and the next frame, where every repaint would cost line time, but
// still soon enough that the progress shown keeps up.
#include "DataDownload.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QThread>

#include <map>
#include <optional>

namespace kestrel::test {
namespace {

using RepaintTest = WindowFixture;

// Notes every paint of the watched widgets into a shared event list, and the
// text a field held when it was painted.
class PaintLog : public QObject {
public:
    explicit PaintLog(QStringList& events) : events_(events) {}
    void watch(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;
    std::map<QObject*, QString> paintedText;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
            if (auto* field = qobject_cast<QLineEdit*>(watched)) paintedText[field] = field->text();
            if (events_.isEmpty() || events_.last() != "paint") events_ << QStringLiteral("paint");
        }
        return false;
    }

private:
    QStringList& events_;
};

TEST_F(RepaintTest, DuringADownloadTheWindowRepaintsOnlyWhileTheMonitorIsAwaited) {
    open();
    constexpr int Frames = 5;
    const QString path = writeFile(QStringLiteral("data.bin"), QByteArray(Frames * FrameSize, 'd'));

    QStringList events;
    PaintLog log(events);
    log.watch(window->progressBar());
    QLineEdit* counter = window->field(FieldCounter);
    log.watch(counter);
    log.watch(window->field(FieldActivity));

    // The monitor answers every frame at once, but each frame takes longer
    // on the line than the shortest time between two repaints.
    answerLikeTheMonitor(
        *port,
        [&](int) {
            events << QStringLiteral("sum");
            QThread::msleep(RepaintIntervalMs + 5);
        },
        [&] { events << QStringLiteral("frame"); });
    dialogs.downloadAnswer = DownloadRequest{path, QStringLiteral("80010000")};
    QTest::keyClick(window->terminalView(), Qt::Key_F4);
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();

    // From the first frame to the last checksum a repaint comes only after a
    // frame has gone out completely.
    const qsizetype first = events.indexOf(QStringLiteral("frame"));
    const qsizetype last = events.lastIndexOf(QStringLiteral("sum"));
    ASSERT_GE(first, 0);
    ASSERT_GT(last, first);
    int waitsWithAPaint = 0;
    for (qsizetype i = first; i <= last; ++i) {
        if (events[i] != "paint") continue;
        EXPECT_EQ(events[i - 1], "sum") << events.join(' ').toStdString();
        ++waitsWithAPaint;
    }
    // Each wait after the first frame has something new to show.
    EXPECT_GE(waitsWithAPaint, Frames - 1) << events.join(' ').toStdString();

    // Once the download is over the last state is shown without help.
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.paintedText[counter] == "002800/002800"; }, 5000))
        << log.paintedText[counter].toStdString();
    EXPECT_EQ(window->progressBar()->value(), 0);
}

TEST_F(RepaintTest, AHeldRepaintIsShownWithoutAWaitForTheMonitor) {
    open();
    QStringList events;
    PaintLog log(events);
    log.watch(window->field(FieldState));
    QTest::qWait(int(RepaintIntervalMs) * 2);

    // A transfer busy with something other than waiting for the monitor (a
    // message box, a slow drain): its changes are held, then shown.
    std::optional<TransferHold> running;
    running.emplace(window->link(), TransferHold::Kind::Busy);
    window->setField(FieldState, QStringLiteral("Working"));
    window->pumpMessages();
    EXPECT_EQ(log.paints, 0);
    // Held no longer than the hold time, then painted with no wait for the
    // monitor to bring it.
    const std::optional<qint64> held = window->repaintThrottle().heldForMs();
    ASSERT_TRUE(held);
    EXPECT_LE(*held, RepaintHoldMs);
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.paints > 0; }, 5000));
    EXPECT_EQ(log.paintedText[window->field(FieldState)], "Working");
    running.reset();

    // Outside a transfer a change is painted at the next pump once the
    // shortest interval has passed.
    QTest::qWait(int(RepaintIntervalMs) * 2);
    const int before = log.paints;
    window->setField(FieldState, QStringLiteral("Idle"));
    window->pumpMessages();
    EXPECT_GT(log.paints, before);
}

} // namespace
} // namespace kestrel::test
