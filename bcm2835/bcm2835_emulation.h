#pragma once

// The few places where the emulated variant of the layer (built with
// BCM2835_EMULATED) leaves the machine for the SoC emulator of the virtual
// board. Everything else in the layer is the same code in both variants.

#include <cstdint>
#include <ctime>

// Register primitives: the value read from, or written to, the register at paddr.
std::uint32_t bcm2835_emu_read(volatile std::uint32_t* paddr);
void bcm2835_emu_write(volatile std::uint32_t* paddr, std::uint32_t value);

// Stand in for open() and then mmap() of "/dev/mem" or "/dev/gpiomem": 0, or
// -1 with errno set; size bytes at offset, or MAP_FAILED with errno set.
int bcm2835_emu_open(const char* device);
volatile std::uint32_t* bcm2835_emu_map(const char* device, std::uint32_t offset, std::uint32_t size);
void bcm2835_emu_unmap(volatile std::uint32_t* window, std::uint32_t size);

// Stands in for geteuid(): whether the emulated process runs as root.
unsigned bcm2835_emu_geteuid();

// Stands in for nanosleep(): the time passes on the board's virtual clock.
int bcm2835_emu_nanosleep(const struct timespec* request);

// Stands in for clock_gettime(CLOCK_MONOTONIC), in microseconds: the
// kernel's clock, which on the board is the virtual clock.
std::uint64_t bcm2835_emu_monotonic_us();
