// lumo3-board: makes, runs, inspects and breaks virtual boards kept in
// directories, on which the updater runs unchanged.

#include "Faults.h"
#include "ToolCommands.h"

#include <QStringList>

#include <cstdio>
#include <functional>
#include <map>

namespace {

const char kUsage[] =
    "Usage: lumo3-board <command> [arguments]\n"
    "\n"
    "A virtual Lumo3 or Mini Lumo board kept in a directory, on which the\n"
    "updater runs unchanged.\n"
    "\n"
    "Commands:\n"
    "  create DIR --kind lumo3|minilumo [--idcode ID]\n"
    "                                    make a new board with erased chips in a\n"
    "                                    new directory DIR; a Lumo3's FPGA is the\n"
    "                                    part ID (default 0x0362D093, XC7A35T;\n"
    "                                    0x03631093 is an XC7A100T)\n"
    "  run DIR [--trace FILE] [--worker-level] -- ARGS...\n"
    "                                    run the updater with ARGS in the current\n"
    "                                    directory on the board; its output and\n"
    "                                    exit status are the updater's own.\n"
    "                                    --trace writes a decoded bus trace;\n"
    "                                    --worker-level runs it on the pin\n"
    "                                    worker's stand-in, not through the\n"
    "                                    emulated registers: the same frames but\n"
    "                                    for how often a busy chip is polled\n"
    "  status DIR [--json]               what the board holds and runs, and how\n"
    "                                    long the last run takes on the real board\n"
    "  fault DIR FAULT [ARGS]            inject a fault (listed below); it stays\n"
    "  fault DIR --clear                 until cleared\n"
    "  power-cycle DIR                   power off and on: the FPGA loads from the\n"
    "                                    flash as it is\n"
    "  make-bitstream FILE [--bytes N] [--seed S] [--idcode ID] [--corrupt]\n"
    "                 [--watchdog] [--raw]\n"
    "                                    a sample Xilinx .bit file with N bytes of\n"
    "                                    configuration data, a well-formed 7-series\n"
    "                                    stream (N at least 132) for the part ID\n"
    "                                    (default 0x0362D093, XC7A35T); --corrupt\n"
    "                                    flips a bit of its frame data; --watchdog\n"
    "                                    turns the configuration watchdog on (a\n"
    "                                    TIMER write for twice the stream's read\n"
    "                                    time, N at least 140); --raw: the data\n"
    "                                    alone, a Mini Lumo .bin, exactly N bytes\n"
    "                                    (below 132 the stream's start)\n"
    "  make-hex FILE [--bytes N] [--seed S]\n"
    "                                    sample radio firmware in Intel HEX\n"
    "  install-radio-flasher DIR BINDIR  write BINDIR/python, a stand-in for the\n"
    "                                    AXSEM flasher that loads the board's radio;\n"
    "                                    put BINDIR first on PATH for the run\n"
    "  radio-flash DIR serial_flasher.py DEVICE FILE\n"
    "                                    what that stand-in runs\n"
    "  --help                            this text; COMMAND --help: that command's\n"
    "  --version                         the tool's version\n"
    "\n"
    "Numbers are decimal, else hexadecimal (with or without 0x), as the updater\n"
    "reads its own: 0x0362D093 and 0362D093 are one part, 03631093 is decimal.\n"
    "\n"
    "Exit status: the updater's own for 'run' (3 when a power-cut fault ended\n"
    "it; when SIGTERM, SIGINT or SIGHUP ends it, the board is saved and the\n"
    "tool ends by the same signal); otherwise 0, or 2 on an error.\n"
    "\n";

// Where a command's descriptions begin in kUsage.
constexpr int kDescriptionColumn = 36;

// The command that runs, for its usage errors; empty before one is known.
QString g_command;

// The lines of kUsage that belong to command: its synopsis lines and their
// descriptions, from the first line that names it to the next command's.
QStringList commandUsage(const QString& command)
{
    QStringList block;
    bool inside = false;
    for (const QString& line : QString::fromLatin1(kUsage).split('\n')) {
        const bool startsEntry = line.startsWith(QLatin1String("  ")) && line.size() > 2 && line.at(2) != ' ';
        if (startsEntry)
            inside = line.mid(2).section(' ', 0, 0) == command;
        else if (line.isEmpty())
            inside = false;
        if (inside)
            block << line;
    }
    return block;
}

// The synopsis alone: the command's lines without their descriptions, one
// line per form of the command.
QString synopsis(const QString& command)
{
    QStringList forms;
    for (const QString& line : commandUsage(command)) {
        const bool described = line.size() > kDescriptionColumn && line.mid(kDescriptionColumn - 2, 2) == "  ";
        const QString left = (described ? line.left(kDescriptionColumn) : line).trimmed();
        if (left.isEmpty())
            continue;
        if (line.at(2) == ' ' && !forms.isEmpty())
            forms.last() += ' ' + left;
        else
            forms << QStringLiteral("Usage: lumo3-board %1").arg(left);
    }
    return forms.join('\n');
}

}  // namespace

namespace board_tool {

int fail(const QString& message)
{
    std::fprintf(stderr, "lumo3-board: %s\n", qUtf8Printable(message));
    return kToolError;
}

int usageError(const QString& message)
{
    const QString usage = g_command.isEmpty() ? QStringLiteral("Usage: lumo3-board <command> [arguments]")
                                              : synopsis(g_command);
    std::fprintf(stderr, "lumo3-board: %s\n%s\nTry 'lumo3-board %s--help' for more.\n", qUtf8Printable(message),
                 qUtf8Printable(usage), qUtf8Printable(g_command.isEmpty() ? QString() : g_command + ' '));
    return kToolError;
}

}  // namespace board_tool

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.isEmpty())
        return board_tool::usageError("no command given");
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
        std::fputs(kUsage, stdout);
        std::fputs(sim::BoardFaults::help(), stdout);
        return 0;
    }
    if (command == QLatin1String("--version")) {
        std::printf("lumo3-board %s\n", LUMO3_VERSION);
        return 0;
    }
    const std::map<QString, std::function<int(const QStringList&)>> commands = {
        {"create", board_tool::create},
        {"run", board_tool::run},
        {"status", board_tool::status},
        {"fault", board_tool::fault},
        {"power-cycle", board_tool::powerCycle},
        {"make-bitstream", board_tool::makeBitstream},
        {"make-hex", board_tool::makeHex},
        {"install-radio-flasher", board_tool::installRadioFlasher},
        {"radio-flash", board_tool::radioFlash},
    };
    const auto found = commands.find(command);
    if (found == commands.end())
        return board_tool::usageError(QStringLiteral("unknown command '%1'").arg(command));
    g_command = command;
    // A DIR or FILE named --help is not meant: the user asks for the usage.
    if (args.contains(QStringLiteral("--help")) && !args.contains(QStringLiteral("--"))) {
        std::printf("Usage:\n%s\n", qUtf8Printable(commandUsage(command).join('\n')));
        if (command == QLatin1String("fault"))
            std::printf("\n%s", sim::BoardFaults::help());
        return 0;
    }
    return found->second(args);
}
