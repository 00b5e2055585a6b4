#pragma once
// The window's session log: File > "Log to File..." starts it on a chosen file
// and, chosen again, stops it; "Timestamps in Log" stamps its lines. What the
// terminal shows is logged as it shows it.
#include "SessionLog.h"

#include <QString>

#include <functional>

class QAction;
class QWidget;

namespace kestrel {

class Host;
class UserDialogs;

class WindowLog {
public:
    // `logAction` and `stampAction` are the two menu items; they become check
    // items that show the log's state. `busy` says whether an operation is
    // running: a failure is shown once it has finished, so a message box
    // never holds up a transfer.
    WindowLog(QWidget* window, Host& host, UserDialogs& dialogs, QAction* logAction,
              QAction* stampAction, std::function<bool()> busy, SessionLog::Clock clock = {});

    void logToFileCommand();
    void timestampsCommand();
    // Terminal text as the view shows it (after the received-text filter).
    void append(const QByteArray& shown) {
        if (log_.isOpen()) log_.write(shown);
    }
    // The running operation has finished: a failure held back is shown now.
    void operationFinished();
    bool logging() const { return log_.isOpen(); }

private:
    void showState();
    void failed(const QString& text);

    QWidget* window_;
    Host& host_;
    UserDialogs& dialogs_;
    QAction* logAction_;
    QAction* stampAction_;
    std::function<bool()> busy_;
    SessionLog log_;
    QString heldFailure_;
};

} // namespace kestrel
