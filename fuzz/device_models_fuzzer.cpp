// The chip models of the virtual board, fed random frames over select,
// exchange and deselect, and the frames they saw decoded by their own
// protocol decoders, as the bus trace does.
//
// Input: one byte choosing the chip (N25Q256, MX25L3206E or AT86), then
// frames, each a length byte, a wait byte and that many MOSI bytes. The wait
// lets virtual time pass before the frame, from none to about a minute, so
// that programs and erases finish or are still running.

#include "FuzzCheck.h"
#include "AT86.h"
#include "MX25L3206E.h"
#include "N25Q256.h"
#include "SpiDevice.h"
#include "VirtualClock.h"

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace {

// As many frame bytes as the bus trace keeps for decoding.
constexpr std::size_t kSampleBytes = 12;

// A fresh, zeroed chip array for every input, so that an input always does
// the same. Mapped rather than allocated: a new 32 MiB allocation per input
// would cost the sanitizer's bookkeeping of all of it, and only the pages a
// frame touches cost anything here. A page without access on either side
// turns an access outside the array into a crash.
class ChipMemory {
public:
    explicit ChipMemory(std::size_t size) : size_(size)
    {
        void* mapping = mmap(nullptr, size_ + 2 * kGuard, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        FUZZ_REQUIRE(mapping != MAP_FAILED);
        base_ = static_cast<std::uint8_t*>(mapping);
        FUZZ_REQUIRE(mprotect(base_ + kGuard, size_, PROT_READ | PROT_WRITE) == 0);
    }
    ~ChipMemory() { munmap(base_, size_ + 2 * kGuard); }
    ChipMemory(const ChipMemory&) = delete;
    ChipMemory& operator=(const ChipMemory&) = delete;

    std::uint8_t* get() const { return base_ + kGuard; }

private:
    static constexpr std::size_t kGuard = 4096;
    std::size_t size_;
    std::uint8_t* base_ = nullptr;
};

void feedFrames(sim::SpiDevice& chip, sim::VirtualClock& clock, const std::uint8_t* data, std::size_t size)
{
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t length = data[at];
        const unsigned wait = data[at + 1];
        at += 2;
        if (wait != 0)
            clock.advance(sim::Nanos{1} << (wait % 36), sim::TimeKind::Wait);

        sim::FrameSample sample;
        chip.select();
        for (std::size_t i = 0; i < length && at < size; ++i, ++at) {
            std::uint8_t miso = 0xFF;
            if (!chip.exchange(data[at], miso))
                miso = 0xFF;
            if (sample.mosi.size() < kSampleBytes) {
                sample.mosi.push_back(data[at]);
                sample.miso.push_back(miso);
            }
            ++sample.length;
            clock.advance(1000, sim::TimeKind::Transfer);
        }
        chip.deselect();
        const sim::FrameMeaning meaning = chip.decode(sample);
        FUZZ_REQUIRE(meaning.data.size() <= sample.mosi.size());
        FUZZ_REQUIRE(meaning.dataLength <= sample.length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    sim::VirtualClock clock;
    switch (data[0] % 3) {
    case 0: {
        const ChipMemory memory(sim::N25Q256::kSize);
        sim::N25Q256 chip(memory.get(), clock);
        feedFrames(chip, clock, data + 1, size - 1);
        break;
    }
    case 1: {
        const ChipMemory memory(sim::MX25L3206E::kSize);
        sim::MX25L3206E chip(memory.get(), clock);
        feedFrames(chip, clock, data + 1, size - 1);
        break;
    }
    default: {
        sim::AT86 chip;
        feedFrames(chip, clock, data + 1, size - 1);
        FUZZ_REQUIRE(chip.reg(sim::AT86::kPartNumberAddress) == 0x34);
        FUZZ_REQUIRE(chip.reg(sim::AT86::kVersionAddress) == 0x03);
        break;
    }
    }
    return 0;
}
