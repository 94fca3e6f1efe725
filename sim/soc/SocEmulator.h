#pragma once

#include "BoardWiring.h"
#include "RepeatedFrame.h"
#include "VirtualClock.h"
#include "bcm2835_emulation.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// The BCM2835 system on chip as the emulated variant of the bcm2835 layer
// sees it: the peripheral window that "/dev/mem" (or, without root,
// "/dev/gpiomem") would map, with the blocks the updater uses behind it.
//
//   block         offset    registers modelled
//   system timer  0x003000  CLO 0x04, CHI 0x08: microseconds of the virtual clock
//   GPIO          0x200000  GPFSEL0-5 0x00-0x14, GPSET0/1 0x1C/0x20,
//                           GPCLR0/1 0x28/0x2C, GPLEV0/1 0x34/0x38
//   SPI0          0x204000  CS 0x00, FIFO 0x04, CLK 0x08
//
// Every other word of the window is plain memory. Pins in output mode drive
// the board's lines with their output latch; pins in input mode leave them
// to the board; GPIO 8 and 7 in alternate function 0 are SPI0's CE0 and CE1,
// asserted with their polarity while TA is set and their number is in CS.
//
// SPI0 shifts on the virtual clock. While TA is set, the controller takes
// the next byte from the 64-byte TX FIFO into its shift register whenever
// that is free and the 64-byte RX FIFO has room; the byte crosses the bus
// (BoardWiring::transfer) over eight SCLK periods at the divider's rate, and
// what came back on MISO enters the RX FIFO when its last clock has passed.
// The status bits tell what has shifted by the time CS is read: TXD (the TX
// FIFO has room), RXD (the RX FIFO holds a byte), RXR (TA set and the RX FIFO
// at least three quarters full), RXF (the RX FIFO full) and DONE (TA set,
// the TX FIFO empty and nothing shifting).
//
// What a register access costs on the virtual clock: kAccessTime, 100 ns,
// the model's figure for an uncached access to the peripherals with the
// layer's memory barriers on the Pi's ARM core. The time counts as the bus's
// last byte did (BoardWiring::spend): between a busy chip's status polls it
// is polling. The bus shifts on while the Pi accesses registers, so in a
// long transfer the accesses hide behind the bytes; a short frame, a status
// poll above all, takes its accesses' time as well as its bytes'.
//
// Polling costs no host time per modelled nanosecond: a read of CS that
// returns what the previous one returned, with no write to CS or CLK and no
// FIFO access in between, is a loop spinning on a flag, and the clock moves
// on to the end of the byte being shifted, the next thing that can change,
// so that the read returns the status then. That byte reaches the chips at
// the Pi's next access, unless that access is a write clearing TA: then the
// read was the first half of a read-modify-write, which on the Pi comes
// while the byte still shifts, and the byte is cut off. A byte whose clocks
// pass while the Pi sleeps, or while the board moves the clock, reaches the
// chips at the next access.
//
// The controller's rules, each breach reported to the wiring's violations as
// "SPI0": TA cleared while bytes are still to shift (the partial byte is
// lost, a chip on CE0 or CE1 sees its chip select rise, one selected by a
// GPIO stays selected as the GPIO says; bytes left in the TX FIFO wait for
// the next TA); a byte written to a full TX FIFO (it is lost); the FIFO read
// with the RX FIFO empty (it reads 0); bytes shifted with GPIO 9, 10 or 11
// not in alternate function 0, once per frame: the chips see no clock
// without SCLK (11) and MOSI (10), and the controller reads 0x00 without
// MISO (9). The wiring adds a frame in an SPI mode the selected chip does
// not take.
//
// The timer and level words are also kept in the window's memory, because
// the interrupt threads of the layer load them directly: the levels at every
// line change, the timer at every byte, sleep, write of CS and access to any
// register but SPI0's CS and FIFO (so behind by at most the CS and FIFO
// accesses since).
//
// Polls answered from memory: a status poll of a chip that stays busy past
// it is the same frame again and again, access for access. The emulator
// keeps the last frame that started with the controller idle (RepeatedFrame)
// and, when the next starts alike (the same CS, CLK and pin functions, the
// FIFOs empty) and its one chip would take it whole with the same answers
// (BoardWiring::quietFrameHolds), answers the program's accesses from it as
// long as they are the recorded ones. At the write that ends it, the chip
// takes the frame whole (BoardWiring::takeQuietFrame) and the clock, the
// counts and the registers move on as the frame moved them. Any other
// access, a sleep, the end of the run or the program's clock read part way
// finds the frame as the accesses so far would have left it: they are done
// again, from the same start, in the ordinary way, and give what they gave.
// While such a frame is answered, the timer and level words in memory stay
// as at its start, behind by no more than its accesses.
//
// Constructing an emulator makes it the one the layer reaches (one at a time
// per process); it must outlive the layer's mapping.
class SocEmulator {
public:
    static constexpr unsigned kFifoDepth = 64;
    // What one register access takes on the virtual clock (above).
    static constexpr Nanos kAccessTime = 100;

    explicit SocEmulator(BoardWiring& wiring);
    ~SocEmulator();
    SocEmulator(const SocEmulator&) = delete;
    SocEmulator& operator=(const SocEmulator&) = delete;

    static SocEmulator* current() { return current_.load(std::memory_order_acquire); }

    // Whether the emulated process runs as root: only root can open
    // "/dev/mem"; anyone can open "/dev/gpiomem", which holds GPIO alone.
    void setRoot(bool root) { root_ = root; }
    // A kernel with strict /dev/mem (CONFIG_IO_STRICT_DEVMEM): root opens
    // "/dev/mem", but its mapping of the window, which covers regions that
    // drivers claim, fails with EPERM.
    void setStrictDevMem(bool strict) { strictDevMem_ = strict; }
    // The controller stops once this many bytes have shifted (from the
    // emulator's start): no byte shifts any more and DONE never sets, as
    // when its clock is gone or another master took it over.
    void stallSpiAfter(std::uint64_t bytes) { stallAfter_ = bytes; }
    // The system timer's counter stops where it stands, as it reads when the
    // window is not the SoC's peripherals or the SoC is stuck; the kernel's
    // clock goes on.
    void stopTimer();
    // Whether polls may be answered from memory (above); they are unless
    // told otherwise, which only shows what they cost without.
    void answerPollsFromMemory(bool on)
    {
        leaveAside();
        memoAllowed_ = on;
        memoValid_ = false;
    }
    std::uint64_t framesFromMemory() const { return framesFromMemory_; }

    // What tests look at.
    bool mapped() const { return window_ != nullptr; }
    const std::string& mappedDevice() const { return device_; }
    std::uint32_t mappedOffset() const { return offset_; }
    std::uint32_t mappedSize() const { return windowBytes_; }
    std::uint64_t registerAccesses() const { return accesses_; }
    // The last sleep the layer asked for, as it asked for it.
    const struct timespec& lastSleep() const { return lastSleep_; }
    unsigned function(unsigned pin) const { return (fsel_[pin / 10] >> (3 * (pin % 10))) & 7u; }
    BoardWiring& wiring() { return wiring_; }

    // What the emulated layer forwards (bcm2835/bcm2835_emulation.h); the
    // register accesses reach read() and write() below.
    int open(const char* device) const;
    volatile std::uint32_t* map(const char* device, std::uint32_t offset, std::uint32_t size);
    void unmap(volatile std::uint32_t* window, std::uint32_t size);
    unsigned geteuid() const { return root_ ? 0 : 1000; }
    int nanosleep(const struct timespec& request);
    std::uint64_t monotonicMicros() const
    {
        const Nanos ahead = mode_ == Mode::Replaying ? memo_.steps[step_ - 1].at : 0;
        return (clock_.now() + ahead) / kMicrosecond;
    }

private:
    // The register primitives of the emulated layer, inlined into its hooks.
    friend std::uint32_t(::bcm2835_emu_read)(volatile std::uint32_t* paddr);
    friend void(::bcm2835_emu_write)(volatile std::uint32_t* paddr, std::uint32_t value);
    std::uint32_t read(volatile std::uint32_t* paddr);
    void write(volatile std::uint32_t* paddr, std::uint32_t value);
    std::uint32_t readPlain(std::uintptr_t offset);
    void writePlain(std::uintptr_t offset, std::uint32_t value);

    // Polls answered from memory (above).
    enum class Mode : std::uint8_t { Plain, Recording, Replaying };
    std::uint32_t readAside(std::uintptr_t offset);
    void writeAside(std::uintptr_t offset, std::uint32_t value);
    // A write of CS that sets TA: answered from memory, or done and recorded.
    void frameStarts(std::uintptr_t offset, std::uint32_t value);
    bool idleController() const;
    bool replayable(std::uint32_t value) const;
    void note(std::uintptr_t offset, bool write, std::uint32_t value);
    void endRecording();
    void endReplay();
    // The accesses answered from memory so far, done in the ordinary way.
    void catchUpReplay();
    // Before anything but a register access: the frame as it stands.
    void leaveAside();
    static void catchUpBeforeLeaving();
    unsigned framePin(std::uint32_t cs) const;

    // Keeps the level registers in step with every line change on the board,
    // and the answers given ahead with the chip they came from.
    class LineWatch : public WireObserver {
    public:
        explicit LineWatch(SocEmulator& soc) : soc_(soc) {}
        bool watchesBytes() const override { return false; }
        void lineChanged(unsigned pin, bool high) override { soc_.lineChanged(pin, high); }
        void selected(SpiDevice&) override { soc_.ahead_.clear(); }
        void deselected(SpiDevice&) override { soc_.ahead_.clear(); }

    private:
        SocEmulator& soc_;
    };

    class Fifo {
    public:
        bool empty() const { return count_ == 0; }
        bool full() const { return count_ == kFifoDepth; }
        unsigned size() const { return count_; }
        void clear() { count_ = 0; }
        void push(std::uint8_t byte)
        {
            bytes_[(head_ + count_) % kFifoDepth] = byte;
            ++count_;
        }
        std::uint8_t pop()
        {
            const std::uint8_t byte = bytes_[head_];
            head_ = (head_ + 1) % kFifoDepth;
            --count_;
            return byte;
        }
        void setLast(std::uint8_t byte) { bytes_[(head_ + count_ - 1) % kFifoDepth] = byte; }
        void dropLast() { --count_; }
        void keepFirst(unsigned n) { count_ = count_ < n ? count_ : n; }

    private:
        std::array<std::uint8_t, kFifoDepth> bytes_{};
        unsigned head_ = 0;
        unsigned count_ = 0;
    };

    std::uintptr_t offsetOf(volatile std::uint32_t* paddr) const;
    [[noreturn]] void outside(volatile std::uint32_t* paddr) const;
    std::uint32_t& plain(std::uintptr_t offset);
    void mirror(std::uintptr_t offset, std::uint32_t value);

    std::uint32_t gpioRead(std::uintptr_t reg);
    void gpioWrite(std::uintptr_t reg, std::uint32_t value);
    void latch(unsigned bank, std::uint32_t bits, bool high);
    void applyPin(unsigned pin);
    void lineChanged(unsigned pin, bool high);

    // An access's own time, and the bytes that finish in it.
    void pass();
    std::uint32_t readOther(std::uintptr_t offset);
    void writeOther(std::uintptr_t offset, std::uint32_t value);
    std::uint32_t spiRead(std::uintptr_t reg);
    void spiWrite(std::uintptr_t reg, std::uint32_t value);
    std::uint32_t spiStatus() const;
    std::uint32_t readCs();
    // A poll that finds nothing changed: the byte shifting runs to its last
    // clock, and reaches the chips at the next access (deliver) unless that
    // access clears TA and so cuts it off (cutPending).
    std::uint32_t spin();
    void deliver();
    void cutPending();
    void writeCs(std::uint32_t value);
    std::uint32_t readFifo();
    std::uint32_t emptyFifoRead();
    void writeFifo(std::uint32_t value);
    void fullFifoWrite();
    void endTransfer();
    // The shift register takes the next byte, if it may, from time at.
    void startByte(Nanos at);
    // The byte in the shift register crosses the bus and its answer enters
    // the RX FIFO; the clock moves to the end of its last SCLK period.
    void finishByte();
    // A byte to the chips, what comes back on MISO as the controller reads it.
    std::uint8_t shiftOut(std::uint8_t byte, Nanos time);
    std::uint8_t shiftByte(std::uint8_t byte, Nanos time);
    // Finishes the bytes whose clocks have passed while the clock moved on
    // without the controller (sleeps, the board's own waits).
    void catchUp();
    void spiViolation(const QString& rule);
    void reportSpiPins();

    std::uint32_t timerRead(std::uintptr_t reg);
    void syncTimer();

    static std::atomic<SocEmulator*> current_;

    BoardWiring& wiring_;
    VirtualClock& clock_;
    LineWatch watch_{*this};
    bool root_ = true;
    bool strictDevMem_ = false;

    // The mapped window; blocks absent from it sit at kAbsent.
    std::uint8_t* window_ = nullptr;
    std::uint32_t windowBytes_ = 0;
    std::string device_;
    std::uint32_t offset_ = 0;
    std::uintptr_t gpio_;
    std::uintptr_t spi_;
    std::uintptr_t st_;
    std::vector<std::pair<std::uint8_t*, std::uint32_t>> retired_;

    std::uint64_t accesses_ = 0;
    Nanos timerValidUntil_ = 0;  // the timer words in memory hold the time until then
    struct timespec lastSleep_ {};

    // GPIO
    std::array<std::uint32_t, 6> fsel_{};
    std::uint64_t latch_ = 0;
    std::uint64_t levels_ = 0;
    std::array<std::int8_t, kGpioCount> driven_{};  // what the Pi puts on each line: -1 nothing, 0 low, 1 high

    // SPI0
    std::uint32_t cs_ = 0;
    std::uint32_t clk_ = 0;
    Fifo tx_;
    Fifo rx_;
    Fifo ahead_;  // the chip's answers to the next bytes to shift, where it gave them ahead
    bool shifting_ = false;
    std::uint8_t shifter_ = 0;
    Nanos shiftEnd_ = 0;             // when the byte shifting has had its eight clocks
    std::uint32_t lastStatus_ = 0;   // what the last read of CS returned
    bool touched_ = true;            // CS or CLK written, or the FIFO used, since then
    bool pending_ = false;           // a byte clocked out by a spin, not yet at the chips
    std::uint8_t pendingByte_ = 0;
    bool cut_ = false;               // that byte cut off by TA going
    bool pinsReported_ = false;      // this frame's bytes without the SPI pins are on record
    std::uint64_t shifted_ = 0;      // bytes taken into the shift register
    std::uint64_t stallAfter_ = UINT64_MAX;
    std::optional<std::uint64_t> timerStoppedAt_;  // microseconds

    Mode mode_ = Mode::Plain;
    RepeatedFrame memo_;        // the frame answered from
    bool memoValid_ = false;
    bool memoAllowed_ = true;
    std::uint64_t framesFromMemory_ = 0;
    RepeatedFrame recording_;   // the frame being recorded
    Nanos frameStart_ = 0;
    std::array<Nanos, 3> spentAtStart_{};
    std::uint64_t violationsAtStart_ = 0;
    std::size_t step_ = 0;      // the next of memo_'s steps
    // Which of the bus pins are in alternate function 0, for every byte.
    struct SpiPins {
        bool sclk = false;
        bool mosi = false;
        bool miso = false;
        bool all() const { return sclk && mosi && miso; }
    } spiPins_;
};

}  // namespace sim
