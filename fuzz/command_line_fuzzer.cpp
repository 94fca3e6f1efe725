// The Lumo3 command line: the numbers of -add and -len, and the selection of
// the command key with its values. The input's bytes, split at NUL, are the
// arguments after the program path.

#include "FuzzCheck.h"
#include "flash_range_args.h"
#include "lumo3_keys.h"

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QStringList args{QStringLiteral("lumo3update")};
    for (const QByteArray& piece : bytes.split('\0'))
        args << QString::fromUtf8(piece);

    for (const QString& arg : args) {
        const std::optional<qint64> number = parseFlashNumber(arg);
        // A number that was read reads back the same from its decimal form.
        if (number)
            FUZZ_REQUIRE(parseFlashNumber(QString::number(*number)) == number);
    }

    using Key = Lumo3Command::Key;
    const Lumo3Command command = selectLumo3Command(args);
    // Exactly the refused command lines carry the messages that say why.
    FUZZ_REQUIRE((command.key == Key::Invalid) == !command.errors.isEmpty());
    const auto fileAfter = [&args](const char* key) {
        const int at = args.indexOf(QLatin1String(key));
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
    };
    switch (command.key) {
    case Key::WriteGolden:
        FUZZ_REQUIRE(command.fileName == fileAfter("-wgold"));
        break;
    case Key::WriteUpdate:
        FUZZ_REQUIRE(!args.contains(QLatin1String("-wgold")));
        FUZZ_REQUIRE(command.fileName == fileAfter("-wupdate"));
        break;
    case Key::ReadFlash:
    case Key::WriteFlash: {
        FUZZ_REQUIRE(command.fileName == fileAfter(command.key == Key::ReadFlash ? "-r" : "-w"));
        bool found = false;
        FUZZ_REQUIRE(flashNumberAfter(args, QStringLiteral("-add"), found) == command.address && found);
        FUZZ_REQUIRE(flashNumberAfter(args, QStringLiteral("-len"), found) == command.length && found);
        break;
    }
    case Key::Boot:
        FUZZ_REQUIRE(args.contains(QLatin1String("-boot")));
        break;
    case Key::AutoUpdate:
        FUZZ_REQUIRE(args.contains(QLatin1String("-wifany")));
        break;
    case Key::Usage:
        for (const char* key : {"-wgold", "-wupdate", "-r", "-w", "-boot", "-wifany"})
            FUZZ_REQUIRE(!args.contains(QLatin1String(key)));
        break;
    case Key::Invalid:
        break;
    }
    return 0;
}
