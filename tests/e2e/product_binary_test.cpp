// The product binary: it holds no simulation code, and on a machine that is
// not the Pi it must not reach for the peripherals; it ends through the
// worker's failure path.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// --help and --version answer before the lock, the hardware or the directory
// is looked at: here, off the Pi, beside firmware of no known kind and as any
// user alike. A file named --help after a key is that key's file.
TEST(Lumo3updateBinary, HelpAndVersionAnswerAtOnceOnStandardOutput)
{
    QTemporaryDir work;
    QFile(work.filePath("FW.BIT")).open(QIODevice::WriteOnly);
    std::vector<std::pair<QStringList, QByteArray>> cases = {
        {{"--help"}, "Usage: lumo3update KEY [FILE] [-add ADDRESS -len LENGTH]\n"},
        {{"-wgold", "fw.bit", "--version", "--help"}, "lumo3update 3.0.0b\n"},
    };
#if !defined(__arm__) && !defined(__aarch64__)
    // Off the Pi alone: on ARM this run would reach for the machine's peripherals.
    cases.push_back({{"-wgold", "--help"}, ""});
#endif
    for (const auto& [args, outStart] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        QProcess process;
        process.setWorkingDirectory(work.path());
        process.start(QStringLiteral(LUMO3UPDATE_PATH), args);
        ASSERT_TRUE(process.waitForFinished(60000));
        const bool answered = !outStart.isEmpty();
        EXPECT_EQ(process.exitCode(), answered ? 0 : 255);
        EXPECT_TRUE(process.readAllStandardOutput().startsWith(outStart));
        EXPECT_EQ(process.readAllStandardError().startsWith("lumo3update. Ver. 3.0.0b\nbcm2835_init: "), !answered);
    }
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
