// kestrel-cli through a real ser2net (RFC 2217) to the simulator pacing its
// line: the connection takes the bytes at once, the serial line behind the
// server carries them at its own speed. A download below 9600 baud works,
// and the program ends only once its bytes have crossed the line.
#include "Ser2net.h"
#include "Simulator.h"
#include "TestFiles.h"
#include "TimedCliRun.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

struct Ser2netLineCase {
    const char* name;
    int baud;
    bool download; // a data file; else an auto file of console lines
    friend void PrintTo(const Ser2netLineCase& c, std::ostream* os) { *os << c.name; }
};

class SlowLineThroughSer2net : public ::testing::TestWithParam<Ser2netLineCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(SlowLineThroughSer2net, BytesCrossBeforeTheProgramEnds) {
    if (Ser2net::program().isEmpty()) GTEST_SKIP() << "ser2net is not installed";
    const Ser2netLineCase& c = GetParam();
    const QString speed = QString::number(c.baud);
    Simulator sim({"--baud", speed});
    ASSERT_FALSE(sim.devicePath().isEmpty());
    Ser2net server(Ser2net::Accepter::Rfc2217, sim.devicePath(), speed + "n81");
    ASSERT_TRUE(server.start()) << server.error().toStdString();
    QStringList args{"-q", "-s", speed + ",n,8,1", "-p", server.portName()};
    const QByteArray data = randomBytes(100, 7);
    const QByteArray lines = manyLines();
    if (c.download)
        args << "dload" << writeTestFile(dir, "data.bin", data) << "80010000";
    else
        args << "auto" << writeTestFile(dir, "lines.sio", lines);
    qsizetype atExit = -1;
    const TimedCliRun run = runCliTimed(args, {}, {}, [&] {
        if (!c.download) atExit = sim.transcript().received().size();
    });
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    if (c.download) {
        EXPECT_EQ(sim.memory(0x80010000, data.size()), data);
        return;
    }
    const QByteArray expected = sentForm(lines);
    EXPECT_GE(run.elapsedMs, lineTimeMs(expected.size(), c.baud) * 9 / 10);
    EXPECT_GE(atExit, expected.size() - slackBytes(c.baud));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.transcript().received() == expected; }, 1000))
        << sim.transcript().received().size() << " of " << expected.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Rfc2217, SlowLineThroughSer2net,
                         ::testing::Values(Ser2netLineCase{"DataFileAt4800", 4800, true},
                                           Ser2netLineCase{"AutoFileAt57600", 57600, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
