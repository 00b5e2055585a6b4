#pragma once
// The one window: the terminal view, the status fields, the progress bar, the
// Stop button, the menu and the key filter. It owns the serial port and the
// monitor link, and is the Host through which the transfers and the automation
// reach the user.
#include "Host.h"
#include "MonitorLink.h"
#include "RepaintThrottle.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>

class QAction;
class QEventLoop;
class QKeyEvent;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace kestrel {

class AutoRunner;
class ReceiveCapture;
class SerialPort;
class TerminalView;
class UserDialogs;
class WindowLog;

// Client areas smaller than this are not restored at start-up.
inline constexpr int MinimumClientWidth = 400;
inline constexpr int MinimumClientHeight = 300;
// Nor are sides longer than this or than the desktop, whichever is longer.
inline constexpr int MaximumRestoredClientSide = 4096;

class MainDialog : public QMainWindow, public Host {
    Q_OBJECT
public:
    MainDialog(std::unique_ptr<SerialPort> port, UserDialogs& dialogs, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Start-up: the status texts, the port opened from the stored settings
    // (with the Port Settings dialog when that fails), the banner, the title
    // and the stored client size. Call once, before show().
    void initialise();

    SerialPort& port() { return *port_; }
    MonitorLink& link() { return link_; }
    TerminalView* terminalView() const { return terminal_; }
    QLineEdit* field(int id) const;
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* stopButton() const { return stop_; }
    QAction* commandAction(int id) const;
    QWidget* clientArea() const { return centralWidget(); }
    const RepaintThrottle& repaintThrottle() const { return repaint_; }

    // Runs a menu or key command. Every command but Exit runs as one
    // operation of the link, so a failing port is reported once for it.
    void runCommand(int id);
    // "Quit Kestrel?": Yes closes the port and the window, at once or, while
    // an operation runs, as soon as it has returned (it is asked to stop).
    void confirmQuit();
    bool operationRunning() const { return running_ > 0; }
    // Runs an auto file named on the command line, as the Auto command runs a
    // chosen one (Auto Again repeats it).
    void runAutoFile(const QString& path);

    // Echo On: the view inserts typed characters itself; Off: only the
    // console's echo shows them. Set from the Port Settings dialog.
    void setLocalEcho(bool on) { localEcho_ = on; }
    bool localEcho() const { return localEcho_; }

    // Replaces the steady clock (milliseconds) the conversation's line times
    // and time-outs count on.
    void setClock(std::function<qint64()> steadyMsNow) { clock_ = std::move(steadyMsNow); }

    // Host
    void appendToTerminal(const QByteArray& chunk) override;
    void clearTerminal() override;
    void setField(int fieldId, const QString& text) override;
    void setProgressRange(int lower, int upper) override;
    void setProgressPosition(int position) override;
    void setTitle(const QString& title) override;
    void messageBox(const QString& text, BoxIcon icon = BoxIcon::Warning) override;
    void beep() override;
    void pumpMessages() override;
    void pumpMessagesBeforeWait() override;
    void sleepMilliseconds(int msecs) override;
    void interruptSleep() override;
    qint64 steadyMs() override;
    void requestQuit() override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class Running;
    enum class QuitAnswer { No, Now, Later };

    void buildControls();
    // Connects the port's receive events and device reports to the window.
    void wirePort();
    void buildMenu();
    void layoutControls(QSize client);
    void layoutStatusRow(int w, int h);
    void resizeClient(int width, int height);
    // A transfer, an auto file, a paste or a memory receive has the line.
    bool lineTaken() const;
    // The busy message when the line is taken; true then.
    bool refuseWhileLineTaken();
    bool previewKey(QWidget* receiver, QKeyEvent* event);
    bool filterDuringSleep(QWidget* receiver, QEvent* event);
    void sendTypedByte(char byte);

    void editPortSettings();
    void portOpenFailed(const QString& reason);
    void stopOpening();
    void downloadExecutableCommand();
    void autoCommand(bool again);
    void selectTerminalFont();

    QuitAnswer askQuit();
    void operationFinished();
    void finishQuit();
    void prepareClose();
    void applyPendingFields() const;

    std::unique_ptr<SerialPort> port_;
    UserDialogs& dialogs_;
    MonitorLink link_;
    std::unique_ptr<ReceiveCapture> capture_;
    std::unique_ptr<AutoRunner> autoRunner_;
    std::unique_ptr<WindowLog> log_;

    TerminalView* terminal_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* stop_ = nullptr;
    std::map<int, QLineEdit*> fields_;
    // Field texts set since the last paint, not yet in their widgets.
    mutable std::map<int, QString> pendingFields_;
    std::map<int, QAction*> actions_;

    QByteArray banner_;
    std::function<qint64()> clock_;
    bool layoutSuspended_ = true;
    // The open under way is start-up's: a failure brings the Port Settings
    // dialog, as the message says.
    bool openingAtStart_ = false;
    int running_ = 0;
    bool quitPending_ = false;
    bool closeAllowed_ = false;
    // True while a typed key is handed on to its widget after it was sent;
    // the copies of it that climb to the parents are not keys typed again.
    bool forwardingKey_ = false;
    // Echo Off: the console echoes what it receives, so a typed character is
    // only sent, and what shows is the echo. On: the view also inserts it,
    // for a device that does not echo. Lasts while the program runs.
    bool localEcho_ = false;
    // The loop of the sleep running below, if any: Stop ends it.
    QEventLoop* sleepLoop_ = nullptr;
    RepaintThrottle repaint_;
};

} // namespace kestrel
