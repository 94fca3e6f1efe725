#include "lumo3update_main.h"

#include "board_kind.h"
#include "help_and_version.h"
#include "held_end_signals.h"
#include "lumo3_keys.h"
#include "lumo3update_version.h"
#include "minilumo_front.h"
#include "run_lock.h"
#include "undecodable_names.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTextCodec>

#include <csignal>
#include <optional>

namespace {
const char kName[] = "lumo3update";

int dispatch(QCoreApplication& app, qint16 kind, const std::shared_ptr<BasePinWorker>& worker)
{
    switch (kind) {
    case BOARD_LUMO3:
        return runLumo3(QCoreApplication::arguments(), worker);
    case BOARD_MINI_LUMO:
        return runMiniLumo(app, worker);
    case BOARD_NO_FILES:
        qDebug() << "No files for update";
        // The board kind comes from the working directory: a key that asks
        // for flash work where no firmware file lies did nothing, which must
        // not read as success.
        for (const char* key : {"-wgold", "-wupdate", "-r", "-w"}) {
            if (QCoreApplication::arguments().contains(QLatin1String(key)))
                return -1;
        }
        return 0;
    default:
        qDebug() << "Can't recognize Lumo type! Lumo type: " << kind << "Exit.";
        return -1;
    }
}
}  // namespace

int lumo3updateMain(int argc, char** argv, const PinWorkerFactory& makeWorker)
{
    // An erase or program stopped half-way leaves a board that boots nothing.
    // A reader that goes away (a closed pipe, a dropped SSH session) must not
    // stop the flash work: what is written to it then is simply lost. An
    // operator's Ctrl-C and a TERM keep their default.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);

    if (const std::optional<int> answered = answerHelpOrVersion(argc, argv))
        return *answered;

    QCoreApplication app(argc, argv);
    qDebug() << "lumo3update. Ver." << kLumo3updateVersion;
    QCoreApplication::setApplicationName(kName);
    QCoreApplication::setApplicationVersion(kLumo3updateVersion);

    // Before anything touches a register, and held to the end: a second
    // run refuses at once.
    const RunLock lock;
    if (!lock.held()) {
        qDebug().noquote() << lock.refusal();
        return -1;
    }

    // The kind comes from the file names alone. A Mini Lumo update holds
    // GPIO 25 high while it works, and nothing but the worker gives the SPI
    // pins back: from before the worker takes them until it has released
    // them (it is declared after the hold, so goes first), a signal waits.
    // The update itself stops early where it finds one waiting.
    const qint16 kind = recognizeBoardKind();
    for (const QByteArray& name : undecodableNames({".bit", ".bin", ".hex"}))
        qDebug().noquote() << QStringLiteral("lumo3update: %1 is not a valid name in the locale's encoding (%2), "
                                             "passed over!")
                                  .arg(shownName(name), QString::fromLatin1(QTextCodec::codecForLocale()->name()));
    std::optional<HeldEndSignals> miniLumoHold;
    if (kind == BOARD_MINI_LUMO)
        miniLumoHold.emplace();

    // Declared after the application object, so released before it.
    std::shared_ptr<BasePinWorker> worker = makeWorker();
    worker->init();
    if (!worker->initialized)
        return -1;

    qDebug() << "Recognized lumo type: " << kind;

    const int code = dispatch(app, kind, worker);
    // The worker turns itself off when SPI0 stops mid-run; the board paths
    // then report no success and keep every file.
    if (!worker->initialized) {
        qDebug("SPI0 stopped: nothing more was sent to the board, and no file was written or deleted");
        qDebug("SPI0 stopped: check that no kernel driver or other program uses SPI0 (dtparam=spi=off in "
               "config.txt), that GPIO 7 to 11 reach the board, and that the board is powered");
    }
    return code;
}
