#include "PortProfile.h"
#include "FakeSerialPort.h"
#include "LineText.h"
#include "QtPrinters.h"
#include "RecorderHost.h"
#include "Strings.h"

#include <QSettings>

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using test::line;

using test::FakeSerialPort;
using test::RecorderHost;
using test::TestClock;

const QString PortKey = QStringLiteral("Config/CommPort");
const QString SettingsKey = QStringLiteral("Config/CommSettings");

class PortProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.clear();
        port.setPortOpen(false);
    }
    void TearDown() override { store.clear(); }

    // Puts the port in a known state, as if a previous run had configured it.
    void runningWith(int number, const char* settings, FlowControl flow) {
        ASSERT_TRUE(port.setCommPort(number));
        ASSERT_TRUE(port.setSettings(line(settings)));
        ASSERT_TRUE(port.setFlowControl(flow));
        ASSERT_TRUE(port.setPortOpen(true));
    }
    void storeHolds(const QVariant& number, const QVariant& settings) {
        store.setValue(PortKey, number);
        store.setValue(SettingsKey, settings);
    }
    QString status() const { return host.fields.value(FieldPort); }

    QSettings store{QStringLiteral("Tamsworth"), QStringLiteral("Kestrel")};
    TestClock clock;
    RecorderHost host{clock};
    FakeSerialPort port{clock};
};

TEST_F(PortProfileTest, EmptyStoreAsksForSettingsAndStoresPortTwoWithDefaultText) {
    EXPECT_TRUE(openPortFromProfile(port, store, host));

    EXPECT_EQ(host.messages, QStringList{strings::text(strings::NoCommsParameters)});
    EXPECT_EQ(store.value(PortKey).toInt(), 2);
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(port.commPort(), 2);
    EXPECT_EQ(port.rThreshold(), 1);
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(status(), QStringLiteral("COM2:9600,n,8,1"));
}

TEST_F(PortProfileTest, StoredPortWithoutSettingsStoresDefaultTextSilently) {
    store.setValue(PortKey, 5);
    EXPECT_TRUE(openPortFromProfile(port, store, host));
    EXPECT_TRUE(host.messages.isEmpty());
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(status(), QStringLiteral("COM5:9600,n,8,1"));
}

TEST_F(PortProfileTest, StoredSettingsAreApplied) {
    storeHolds(7, QStringLiteral("19200,e,7,2"));
    EXPECT_TRUE(openPortFromProfile(port, store, host));
    EXPECT_TRUE(host.messages.isEmpty());
    EXPECT_EQ(port.settings().text(), QStringLiteral("19200,e,7,2"));
    EXPECT_EQ(status(), QStringLiteral("COM7:19200,e,7,2"));
}

TEST_F(PortProfileTest, SettingsTextsTreatedAsAbsentAreReplacedByDefault) {
    // The literal marker, a text that is no line settings, and settings the
    // port refuses.
    port.refusedSettings = {QStringLiteral("1200,n,8,1")};
    for (const QString& stored :
         {QStringLiteral("Not Found"), QStringLiteral("fast"), QStringLiteral("1200,n,8,1")}) {
        SCOPED_TRACE(stored.toStdString());
        storeHolds(3, stored);
        openPortFromProfile(port, store, host);
        EXPECT_TRUE(host.messages.isEmpty());
        EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("9600,n,8,1"));
        EXPECT_EQ(port.settings().text(), QStringLiteral("9600,n,8,1"));
    }
}

TEST_F(PortProfileTest, UnquotedSettingsEditedByHandStillReadAsOneText) {
    storeHolds(1, QStringList{"4800", "o", "8", "1"});
    openPortFromProfile(port, store, host);
    EXPECT_EQ(port.settings().text(), QStringLiteral("4800,o,8,1"));
}

TEST_F(PortProfileTest, UnusablePortNumbersCountAsAbsent) {
    const QVariant stored[] = {
        0, -3, 256, 1000, QStringLiteral("abc"), QStringLiteral("99999999999"), QStringLiteral("")};
    for (const QVariant& value : stored) {
        SCOPED_TRACE(value.toString().toStdString());
        host.messages.clear();
        storeHolds(value, QStringLiteral("9600,n,8,1"));
        openPortFromProfile(port, store, host);
        EXPECT_EQ(host.messages, QStringList{strings::text(strings::NoCommsParameters)});
        EXPECT_EQ(store.value(PortKey).toInt(), 2);
        EXPECT_EQ(port.commPort(), 2);
    }
}

// The command line shares the window's store but only reads it: the same
// choice as the window makes, with nothing written and nobody asked.
TEST_F(PortProfileTest, ReadOnlyChoiceMatchesTheWindowsAndLeavesTheStoreAlone) {
    port.refusedSettings = {QStringLiteral("1200,n,8,1")};
    struct Case {
        QVariant number, settings; // invalid: not in the store
        int commPort;
        const char* lineSettings;
    };
    const Case cases[] = {
        {{}, {}, 2, "9600,n,8,1"},
        {7, QStringLiteral("19200,e,7,2"), 7, "19200,e,7,2"},
        {1, QStringList{"4800", "o", "8", "1"}, 1, "4800,o,8,1"},
        {QStringLiteral("abc"), QStringLiteral("fast"), 2, "9600,n,8,1"},
        {5, QStringLiteral("1200,n,8,1"), 5, "9600,n,8,1"},
        {256, QStringLiteral("Not Found"), 2, "9600,n,8,1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number.toString().toStdString() + " " + c.lineSettings);
        store.clear();
        if (c.number.isValid()) store.setValue(PortKey, c.number);
        if (c.settings.isValid()) store.setValue(SettingsKey, c.settings);
        const QStringList keys = store.allKeys();
        port.setCommPort(4);
        port.setSettings(line("2400,n,8,1"));

        applyStoredPortChoice(port, store);
        EXPECT_EQ(port.commPort(), c.commPort);
        EXPECT_EQ(port.settings().text(), QString::fromLatin1(c.lineSettings));
        EXPECT_EQ(store.allKeys(), keys);
        EXPECT_EQ(store.value(PortKey), c.number);
        EXPECT_TRUE(host.messages.isEmpty());
        EXPECT_FALSE(port.portOpen());
    }
}

TEST_F(PortProfileTest, FailedOpenStillShowsPortAndSettings) {
    storeHolds(3, QStringLiteral("19200,e,7,2"));
    port.refuseOpen = true;
    EXPECT_FALSE(openPortFromProfile(port, store, host));
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(status(), QStringLiteral("COM3:19200,e,7,2"));
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("19200,e,7,2"));
}

// The dialog's choices in the order the tables list them; the device fields
// keep their defaults (no --port device, Com buttons free).
PortDialogFields choices(const char* baud, int port, int dataBits, int echo, int flow, int parity,
                         int stopBits) {
    PortDialogFields fields;
    fields.baudText = QString::fromLatin1(baud);
    fields.portIndex = port;
    fields.dataBitsIndex = dataBits;
    fields.echoIndex = echo;
    fields.flowIndex = flow;
    fields.parityIndex = parity;
    fields.stopBitsIndex = stopBits;
    return fields;
}

struct TextCase {
    PortDialogFields fields;
    const char* inForce; // nullptr: the default settings
    const char* expected;
};

TEST(SettingsTextFromFields, BuildsTextFromDialogFields) {
    const TextCase cases[] = {
        {choices("19200", 0, 0, -1, 0, 2, 1), nullptr, "19200,E,7,2"},
        {choices("9600", 0, 1, -1, 0, 0, 0), nullptr, "9600,N,8,1"},
        {choices("300", 0, 1, -1, 0, 1, 0), nullptr, "300,O,8,1"},
        {choices("  +57600 baud", 0, 1, -1, 0, 0, 0), nullptr, "57600,N,8,1"},
        {choices(" -5x", 0, 1, -1, 0, 0, 0), nullptr, "-5,N,8,1"},
        {choices("abc", 0, 1, -1, 0, 0, 0), nullptr, "0,N,8,1"},
        {choices("", 0, 1, -1, 0, 0, 0), nullptr, "0,N,8,1"},
        {choices("99999999999", 0, 1, -1, 0, 0, 0), nullptr, "2147483647,N,8,1"},
        // Groups left with no selection keep what is in force...
        {choices("9600", 0, -1, -1, 0, -1, -1), "4800,m,5,1.5", "9600,M,5,1.5"},
        {choices("9600", 0, -1, -1, 0, 7, 2), "4800,o,7,2", "9600,O,7,2"},
        // ...which by default is none, 8 and 1.
        {choices("9600", 0, -1, -1, 0, -1, -1), nullptr, "9600,N,8,1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(settingsTextFromFields(c.fields, c.inForce ? line(c.inForce) : LineSettings{}),
                  QString::fromLatin1(c.expected));
    }
}

struct FieldsCase {
    int commPort;
    const char* settings;
    int handshaking;
    PortDialogFields expected;
};

TEST(FieldsFromPort, ProposesTheValuesInForce) {
    const FieldsCase cases[] = {
        {2, "9600,n,8,1", 0, choices("9600", 1, 1, -1, 0, 0, 0)},
        {3, "9600,E,7,2", 2, choices("9600", 2, 0, -1, 2, 2, 1)},
        {8, "115200,o,8,1", 3, choices("115200", 7, 1, -1, 3, 1, 0)},
        // No button for the port, parity, data bits or stop bits in force.
        {9, "4800,m,5,1.5", 1, choices("4800", -1, -1, -1, 1, -1, -1)},
        {1, "2400,s,6,1", 0, choices("2400", 0, -1, -1, 0, -1, 0)},
    };
    TestClock clock;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        FakeSerialPort port(clock);
        port.setCommPort(c.commPort);
        ASSERT_TRUE(port.setSettings(line(c.settings)));
        ASSERT_TRUE(port.setFlowControl(*flowControlFromNumber(c.handshaking)));
        EXPECT_EQ(fieldsFromPort(port), c.expected);
    }
}

class EditPortSettingsTest : public PortProfileTest {
protected:
    // Runs the command with a dialog that records what it was shown and
    // answers with `answer` (nullopt: Cancel); `edit` changes the proposal.
    void runCommand(std::function<void(PortDialogFields&)> edit) {
        editPortSettings(port, store, host, [&](const PortDialogFields& shown) {
            proposed = shown;
            if (!edit) return std::optional<PortDialogFields>();
            PortDialogFields answer = shown;
            edit(answer);
            return std::optional<PortDialogFields>(answer);
        });
    }
    static void pressOk(PortDialogFields&) {}

    std::optional<PortDialogFields> proposed;
};

TEST_F(EditPortSettingsTest, CancelOnlyRefreshesTheStatus) {
    runningWith(3, "9600,E,7,2", FlowControl::RtsCts);
    runCommand(nullptr);
    ASSERT_TRUE(proposed.has_value());
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(port.settings().text(), QStringLiteral("9600,E,7,2"));
    EXPECT_TRUE(store.allKeys().isEmpty());
    EXPECT_TRUE(host.messages.isEmpty());
    EXPECT_EQ(status(), QStringLiteral("COM3:9600,E,7,2"));
}

TEST_F(EditPortSettingsTest, CancelLeavesAClosedPortClosed) {
    runCommand(nullptr);
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(status(), QStringLiteral("COM1:9600,n,8,1"));
}

TEST_F(EditPortSettingsTest, OkWithoutChangesKeepsEverythingInForce) {
    runningWith(3, "9600,E,7,2", FlowControl::RtsCts);
    runCommand(pressOk);
    EXPECT_EQ(*proposed, choices("9600", 2, 0, -1, 2, 2, 1));
    EXPECT_EQ(port.settings().text(), QStringLiteral("9600,E,7,2"));
    EXPECT_EQ(port.flowControl(), FlowControl::RtsCts);
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(store.value(PortKey).toInt(), 3);
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("9600,E,7,2"));
    EXPECT_TRUE(host.messages.isEmpty());
    EXPECT_EQ(status(), QStringLiteral("COM3:9600,E,7,2"));
}

TEST_F(EditPortSettingsTest, NewChoiceIsAppliedStoredAndOpened) {
    runningWith(2, "9600,n,8,1", FlowControl::None);
    runCommand([](PortDialogFields& f) {
        f.baudText = QStringLiteral("19200");
        f.parityIndex = 2;
        f.dataBitsIndex = 0;
        f.stopBitsIndex = 1;
        f.portIndex = 6;
        f.flowIndex = 1;
    });
    EXPECT_EQ(port.settings().text(), QStringLiteral("19200,E,7,2"));
    EXPECT_EQ(port.commPort(), 7);
    EXPECT_EQ(port.flowControl(), FlowControl::XonXoff);
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(store.value(PortKey).toInt(), 7);
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("19200,E,7,2"));
    EXPECT_EQ(status(), QStringLiteral("COM7:19200,E,7,2"));
}

TEST_F(EditPortSettingsTest, NoPortButtonKeepsThePortNumberInForce) {
    runningWith(12, "9600,n,8,1", FlowControl::None);
    runCommand(pressOk);
    EXPECT_EQ(proposed->portIndex, -1);
    EXPECT_EQ(port.commPort(), 12);
    EXPECT_EQ(store.value(PortKey).toInt(), 12);
    EXPECT_EQ(status(), QStringLiteral("COM12:9600,N,8,1"));
}

TEST_F(EditPortSettingsTest, RefusedValueLeavesStoreUnchangedAndPortClosed) {
    struct Case {
        const char* what;
        std::function<void(PortDialogFields&)> edit;
        const char* named; // the message names the refused value
    };
    const Case cases[] = {
        {"settings", [](PortDialogFields& f) { f.baudText = QStringLiteral("fast"); }, "0,O,8,1"},
        {"settings the port refuses",
         [](PortDialogFields& f) { f.baudText = QStringLiteral("1200"); }, "1200,O,8,1"},
        {"flow control", [](PortDialogFields& f) { f.flowIndex = 7; }, "flow control"},
        {"flow control the port refuses", [](PortDialogFields& f) { f.flowIndex = 1; },
         "flow control"},
    };
    port.refusedSettings = {QStringLiteral("1200,O,8,1")};
    port.refusedFlow = {FlowControl::XonXoff};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.messages.clear();
        storeHolds(4, QStringLiteral("4800,o,8,1"));
        runningWith(4, "4800,o,8,1", FlowControl::RtsCts);
        runCommand([&](PortDialogFields& f) {
            f.portIndex = 1;
            c.edit(f);
        });
        EXPECT_FALSE(port.portOpen());
        EXPECT_EQ(store.value(PortKey).toInt(), 4);
        EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("4800,o,8,1"));
        // Nothing half-applied: the port still holds the values in force.
        EXPECT_EQ(port.settings().text(), QStringLiteral("4800,o,8,1"));
        EXPECT_EQ(port.flowControl(), FlowControl::RtsCts);
        EXPECT_EQ(port.commPort(), 4);
        ASSERT_EQ(host.messages.size(), 1);
        EXPECT_TRUE(host.messages[0].contains(QLatin1String(c.named)))
            << host.messages[0].toStdString();
        EXPECT_EQ(status(), QStringLiteral("COM4:4800,o,8,1"));
    }
}

TEST_F(EditPortSettingsTest, FailedOpenKeepsNewValuesStoredAndSaysWhy) {
    runningWith(2, "9600,n,8,1", FlowControl::None);
    port.refuseOpen = true;
    port.openError =
        QStringLiteral("Device busy: /dev/ttyS2 is in use or locked by another program");
    runCommand([](PortDialogFields& f) {
        f.portIndex = 2;
        f.baudText = QStringLiteral("38400");
    });
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(store.value(PortKey).toInt(), 3);
    EXPECT_EQ(store.value(SettingsKey).toString(), QStringLiteral("38400,N,8,1"));
    EXPECT_EQ(host.messages, QStringList{strings::text(strings::PortSettingsRefused) +
                                         QStringLiteral("\n\n") + port.openError});
    EXPECT_EQ(status(), QStringLiteral("COM3:38400,N,8,1"));
}

} // namespace
} // namespace kestrel
