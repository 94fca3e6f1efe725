// The product binary on a machine that is not the Pi: it must not reach for
// the peripherals, and it ends through the worker's failure path.

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

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
    EXPECT_EQ(process.readAllStandardOutput(), "bcm2835_spi_begin failed. Are you running as root??\n");
    EXPECT_EQ(process.readAllStandardError(),
              "lumo3update. Ver. 3.0.0b\n"
              "bcm2835_init: not built for ARM, so there are no BCM2835 peripherals to map\n");
}
#endif

}  // namespace
