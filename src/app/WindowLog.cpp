#include "WindowLog.h"

#include "Host.h"
#include "UserDialogs.h"

#include <QAction>

namespace kestrel {

WindowLog::WindowLog(QWidget* window, Host& host, UserDialogs& dialogs, QAction* logAction,
                     QAction* stampAction, std::function<bool()> busy, SessionLog::Clock clock)
    : window_(window), host_(host), dialogs_(dialogs), logAction_(logAction),
      stampAction_(stampAction), busy_(std::move(busy)),
      log_(SessionLog::Mode::Text, std::move(clock)) {
    for (QAction* action : {logAction_, stampAction_})
        if (action) action->setCheckable(true);
    log_.setFailureHandler([this](const QString& text) { failed(text); });
    showState();
}

void WindowLog::logToFileCommand() {
    if (log_.isOpen()) {
        log_.close();
        host_.setField(FieldState, QStringLiteral("Log closed."));
    } else if (const std::optional<QString> path = dialogs_.openFileName(
                   window_, {QStringLiteral("Log Files (*.log) | *.log | All Files (*.*) | *.* ||"),
                             QStringLiteral("log"), QStringLiteral("kestrel.log")})) {
        if (const auto error = log_.open(*path)) {
            host_.messageBox(QStringLiteral("Cannot open the log %1 (%2).").arg(*path, *error));
        } else {
            host_.setField(FieldState, *path);
        }
    }
    showState();
}

void WindowLog::timestampsCommand() {
    log_.setTimestamps(!log_.timestamps());
    showState();
}

void WindowLog::showState() {
    // A triggered check item has toggled itself; the log says what it is.
    if (logAction_) logAction_->setChecked(log_.isOpen());
    if (stampAction_) stampAction_->setChecked(log_.timestamps());
}

void WindowLog::failed(const QString& text) {
    showState();
    host_.setField(FieldState, QStringLiteral("Log stopped."));
    heldFailure_ = text;
    if (!busy_ || !busy_()) operationFinished();
}

void WindowLog::operationFinished() {
    if (heldFailure_.isEmpty()) return;
    const QString text = std::exchange(heldFailure_, QString());
    host_.messageBox(text);
}

} // namespace kestrel
