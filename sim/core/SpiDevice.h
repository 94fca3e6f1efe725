#pragma once

#include "Violations.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// The start of one frame as the wires showed it, for decoding: the first
// bytes out (MOSI) and in (MISO), and how many bytes the frame had in all.
struct FrameSample {
    std::vector<std::uint8_t> mosi;
    std::vector<std::uint8_t> miso;
    std::uint64_t length = 0;
};

// A frame in the chip's own terms, as a protocol decoder shows it.
struct FrameMeaning {
    QString command;
    std::optional<std::uint32_t> address;
    std::uint64_t dataLength = 0;
    std::vector<std::uint8_t> data;  // the first data bytes, either direction
};

// Building blocks for decoders: a command alone; a command whose data runs
// from byte `from` of the frame (dataIn: the data comes back on MISO); a
// command with a 3-byte address, most significant first, then data.
FrameMeaning decodeCommand(const QString& name);
FrameMeaning decodeData(const FrameSample& frame, const QString& name, std::size_t from, bool dataIn);
FrameMeaning decodeAddressed(const FrameSample& frame, const QString& name, bool dataIn);

// A chip on the SPI bus, seen as the wires show it: select, one byte in and
// out per eight clocks, deselect. A device answers only while selected.
class SpiDevice {
public:
    virtual ~SpiDevice() = default;

    virtual const char* name() const = 0;
    virtual void select() = 0;
    // Returns true when the device drives MISO for this byte, with the byte in miso.
    virtual bool exchange(std::uint8_t mosi, std::uint8_t& miso) = 0;
    virtual void deselect() = 0;
    // Whether an internal operation (program, erase) is still running; only
    // used to tell status polls from useful traffic.
    virtual bool busy() const { return false; }
    // Decodes a frame that this device saw, by its command table.
    virtual FrameMeaning decode(const FrameSample& frame) const;

    // Where the device reports the rules of its datasheet that it sees
    // broken; nowhere until set (the wiring sets itself when attaching it).
    void watchRules(ViolationWatch* watch) { ruleWatch_ = watch; }

protected:
    void violated(const QString& rule) const
    {
        if (ruleWatch_)
            ruleWatch_->violated(QString::fromLatin1(name()), rule);
    }

private:
    ViolationWatch* ruleWatch_ = nullptr;
};

}  // namespace sim
