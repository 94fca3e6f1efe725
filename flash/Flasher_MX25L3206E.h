#pragma once

#include "BasePinWorker.h"

#include <bitset>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Driver and updater of the Macronix MX25L3206E SPI NOR flash (4 MiB) that
// holds the Mini Lumo FPGA's configuration. The chip's select line is GPIO 24,
// driven around every frame; the worker's transfers go out on SPI_CS0.
//
//   opcode  command  frame
//   0x06    WREN     opcode
//   0x04    WRDI     opcode
//   0x01    WRSR     opcode, status
//   0x03    READ     opcode, address 23-16, 15-8, 7-0, 65,535 bytes in
//   0x05    RDSR     opcode, status in
//   0x90    REMS     opcode, 0, 0, 0x00, manufacturer ID in, device ID in
//   0x60    CE       opcode
//   0x02    PP       opcode, address 23-16, 15-8, 0x00, 256 data bytes
class Flasher_MX25L3206E {
public:
    enum WEL_bit_state { WEL_SET = 0, WEL_RESET = 1 };

    static constexpr unsigned char PIN_FLASH_CS = 24;
    static constexpr unsigned char PIN_UPDATE_ACTIVE = 25;
    static constexpr unsigned char PIN_FPGA_DONE = 13;

    static constexpr unsigned int MX25_IMAGE_SIZE = 0x3FFFFF;
    static constexpr unsigned int MX25_READ_CHUNK = 0xFFFF;
    // The read-back stops after 64 whole chunks: the image's last 63 bytes
    // and the chip's last 64 are never read.
    static constexpr unsigned int MX25_VERIFIED_SIZE = 64 * MX25_READ_CHUNK;
    static constexpr unsigned int MX25_PAGE_SIZE = 256;
    // Twice the datasheet's longest chip erase (50 s).
    static constexpr unsigned long long MX25_ERASE_BOUND_MS = 100000;
    // Ten times the MX25L32xx family's longest page program (5 ms).
    static constexpr unsigned long long MX25_PAGE_BOUND_MS = 50;
    // Far beyond any status write the family's datasheets allow.
    static constexpr unsigned long long MX25_STATUS_WRITE_BOUND_MS = 500;

    explicit Flasher_MX25L3206E(std::shared_ptr<BasePinWorker> worker);
    ~Flasher_MX25L3206E();

    void read_write_spi(char* tx, char* rx, unsigned int len);
    void set_WEL_status(WEL_bit_state state);
    void write_status_register(std::bitset<8> value);
    void disable_block_protection();
    void enable_block_protection();
    void read_current_firmware_from_plis_to(std::vector<char>& image);
    bool compare_firmwares(const std::vector<char>& image, const std::vector<char>& file);

    int try_flash();
    bool check_PIN_FPGA_DONE();

private:
    // How the chip is waited for after a command that sets its busy bit: a
    // fixed first wait, then one status read per step until the bit clears
    // or the waits add up to the bound.
    struct ReadyWait {
        unsigned long long firstMs;
        unsigned long long stepMs;
        unsigned long long boundMs;
        bool spinner;
    };

    // Steps from the identification to the report; GPIO 25 is high throughout.
    int update_from(const std::string& name);
    // Loads the file into firmware_file; false when it is not to be flashed.
    bool load_file(const std::string& name);
    unsigned char read_status();
    // Returns false when the chip was still busy at the bound.
    bool wait_until_ready(const ReadyWait& wait);
    // Returns false when a page was still being programmed at its bound.
    bool program_file();
    static void sleep_before_done_check();
    // The worker stopped mid-run (SPI0 did not finish a transfer): whatever
    // was read since is not the chip's, and every wait ends unanswered.
    bool hardware_lost() const { return !pin_worker->initialized; }
    int not_flashed_hardware_lost();

    bool worker_ready = false;
    std::vector<char> firmware_file;
    std::vector<char> firmware_before;
    std::vector<char> firmware_after;
    std::mutex spi_mutex;
    std::shared_ptr<BasePinWorker> pin_worker;
};
