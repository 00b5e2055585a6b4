#pragma once
// What the automation tests share: a link on the fake clock, the scripted
// monitor, and files in a folder whose path survives the auto file's
// lower-casing.
#include "FakeSerialPort.h"
#include "MonitorLink.h"
#include "RecorderHost.h"
#include "ScriptedMonitor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <gtest/gtest.h>

namespace kestrel::test {

// A folder under the temporary directory with a name in lower case only, so
// that paths written into auto files still name it after normalisation.
class LowerCaseDir {
public:
    LowerCaseDir() {
        static int serial = 0;
        QString base = QDir::tempPath();
        if (base != base.toLower()) base = QStringLiteral("/tmp");
        path_ = QStringLiteral("%1/kestrel-auto-%2-%3")
                    .arg(base)
                    .arg(QCoreApplication::applicationPid())
                    .arg(++serial);
        QDir().mkpath(path_);
    }
    ~LowerCaseDir() { QDir(path_).removeRecursively(); }
    LowerCaseDir(const LowerCaseDir&) = delete;
    LowerCaseDir& operator=(const LowerCaseDir&) = delete;

    QString path() const { return path_; }
    QString file(const QString& name) const { return path_ + QLatin1Char('/') + name; }

    // Writes the file and returns its full path.
    QString write(const QString& name, const QByteArray& contents) const {
        QFile f(file(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(name);
        f.write(contents);
        return f.fileName();
    }

    // Copies a file from tests/fixtures into the folder; its new full path.
    QString copyFixture(const QString& relative) const {
        const QString target = file(QFileInfo(relative).fileName());
        EXPECT_TRUE(
            QFile::copy(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/") + relative, target))
            << qPrintable(relative);
        return target;
    }

private:
    QString path_;
};

class LinkFixture : public ::testing::Test {
protected:
    void expectReleased() {
        EXPECT_FALSE(link.isBusy());
        EXPECT_FALSE(link.displaySuppressed());
        EXPECT_EQ(port.rThreshold(), 1);
    }
    bool held() { return link.isBusy() && link.displaySuppressed() && port.rThreshold() == 0; }

    TestClock clock{true};
    RecorderHost host{clock};
    FakeSerialPort port{clock};
    MonitorLink link{port, host};
    LowerCaseDir dir;
};

} // namespace kestrel::test
