#include "WindowOnSimulator.h"
#include "TestFiles.h"

#include "TerminalView.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTest>

namespace kestrel::test {

WindowOnSimulator::~WindowOnSimulator() {
    watch_.stop();
    window.reset();
    QCoreApplication::processEvents();
}

void WindowOnSimulator::start(const QStringList& options, const QString& device) {
    QCoreApplication::setOrganizationName(QStringLiteral("Tamsworth"));
    QCoreApplication::setApplicationName(QStringLiteral("Kestrel"));
    sim = std::make_unique<Simulator>(options);
    ASSERT_FALSE(sim->devicePath().isEmpty());
    QSettings store;
    store.clear();
    store.setValue(QStringLiteral("Config/CommPort"), 1);
    store.setValue(QStringLiteral("Config/CommSettings"), QStringLiteral("115200,n,8,1"));

    auto serial = std::make_unique<QtSerialPortComponent>();
    port = serial.get();
    port->setDeviceOverride(device.isEmpty() ? sim->devicePath() : device);
    port->setReconnectInterval(250);
    window = std::make_unique<MainDialog>(std::move(serial), dialogs);
    clock_.start();
    window->setClock([this] { return clock_.elapsed() * 4; });
    window->initialise();
    window->show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(port->portOpen()) << port->lastError().toStdString();
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
}

QString WindowOnSimulator::writeFile(const QString& name, const QByteArray& bytes) {
    return kestrel::test::writeTestFile(dir, name, bytes);
}

QByteArray WindowOnSimulator::pattern(qsizetype size) {
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

void WindowOnSimulator::when(std::function<bool()> ready, std::function<void()> action) {
    watch_.disconnect();
    watch_.setInterval(0);
    QObject::connect(&watch_, &QTimer::timeout,
                     [this, ready = std::move(ready), action = std::move(action)] {
                         if (!ready()) return;
                         watch_.stop();
                         action();
                     });
    watch_.start();
}

qint64 WindowOnSimulator::runTimed(int command) {
    QElapsedTimer timer;
    timer.start();
    window->runCommand(command);
    return timer.elapsed();
}

void WindowOnSimulator::expectReleased() const {
    EXPECT_FALSE(window->link().isBusy());
    EXPECT_FALSE(window->link().displaySuppressed());
    EXPECT_EQ(port->rThreshold(), 1);
    EXPECT_FALSE(window->operationRunning());
}

QByteArray WindowOnSimulator::terminalText() const {
    return window->terminalView()->terminalText();
}

bool WindowOnSimulator::typeAndSeePrompt(const QString& line) {
    window->clearTerminal();
    QTest::keyClicks(window->terminalView(), line);
    QTest::keyClick(window->terminalView(), Qt::Key_Return);
    return QTest::qWaitFor([this] { return terminalText().contains(">>"); }, 3000);
}

} // namespace kestrel::test
