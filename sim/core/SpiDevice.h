#pragma once

#include "VirtualClock.h"
#include "Violations.h"

#include <QString>

#include <cstddef>
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
    // Exchanges as many of count bytes (at least one) as the chip can take
    // at once because nothing it does with them depends on the time between
    // them (the data of a read, say): miso gets an answer for each, 0xFF
    // where the chip drove nothing. Returns how many it took; the bus
    // spends their time after the run. By default one byte, by exchange().
    virtual std::size_t exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count);
    // Where the chip only talks, its answers to the next bytes of the frame,
    // up to count: what it sends depends neither on what it is sent nor on
    // time, and nothing else it does with the bytes outlives the frame (the
    // data of a read), so a controller may learn the answers before the
    // bytes shift. Returns how many it gave; by default none.
    virtual std::size_t answersAhead(std::uint8_t* /*miso*/, std::size_t /*count*/) { return 0; }
    virtual void deselect() = 0;
    // Takes a whole frame, select to deselect, at once where nothing in it
    // depends on the time within it and the chip ends it as the byte-by-byte
    // frame would leave it (a status poll of a chip that stays busy past
    // `end`, when the frame's last clock has passed): miso, which may be
    // null, gets the answers, 0xFF where the chip drives nothing. Returns
    // false, having done nothing, where that is not so; by default always.
    virtual bool quietFrame(const std::uint8_t* /*mosi*/, std::uint8_t* /*miso*/, std::size_t /*count*/,
                            Nanos /*end*/)
    {
        return false;
    }
    // Whether quietFrame() would take that frame, and its answers, with
    // nothing done: a controller that must give the answers before the frame
    // has crossed the bus asks first.
    virtual bool quietFrameHolds(const std::uint8_t* /*mosi*/, std::uint8_t* /*miso*/, std::size_t /*count*/,
                                 Nanos /*end*/) const
    {
        return false;
    }
    // The SPI modes (CPOL << 1 | CPHA) the chip works in, one bit per mode
    // (bit m for mode m). Most serial flash chips sample on the rising edge
    // whatever the clock's idle level, so take modes 0 and 3; a frame in a
    // mode the chip does not take reaches it not.
    static constexpr unsigned kMode0 = 1u << 0;
    static constexpr unsigned kMode3 = 1u << 3;
    virtual unsigned spiModes() const { return kMode0 | kMode3; }
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
