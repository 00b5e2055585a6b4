#include "MainDialog.h"

#include "AppIdentity.h"
#include "AutoFile.h"
#include "ControlIds.h"
#include "DataDownload.h"
#include "KeyTable.h"
#include "LocalCommand.h"
#include "MonitorLink.h"
#include "Paste.h"
#include "PortProfile.h"
#include "ReceiveFile.h"
#include "SerialPort.h"
#include "StatusField.h"
#include "Strings.h"
#include "TerminalView.h"
#include "UserDialogs.h"
#include "WindowLog.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <utility>

static void initialiseIconResource() {
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel {

namespace {

const QString WindowSection = QStringLiteral("Window");
const QString SizeXKey = QStringLiteral("Size_x");
const QString SizeYKey = QStringLiteral("Size_y");
QByteArray banner() {
    return "Kestrel v" + shortVersion().toLatin1() + " - PC-Yaroze comms utility\r\n";
}

// Status fields in creation order.
const int FieldIds[] = {FieldActivity, FieldTask, FieldState, FieldCounter, FieldPort};

// The client area tells the window about every size change, so the controls
// follow it; it has no layout of its own.
class ClientArea : public QWidget {
public:
    explicit ClientArea(std::function<void(QSize)> resized) : resized_(std::move(resized)) {}

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        resized_(event->size());
    }

private:
    std::function<void(QSize)> resized_;
};

// The keys a menu item shows come from the key table.
struct MenuItem {
    const char* label; // nullptr: separator
    int command;
};

struct Menu {
    const char* title;
    std::initializer_list<MenuItem> items;
};

const Menu Menus[] = {
    {"&File",
     {{"Download &executable file...", CommandDownloadExecutable},
      {"Download &data file...", CommandDownloadData},
      {"Receive Data File", CommandReceive},
      {"Stop Receiving Data File", CommandStopReceiving},
      {nullptr, 0},
      {"&Log to File...", CommandLogToFile},
      {"&Timestamps in Log", CommandLogTimestamps},
      {nullptr, 0},
      {"&Auto...", CommandAuto},
      {"Auto A&gain", CommandAutoAgain},
      {nullptr, 0},
      {"E&xit", CommandExit}}},
    {"&Edit",
     {{"&Port Settings...", CommandPortSettings},
      {"&Clear Screen", CommandClearScreen},
      {"&Paste", CommandPaste},
      {"&Verify Downloads", CommandVerifyDownloads}}},
    {"&View", {{"&Font", CommandFont}}},
    {"&Help", {{"&About Kestrel", CommandAbout}}},
};

// The installed README, else the one of the source tree this program was
// built from (running from the build tree), else where to find it.
QString readmeLine() {
    for (const char* path : {KESTREL_README_PATH, KESTREL_SOURCE_README_PATH})
        if (QFileInfo::exists(QString::fromUtf8(path)))
            return QStringLiteral("The README is %1.").arg(QString::fromUtf8(path));
    return QStringLiteral("The README is in the top folder of Kestrel's source.");
}

QString helpText() {
    return QStringLiteral("Kestrel keys\n\n%1\n"
                          "Everything else you type goes to the console as you type it, except "
                          "while a transfer runs.\n\n"
                          "%2")
        .arg(keyHelpLines(), readmeLine());
}

// The store rewrites its file and flushes it to disk for every value set,
// changed or not, and start-up sets both sizes twice; a size that is already
// stored as it is is left alone.
void storeSize(QSettings& store, const QString& key, int value) {
    if (store.value(key).toString() != QString::number(value)) store.setValue(key, value);
}

// The commands that put bytes on the line or change the port under it.
bool usesTheLine(int command) {
    switch (command) {
    case CommandAuto:
    case CommandAutoAgain:
    case CommandDownloadData:
    case CommandDownloadExecutable:
    case CommandReceive:
    case CommandPortSettings:
    case CommandPaste:
        return true;
    default:
        return false;
    }
}

const QString TypedKeysRefused = QStringLiteral("Busy: typed keys are not sent during a transfer.");

} // namespace

// Counts the operations under way (commands, keystrokes, receive events), so
// the window closes only once the outermost has returned.
class MainDialog::Running {
public:
    explicit Running(MainDialog& dialog) : dialog_(dialog) { ++dialog_.running_; }
    ~Running() {
        if (--dialog_.running_ == 0) dialog_.operationFinished();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    MainDialog& dialog_;
};

MainDialog::MainDialog(std::unique_ptr<SerialPort> port, UserDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), port_(std::move(port)), dialogs_(dialogs), link_(*port_, *this),
      capture_(std::make_unique<ReceiveCapture>(link_)),
      autoRunner_(std::make_unique<AutoRunner>(link_)),
      repaint_([this] { return link_.isBusy(); },
               [this] {
                   QEvent request(QEvent::UpdateRequest);
                   QCoreApplication::sendEvent(this, &request);
               }) {
    initialiseIconResource();
    setWindowTitle(QStringLiteral("Kestrel"));
    setWindowIcon(QIcon(QStringLiteral(":/kestrel.png")));
    // Sizable and minimisable, but no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QFont font;
    font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(9);
    setFont(font);
    buildControls();
    buildMenu();
    setControlId(port_.get(), SerialPortId);
    log_ = std::make_unique<WindowLog>(this, *this, dialogs_, commandAction(CommandLogToFile),
                                       commandAction(CommandLogTimestamps),
                                       [this] { return running_ > 0; });
    // A choice for this run of the program only, like the rest of the Edit menu.
    commandAction(CommandVerifyDownloads)->setCheckable(true);

    // The block went to its file, not to the terminal; the terminal keeps one
    // line of how it ended, as the task field says it.
    capture_->onFinished = [this](TransferOutcome, quint32) {
        appendToTerminal("\r" + field(FieldTask)->text().toLocal8Bit() + "\r");
    };

    wirePort();
    qApp->installEventFilter(this);
}

void MainDialog::wirePort() {
    connect(port_.get(), &SerialPort::onComm, this, [this] {
        Running running(*this);
        link_.onCommEvent();
    });
    // The port status says what became of the device until it is replaced;
    // the terminal keeps a line of it, since a transfer that failed on the
    // way overwrites the other fields.
    connect(port_.get(), &SerialPort::deviceLost, this, [this](const QString& reason) {
        setField(FieldPort, QStringLiteral("Device lost: ") + portStatusText(*port_));
        setField(FieldState, reason);
        appendToTerminal("\r*** " + reason.toLocal8Bit() + " ***\r");
    });
    // A network port connects while the window runs; its outcome is told
    // as a failed open at start-up or after Port Settings is told.
    connect(port_.get(), &SerialPort::opened, this, [this] { showPortStatus(*port_, *this); });
    connect(port_.get(), &SerialPort::openFailed, this, &MainDialog::portOpenFailed);
    connect(port_.get(), &SerialPort::deviceRestored, this, [this] {
        const QString status = portStatusText(*port_);
        setField(FieldPort, QStringLiteral("Reopened: ") + status);
        setField(FieldState, QString());
        appendToTerminal("\r*** " + portReopenedText(*port_).toLocal8Bit() + " ***\r");
    });
}

MainDialog::~MainDialog() {
    qApp->removeEventFilter(this);
    // The capture and the runner use the link; they go before it does.
    autoRunner_.reset();
    capture_.reset();
}

void MainDialog::buildControls() {
    auto* client = new ClientArea([this](QSize size) { layoutControls(size); });
    setCentralWidget(client);

    terminal_ = new TerminalView(client);
    setControlId(terminal_, TerminalViewId);

    progress_ = new QProgressBar(client);
    setControlId(progress_, ProgressBarId);
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    stop_ = new QPushButton(QStringLiteral("&Stop"), client);
    setControlId(stop_, StopButtonId);
    stop_->setAutoDefault(false);
    connect(stop_, &QPushButton::clicked, this, [this] {
        stopOpening();
        link_.stopTransfer();
    });

    for (int id : FieldIds) {
        auto* field = new StatusField(client);
        setControlId(field, id);
        fields_[id] = field;
    }
    // Tab walks the controls as they sit on the screen.
    setTabOrder(terminal_, stop_);
    QWidget* previous = stop_;
    for (int id : {FieldActivity, FieldPort, FieldCounter, FieldState, FieldTask}) {
        setTabOrder(previous, fields_[id]);
        previous = fields_[id];
    }
}

void MainDialog::buildMenu() {
    QMenuBar* bar = menuBar();
    // The menu resource's ID, so tests and tools find the bar by it.
    bar->setObjectName(QStringLiteral("menu129"));
    for (const Menu& menu : Menus) {
        QMenu* popup = bar->addMenu(QString::fromLatin1(menu.title));
        for (const MenuItem& item : menu.items) {
            if (!item.label) {
                popup->addSeparator();
                continue;
            }
            // The key table, not the action, binds the keys: the text after
            // the tab only shows them.
            QString label = QString::fromLatin1(item.label);
            if (const QString keys = shortcutText(item.command); !keys.isEmpty())
                label += u'\t' + keys;
            QAction* action = popup->addAction(label);
            action->setData(item.command);
            setControlId(action, item.command);
            const int command = item.command;
            connect(action, &QAction::triggered, this, [this, command] { runCommand(command); });
            actions_[item.command] = action;
        }
    }
}

QLineEdit* MainDialog::field(int id) const {
    applyPendingFields();
    const auto it = fields_.find(id);
    return it == fields_.end() ? nullptr : it->second;
}

void MainDialog::applyPendingFields() const {
    for (const auto& [id, text] : pendingFields_) {
        QLineEdit* target = fields_.at(id);
        if (target->text() == text) continue;
        target->setText(text);
        // A text longer than its field shows its beginning (the port name).
        target->setCursorPosition(0);
    }
    pendingFields_.clear();
}

QAction* MainDialog::commandAction(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

// --- start-up and size ------------------------------------------------------

void MainDialog::initialise() {
    layoutSuspended_ = true;
    setField(FieldPort, QStringLiteral("Initializing..."));
    setField(FieldCounter, QStringLiteral("Direct connect."));

    QSettings store;
    const bool started = openPortFromProfile(*port_, store, *this);
    openingAtStart_ = !started || port_->portOpening();
    if (!started) portOpenFailed(port_->lastError());

    banner_ = banner();
    appendToTerminal(banner_);
    setTitle(QStringLiteral("Kestrel v") + shortVersion());
    layoutSuspended_ = false;

    store.beginGroup(WindowSection);
    const int width = store.value(SizeXKey, 0).toInt();
    storeSize(store, SizeXKey, width);
    const int height = store.value(SizeYKey, 0).toInt();
    storeSize(store, SizeYKey, height);
    store.endGroup();
    // A stored size beyond any screen (a store edited by hand or damaged)
    // would ask for a backing store of gigabytes, which Qt cannot paint.
    const QSize desktop = screen() ? screen()->availableVirtualSize() : QSize();
    const int widest = std::max({desktop.width(), MaximumRestoredClientSide, MinimumClientWidth});
    const int highest =
        std::max({desktop.height(), MaximumRestoredClientSide, MinimumClientHeight});
    resizeClient(std::clamp(width, MinimumClientWidth, widest),
                 std::clamp(height, MinimumClientHeight, highest));
    terminal_->setFocus(Qt::OtherFocusReason);
}

// The stored size is the client area's, so it is restored as the client area:
// the window grows by the menu bar.
void MainDialog::resizeClient(int width, int height) {
    const int menuHeight = menuBar()->hasHeightForWidth() ? menuBar()->heightForWidth(width)
                                                          : menuBar()->sizeHint().height();
    resize(width, height + std::max(menuHeight, 0));
    if (centralWidget()->size() != QSize(width, height) && isVisible())
        resize(size() + QSize(width, height) - centralWidget()->size());
}

// The status fields share the row in fixed proportions. In a narrow window
// the activity field and the counter would be too short for their texts
// ("  RX", "Direct connect."); they keep that much, and the port, state and
// task fields give up the difference in proportion to their shares.
void MainDialog::layoutStatusRow(int w, int h) {
    const double W = w;
    struct Slot {
        int id;
        double share;
        QString widest;
    };
    const Slot row[] = {{FieldActivity, 0.05, QStringLiteral("  RX")},
                        {FieldPort, 0.2, {}},
                        {FieldCounter, 0.2, QStringLiteral("Direct connect.")},
                        {FieldState, 0.25, {}},
                        {FieldTask, 0.3, {}}};
    // Frame and text margins of a line edit.
    constexpr int FieldPadding = 12;
    double wanted[std::size(row)];
    double shortfall = 0;
    double yielding = 0;
    for (std::size_t i = 0; i < std::size(row); ++i) {
        wanted[i] = row[i].share * W;
        if (row[i].widest.isEmpty()) {
            yielding += wanted[i];
            continue;
        }
        const int least =
            fields_[row[i].id]->fontMetrics().horizontalAdvance(row[i].widest) + FieldPadding;
        shortfall += std::max(0.0, least - wanted[i]);
        wanted[i] = std::max<double>(wanted[i], least);
    }
    const double scale = yielding > 0 ? std::max(0.0, 1 - shortfall / yielding) : 1;
    double left = 0;
    for (std::size_t i = 0; i < std::size(row); ++i) {
        const double width = row[i].widest.isEmpty() ? wanted[i] * scale : wanted[i];
        const bool last = i + 1 == std::size(row);
        // The last field stops 5 pixels short of the edge, as the first
        // starts 5 pixels in.
        fields_[row[i].id]->setGeometry(int(left + 5), h - 28, int(width) - (last ? 5 : 0), 23);
        left += width;
    }
}

void MainDialog::layoutControls(QSize client) {
    if (layoutSuspended_) return;
    const int w = client.width();
    const int h = client.height();
    const double W = w;
    terminal_->setGeometry(5, 5, w - 10, h - 60);
    progress_->setGeometry(4, h - 52, int(0.9 * W), 23);
    stop_->setGeometry(int(0.9 * W) + 5, h - 52, int(0.1 * W) - 6, 23);
    layoutStatusRow(w, h);

    // A minimised window reports an empty client area; storing it would make
    // the next start open at the minimum size.
    if (isMinimized() || (w == 0 && h == 0)) return;
    QSettings store;
    store.beginGroup(WindowSection);
    storeSize(store, SizeXKey, w);
    storeSize(store, SizeYKey, h);
}

// --- commands ---------------------------------------------------------------

void MainDialog::runCommand(int id) {
    if (id == CommandExit) {
        confirmQuit();
        return;
    }
    Running running(*this);
    MonitorLink::Operation operation(link_);
    if (usesTheLine(id) && refuseWhileLineTaken()) return;
    switch (id) {
    case CommandAbout:
        dialogs_.about(this);
        break;
    case CommandFont:
        selectTerminalFont();
        break;
    case CommandDownloadData:
        kestrel::downloadDataFileCommand(link_, [this] { return dialogs_.download(this); });
        break;
    case CommandAuto:
    case CommandAutoAgain:
        autoCommand(id == CommandAutoAgain);
        break;
    case CommandPortSettings:
        editPortSettings();
        break;
    case CommandClearScreen:
        clearTerminal();
        break;
    case CommandDownloadExecutable:
        downloadExecutableCommand();
        break;
    case CommandHelp:
        dialogs_.help(this, helpText());
        break;
    case CommandReceive:
        kestrel::receiveDataFileCommand(link_, *capture_,
                                        [this] { return dialogs_.receive(this); });
        break;
    case CommandStopReceiving:
        stopReceiving(*capture_);
        break;
    case CommandLogToFile:
        log_->logToFileCommand();
        break;
    case CommandLogTimestamps:
        log_->timestampsCommand();
        break;
    case CommandPaste:
        // With local echo the terminal shows what was sent, as it shows typing.
        if (const QByteArray sent = pasteText(link_, QGuiApplication::clipboard()->text());
            localEcho_ && !sent.isEmpty())
            appendToTerminal(sent);
        break;
    case CommandVerifyDownloads:
        link_.setVerifyDownloads(commandAction(CommandVerifyDownloads)->isChecked());
        break;
    default:
        break;
    }
}

void MainDialog::portOpenFailed(const QString& reason) {
    const bool atStart = std::exchange(openingAtStart_, false);
    showPortStatus(*port_, *this);
    messageBox(openFailureText(
        strings::text(atStart ? strings::PortNotOpened : strings::PortSettingsRefused), reason));
    // The message promises the dialog; it follows at once, unless the user
    // has it open already.
    if (atStart && running_ == 0) editPortSettings();
}

// Stop while a connection is being made ends it; the port stays closed.
void MainDialog::stopOpening() {
    if (!port_->portOpening()) return;
    port_->setPortOpen(false);
    openingAtStart_ = false;
    showPortStatus(*port_, *this);
}

void MainDialog::editPortSettings() {
    QSettings store;
    kestrel::editPortSettings(*port_, store, *this, [this](PortDialogFields fields) {
        fields.echoIndex = localEcho_ ? 1 : 0;
        // The session is on the device named with --port, not on a Com port:
        // no Com button is selected, and the dialog names the device.
        const QString device = port_->deviceOverride();
        const bool locked = !device.isEmpty() && !port_->canLeaveDeviceOverride();
        if (!device.isEmpty()) {
            fields.portIndex = -1;
            fields.deviceInUse = device;
            fields.comPortsLocked = locked;
        }
        std::optional<PortDialogFields> chosen = dialogs_.portSettings(this, fields);
        if (!chosen) return chosen;
        // The open that follows is this choice's, not start-up's.
        openingAtStart_ = false;
        if (chosen->echoIndex >= 0) localEcho_ = chosen->echoIndex == 1;
        // Choosing a Com button means that port, as stored and shown; a port
        // that cannot leave its device keeps it and stores no Com port.
        if (locked) chosen->portIndex = -1;
        if (!device.isEmpty() && chosen->portIndex >= 0) port_->leaveDeviceOverride();
        return chosen;
    });
}

void MainDialog::downloadExecutableCommand() {
    onDownloadExecutable(link_, [this](const QString& filter) {
        return dialogs_.openFileName(this, {filter, QString(), QStringLiteral("*.*")});
    });
}

void MainDialog::autoCommand(bool again) {
    if (again) {
        autoRunner_->autoAgainCommand();
        return;
    }
    autoRunner_->autoCommand([this](const QString& filter) {
        return dialogs_.openFileName(this, {filter, QString(), QStringLiteral("*.*")});
    });
}

void MainDialog::runAutoFile(const QString& path) {
    Running running(*this);
    if (refuseWhileLineTaken()) return;
    autoRunner_->lastAutoFile = path;
    autoRunner_->runAutoFile(path, TransferHold(link_));
}

bool MainDialog::lineTaken() const {
    return link_.isBusy() || capture_->active();
}

bool MainDialog::refuseWhileLineTaken() {
    if (!lineTaken()) return false;
    messageBox(strings::text(strings::UploadInProgress));
    return true;
}

void MainDialog::selectTerminalFont() {
    const std::optional<QFont> chosen = dialogs_.chooseFont(this, terminal_->font());
    if (!chosen) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    terminal_->setFont(*chosen);
    QApplication::restoreOverrideCursor();
}

// --- keys -------------------------------------------------------------------

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    auto* receiver = qobject_cast<QWidget*>(watched);
    if (!receiver || receiver->window() != this) return false;
    if (sleepLoop_) return filterDuringSleep(receiver, event);
    if (event->type() != QEvent::KeyPress || forwardingKey_) return false;
    if (qobject_cast<QMenuBar*>(receiver)) return false;
    if (!previewKey(receiver, static_cast<QKeyEvent*>(event))) return false;
    // Taken here: an event left unaccepted climbs on to the parents, and
    // would pass this filter (and go to the console) once for each.
    event->accept();
    return true;
}

// During a sleep the window answers only Stop (a click or Alt+S) and the
// quit question; every other key or click is swallowed, as it would be by a
// busy program, and typed keys do not go to the console.
bool MainDialog::filterDuringSleep(QWidget* receiver, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        const KeyBinding* binding = findBinding(*static_cast<QKeyEvent*>(event));
        if (binding && binding->command == StopButtonId) {
            link_.stopTransfer();
        } else if (binding && binding->command == CommandExit) {
            confirmQuit();
        }
        event->accept();
        return true;
    }
    case QEvent::KeyRelease:
        return true;
    case QEvent::Shortcut:
        // The Stop button's own Alt+S.
        return receiver != stop_;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
        return receiver != stop_;
    default:
        return false;
    }
}

bool MainDialog::previewKey(QWidget* receiver, QKeyEvent* event) {
    // The Stop button's key goes on to the button's own shortcut.
    if (const KeyBinding* binding = findBinding(*event);
        binding && binding->command != StopButtonId) {
        runCommand(binding->command);
        return true;
    }
    const std::optional<char> byte = typedByte(*event);
    // Keys that type nothing (Tab, arrows, Delete) take their usual way.
    if (!byte) return false;
    // Return belongs to the terminal; elsewhere (a status field, the Stop
    // button) it does nothing.
    if (*byte == '\r' && receiver != terminal_) return true;
    // A byte between or inside the frames of a transfer would corrupt it,
    // and one sent while a block arrives would reach the monitor's prompt
    // after it: typed keys are refused (not queued) while the line is taken.
    if (lineTaken()) {
        beep();
        setField(FieldState, TypedKeysRefused);
        return true;
    }
    sendTypedByte(*byte);
    // With local echo the widget still gets the key, so the terminal shows
    // what was typed; without, the console's echo shows it.
    QPointer<QWidget> target(receiver);
    if (localEcho_ && target) {
        const QScopedValueRollback forwarding(forwardingKey_, true);
        QCoreApplication::sendEvent(target, event);
    }
    return true;
}

void MainDialog::sendTypedByte(char byte) {
    Running running(*this);
    MonitorLink::Operation operation(link_);
    link_.sendText(QByteArray(1, byte));
}

// --- quitting ---------------------------------------------------------------

MainDialog::QuitAnswer MainDialog::askQuit() {
    if (!dialogs_.question(this, QStringLiteral("Quit Kestrel?"))) return QuitAnswer::No;
    quitPending_ = true;
    if (running_ == 0) return QuitAnswer::Now;
    // A transfer or auto file is pumping messages below us: ask it to stop
    // and close once it has returned.
    link_.requestAbort();
    return QuitAnswer::Later;
}

void MainDialog::confirmQuit() {
    if (askQuit() == QuitAnswer::Now) finishQuit();
}

void MainDialog::requestQuit() {
    quitPending_ = true;
    if (running_ == 0) operationFinished();
}

void MainDialog::operationFinished() {
    log_->operationFinished();
    if (quitPending_)
        QMetaObject::invokeMethod(this, &MainDialog::finishQuit, Qt::QueuedConnection);
}

void MainDialog::finishQuit() {
    if (running_ > 0 || closeAllowed_) return;
    prepareClose();
    close();
}

void MainDialog::prepareClose() {
    if (port_->portOpen() || port_->portOpening()) port_->setPortOpen(false);
    closeAllowed_ = true;
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    event->ignore();
    if (askQuit() == QuitAnswer::Now) {
        prepareClose();
        event->accept();
    }
}

// --- Host -------------------------------------------------------------------

bool MainDialog::event(QEvent* event) {
    if (event->type() == QEvent::UpdateRequest) {
        if (!repaint_.mayRepaint()) return true;
        applyPendingFields();
    }
    return QMainWindow::event(event);
}

void MainDialog::appendToTerminal(const QByteArray& chunk) {
    log_->append(terminal_->appendChunk(chunk));
}

void MainDialog::clearTerminal() {
    terminal_->clearText();
}

void MainDialog::setField(int fieldId, const QString& text) {
    const auto it = fields_.find(fieldId);
    if (it == fields_.end()) return;
    // The text goes into its field when the window next paints (or someone
    // reads the field): a transfer sets its fields several times a frame,
    // and laying out each text would sit between the monitor's answer and
    // the next frame.
    const auto pending = pendingFields_.find(fieldId);
    if ((pending != pendingFields_.end() ? pending->second : it->second->text()) == text) return;
    pendingFields_[fieldId] = text;
    it->second->update();
}

void MainDialog::setProgressRange(int lower, int upper) {
    progress_->setRange(lower, upper);
}

void MainDialog::setProgressPosition(int position) {
    progress_->setValue(position);
}

void MainDialog::setTitle(const QString& title) {
    setWindowTitle(title);
}

void MainDialog::messageBox(const QString& text, BoxIcon icon) {
    dialogs_.message(this, text, icon);
}

void MainDialog::beep() {
    QApplication::beep();
}

void MainDialog::pumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainDialog::pumpMessagesBeforeWait() {
    repaint_.pumpBeforeWait([this] { pumpMessages(); });
}

void MainDialog::sleepMilliseconds(int msecs) {
    if (msecs <= 0 || link_.isAborting()) return;
    // The window keeps painting and answers Stop and the quit question (see
    // filterDuringSleep); Stop ends the sleep at once.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(msecs);
    const QScopedValueRollback sleeping(sleepLoop_, &loop);
    loop.exec();
}

void MainDialog::interruptSleep() {
    if (sleepLoop_) sleepLoop_->quit();
}

qint64 MainDialog::steadyMs() {
    return clock_ ? clock_() : Host::steadyMs();
}

} // namespace kestrel
