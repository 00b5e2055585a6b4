#include "PortProfile.h"

#include "DeviceMap.h"
#include "Host.h"
#include "LineSettings.h"
#include "Strings.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>

namespace kestrel {

namespace {

const QString PortKey = QStringLiteral("Config/CommPort");
const QString SettingsKey = QStringLiteral("Config/CommSettings");
const QString AbsentSettings = QStringLiteral("Not Found");
const LineSettings DefaultSettings{}; // 9600,n,8,1
constexpr int DefaultPort = 2;
constexpr int DialogPorts = 8;

// An unquoted "9600,n,8,1" typed into the settings file by hand reads back as
// a list; it is still the one text.
QString storedText(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(u',');
    return value.toString();
}

// The number at the start of the text, read the way atoi reads it, saturated
// to the signed 32-bit range.
qint32 leadingDecimal(const QString& text) {
    const long value = std::strtol(text.toLatin1().constData(), nullptr, 10);
    return static_cast<qint32>(std::clamp<long>(value, std::numeric_limits<qint32>::min(),
                                                std::numeric_limits<qint32>::max()));
}

// What the store holds for the port and its settings; each is empty when
// absent or not usable as such.
struct StoredChoice {
    std::optional<int> commPort;
    std::optional<QString> settings;
};

StoredChoice readStoredChoice(const QSettings& store) {
    StoredChoice choice;
    bool isNumber = false;
    const int number = store.value(PortKey, 0).toInt(&isNumber);
    if (isNumber && isValidCommPort(number)) choice.commPort = number;
    const QString text = storedText(store.value(SettingsKey, AbsentSettings));
    if (text != AbsentSettings) choice.settings = text;
    return choice;
}

bool inRange(int index, int count) {
    return index >= 0 && index < count;
}

// Applies the dialog's choice to the closed port. Returns an explanation when
// the port refuses any of it; the values in force are then put back.
QString applyChoice(SerialPort& port, const PortDialogFields& chosen) {
    const LineSettings oldSettings = port.settings();
    const FlowControl oldFlow = port.flowControl();
    const int oldPort = port.commPort();
    const QString text = settingsTextFromFields(chosen, oldSettings);
    const auto line = LineSettings::parse(text);
    const auto flow = flowControlFromNumber(chosen.flowIndex);

    QString refusal;
    if (!line || !port.setSettings(*line))
        refusal = QStringLiteral("The comms port does not accept the settings %1.").arg(text);
    else if (chosen.flowIndex >= 0 && (!flow || !port.setFlowControl(*flow)))
        refusal = QStringLiteral("The comms port does not accept that flow control choice.");
    else if (chosen.portIndex >= 0 && !port.setCommPort(chosen.portIndex + 1))
        refusal = QStringLiteral("The comms port COM%1 cannot be used.").arg(chosen.portIndex + 1);
    if (refusal.isEmpty()) return {};

    port.setSettings(oldSettings);
    port.setFlowControl(oldFlow);
    port.setCommPort(oldPort);
    return refusal + QStringLiteral("\nNothing was stored, and the port stays closed.");
}

// Applies the stored settings text; false when it does not parse or the port
// refuses it.
bool applyStoredSettings(SerialPort& port, const std::optional<QString>& stored) {
    if (!stored) return false;
    const auto line = LineSettings::parse(*stored);
    return line && port.setSettings(*line);
}

} // namespace

bool openPortFromProfile(SerialPort& port, QSettings& store, Host& host) {
    const StoredChoice stored = readStoredChoice(store);
    if (!stored.commPort || !port.setCommPort(*stored.commPort)) {
        host.messageBox(strings::text(strings::NoCommsParameters));
        store.setValue(PortKey, DefaultPort);
        port.setCommPort(DefaultPort);
    }
    if (!applyStoredSettings(port, stored.settings)) {
        store.setValue(SettingsKey, DefaultSettings.text());
        port.setSettings(DefaultSettings);
    }

    port.setRThreshold(1);
    const bool started = port.beginOpen();
    showPortStatus(port, host);
    return started && (port.portOpen() || port.portOpening());
}

bool hasStoredPort(const QSettings& store) {
    return readStoredChoice(store).commPort.has_value();
}

void applyStoredPortChoice(SerialPort& port, const QSettings& store) {
    const StoredChoice stored = readStoredChoice(store);
    if (!stored.commPort || !port.setCommPort(*stored.commPort)) port.setCommPort(DefaultPort);
    if (!applyStoredSettings(port, stored.settings)) port.setSettings(DefaultSettings);
}

QString portStatusText(const SerialPort& port) {
    const QString device = port.deviceOverride();
    const QString name = device.isEmpty() ? QStringLiteral("COM%1").arg(port.commPort()) : device;
    return name + u':' + port.settings().text();
}

QString portReopenedText(const SerialPort& port) {
    return QStringLiteral("Reopened ") + portStatusText(port);
}

void showPortStatus(const SerialPort& port, Host& host) {
    host.setField(FieldPort, port.portOpening()
                                 ? QStringLiteral("Connecting: ") + portStatusText(port)
                                 : portStatusText(port));
}

QString openFailureText(const QString& heading, const QString& reason) {
    return reason.isEmpty() ? heading : heading + QStringLiteral("\n\n") + reason;
}

PortDialogFields fieldsFromPort(const SerialPort& port) {
    PortDialogFields fields;
    const LineSettings line = port.settings();
    fields.baudText = QString::number(line.speed);
    fields.flowIndex = flowControlNumber(port.flowControl());
    if (inRange(port.commPort() - 1, DialogPorts)) fields.portIndex = port.commPort() - 1;

    using P = LineSettings::Parity;
    if (line.parity == P::None || line.parity == P::Odd || line.parity == P::Even)
        fields.parityIndex = static_cast<int>(line.parity);
    if (line.dataBits == 7 || line.dataBits == 8) fields.dataBitsIndex = line.dataBits - 7;
    if (line.stopBits == LineSettings::StopBits::One) fields.stopBitsIndex = 0;
    if (line.stopBits == LineSettings::StopBits::Two) fields.stopBitsIndex = 1;
    return fields;
}

QString settingsTextFromFields(const PortDialogFields& fields, const LineSettings& kept) {
    const QChar parity = inRange(fields.parityIndex, 3)
                             ? QChar(u"NOE"[fields.parityIndex])
                             : LineSettings::parityLetter(kept.parity, true);
    const int dataBits =
        inRange(fields.dataBitsIndex, 2) ? fields.dataBitsIndex + 7 : kept.dataBits;
    const QString stopBits = inRange(fields.stopBitsIndex, 2)
                                 ? QString::number(fields.stopBitsIndex + 1)
                                 : LineSettings::stopBitsText(kept.stopBits);
    return QStringLiteral("%1,%2,%3,%4")
        .arg(leadingDecimal(fields.baudText))
        .arg(parity)
        .arg(dataBits)
        .arg(stopBits);
}

void editPortSettings(SerialPort& port, QSettings& store, Host& host,
                      const PortDialogRunner& runDialog) {
    if (const auto chosen = runDialog(fieldsFromPort(port))) {
        // A connection still being made is ended too: the choice replaces it.
        if (port.portOpen() || port.portOpening()) port.setPortOpen(false);
        if (const QString refusal = applyChoice(port, *chosen); !refusal.isEmpty()) {
            host.messageBox(refusal);
        } else {
            store.setValue(PortKey, port.commPort());
            store.setValue(SettingsKey, port.settings().text());
            store.sync();
            if (!port.beginOpen())
                host.messageBox(
                    openFailureText(strings::text(strings::PortSettingsRefused), port.lastError()));
        }
    }
    showPortStatus(port, host);
}

} // namespace kestrel
