#pragma once

#include "nt25q256.h"
#include "file_identity.h"
#include "xapp1081.h"

#include <QList>
#include <QStringList>

#include <optional>

// The unattended Lumo3 update ("-wifany"): the newest bitstream in the working
// directory becomes the golden image, the newest radio hex file goes to the
// external AXSEM flasher, and what was applied is deleted. Always returns 0;
// the outcome is in the log.
class AutoUpdateRun {
public:
    static constexpr int kScriptTimeoutMs = 20000;
    static constexpr int kKilledScriptWaitMs = 5000;
    // Of each of the flasher's standard output and error, what the log keeps.
    static constexpr int kKeptOutputBytes = 64 * 1024;
    static constexpr int kOutputSliceMs = 5;
    // After power-up the FPGA holds the flash while it configures, as long
    // as after the writer's reboot; a flash that has not answered within
    // the writer's bound will not answer at all.
    static constexpr int kFlashWaitMs = xapp1081::kDefaultBootWaitMs;

    AutoUpdateRun(nt25q256& flash, xapp1081& writer, bool flashPresent, int scriptTimeoutMs = kScriptTimeoutMs,
                  int flashWaitMs = kFlashWaitMs);

    int run();

private:
    void bitstreamStep();
    void radioStep();
    bool waitForFlash();
    // The regular files matching pattern, in byte order; other entries so
    // named are passed over with a log line.
    static QStringList firmwareFiles(const QString& pattern);
    // What each file is now, to tell at deletion whether the name still
    // refers to the file that was applied.
    static QList<std::optional<FileIdentity>> identities(const QStringList& names);
    static void deleteFile(const QString& name, const std::optional<FileIdentity>& applied);

    nt25q256& flash;
    xapp1081& writer;
    bool flashPresent;
    int scriptTimeoutMs;
    int flashWaitMs;
};
