#include "auto_update_run.h"

#include "held_end_signals.h"
#include "radio_flasher_process.h"
#include "removable_file.h"
#include "run_lock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>

#include <algorithm>

namespace {

// Qt puts the failed call before the system's reason ("execvp: No such file
// or directory"); the reason is what the user can act on.
QString startFailure(const QString& errorString)
{
    const int colon = errorString.lastIndexOf(": ");
    return colon < 0 ? errorString : errorString.mid(colon + 2);
}

// Every file of a step is deleted once the step has applied one, so each must
// be deletable before the step changes anything.
bool allRemovable(const QStringList& names, const char* skipped)
{
    for (const QString& name : names) {
        if (const std::optional<QString> why = whyNotRemovable(name)) {
            qDebug().noquote() << "lumo3update:" << name << "can't be removed (" + *why + "):" << skipped;
            return false;
        }
    }
    return true;
}

// The first kKeptOutputBytes of what the flasher prints go to the log; the
// rest is counted only.
struct KeptOutput {
    QByteArray kept;
    qint64 dropped = 0;

    void take(const QByteArray& more)
    {
        const qint64 room = std::max<qint64>(0, AutoUpdateRun::kKeptOutputBytes - kept.size());
        kept += more.left(static_cast<int>(std::min<qint64>(room, more.size())));
        dropped += more.size() - std::min<qint64>(room, more.size());
    }

    void reportCut(const char* what) const
    {
        if (dropped > 0)
            qDebug().noquote() << QStringLiteral("lumo3update: axsem flasher %1 cut at %2 bytes, %3 bytes more not kept")
                                      .arg(QLatin1String(what))
                                      .arg(AutoUpdateRun::kKeptOutputBytes)
                                      .arg(dropped);
    }
};

}  // namespace

AutoUpdateRun::AutoUpdateRun(nt25q256& flash, xapp1081& writer, bool flashPresent, int scriptTimeoutMs,
                             int flashWaitMs)
    : flash(flash), writer(writer), flashPresent(flashPresent), scriptTimeoutMs(scriptTimeoutMs),
      flashWaitMs(flashWaitMs)
{
}

int AutoUpdateRun::run()
{
    qDebug() << "Flashing Lumo3...";
    bitstreamStep();
    // With SPI0 stopped the board is in no state to be updated further:
    // every file stays for the next run.
    if (!flash.hardwareLost())
        radioStep();
    return 0;
}

QStringList AutoUpdateRun::firmwareFiles(const QString& pattern)
{
    QStringList names;
    // A directory, FIFO or device so named is no firmware: choosing it would
    // fail every run and keep the real file from ever being applied.
    for (const QString& name : QDir(QString()).entryList({pattern})) {
        if (QFileInfo(name).isFile())
            names << name;
        else
            qDebug() << "lumo3update: " << name << " is not a regular file, passed over!";
    }
    names.sort(Qt::CaseSensitive);
    return names;
}

QList<std::optional<FileIdentity>> AutoUpdateRun::identities(const QStringList& names)
{
    QList<std::optional<FileIdentity>> out;
    for (const QString& name : names)
        out << FileIdentity::of(name);
    return out;
}

void AutoUpdateRun::deleteFile(const QString& name, const std::optional<FileIdentity>& applied)
{
    if (!applied || !applied->sameAs(FileIdentity::of(name))) {
        qDebug() << "lumo3update: " << name << " changed during the update, kept for the next run!";
        return;
    }
    qDebug() << "lumo3update: " << name << " deleted!\n";
    if (!QFile::remove(name))
        qDebug() << "lumo3update: " << name << "could not be removed!";
}

bool AutoUpdateRun::waitForFlash()
{
    return flash.waitForIdentification(static_cast<unsigned int>(flashWaitMs));
}

void AutoUpdateRun::bitstreamStep()
{
    const QStringList names = firmwareFiles("*.bit");
    if (names.isEmpty()) {
        qDebug() << "No bit-files to update";
        return;
    }
    if (!allRemovable(names, "artix update skipped!"))
        return;
    if (!flashPresent && !waitForFlash()) {
        qDebug() << "lumo3update: flash not answering, artix update skipped!";
        return;
    }
    const QString chosen = names.last();
    qDebug() << "Ready to update artix firmware(" << chosen << "):";
    const QList<std::optional<FileIdentity>> read = identities(names);
    if (!writer.saveGoldenImage(chosen) || flash.hardwareLost()) {
        qDebug() << "lumo3update: artix update false!";
        return;
    }
    for (int i = 0; i < names.size(); ++i) {
        deleteFile(names.at(i), read.at(i));
        flash.bootArtix();
    }
}

void AutoUpdateRun::radioStep()
{
    const QStringList names = firmwareFiles("*.hex");
    if (names.isEmpty()) {
        qDebug() << "No hex-files to update";
        return;
    }
    if (!allRemovable(names, "axsem update skipped!"))
        return;
    const QString chosen = names.last();
    qDebug() << "Ready to update axsem firmware(" << chosen << "):";

    const QList<std::optional<FileIdentity>> read = identities(names);
    // Until the step has ended, a signal waits: the flasher is writing the
    // radio's flash, and is waited for within its bound; then the run ends
    // as the signal asks.
    const HeldEndSignals held;
    RadioFlasherProcess flasher(RunLock::heldDescriptor());
    flasher.start("python", {"serial_flasher.py", "/dev/ttyS0", chosen});
    KeptOutput output;
    KeptOutput errors;
    QElapsedTimer clock;
    clock.start();
    bool finished = flasher.state() == QProcess::NotRunning;
    // Read in short slices: what the flasher prints between two reads is
    // all that is ever held beyond what is kept.
    for (qint64 left = scriptTimeoutMs; !finished && left > 0; left = scriptTimeoutMs - clock.elapsed()) {
        flasher.waitForFinished(static_cast<int>(std::min<qint64>(left, kOutputSliceMs)));
        output.take(flasher.readAllStandardOutput());
        errors.take(flasher.readAllStandardError());
        finished = flasher.state() == QProcess::NotRunning;
    }
    if (flasher.error() == QProcess::FailedToStart) {
        // No interpreter named python (Debian 12 has none without
        // python-is-python3) is no slow radio: say so, with the system's reason.
        qDebug().noquote() << "lumo3update: can't start python:" << startFailure(flasher.errorString())
                           << "- hex-files kept!";
    } else if (!finished) {
        qDebug() << "lumo3update: axsem update timeout!";
    } else {
        QByteArray text = output.kept;
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        qDebug() << "Axsem update result: \n" << QString::fromUtf8(text);
        output.reportCut("output");
        // Only a flasher that ran to a clean end has loaded the firmware;
        // deleting the files after a failure would lose the radio update.
        if (flasher.exitStatus() == QProcess::NormalExit && flasher.exitCode() == 0) {
            for (int i = 0; i < names.size(); ++i)
                deleteFile(names.at(i), read.at(i));
        } else {
            if (flasher.exitStatus() == QProcess::NormalExit)
                qDebug() << "lumo3update: axsem flasher failed with exit status" << flasher.exitCode()
                         << "- hex-files kept!";
            else
                qDebug() << "lumo3update: axsem flasher crashed - hex-files kept!";
            // The flasher's own account of the failure is all a user has.
            if (!errors.kept.isEmpty())
                qDebug().noquote() << "lumo3update: axsem flasher error output:\n" +
                                          QString::fromUtf8(errors.kept).trimmed();
            errors.reportCut("error output");
        }
    }
    if (flasher.state() != QProcess::NotRunning) {
        // The whole group: a script that started a programmer of its own
        // must not leave it writing on the serial line.
        flasher.killGroup();
        // A killed process ends at once unless the kernel holds it (a serial
        // driver that hangs); the run must not hang with it.
        if (!flasher.waitForFinished(kKilledScriptWaitMs))
            qDebug() << "lumo3update: axsem flasher still running after it was killed!";
    }
}
