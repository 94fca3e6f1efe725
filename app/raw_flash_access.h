#pragma once

#include "nt25q256.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The raw flash keys of a Lumo3 run: "-r" reads a range into a file, "-w"
// writes a file into a range. Everything that can be refused without the
// flash is refused before the bus is used at all.

// A range as the command line gives it: either number may be negative or
// beyond 32 bits, which the range check refuses.
struct FlashRange {
    qint64 address = 0;
    qint64 length = 0;
};

// True when 3-byte addresses reach the whole range; otherwise logs the
// "Range out of flash" message.
bool withinReachableFlash(const FlashRange& range);

// The bytes that "-w" is to write: at most range.length bytes of the file,
// read without touching the bus. Logs why and gives nullopt for a file that
// cannot or must not be written, or a range the flash does not reach.
std::optional<QByteArray> loadRawWrite(const QString& fileName, const FlashRange& range);

// "-r": the range into the file (created, or emptied first). Returns the exit code.
int readFlashToFile(nt25q256& flash, bool flashPresent, const QString& fileName, const FlashRange& range);

// "-w": erases every 4 KiB subsector that data touches from address on,
// programs data and reads it back. Returns the exit code.
int writeFlashFromFile(nt25q256& flash, bool flashPresent, quint32 address, const QByteArray& data);
