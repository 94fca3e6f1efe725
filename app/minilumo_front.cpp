#include "minilumo_front.h"

#include "Flasher_MX25L3206E.h"
#include "Initializer_AT86.h"
#include "ignored_arguments.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDebug>

int runMiniLumo(QCoreApplication& app, std::shared_ptr<BasePinWorker> worker)
{
    {
        // Only for the log: the update goes ahead whatever the probe finds.
        Initializer_AT86 radio(worker);
        radio.is_AT86_connected();
        radio.is_AT86_connected();
    }

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription("Firmware updater for Lumo3 and Mini Lumo. Must be run under root privileges");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption writeIfAny("wifany", "Write update image if any");
    parser.addOption(writeIfAny);
    parser.process(app);
    if (!parser.isSet(writeIfAny))
        parser.showHelp(-1);
    if (!parser.positionalArguments().isEmpty())
        qDebug("%s", qUtf8Printable(extraArgumentsLine(parser.positionalArguments())));

    qDebug() << "Flashing Mini Lumo...";
    Flasher_MX25L3206E flasher(worker);
    return flasher.try_flash();
}
