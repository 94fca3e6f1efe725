#include "nt25q256.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <vector>

namespace {
constexpr unsigned char kWriteEnable = 0x06;
constexpr unsigned char kReadStatus = 0x05;
constexpr unsigned char kReadId = 0x9E;
constexpr unsigned char kRead = 0x03;
constexpr unsigned char kPageProgram = 0x02;
constexpr unsigned char kSubsectorErase = 0x20;
constexpr unsigned char kSectorErase = 0xD8;
constexpr unsigned char kWriteInProgress = 0x01;

// Datasheet maxima are 5 ms per page, 0.8 s per 4 KiB subsector and 3 s per
// 64 KiB sector; the bounds leave a wide margin so that only a chip that no
// longer works reaches them.
constexpr unsigned int kPageBoundMs = 100;
constexpr unsigned int kSubsectorBoundMs = 2000;
constexpr unsigned int kSectorBoundMs = 6000;

// A status read is two bytes on the bus: at least 2.048 us at the worker's
// 7.8125 MHz clock. The bound is counted in reads rather than on the clock:
// a read that comes late (the process was paused) sees a finished chip, and a
// chip whose time only moves with the bus (a virtual board) is given the
// same time as a real one.
constexpr unsigned long long kStatusReadNs = 2048;

constexpr unsigned long kBootPulseMs = 20;

// While the FPGA configures it owns the flash for seconds; trying the
// identification once a millisecond loses at most that at the end. The
// bound is counted in these pauses, for the reason given above.
constexpr unsigned long long kIdentificationPollMs = 1;

void putAddress(char* frame, unsigned int address)
{
    frame[1] = static_cast<char>((address >> 16) & 0xFF);
    frame[2] = static_cast<char>((address >> 8) & 0xFF);
    frame[3] = static_cast<char>(address & 0xFF);
}
}  // namespace

nt25q256::nt25q256(std::shared_ptr<BasePinWorker> worker) : pin_worker(std::move(worker))
{
    readID();
}

bool nt25q256::isN25Q256(const QByteArray& id)
{
    return id.size() > kCapacityIndex && static_cast<unsigned char>(id.at(kCapacityIndex)) == kCapacityN25Q256;
}

QByteArray nt25q256::readID()
{
    char tx[kIdLength + 1] = {static_cast<char>(kReadId)};
    char rx[kIdLength + 1] = {};
    pin_worker->read_write_spi(tx, rx, SPI_CS1, sizeof tx);
    return QByteArray(rx + 1, kIdLength);
}

unsigned char nt25q256::readStatus()
{
    char tx[2] = {static_cast<char>(kReadStatus), 0};
    char rx[2] = {};
    pin_worker->read_write_spi(tx, rx, SPI_CS1, sizeof tx);
    return static_cast<unsigned char>(rx[1]);
}

void nt25q256::writeEnable(bool enable)
{
    // Nothing clears the latch on purpose: program and erase clear it themselves.
    if (!enable)
        return;
    char tx[1] = {static_cast<char>(kWriteEnable)};
    char rx[1] = {};
    pin_worker->read_write_spi(tx, rx, SPI_CS1, sizeof tx);
}

bool nt25q256::waitForIdentification(unsigned int boundMs)
{
    for (unsigned int waited = 0;; ++waited) {
        if (isN25Q256(readID()))
            return true;
        if (waited >= boundMs || hardwareLost())
            return false;
        pin_worker->delay_ms(kIdentificationPollMs);
    }
}

bool nt25q256::waitUntilReady(unsigned int boundMs)
{
    const unsigned long long maxReads = boundMs * 1000000ull / kStatusReadNs;
    for (unsigned long long reads = 1;; ++reads) {
        const bool busy = readStatus() & kWriteInProgress;
        // A status that never came from the chip says nothing of it.
        if (hardwareLost())
            return false;
        if (!busy)
            return true;
        if (reads > maxReads) {
            qDebug("N25Q256: flash still busy after %u ms, wait abandoned", boundMs);
            return false;
        }
    }
}

QByteArray nt25q256::read(unsigned int address, unsigned int length)
{
    if (length > kMaxReadLength) {
        qDebug("N25Q256: read of %u bytes refused, the flash answers at most %u", length, kMaxReadLength);
        return QByteArray();
    }
    const unsigned int frameLength = length + 4;
    std::vector<char> tx(frameLength, 0);
    std::vector<char> rx(frameLength, 0);
    tx[0] = static_cast<char>(kRead);
    putAddress(tx.data(), address);
    pin_worker->read_write_spi(tx.data(), rx.data(), SPI_CS1, frameLength);
    return QByteArray(rx.data() + 4, static_cast<int>(length));
}

bool nt25q256::pageWrite(unsigned int address, QByteArray data)
{
    writeEnable(true);
    const unsigned int frameLength = static_cast<unsigned int>(data.size()) + 4;
    std::vector<char> tx(frameLength, 0);
    std::vector<char> rx(frameLength, 0);
    tx[0] = static_cast<char>(kPageProgram);
    putAddress(tx.data(), address);
    std::copy(data.constBegin(), data.constEnd(), tx.begin() + 4);
    pin_worker->read_write_spi(tx.data(), rx.data(), SPI_CS1, frameLength);
    return waitUntilReady(kPageBoundMs);
}

bool nt25q256::write(unsigned int address, QByteArray data)
{
    unsigned int done = 0;
    const unsigned int total = static_cast<unsigned int>(data.size());
    while (done < total) {
        const unsigned int at = address + done;
        const unsigned int room = kPageSize - (at % kPageSize);
        const unsigned int piece = std::min(room, total - done);
        // A chip that stays busy will not take the remaining pages either.
        if (!pageWrite(at, data.mid(static_cast<int>(done), static_cast<int>(piece))))
            return false;
        done += piece;
    }
    return true;
}

bool nt25q256::erase(unsigned char opcode, unsigned int address, unsigned int boundMs)
{
    writeEnable(true);
    char tx[4] = {static_cast<char>(opcode)};
    char rx[4] = {};
    putAddress(tx, address);
    pin_worker->read_write_spi(tx, rx, SPI_CS1, sizeof tx);
    return waitUntilReady(boundMs);
}

bool nt25q256::erase4K(unsigned int address)
{
    return erase(kSubsectorErase, address, kSubsectorBoundMs);
}

bool nt25q256::erase64K(unsigned int address)
{
    return erase(kSectorErase, address, kSectorBoundMs);
}

bool nt25q256::needToErase64K(unsigned int address)
{
    const QByteArray block = read(address, 65536);
    for (char byte : block)
        if (static_cast<unsigned char>(byte) != 0xFF)
            return true;
    return false;
}

void nt25q256::bootArtix()
{
    pin_worker->set_pin_state(PIN_ARTIX_BOOT, PIN_LOW);
    QThread::msleep(kBootPulseMs);
    pin_worker->set_pin_state(PIN_ARTIX_BOOT, PIN_HIGH);
}
