#include "xapp1081.h"

#include "held_end_signals.h"
#include "xilinx_bitstream.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

namespace {
constexpr unsigned int kSectorSize = 0x10000;
// The FPGA looks for its sync word this far into an image.
constexpr int kSyncWindow = 1024;
// A .bit file's header (design, part, date and time fields) is a few hundred
// bytes; this leaves room for any a tool writes.
constexpr qint64 kMaxFileHeader = 0x10000;
constexpr unsigned int kGoldenImageAddress = xapp1081::kGoldenHeaderAddress + xapp1081::kGoldenHeaderSize;
// Real files write IDCODE within their first 150 bytes.
constexpr int kIdcodeWindow = 4096;

void print(QTextStream& out, const char* text)
{
    out << text;
    out.flush();
}
}  // namespace

xapp1081::xapp1081(nt25q256* flash, int bootWaitMs) : flash(flash), bootWaitMs(bootWaitMs) {}

QByteArray xapp1081::switchWord()
{
    return QByteArray("\xAA\x99\x55\x66", 4);
}

QByteArray xapp1081::goldenHeader(quint32 warmBootAddress)
{
    char header[32] = {0x20, 0x00, 0x00, 0x00, 0x30, 0x02, 0x00, 0x01,  // NOOP, write WBSTAR
                       0x00, 0x00, 0x00, 0x00, 0x30, 0x00, char(0x80), 0x01,  // the address, write CMD
                       0x00, 0x00, 0x00, 0x0F, 0x20, 0x00, 0x00, 0x00,  // IPROG, NOOP
                       0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};  // NOOP, NOOP
    qToBigEndian(warmBootAddress, header + 8);
    return QByteArray(header, sizeof header);
}

// In master SPI mode the FPGA sends WBSTAR's address to the flash as the
// byte address of the read after IPROG.
QByteArray xapp1081::goldenHeader()
{
    return goldenHeader(kUpdateArea);
}

QByteArray xapp1081::legacyGoldenHeader()
{
    return goldenHeader(kGoldenHeaderAddress);
}

bool xapp1081::loadImage(QTextStream& out, const QString& fileName, int maxSize, QByteArray& image,
                         Series7StreamCheck& stream)
{
    const QFileInfo info(fileName);
    if (!info.exists()) {
        print(out, "File not found!\n");
        return false;
    }
    // A FIFO would block the open, a device would never end, and a directory
    // reads as nothing: none of them is a bitstream.
    if (!info.isFile()) {
        out << QStringLiteral("%1 is not a regular file!\n").arg(fileName);
        out.flush();
        return false;
    }
    // Judged from the size, before a byte is read: whatever is larger cannot
    // fit the area even with the biggest header, so it is never loaded.
    const qint64 maxFileSize = qint64(maxSize) + kMaxFileHeader;
    if (info.size() > maxFileSize) {
        out << QStringLiteral("File %1 is too large: %2 bytes, a bitstream for this area has at most %3!\n")
                   .arg(fileName)
                   .arg(info.size())
                   .arg(maxFileSize);
        out.flush();
        return false;
    }
    // Without the board's part the image cannot be checked against it.
    if (!boardPart.error.isEmpty()) {
        out << boardPart.error << '\n';
        out.flush();
        return false;
    }
    // There, but not to be read (its mode, a security module): saying it is
    // not found would send the operator looking for the wrong fault.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        out << QStringLiteral("Can't read file %1: %2!\n").arg(fileName, file.errorString());
        out.flush();
        return false;
    }
    const QByteArray contents = file.read(maxFileSize + 1);
    file.close();

    QString error;
    QByteArray design;
    if (!extractConfigurationData(contents, image, error, &design)) {
        out << error;
        out.flush();
        return false;
    }
    // Without the sync word near its start the FPGA finds no configuration in
    // the image: writing it would only replace a working image with nothing.
    if (!image.left(kSyncWindow).contains(QByteArray("\xAA\x99\x55\x66", 4))) {
        print(out, "No FPGA configuration in the file: the sync word 0xAA995566 is not in its first 1 KiB!\n");
        return false;
    }
    // A larger image would run over into the other area.
    if (image.size() > maxSize) {
        out << QStringLiteral("Image too large: %1 bytes, the area holds %2!\n").arg(image.size()).arg(maxSize);
        out.flush();
        return false;
    }
    // A corrupt, cut or foreign stream configures nothing: written as the
    // golden image it leaves the FPGA with nothing to load, as the update
    // image it sends the FPGA back to golden while the writer reports success.
    stream = checkSeries7Stream(image, design.split(';').contains("PARTIAL=TRUE"));
    if (!stream.clean()) {
        out << stream.refusal();
        out.flush();
        return false;
    }
    if (!stream.crcChecked) {
        out << Series7StreamCheck::uncheckedWarning();
        out.flush();
    }
    return true;
}

// The board's settings name its FPGA, or else its golden image does: an
// image for another part is refused. Only a golden image that is itself
// clean counts, so that a board whose golden image is damaged can always be
// repaired; a board whose golden image is for another part than its FPGA is
// repaired by naming the part in the settings.
bool xapp1081::fitsBoardPart(QTextStream& out, std::optional<quint32> part)
{
    if (!part)
        return true;
    if (boardPart.idcode) {
        if (sameSeries7Part(*part, *boardPart.idcode))
            return true;
        out << QString::asprintf("Bitstream is for FPGA 0x%08X, the board's FPGA is 0x%08X (fpga_idcode in %s)!\n",
                                 *part, *boardPart.idcode, qUtf8Printable(boardPart.file));
        out.flush();
        return false;
    }
    QByteArray golden = flash->read(kGoldenImageAddress, kIdcodeWindow);
    Series7StreamCheck check = checkSeries7Stream(golden);
    if (!check.idcode || sameSeries7Part(*part, *check.idcode))
        return true;
    // Its length is unknown: read on, doubling, until the stream ends.
    while (check.verdict == Series7StreamCheck::Verdict::Truncated && golden.size() < kMaxGoldenImage) {
        const int more = std::min(golden.size(), kMaxGoldenImage - golden.size());
        golden += flash->read(kGoldenImageAddress + static_cast<unsigned int>(golden.size()),
                              static_cast<unsigned int>(more));
        check = checkSeries7Stream(golden);
    }
    if (!check.clean())
        return true;
    out << QString::asprintf("Bitstream is for FPGA 0x%08X, the board's golden image for 0x%08X! If the board's FPGA "
                             "is the 0x%08X, set fpga_idcode = 0x%08X in %s.\n",
                             *part, *check.idcode, *part, *part, qUtf8Printable(boardPart.file));
    out.flush();
    return false;
}

bool xapp1081::eraseSectors(QTextStream& out, unsigned int first, unsigned int last)
{
    for (unsigned int sector = first; sector < last; sector += kSectorSize) {
        if (!flash->needToErase64K(sector)) {
            print(out, "-");
            continue;
        }
        if (!flash->erase64K(sector)) {
            print(out, " FALSE!");
            return false;
        }
        print(out, "*");
    }
    out << " OK\n";
    return true;
}

bool xapp1081::writeData(QTextStream& out, unsigned int address, const QByteArray& data)
{
    if (!flash->write(address, data)) {
        print(out, " FALSE!");
        return false;
    }
    print(out, " OK\n");
    return true;
}

bool xapp1081::verify(QTextStream& out, const QByteArray& data, unsigned int start, unsigned int areaEnd)
{
    const unsigned int length = static_cast<unsigned int>(data.size());
    if (flash->read(start, length) != data) {
        print(out, " FALSE!");
        return false;
    }
    const QByteArray rest = flash->read(start + length, areaEnd + 1 - start - length);
    if (rest.count('\xFF') != rest.size()) {
        print(out, " FALSE!");
        return false;
    }
    print(out, " OK\n");
    return true;
}

bool xapp1081::bootAndWait(QTextStream& out)
{
    print(out, "Booting FPGA:");
    flash->bootArtix();
    flash->bootArtix();
    if (!flash->waitForIdentification(bootWaitMs)) {
        print(out, " FALSE!");
        return false;
    }
    print(out, " OK\n");
    return true;
}

bool xapp1081::changeUpdateArea(QTextStream& out, const QByteArray& image)
{
    const HeldEndSignals held;
    print(out, "Erasing header area:");
    if (!flash->erase4K(kHeaderArea)) {
        print(out, " FALSE!");
        return false;
    }
    print(out, " OK\n");

    print(out, "Erasing update boot area:");
    if (!eraseSectors(out, kUpdateArea, kUpdateAreaEnd + 1))
        return false;

    print(out, "Writing new image:");
    if (!writeData(out, kUpdateArea, image))
        return false;

    print(out, "Verifying:");
    if (!verify(out, image, kUpdateArea, kUpdateAreaEnd))
        return false;

    // Only a switch word that reads back makes the FPGA take the update; a
    // reboot without it would load the golden image while this said OK.
    print(out, "Writing header:");
    if (!flash->write(kSwitchWordAddress, switchWord()) ||
        flash->read(kSwitchWordAddress, switchWord().size()) != switchWord()) {
        print(out, " FALSE!");
        return false;
    }
    print(out, " OK\n");

    return true;
}

bool xapp1081::saveUpdateImage(QString fileName)
{
    QTextStream out(stdout);
    QByteArray image;
    Series7StreamCheck stream;
    if (!loadImage(out, fileName, kMaxUpdateImage, image, stream))
        return false;
    // The switch word sends the FPGA through the golden header to the update
    // image; without that header nothing would ever boot it.
    const QByteArray header = flash->read(kGoldenHeaderAddress, kGoldenHeaderSize);
    if (header == legacyGoldenHeader()) {
        print(out, "The golden header at 0x001000 sends the FPGA back to the golden image (warm boot address "
                   "0x00001000, as earlier versions wrote it): write the golden image again with -wgold before "
                   "an update can boot!\n");
        return false;
    }
    if (header != goldenHeader()) {
        print(out, "No golden header at 0x001000: write the golden image first!\n");
        return false;
    }
    if (!fitsBoardPart(out, stream.idcode))
        return false;
    if (stream.fallbackOff) {
        out << Series7StreamCheck::fallbackOffWarning();
        out.flush();
    }

    if (!changeUpdateArea(out, image))
        return false;

    return bootAndWait(out);
}

bool xapp1081::changeGoldenArea(QTextStream& out, const QByteArray& image)
{
    const HeldEndSignals held;
    print(out, "Erasing golden boot area:");
    if (!eraseSectors(out, kGoldenArea, kGoldenAreaEnd + 1))
        return false;

    const QByteArray data = goldenHeader() + image;
    print(out, "Writing new image:");
    if (!writeData(out, kGoldenHeaderAddress, data))
        return false;

    print(out, "Verifying:");
    if (!verify(out, data, kGoldenHeaderAddress, kGoldenAreaEnd))
        return false;

    return true;
}

bool xapp1081::saveGoldenImage(QString fileName)
{
    QTextStream out(stdout);
    QByteArray image;
    Series7StreamCheck stream;
    if (!loadImage(out, fileName, kMaxGoldenImage, image, stream) || !fitsBoardPart(out, stream.idcode))
        return false;

    if (!changeGoldenArea(out, image))
        return false;

    return bootAndWait(out);
}
