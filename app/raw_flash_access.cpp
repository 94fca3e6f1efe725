#include "raw_flash_access.h"

#include "held_end_signals.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// 3-byte addresses reach the lowest 16 MiB of the flash.
constexpr qint64 kReachableFlash = 0x1000000;
constexpr quint32 kSubsector = 4096;

void plain(const QString& text)
{
    qDebug("%s", qUtf8Printable(text));
}

QString hex(qint64 value)
{
    if (value < 0)
        return "-0x" + QString::number(quint64(0) - quint64(value), 16);
    return "0x" + QString::number(value, 16);
}

QString address(quint32 value)
{
    return "0x" + QString::number(value, 16).rightJustified(6, QLatin1Char('0'));
}

void refuseRange(const FlashRange& range)
{
    plain(QStringLiteral("Range out of flash: %1 bytes from %2 end past %3!")
              .arg(hex(range.length), hex(range.address), hex(kReachableFlash)));
}

// Whether both numbers can be a flash address and length at all.
bool fitsAddressWidth(const FlashRange& range)
{
    constexpr qint64 kMax = 0xFFFFFFFF;
    return range.address >= 0 && range.address <= kMax && range.length >= 0 && range.length <= kMax;
}

bool erased(nt25q256& flash, quint32 at)
{
    if (flash.erase4K(at))
        return true;
    if (!flash.hardwareLost())
        plain(QStringLiteral("Erase at %1 abandoned: the flash stayed busy!").arg(address(at)));
    return false;
}
}  // namespace

bool withinReachableFlash(const FlashRange& range)
{
    if (range.address >= 0 && range.length >= 0 && range.address < kReachableFlash &&
        range.length <= kReachableFlash - range.address)
        return true;
    refuseRange(range);
    return false;
}

std::optional<QByteArray> loadRawWrite(const QString& fileName, const FlashRange& range)
{
    // A length beyond the file is allowed (the file is written), but not one
    // that no flash length can be.
    if (!fitsAddressWidth(range)) {
        refuseRange(range);
        return std::nullopt;
    }
    const QFileInfo info(fileName);
    QFile file(fileName);
    if (info.exists() && !info.isFile()) {
        // A FIFO would block the open and a device might never end.
        plain(QStringLiteral("%1 is not a regular file!").arg(fileName));
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        plain(QStringLiteral("Can't open file %1: %2!").arg(fileName, file.errorString()));
        return std::nullopt;
    }
    // An empty file is a failed download far more often than a wish to erase.
    if (file.size() == 0) {
        plain(QStringLiteral("File %1 is empty, nothing written!").arg(fileName));
        return std::nullopt;
    }
    // At most the file's size is written.
    const qint64 n = std::min(range.length, file.size());
    if (!withinReachableFlash({range.address, n}))
        return std::nullopt;
    const QByteArray data = file.read(n);
    if (data.size() != n) {
        plain(QStringLiteral("Can't read file %1!").arg(fileName));
        return std::nullopt;
    }
    return data;
}

int readFlashToFile(nt25q256& flash, bool flashPresent, const QString& fileName, const FlashRange& range)
{
    // What an absent flash returns looks like an erased chip: no backup at all
    // beats one that lies.
    if (!flashPresent) {
        plain("No flash: nothing read");
        return -1;
    }
    // A FIFO would block the open for good, and a device or a directory is
    // no backup.
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile()) {
        plain(QStringLiteral("%1 is not a regular file!").arg(fileName));
        return -1;
    }
    // Written beside the target and renamed over it once every byte is on
    // the disk: a full disk or a crash leaves the earlier file as it was, and
    // no partial one. Unbuffered, so that each write's failure is seen: a
    // failed flush of a buffered one does not stop the commit.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        plain(QStringLiteral("Can't create file %1!").arg(fileName));
        return -1;
    }
    const QByteArray data =
        flash.read(static_cast<unsigned int>(range.address), static_cast<unsigned int>(range.length));
    // Bytes read after SPI0 stopped are not the flash's: no backup beats one
    // that lies, as above.
    if (flash.hardwareLost())
        return -1;
    errno = 0;
    if (file.write(data) != data.size() || file.error() != QFileDevice::NoError || !file.commit()) {
        // The system's reason, such as "No space left on device", which Qt
        // does not always keep; what was written so far goes with the
        // temporary file.
        const QString why = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
        plain(QStringLiteral("Can't write file %1: %2!").arg(fileName, why));
        file.cancelWriting();
        return -1;
    }
    return 0;
}

int writeFlashFromFile(nt25q256& flash, bool flashPresent, quint32 at, const QByteArray& data)
{
    if (!flashPresent) {
        plain("No flash: nothing written");
        return -1;
    }
    const quint32 n = static_cast<quint32>(data.size());
    const HeldEndSignals held;
    // The subsector that holds the address is erased even when nothing is to
    // be written: that is how a single subsector is cleared.
    if (!erased(flash, at))
        return -1;
    for (quint32 s = at / kSubsector; s < (at + n) / kSubsector; ++s)
        if (!erased(flash, s * kSubsector))
            return -1;
    if ((at + n) % kSubsector != 0 && !erased(flash, at + n))
        return -1;
    if (!flash.write(at, data)) {
        if (!flash.hardwareLost())
            plain(QStringLiteral("Programming at %1 abandoned: the flash stayed busy!").arg(address(at)));
        return -1;
    }
    const QByteArray back = flash.read(at, n);
    if (flash.hardwareLost())
        return -1;
    const auto differs = std::mismatch(data.begin(), data.end(), back.begin(), back.end()).first;
    if (differs != data.end()) {
        plain(QStringLiteral("Verify failed at %1!").arg(address(at + quint32(differs - data.begin()))));
        return -1;
    }
    return 0;
}
