// The product binary: it holds no simulation code, and on a machine that is
// not the Pi it must not reach for the peripherals; it ends through the
// worker's failure path.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

// Every symbol and run-time type name of namespace sim carries its mangled
// prefix; the build keeps its symbol tables, so any such code would show.
bool holdsSimulationCode(const char* path)
{
    QFile binary(QString::fromUtf8(path));
    if (!binary.open(QIODevice::ReadOnly))
        throw std::runtime_error(std::string("cannot read ") + path);
    const QByteArray bytes = binary.readAll();
    return bytes.contains("_ZN3sim") || bytes.contains("N3sim");
}

TEST(Lumo3updateBinary, HoldsNoSimulationCode)
{
    EXPECT_FALSE(holdsSimulationCode(LUMO3UPDATE_PATH));
    EXPECT_TRUE(holdsSimulationCode(BOARD_TOOL_BINARY));  // the check sees it where it is
}

#if !defined(__arm__) && !defined(__aarch64__)
TEST(Lumo3updateBinary, OffThePiItPrintsTheFailureAndExitsMinusOne)
{
    QTemporaryDir work;
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(QStringLiteral(LUMO3UPDATE_PATH), {"-wupdate", "fw.bit"});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 255);
    // Root maps /dev/mem, anyone else /dev/gpiomem; only the latter is asked.
    EXPECT_EQ(process.readAllStandardOutput(), geteuid() == 0 ? QByteArray("bcm2835_spi_begin failed.\n")
                                                              : "bcm2835_spi_begin failed. Are you running as root??\n");
    EXPECT_EQ(process.readAllStandardError(),
              "lumo3update. Ver. 3.0.0b\n"
              "bcm2835_init: not built for ARM, so there are no BCM2835 peripherals to map\n");
}
#endif

}  // namespace
