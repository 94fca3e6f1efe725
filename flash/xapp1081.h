#pragma once

#include "nt25q256.h"
#include "series7_stream.h"

#include <QByteArray>
#include <QString>
#include <QTextStream>

#include <optional>

// The board's FPGA as its settings file states it.
struct BoardPartSetting {
    static constexpr char kFile[] = "/etc/lumo3update.conf";

    std::optional<quint32> idcode;          // unset: the golden image on the flash tells
    QString file = QLatin1String(kFile);    // where it is set, for the messages
    QString error;                          // why the setting cannot be used; empty when it can
};

// Writes FPGA images into the N25Q256 in the MultiBoot layout of Xilinx
// application note XAPP1081:
//
//   0x000000-0x000FFF  header area: blank, or the switch word in its last 4 bytes
//   0x001000-0x3FFFFF  golden area: 32-byte golden header, golden bitstream, blank
//   0x400000-0x7FFFFF  update area: update bitstream, blank
//
// The golden header's IPROG sends the FPGA to the byte address its WBSTAR
// write names, the update area; earlier versions wrote 0x001000 there, which
// only ever boots the golden image again, and an update is refused on such
// a board until the golden image is written anew.
//
// The update procedure writes the switch word only after the update image has
// been verified, so the flash never points the FPGA at a partial image.
// Before anything is erased, an image must be a clean 7-series configuration
// stream (series7_stream.h), for the board's FPGA: the part its settings
// name, or else the part of its golden image when that one is clean too.

class xapp1081 {
public:
    static constexpr unsigned int kHeaderArea = 0x000000;
    static constexpr unsigned int kSwitchWordAddress = 0x000FFC;
    static constexpr unsigned int kGoldenArea = 0x000000;
    static constexpr unsigned int kGoldenHeaderAddress = 0x001000;
    static constexpr unsigned int kGoldenHeaderSize = 32;
    static constexpr unsigned int kGoldenAreaEnd = 0x3FFFFF;
    static constexpr unsigned int kUpdateArea = 0x400000;
    static constexpr unsigned int kUpdateAreaEnd = 0x7FFFFF;
    static constexpr int kMaxUpdateImage = 0x400000;
    static constexpr int kMaxGoldenImage = 0x3FEFE0;
    // The FPGA holds the flash while it reads its configuration at its
    // configuration clock: 3 MHz on one data line unless the stream speeds it
    // up. The slowest boot this layout allows (the golden header, a 4 MiB
    // update image that fails at its end, then the golden image) reads about
    // 8 MiB, some 23 s; the wait ends at the first identification that
    // answers, so only a board that never answers waits this long.
    static constexpr int kDefaultBootWaitMs = 30000;

    explicit xapp1081(nt25q256* flash, int bootWaitMs = kDefaultBootWaitMs);

    void setBoardPart(const BoardPartSetting& setting) { boardPart = setting; }

    bool saveUpdateImage(QString fileName);
    bool saveGoldenImage(QString fileName);

    static QByteArray switchWord();
    // The golden header, its warm boot start address the update area.
    static QByteArray goldenHeader();
    // The header as earlier versions wrote it, warm boot address 0x001000.
    static QByteArray legacyGoldenHeader();

private:
    static QByteArray goldenHeader(quint32 warmBootAddress);
    bool loadImage(QTextStream& out, const QString& fileName, int maxSize, QByteArray& image,
                   Series7StreamCheck& stream);
    bool fitsBoardPart(QTextStream& out, std::optional<quint32> part);
    // Each returns false, after printing " FALSE!", when the flash stayed busy
    // past its bound.
    bool eraseSectors(QTextStream& out, unsigned int first, unsigned int last);
    bool writeData(QTextStream& out, unsigned int address, const QByteArray& data);
    bool verify(QTextStream& out, const QByteArray& data, unsigned int start, unsigned int areaEnd);
    bool bootAndWait(QTextStream& out);
    // From the first erase to the last check of what was written, with the
    // end signals held; false, after " FALSE!", at the step that failed.
    bool changeUpdateArea(QTextStream& out, const QByteArray& image);
    bool changeGoldenArea(QTextStream& out, const QByteArray& image);

    nt25q256* flash;
    int bootWaitMs;
    BoardPartSetting boardPart;
};
