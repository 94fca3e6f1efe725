#pragma once

#include "BoardWiring.h"
#include "VirtualClock.h"
#include "bcm2835_emulation.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
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
// Bytes written to the FIFO while TA is set cross the bus one by one through
// BoardWiring::transfer, which also spends their bus time on the virtual
// clock; the answers queue in the receive FIFO, and the controller stalls
// while that FIFO is full, as the real one does.
//
// The timer and level words are also kept current in the window's memory,
// because the interrupt threads of the layer load them directly.
//
// Constructing an emulator makes it the one the layer reaches (one at a time
// per process); it must outlive the layer's mapping.
class SocEmulator {
public:
    static constexpr unsigned kFifoDepth = 64;

    explicit SocEmulator(BoardWiring& wiring);
    ~SocEmulator();
    SocEmulator(const SocEmulator&) = delete;
    SocEmulator& operator=(const SocEmulator&) = delete;

    static SocEmulator* current() { return current_.load(std::memory_order_acquire); }

    // Whether the emulated process runs as root: only root can open
    // "/dev/mem"; anyone can open "/dev/gpiomem", which holds GPIO alone.
    void setRoot(bool root) { root_ = root; }

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
    volatile std::uint32_t* map(const char* device, std::uint32_t offset, std::uint32_t size);
    void unmap(volatile std::uint32_t* window, std::uint32_t size);
    unsigned geteuid() const { return root_ ? 0 : 1000; }
    int nanosleep(const struct timespec& request);

private:
    // The register primitives of the emulated layer, inlined into its hooks.
    friend std::uint32_t(::bcm2835_emu_read)(volatile std::uint32_t* paddr);
    friend void(::bcm2835_emu_write)(volatile std::uint32_t* paddr, std::uint32_t value);
    std::uint32_t read(volatile std::uint32_t* paddr);
    void write(volatile std::uint32_t* paddr, std::uint32_t value);

    // Keeps the level registers in step with every line change on the board.
    class LineWatch : public WireObserver {
    public:
        explicit LineWatch(SocEmulator& soc) : soc_(soc) {}
        void lineChanged(unsigned pin, bool high) override { soc_.lineChanged(pin, high); }

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

    std::uint32_t spiRead(std::uintptr_t reg);
    void spiWrite(std::uintptr_t reg, std::uint32_t value);
    std::uint32_t spiStatus() const;
    void shift();

    std::uint32_t timerRead(std::uintptr_t reg);
    void syncTimer();

    static std::atomic<SocEmulator*> current_;

    BoardWiring& wiring_;
    LineWatch watch_{*this};
    bool root_ = true;

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
};

}  // namespace sim
