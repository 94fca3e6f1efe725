#pragma once

#include "BasePinWorker.h"

#include <QByteArray>

#include <memory>

// Driver of the Micron N25Q256 SPI NOR flash that holds the Lumo3 FPGA's
// configuration. Every command is one transfer on chip select 1.
class nt25q256 {
public:
    static constexpr unsigned char PIN_ARTIX_BOOT = 26;
    static constexpr unsigned int kPageSize = 256;
    static constexpr int kIdLength = 20;
    static constexpr int kCapacityIndex = 2;
    static constexpr unsigned char kCapacityN25Q256 = 0x19;
    // 3-byte addresses reach 16 MiB; a longer read would only wrap around.
    static constexpr unsigned int kMaxReadLength = 1u << 24;

    explicit nt25q256(std::shared_ptr<BasePinWorker> worker);

    QByteArray readID();
    QByteArray read(unsigned int address, unsigned int length);
    // Program and erase return false when the chip stayed busy past the
    // operation's bound: the wait was abandoned and the flash may hold
    // anything in the range. write() stops at the first such page.
    [[nodiscard]] bool write(unsigned int address, QByteArray data);
    [[nodiscard]] bool erase4K(unsigned int address);
    [[nodiscard]] bool erase64K(unsigned int address);
    bool needToErase64K(unsigned int address);
    void bootArtix();
    [[nodiscard]] bool pageWrite(unsigned int address, QByteArray data);
    unsigned char readStatus();
    void writeEnable(bool enable);

    // Tries readID() until it shows the N25Q256, pausing 1 ms between tries,
    // for at least boundMs; false when it never did.
    bool waitForIdentification(unsigned int boundMs);

    // True when readID() shows the capacity code of the N25Q256.
    static bool isN25Q256(const QByteArray& id);

    // The worker stopped mid-run (SPI0 did not finish a transfer): every
    // wait has ended unanswered since, and what read() returned since is
    // not the flash's.
    bool hardwareLost() const { return !pin_worker->initialized; }

private:
    bool erase(unsigned char opcode, unsigned int address, unsigned int boundMs);
    bool waitUntilReady(unsigned int boundMs);

    std::shared_ptr<BasePinWorker> pin_worker;
};
