#pragma once
// The stored port configuration: section "Config" of the settings store holds
// "CommPort" (integer, 1 = first serial port) and "CommSettings" (the line
// settings text). The values in force live in the SerialPort itself; these
// functions move them between the store, the port, the Port Settings dialog
// and the port status field.
#include "SerialPort.h"

#include <QSettings>
#include <QString>

#include <functional>
#include <optional>

namespace kestrel {

class Host;

// The Port Settings dialog's fields. Radio fields hold the 0-based position of
// the selected button in their group, -1 when none is selected.
struct PortDialogFields {
    QString baudText;       // speed as typed or picked
    int portIndex = -1;     // 0-7: Com1-Com8
    int dataBitsIndex = -1; // 0: 7 bits, 1: 8 bits
    int echoIndex = -1;     // 0 Off, 1 On: the window's local echo
    int flowIndex = -1;     // 0 none, 1 Xon/Xoff, 2 RTS, 3 Xon/RTS (FlowControl)
    int parityIndex = -1;   // 0 none, 1 odd, 2 even
    int stopBitsIndex = -1; // 0: 1 bit, 1: 2 bits
    // The device the session uses when it was named on the command line
    // (--port), which no Com button stands for; empty otherwise.
    QString deviceInUse;
    // The device in use cannot be swapped for a Com port (a network port):
    // the Com buttons are out of reach and none is taken from the answer.
    bool comPortsLocked = false;

    friend bool operator==(const PortDialogFields&, const PortDialogFields&) = default;
};

// Runs the dialog modally with the given fields; the fields read back on OK,
// nullopt on Cancel.
using PortDialogRunner = std::function<std::optional<PortDialogFields>(const PortDialogFields&)>;

// Start-up: applies the stored port and settings, switches receive events on,
// opens the port and shows the status. Returns whether the port is open or
// opening (see SerialPort::beginOpen): false when the open failed at once.
//
// A missing "CommPort" shows the NoCommsParameters message and stores and uses port 2; so does
// a stored value that is not a whole number the port accepts (text, 0,
// negative, above 255). A missing "CommSettings", the text "Not Found", or a text
// the port refuses is replaced by "9600,n,8,1", stored, without a message.
bool openPortFromProfile(SerialPort& port, QSettings& store, Host& host);

// The same choice of port and settings, read only, for a program that shares
// the window's store but must not change it (the command line): nothing is
// written and nobody is asked; whatever the store lacks, or the port refuses,
// becomes port 2 and "9600,n,8,1".
void applyStoredPortChoice(SerialPort& port, const QSettings& store);
// Whether the store holds a usable port number.
bool hasStoredPort(const QSettings& store);

// "COM2:9600,n,8,1"; with a device override the device path stands in place
// of COMn ("/dev/pts/3:9600,n,8,1").
QString portStatusText(const SerialPort& port);
// "Reopened COM2:9600,n,8,1": a lost device or connection is back.
QString portReopenedText(const SerialPort& port);
// Writes portStatusText into the port status field, after "Connecting: "
// while the port is opening.
void showPortStatus(const SerialPort& port, Host& host);
// The message box text for an open that failed: the heading, then the port's
// reason when it gave one.
QString openFailureText(const QString& heading, const QString& reason);

// The fields the dialog opens with: the values in force. A value with no button (mark
// parity, 5 data bits, 1.5 stop bits, a port above 8) leaves its group at -1.
PortDialogFields fieldsFromPort(const SerialPort& port);

// "%d,%C,%d,%d": the decimal number at the start of baudText (as atoi reads
// it), parity letter N/O/E, dataBitsIndex + 7, stopBitsIndex + 1. A radio
// field at -1 (or out of range) keeps that part of `kept`, the settings in
// force (N, 8 and 1 by default).
QString settingsTextFromFields(const PortDialogFields& fields, const LineSettings& kept = {});

// The Port Settings command: runs the dialog, applies and stores the result,
// reopens the port, shows the status (also after Cancel).
//
// portIndex -1 keeps the port number in force. If the port refuses the new
// settings text, flow control or port number, nothing is stored, the values in
// force are put back, the port stays closed and a message says which value was
// refused. The store is written before the reopen, so values that fail to open
// are tried again at the next start-up; an open that fails at once shows the
// PortSettingsRefused message followed by the reason (one that fails later is
// the caller's to report, see SerialPort::openFailed). An open still under way
// when the dialog is answered with OK is ended first.
void editPortSettings(SerialPort& port, QSettings& store, Host& host,
                      const PortDialogRunner& runDialog);

} // namespace kestrel
