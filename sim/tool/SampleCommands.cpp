// lumo3-board make-bitstream / make-hex: sample firmware files in the real
// formats, for rehearsals and tests.

#include "BoardFiles.h"
#include "IntelHex.h"
#include "SampleBitstream.h"
#include "ToolCommands.h"
#include "WholeFile.h"
#include "Number.h"
#include "PartNumber.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <random>

namespace board_tool {

namespace {
// Parses "--name VALUE" pairs and bare flags; false on anything else.
bool options(QStringList args, const QStringList& valued, const QStringList& flags, QMap<QString, QString>& out,
             QString& error)
{
    while (!args.isEmpty()) {
        const QString name = args.takeFirst();
        if (flags.contains(name)) {
            out[name] = QString();
        } else if (valued.contains(name) && !args.isEmpty()) {
            out[name] = args.takeFirst();
        } else {
            error = valued.contains(name) ? QStringLiteral("%1 needs a value").arg(name)
                                          : QStringLiteral("unknown option %1").arg(name);
            return false;
        }
    }
    return true;
}

bool numberOption(const QMap<QString, QString>& options, const QString& name, uint limit, uint& value,
                  QString& error)
{
    if (!options.contains(name))
        return true;
    const std::optional<quint64> read = sim::readNumber(options[name]);
    if (!read || *read > limit) {
        error = QStringLiteral("%1 needs a number up to %2").arg(name).arg(limit);
        return false;
    }
    value = static_cast<uint>(*read);
    return true;
}

int writeFile(const QString& path, const QByteArray& contents)
{
    const QString own = anyBoardFileAt(path);
    if (!own.isEmpty())
        return fail(QStringLiteral("%1 is a board's own %2, which only the board may write")
                        .arg(path, QFileInfo(own).fileName()));
    QString error;
    return sim::writeWholeFile(path, contents, error) ? 0 : fail(error);
}
}  // namespace

// make-bitstream FILE [--bytes N] [--seed S] [--idcode ID] [--corrupt] [--watchdog] [--raw]
int makeBitstream(const QStringList& args)
{
    if (args.isEmpty())
        return usageError("make-bitstream needs FILE");
    QMap<QString, QString> given;
    QString error;
    sim::SampleBitstream sample;
    uint bytes = static_cast<uint>(sample.dataBytes);
    uint seed = sample.seed;
    uint idcode = sample.idcode;
    if (!options(args.mid(1), {"--bytes", "--seed", "--idcode"}, {"--raw", "--corrupt", "--watchdog"}, given, error) ||
        !numberOption(given, "--bytes", 16u << 20, bytes, error) ||
        !numberOption(given, "--seed", 0xFFFFFFFFu, seed, error) ||
        !numberOption(given, "--idcode", 0xFFFFFFFFu, idcode, error))
        return usageError(error);
    if (given.contains("--idcode") && !names7SeriesPart(idcode))
        return usageError(notAPart(given["--idcode"], idcode));
    const bool raw = given.contains("--raw");
    sample.watchdog = given.contains("--watchdog");
    // A .bit file stands for a whole configuration; --raw may be cut anywhere.
    if (!raw && bytes < static_cast<uint>(sample.minimumBytes()))
        return fail(QStringLiteral("--bytes %1 is too small for a configuration stream (at least %2; "
                                         "--raw writes its first N bytes)")
                              .arg(bytes)
                              .arg(sample.minimumBytes()));
    sample.dataBytes = static_cast<int>(bytes);
    sample.seed = seed;
    sample.idcode = idcode;
    sample.corrupt = given.contains("--corrupt");
    // --raw: the configuration data alone, as the vendor's tools write a .bin.
    return writeFile(args.at(0), raw ? sample.configurationData() : sample.file());
}

// make-hex FILE [--bytes N] [--seed S]: radio firmware as Intel HEX.
int makeHex(const QStringList& args)
{
    if (args.isEmpty())
        return usageError("make-hex needs FILE");
    QMap<QString, QString> given;
    QString error;
    uint bytes = 16 * 1024;
    uint seed = 1;
    if (!options(args.mid(1), {"--bytes", "--seed"}, {}, given, error) ||
        !numberOption(given, "--bytes", 64 * 1024, bytes, error) ||
        !numberOption(given, "--seed", 0xFFFFFFFFu, seed, error))
        return usageError(error);
    std::mt19937 random(seed);
    QByteArray firmware(static_cast<int>(bytes), 0);
    for (char& b : firmware)
        b = static_cast<char>(random());
    return writeFile(args.at(0), sim::IntelHex::write(firmware));
}

}  // namespace board_tool
