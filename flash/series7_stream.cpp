#include "series7_stream.h"

#include <QtEndian>

namespace {
constexpr char kSyncWord[] = "\xAA\x99\x55\x66";
constexpr quint32 kNoop = 0x20000000;

// Type 1 write: bits 31-29 001, opcode 2, a register address of 0x00-0x1F
// (bits 26-18 clear), bits 12-11 clear; the word count in bits 10-0.
constexpr quint32 kType1Mask = 0xFFFC1800;
constexpr quint32 kType1Write = 0x30000000;
// Type 2 write: bits 31-29 010, opcode 2; the word count in bits 26-0.
constexpr quint32 kType2Mask = 0xF8000000;
constexpr quint32 kType2Write = 0x50000000;

constexpr quint32 kCrcRegister = 0x00;
constexpr quint32 kFdriRegister = 0x02;
constexpr quint32 kCmdRegister = 0x04;
constexpr quint32 kCtl0Register = 0x05;
constexpr quint32 kMaskRegister = 0x06;
constexpr quint32 kCor0Register = 0x09;
constexpr quint32 kMfwrRegister = 0x0A;
constexpr quint32 kIdcodeRegister = 0x0C;
constexpr quint32 kTimerRegister = 0x11;
constexpr quint32 kBspiRegister = 0x1F;

constexpr quint32 kStart = 0x05;
constexpr quint32 kRcrc = 0x07;
constexpr quint32 kSwitch = 0x09;
constexpr quint32 kShutdown = 0x0B;
constexpr quint32 kDesync = 0x0D;
constexpr quint32 kIprog = 0x0F;
constexpr quint32 kBspiRead = 0x12;

// CTL0 is written through MASK. Bit 6 turns the AES decryptor on for what
// follows; bit 10 set turns the fallback off.
constexpr quint32 kDecryptBit = 1u << 6;
constexpr quint32 kFallbackOffBit = 1u << 10;
// COR0 bits 16-15: the startup sequence's clock, 0 for CCLK.
constexpr int kStartupClockShift = 15;
// TIMER bit 30: the watchdog runs during configuration; bits 29-0 its count
// of the configuration oscillator's 65 MHz divided by 256. Bit 31 (user
// mode only) does nothing to the configuration.
constexpr quint32 kTimerDuringConfiguration = 1u << 30;
constexpr quint32 kTimerCount = 0x3FFFFFFF;
// A watchdog that expires as the last word arrives leaves the startup
// sequence no time: the read must end at least this long before it.
constexpr quint64 kWatchdogHeadroomNanos = 1000;

quint64 watchdogNanos(quint32 timer)
{
    // 256 cycles at 65 MHz, in nanoseconds: 256,000 / 65.
    return quint64{timer & kTimerCount} * 256000 / 65;
}

// The time the FPGA takes to read the stream up to a byte, rounded up: at
// its configuration clock, 3 MHz from power-up, which the SWITCH command sets
// to the rate of COR0's OSCFSEL (the vendor's files show 21 for 50 MHz; the
// other codes are taken at 3 MHz, the slow side), over the data lines that
// BSPI sets for the reads after BSPI_READ.
class ReadClock {
public:
    void switchRate(int at, quint32 cor0)
    {
        startAt(at);
        hz_ = ((cor0 >> 17) & 0x3F) == 21 ? 50000000 : 3000000;
    }
    void switchLines(int at, quint32 bspi)
    {
        startAt(at);
        const quint32 code = (bspi >> 8) & 3;
        lines_ = code == 1 ? 2 : code == 2 ? 4 : 1;
    }
    quint64 nanosTo(int at) const
    {
        const quint64 cycles = (quint64(at - from_) * 8 + lines_ - 1) / lines_;
        return nanos_ + (cycles * 1000000000 + hz_ - 1) / hz_;
    }

private:
    void startAt(int at)
    {
        nanos_ = nanosTo(at);
        from_ = at;
    }

    int from_ = 0;
    quint64 nanos_ = 0;
    quint64 hz_ = 3000000;
    unsigned lines_ = 1;
};

// Words the configuration logic passes over between packets while it is
// synchronised: dummy words, the bus-width detection pattern, a repeated
// sync word.
constexpr quint32 kDummy = 0xFFFFFFFF;
constexpr quint32 kBusWidthSync = 0x000000BB;
constexpr quint32 kBusWidthDetect = 0x11220044;
constexpr quint32 kSync = 0xAA995566;

// IDCODE bits 27-21: the family. Every Artix-, Kintex-, Virtex-7 and
// Zynq-7000 part has 0x1B there; Virtex-5 and UltraScale parts, which share
// the packet format and the CRC, have others.
constexpr quint32 kSeries7Family = 0x1B;

// The configuration CRC is CRC-32C, reflected, fed 37 bits per register
// write (address << 32 | word) from the least significant bit. A bit at a
// time costs 37 steps a word, too slow for a 4 MiB image: the word goes
// through four tables at once (slicing by 4), the five address bits through
// one more.
constexpr quint32 kCrcPolynomial = 0x82F63B78;

struct CrcTables {
    quint32 word[4][256];
    quint32 address[32];
};

constexpr quint32 crcSteps(quint32 crc, int bits)
{
    for (int i = 0; i < bits; ++i)
        crc = (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
    return crc;
}

constexpr CrcTables makeCrcTables()
{
    CrcTables tables{};
    for (quint32 i = 0; i < 256; ++i)
        tables.word[0][i] = crcSteps(i, 8);
    for (int k = 1; k < 4; ++k)
        for (quint32 i = 0; i < 256; ++i)
            tables.word[k][i] = (tables.word[k - 1][i] >> 8) ^ tables.word[0][tables.word[k - 1][i] & 0xFF];
    for (quint32 i = 0; i < 32; ++i)
        tables.address[i] = crcSteps(i, 5);
    return tables;
}

constexpr CrcTables kCrc = makeCrcTables();

inline quint32 feedCrc(quint32 crc, quint32 address, quint32 word)
{
    crc ^= word;
    crc = kCrc.word[3][crc & 0xFF] ^ kCrc.word[2][(crc >> 8) & 0xFF] ^ kCrc.word[1][(crc >> 16) & 0xFF] ^
          kCrc.word[0][crc >> 24];
    crc ^= address;
    return (crc >> 5) ^ kCrc.address[crc & 0x1F];
}

Series7StreamCheck withVerdict(Series7StreamCheck check, Series7StreamCheck::Verdict verdict, int at)
{
    check.verdict = verdict;
    check.at = at;
    return check;
}
}  // namespace

QString Series7StreamCheck::refusal() const
{
    switch (verdict) {
    case Verdict::Clean:
        break;
    case Verdict::NotSeries7:
        return QStringLiteral("Bitstream is not a 7-series configuration stream!\n");
    case Verdict::InvalidHeader:
        return QStringLiteral("Bitstream corrupt: invalid packet header at byte %1 of the image!\n").arg(at);
    case Verdict::CrcMismatch:
        return QStringLiteral("Bitstream corrupt: configuration CRC mismatch at byte %1 of the image!\n").arg(at);
    case Verdict::Truncated:
        return QStringLiteral("Bitstream truncated: no end of configuration before byte %1 of the image!\n").arg(at);
    case Verdict::NoStart:
        return QStringLiteral("Bitstream never starts the FPGA: DESYNC without START at byte %1 of the image!\n")
            .arg(at);
    case Verdict::NoIdcode:
        return QStringLiteral("Bitstream has no IDCODE before byte %1 of the image: its part cannot be checked!\n")
            .arg(at);
    case Verdict::TwoParts:
        return QString::asprintf("Bitstream names two parts: IDCODE 0x%08X at byte %d of the image after 0x%08X!\n",
                                 otherIdcode, at, idcode.value_or(0));
    case Verdict::Partial:
        return QStringLiteral("Bitstream is a partial reconfiguration image (byte %1 of the image)!\n").arg(at);
    case Verdict::Reboots:
        return QStringLiteral("Bitstream reboots the FPGA (IPROG at byte %1 of the image): it was built for another "
                              "flash layout!\n")
            .arg(at);
    case Verdict::Encrypted:
        return QStringLiteral("Bitstream is encrypted (decryption turned on at byte %1 of the image): its frames "
                              "cannot be checked here, so it is not written!\n")
            .arg(at);
    case Verdict::StartupClock:
        return startupClock == 1
                   ? QStringLiteral("Bitstream starts up on the design's own clock (UserClk, COR0 at byte %1 of the "
                                    "image): loaded from the flash it may never start!\n")
                         .arg(at)
                   : QStringLiteral("Bitstream starts up on the JTAG clock (COR0 at byte %1 of the image): it cannot "
                                    "start from the flash!\n")
                         .arg(at);
    case Verdict::Watchdog:
        return QStringLiteral("Bitstream's configuration watchdog (TIMER at byte %1 of the image) expires after %2 "
                              "ms, before the FPGA has read the image (%3 ms at its configuration clock): it would "
                              "fall back at every boot!\n")
            .arg(at)
            .arg(QString::number(watchdogMicros / 1000.0, 'f', 1), QString::number(readMicros / 1000.0, 'f', 1));
    }
    return QString();
}

QString Series7StreamCheck::uncheckedWarning()
{
    return QStringLiteral("Warning: the bitstream has no CRC word, so damage to its frame data cannot be "
                          "detected.\n");
}

QString Series7StreamCheck::fallbackOffWarning()
{
    return QStringLiteral("Warning: the bitstream turns the FPGA's fallback off (CTL0 ConfigFallback): should the "
                          "update image ever be damaged in the flash, the FPGA loads nothing, not the golden "
                          "image.\n");
}

Series7StreamCheck checkSeries7Stream(const QByteArray& image, bool markedPartial)
{
    using Verdict = Series7StreamCheck::Verdict;
    Series7StreamCheck check;
    if (markedPartial)
        return withVerdict(check, Verdict::Partial, 0);
    const int end = image.size();
    const uchar* bytes = reinterpret_cast<const uchar*>(image.constData());
    const QByteArray syncWord = QByteArray::fromRawData(kSyncWord, 4);

    quint32 crc = 0;
    bool inSync = false;
    bool started = false;
    bool hasCor0 = false;
    bool frameData = false;
    int droppedAt = -1;  // where a DESYNC before START dropped the sync
    bool first = true;
    // A type 2 header continues the type 1 write right before it.
    bool afterType1Write = false;
    quint32 address = 0;
    int at = 0;
    quint32 mask = 0;
    quint32 ctl0 = 0;
    quint32 cor0 = 0;
    int cor0At = 0;
    quint32 bspi = 0;
    ReadClock clock;
    // The configuration watchdog: where its TIMER write lies, how long it
    // runs and how long the read has taken when it starts.
    int timerAt = -1;
    quint64 watchdog = 0;
    quint64 timerRead = 0;
    for (;;) {
        if (!inSync) {
            const int sync = image.indexOf(syncWord, at);
            if (sync < 0)
                return droppedAt >= 0 ? withVerdict(check, Verdict::NoStart, droppedAt)
                                      : withVerdict(check, Verdict::Truncated, end);
            at = sync + 4;
            inSync = true;
            first = true;
            afterType1Write = false;
            continue;
        }
        if (end - at < 4)
            return withVerdict(check, Verdict::Truncated, end);
        const int headerAt = at;
        const quint32 header = qFromBigEndian<quint32>(bytes + at);
        at += 4;
        if (header == kNoop || header == kDummy || header == kBusWidthSync || header == kBusWidthDetect ||
            header == kSync) {
            afterType1Write = false;
            continue;
        }
        quint32 count = 0;
        if ((header & kType1Mask) == kType1Write) {
            address = (header >> 13) & 0x1F;
            count = header & 0x7FF;
            afterType1Write = true;
        } else if ((header & kType2Mask) == kType2Write && afterType1Write) {
            count = header & 0x07FFFFFF;
            afterType1Write = false;
        } else {
            return withVerdict(check, first ? Verdict::NotSeries7 : Verdict::InvalidHeader, headerAt);
        }
        first = false;
        if (count > static_cast<quint32>((end - at) / 4))
            return withVerdict(check, Verdict::Truncated, end);

        if (address == kCrcRegister) {
            for (quint32 i = 0; i < count; ++i, at += 4) {
                if (qFromBigEndian<quint32>(bytes + at) != crc)
                    return withVerdict(check, Verdict::CrcMismatch, at);
                crc = 0;
                check.crcChecked = true;
            }
            continue;
        }
        if ((address == kFdriRegister || address == kMfwrRegister) && count > 0) {
            if (!check.idcode)
                return withVerdict(check, Verdict::NoIdcode, headerAt);
            frameData = true;
        }
        if (address == kCor0Register && count > 0)
            hasCor0 = true;
        for (quint32 i = 0; i < count; ++i, at += 4) {
            const quint32 word = qFromBigEndian<quint32>(bytes + at);
            crc = feedCrc(crc, address, word);
            if (address == kIdcodeRegister) {
                if (!series7Part(word))
                    return withVerdict(check, Verdict::NotSeries7, at);
                if (!check.idcode) {
                    check.idcode = word;
                } else if (!sameSeries7Part(word, *check.idcode)) {
                    check.otherIdcode = word;
                    return withVerdict(check, Verdict::TwoParts, at);
                }
            } else if (address == kMaskRegister) {
                mask = word;
            } else if (address == kCtl0Register) {
                ctl0 = (ctl0 & ~mask) | (word & mask);
                if (ctl0 & kDecryptBit)
                    return withVerdict(check, Verdict::Encrypted, at);
                // Off at any point, it is off for an error there.
                check.fallbackOff = check.fallbackOff || (ctl0 & kFallbackOffBit) != 0;
            } else if (address == kCor0Register) {
                cor0 = word;
                cor0At = at;
            } else if (address == kBspiRegister) {
                bspi = word;
            } else if (address == kTimerRegister) {
                timerAt = (word & kTimerDuringConfiguration) ? at : -1;
                watchdog = watchdogNanos(word);
                timerRead = clock.nanosTo(at + 4);
            } else if (address == kCmdRegister) {
                switch (word) {
                case kStart:
                    started = true;
                    break;
                case kRcrc:
                    crc = 0;
                    break;
                case kShutdown:
                    return withVerdict(check, Verdict::Partial, at);
                case kIprog:
                    return withVerdict(check, Verdict::Reboots, at);
                case kSwitch:
                    clock.switchRate(at + 4, cor0);
                    break;
                case kBspiRead:
                    clock.switchLines(at + 4, bspi);
                    break;
                case kDesync:
                    if (!started) {
                        // The FPGA drops the sync and searches on.
                        droppedAt = at;
                        inSync = false;
                        break;
                    }
                    if (!check.idcode)
                        return withVerdict(check, Verdict::NoIdcode, at);
                    // A full configuration sets up the device in COR0;
                    // only a partial one leaves it as it is.
                    if (!hasCor0 || !frameData)
                        return withVerdict(check, Verdict::Partial, at);
                    check.startupClock = (cor0 >> kStartupClockShift) & 3;
                    if (check.startupClock != 0)
                        return withVerdict(check, Verdict::StartupClock, cor0At);
                    if (timerAt >= 0) {
                        // The watchdog runs until the startup sequence ends,
                        // right after DESYNC.
                        const quint64 read = clock.nanosTo(at + 4) - timerRead;
                        if (watchdog < read + kWatchdogHeadroomNanos) {
                            check.watchdogMicros = watchdog / 1000;
                            check.readMicros = (read + 999) / 1000;
                            return withVerdict(check, Verdict::Watchdog, timerAt);
                        }
                    }
                    return withVerdict(check, Verdict::Clean, at + 4);
                default:
                    break;
                }
            }
            if (!inSync) {
                at += 4;
                break;
            }
        }
    }
}

bool sameSeries7Part(quint32 idcode, quint32 other)
{
    return ((idcode ^ other) & 0x0FFFFFFF) == 0;
}

bool series7Part(quint32 idcode)
{
    return ((idcode >> 21) & 0x7F) == kSeries7Family;
}
