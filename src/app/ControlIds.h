#pragma once
// Numeric IDs of the window's controls and commands. Controls carry their ID
// as the property "controlId" and as the object name "control<ID>", so tests
// and later code address them the way the menu and the dialogs do.
#include <QString>
#include <QVariant>
#include <QWidget>

namespace kestrel {

enum ControlId : int {
    TerminalViewId = 1000,
    SerialPortId = 1001,
    ProgressBarId = 1007,
    StopButtonId = 1009,
};

enum CommandId : int {
    CommandExit = 2,
    CommandAbout = 16,
    CommandFont = 32773,
    CommandDownloadData = 32775,
    CommandAuto = 32777,
    CommandPortSettings = 32780,
    CommandClearScreen = 32781,
    CommandDownloadExecutable = 32782,
    CommandHelp = 32784,
    CommandAutoAgain = 32785,
    CommandReceive = 32786,
    CommandStopReceiving = 32787,
    CommandLogToFile = 32800,
    CommandLogTimestamps = 32801,
    CommandPaste = 32802,
    CommandVerifyDownloads = 32803,
};

inline QString controlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

inline void setControlId(QObject* control, int id) {
    control->setObjectName(controlName(id));
    control->setProperty("controlId", id);
}

template <typename T> T* findControl(const QObject* root, int id) {
    return root->findChild<T*>(controlName(id));
}

} // namespace kestrel
