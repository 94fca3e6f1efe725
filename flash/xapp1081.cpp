#include "xapp1081.h"

#include "xilinx_bitstream.h"

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {
constexpr unsigned int kSectorSize = 0x10000;
// The FPGA looks for its sync word this far into an image.
constexpr int kSyncWindow = 1024;

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

QByteArray xapp1081::goldenHeader()
{
    static const char header[32] = {0x20, 0x00, 0x00, 0x00, 0x30, 0x02, 0x00, 0x01,  // NOOP, write WBSTAR
                                    0x00, 0x00, 0x10, 0x00, 0x30, 0x00, char(0x80), 0x01,  // 0x1000, write CMD
                                    0x00, 0x00, 0x00, 0x0F, 0x20, 0x00, 0x00, 0x00,  // IPROG, NOOP
                                    0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};  // NOOP, NOOP
    return QByteArray(header, sizeof header);
}

bool xapp1081::loadImage(QTextStream& out, const QString& fileName, int maxSize, QByteArray& image)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        print(out, "File not found!\n");
        return false;
    }
    const QByteArray contents = file.readAll();
    file.close();

    QString error;
    if (!extractConfigurationData(contents, image, error)) {
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
    return true;
}

void xapp1081::eraseSectors(QTextStream& out, unsigned int first, unsigned int last)
{
    for (unsigned int sector = first; sector < last; sector += kSectorSize) {
        if (flash->needToErase64K(sector)) {
            flash->erase64K(sector);
            print(out, "*");
        } else {
            print(out, "-");
        }
    }
    out << " OK\n";
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
    // A monotonic clock: the wall clock may jump while the FPGA configures.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (timer.elapsed() > bootWaitMs) {
            print(out, " FALSE!");
            return false;
        }
        if (nt25q256::isN25Q256(flash->readID())) {
            print(out, " OK\n");
            return true;
        }
    }
}

bool xapp1081::saveUpdateImage(QString fileName)
{
    QTextStream out(stdout);
    QByteArray image;
    if (!loadImage(out, fileName, kMaxUpdateImage, image))
        return false;

    print(out, "Erasing header area:");
    flash->erase4K(kHeaderArea);
    print(out, " OK\n");

    print(out, "Erasing update boot area:");
    eraseSectors(out, kUpdateArea, kUpdateAreaEnd + 1);

    print(out, "Writing new image:");
    flash->write(kUpdateArea, image);
    print(out, " OK\n");

    print(out, "Verifying:");
    if (!verify(out, image, kUpdateArea, kUpdateAreaEnd))
        return false;

    print(out, "Writing header:");
    flash->write(kSwitchWordAddress, switchWord());
    print(out, " OK\n");

    return bootAndWait(out);
}

bool xapp1081::saveGoldenImage(QString fileName)
{
    QTextStream out(stdout);
    QByteArray image;
    if (!loadImage(out, fileName, kMaxGoldenImage, image))
        return false;

    print(out, "Erasing golden boot area:");
    eraseSectors(out, kGoldenArea, kGoldenAreaEnd + 1);

    const QByteArray data = goldenHeader() + image;
    print(out, "Writing new image:");
    flash->write(kGoldenHeaderAddress, data);
    print(out, " OK\n");

    print(out, "Verifying:");
    if (!verify(out, data, kGoldenHeaderAddress, kGoldenAreaEnd))
        return false;

    return bootAndWait(out);
}
