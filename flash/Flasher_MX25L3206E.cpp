#include "Flasher_MX25L3206E.h"

#include "file_identity.h"
#include "held_end_signals.h"
#include "removable_file.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <new>
#include <optional>
#include <string>

#include <unistd.h>

namespace {
constexpr char kWriteEnable = 0x06;
constexpr char kWriteDisable = 0x04;
constexpr char kWriteStatus = 0x01;
constexpr char kRead = 0x03;
constexpr char kReadStatus = 0x05;
constexpr char kReadIds = static_cast<char>(0x90);
// What REMS answers for the MX25L3206E: Macronix, and the part.
constexpr unsigned int kManufacturerId = 0xC2;
constexpr unsigned int kDeviceId = 0x15;
constexpr char kChipErase = 0x60;
constexpr char kPageProgram = 0x02;

constexpr unsigned char kWriteInProgress = 0x01;

constexpr unsigned int kCommandBytes = 4;  // opcode and a 24-bit address
constexpr unsigned int kPageFrame = kCommandBytes + Flasher_MX25L3206E::MX25_PAGE_SIZE;
constexpr unsigned int kReadFrame = kCommandBytes + Flasher_MX25L3206E::MX25_READ_CHUNK;

constexpr unsigned long long kLatchWaitMs = 6;
constexpr unsigned long long kStatusWriteWaitMs = 10;
constexpr unsigned long long kEraseStartWaitMs = 30;
constexpr unsigned long long kErasePollWaitMs = 10;
constexpr unsigned long long kPageWaitMs = 3;
constexpr unsigned long long kBusyPollWaitMs = 1;
constexpr long kDoneCheckSleepNs = 10 * 1000 * 1000;

const char kSpinner[] = {'|', '/', '-', '\\', '|', '/', '-', '\\'};

void putAddress(char* frame, unsigned int address)
{
    frame[1] = static_cast<char>((address >> 16) & 0xFF);
    frame[2] = static_cast<char>((address >> 8) & 0xFF);
    frame[3] = static_cast<char>(address & 0xFF);
}

unsigned int asByte(char c)
{
    return static_cast<unsigned char>(c);
}

// Says what ended the update early. Plain stream output of literals, since
// memory may be what ran out.
void report_stopped() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        std::cout << "Update stopped: out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cout << "Update stopped: " << e.what() << std::endl;
    } catch (...) {
        std::cout << "Update stopped by an unknown error" << std::endl;
    }
}
}  // namespace

Flasher_MX25L3206E::Flasher_MX25L3206E(std::shared_ptr<BasePinWorker> worker) : pin_worker(std::move(worker))
{
    worker_ready = pin_worker->initialized;
}

Flasher_MX25L3206E::~Flasher_MX25L3206E()
{
    worker_ready = false;
}

void Flasher_MX25L3206E::read_write_spi(char* tx, char* rx, unsigned int len)
{
    const std::lock_guard<std::mutex> lock(spi_mutex);
    pin_worker->set_pin_state(PIN_FLASH_CS, PIN_LOW);
    pin_worker->read_write_spi(tx, rx, SPI_CS0, len);
    pin_worker->set_pin_state(PIN_FLASH_CS, PIN_HIGH);
}

void Flasher_MX25L3206E::set_WEL_status(WEL_bit_state state)
{
    if (!worker_ready)
        return;
    char tx[1] = {state == WEL_SET ? kWriteEnable : kWriteDisable};
    char rx[1] = {};
    read_write_spi(tx, rx, sizeof tx);
    pin_worker->delay_ms(kLatchWaitMs);
}

void Flasher_MX25L3206E::write_status_register(std::bitset<8> value)
{
    if (!worker_ready)
        return;
    set_WEL_status(WEL_SET);
    char tx[2] = {kWriteStatus, static_cast<char>(value.to_ulong())};
    char rx[2] = {};
    read_write_spi(tx, rx, sizeof tx);
    // A WRDI sent while the chip still writes is ignored, and so would be
    // the commands after it.
    if (!wait_until_ready({kStatusWriteWaitMs, kBusyPollWaitMs, MX25_STATUS_WRITE_BOUND_MS, false}) &&
        !hardware_lost())
        std::cout << "Status register write not finished after " << MX25_STATUS_WRITE_BOUND_MS << " ms"
                  << std::endl;
    set_WEL_status(WEL_RESET);
}

void Flasher_MX25L3206E::disable_block_protection()
{
    write_status_register(std::bitset<8>("00000011"));
}

void Flasher_MX25L3206E::enable_block_protection()
{
    write_status_register(std::bitset<8>("00111111"));
}

void Flasher_MX25L3206E::read_current_firmware_from_plis_to(std::vector<char>& image)
{
    std::cout << "begin read current firmware..." << std::endl;
    disable_block_protection();
    image.assign(MX25_IMAGE_SIZE, 0);
    std::vector<char> tx(kReadFrame, 0);
    std::vector<char> rx(kReadFrame);
    for (unsigned int offset = 0; offset != MX25_VERIFIED_SIZE; offset += MX25_READ_CHUNK) {
        std::fill(rx.begin(), rx.end(), 0);
        tx[0] = kRead;
        putAddress(tx.data(), offset);
        read_write_spi(tx.data(), rx.data(), kReadFrame);
        std::copy(rx.begin() + kCommandBytes, rx.end(), image.begin() + offset);
    }
    std::cout << "current firmware read" << std::endl;
}

bool Flasher_MX25L3206E::compare_firmwares(const std::vector<char>& image, const std::vector<char>& file)
{
    if (image.empty() || file.empty())
        return false;
    // A file longer than the image cannot equal its start.
    const bool same = file.size() <= image.size() && std::equal(file.begin(), file.end(), image.begin());
    std::cout << "comparing:" << " res=" << std::boolalpha << same << std::endl;
    return same;
}

bool Flasher_MX25L3206E::check_PIN_FPGA_DONE()
{
    if (!worker_ready) {
        qDebug() << "PIN_FPGA_DONE NOT OK";
        return false;
    }
    PIN_State done;
    {
        const std::lock_guard<std::mutex> lock(spi_mutex);
        done = pin_worker->get_pin_state(PIN_FPGA_DONE);
    }
    if (done == PIN_HIGH) {
        qDebug() << "PIN_FPGA_DONE OK";
        return true;
    }
    qDebug() << "PIN_FPGA_DONE NOT OK";
    return false;
}

unsigned char Flasher_MX25L3206E::read_status()
{
    char tx[2] = {kReadStatus, 0};
    char rx[2] = {};
    read_write_spi(tx, rx, sizeof tx);
    return static_cast<unsigned char>(rx[1]);
}

bool Flasher_MX25L3206E::wait_until_ready(const ReadyWait& wait)
{
    // Time is counted in the waits themselves, so the bound means the same on
    // the Pi and on a worker whose delays cost no wall time.
    pin_worker->delay_ms(wait.firstMs);
    unsigned long long waitedMs = wait.firstMs;
    for (;;) {
        const bool busy = read_status() & kWriteInProgress;
        // A status that never came from the chip says nothing of it.
        if (hardware_lost())
            return false;
        if (!busy)
            return true;
        if (wait.spinner)
            for (char frame : kSpinner)
                std::cout << "erasing... " << frame << " \r";
        if (waitedMs >= wait.boundMs)
            return false;
        pin_worker->delay_ms(wait.stepMs);
        waitedMs += wait.stepMs;
    }
}

bool Flasher_MX25L3206E::program_file()
{
    disable_block_protection();
    set_WEL_status(WEL_SET);
    std::cout << "flash_() flashing..." << std::endl;
    std::array<char, kPageFrame> tx;
    std::array<char, kPageFrame> rx{};

    const std::size_t size = firmware_file.size();
    const std::size_t full = size / MX25_PAGE_SIZE;
    auto programPage = [&](std::size_t page, std::size_t bytes) {
        set_WEL_status(WEL_SET);
        tx.fill(static_cast<char>(0xFF));
        tx[0] = kPageProgram;
        tx[1] = static_cast<char>((page >> 8) & 0xFF);
        tx[2] = static_cast<char>(page & 0xFF);
        tx[3] = 0x00;
        const auto from = firmware_file.begin() + static_cast<std::ptrdiff_t>(page * MX25_PAGE_SIZE);
        std::copy(from, from + static_cast<std::ptrdiff_t>(bytes), tx.begin() + kCommandBytes);
        read_write_spi(tx.data(), rx.data(), kPageFrame);
        // A chip still busy would ignore the next page's WREN and then the
        // page itself: every page is waited for.
        if (wait_until_ready({kPageWaitMs, kBusyPollWaitMs, MX25_PAGE_BOUND_MS, false}))
            return true;
        if (hardware_lost())
            return false;
        std::cout << "Page program not finished after " << MX25_PAGE_BOUND_MS << " ms at 0x" << std::hex
                  << std::setw(6) << std::setfill('0') << page * MX25_PAGE_SIZE << ", programming stopped"
                  << std::endl
                  << std::dec << std::setfill(' ');
        return false;
    };
    bool programmed = true;
    for (std::size_t page = 0; page < full && programmed; ++page)
        programmed = programPage(page, MX25_PAGE_SIZE);
    if (programmed && size % MX25_PAGE_SIZE != 0)
        programmed = programPage(full, size % MX25_PAGE_SIZE);

    set_WEL_status(WEL_RESET);
    enable_block_protection();
    std::cout << "End of flash_()" << std::endl;
    return programmed;
}

void Flasher_MX25L3206E::sleep_before_done_check()
{
    timespec request{0, kDoneCheckSleepNs};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

int Flasher_MX25L3206E::try_flash()
{
    if (!worker_ready)
        return -1;

    // An exception leaving this function would end the program without
    // unwinding anything: GPIO 25 would stay high, and nothing would say why.
    bool updateActive = false;
    try {
        // A directory, FIFO or device so named is no firmware: choosing it
        // would fail every run and keep the real file from being applied.
        QStringList entries;
        for (const QString& entry : QDir(QString()).entryList({"*.bin"})) {
            if (QFileInfo(entry).isFile())
                entries << entry;
            else
                qDebug() << "Flasher:" << entry << "is not a regular file, passed over";
        }
        if (entries.isEmpty()) {
            qDebug() << "No *.bin files for firmware";
            return -1;
        }
        const std::string name = entries.first().toUtf8().toStdString();
        if (const std::optional<QString> why = whyNotRemovable(entries.first())) {
            qDebug().noquote() << "Flasher:" << entries.first() << "can't be removed (" + *why + "), flash not erased";
            return -1;
        }

        check_PIN_FPGA_DONE();
        pin_worker->set_pin_state(PIN_UPDATE_ACTIVE, PIN_HIGH);
        updateActive = true;
        const int result = update_from(name);
        pin_worker->release_output(PIN_UPDATE_ACTIVE);
        return result;
    } catch (...) {
        report_stopped();
    }
    if (updateActive) {
        // The worker may be what failed; the line is tried all the same.
        try {
            pin_worker->release_output(PIN_UPDATE_ACTIVE);
        } catch (...) {
            report_stopped();
        }
    }
    return -1;
}

int Flasher_MX25L3206E::update_from(const std::string& name)
{
    disable_block_protection();
    char tx[6] = {kReadIds, 0, 0, 0x00, 0, 0};
    char rx[6] = {};
    read_write_spi(tx, rx, sizeof tx);
    if (hardware_lost())
        return not_flashed_hardware_lost();
    std::cout << "REMS. Manufacturer ID: " << std::hex << asByte(rx[4]) << ", Device ID: " << asByte(rx[5])
              << std::endl
              << std::dec;
    // An absent or held chip reads ff ff: its erase would be waited out for
    // its whole bound and the run would still fail.
    if (asByte(rx[4]) != kManufacturerId || asByte(rx[5]) != kDeviceId) {
        std::cout << "Flash is not an MX25L3206E (REMS " << std::hex << asByte(rx[4]) << ' ' << asByte(rx[5])
                  << ", expected c2 15), flash not erased" << std::endl
                  << std::dec;
        return -1;
    }

    read_current_firmware_from_plis_to(firmware_before);

    const std::optional<FileIdentity> read = FileIdentity::of(QString::fromStdString(name));
    if (!load_file(name))
        return -1;

    const bool same = compare_firmwares(firmware_before, firmware_file);

    // The run holds its end signals (see lumo3updateMain); one asked for by
    // now ends the run here, before anything of the chip is changed.
    if (HeldEndSignals::endAsked()) {
        qDebug() << "Firmware not flashed. " << "Asked to end before the erase: flash unchanged.";
        return -1;
    }

    // From the erase to the read-back the chip holds no firmware that works.
    std::optional<HeldEndSignals> held(std::in_place);
    std::cout << "begin erasing..." << std::endl;
    disable_block_protection();
    set_WEL_status(WEL_SET);
    char erase[1] = {kChipErase};
    char eraseRx[1] = {};
    read_write_spi(erase, eraseRx, sizeof erase);
    // Polling flat out would print megabytes of spinner per second of erase.
    // The spinner is for a person watching a terminal: in the journal or a
    // log file its redraws would be one line of thousands of carriage returns.
    const bool spinner = ::isatty(STDOUT_FILENO) == 1;
    const bool erased = wait_until_ready({kEraseStartWaitMs, kErasePollWaitMs, MX25_ERASE_BOUND_MS, spinner});
    std::cout << std::endl;
    if (!erased && !hardware_lost())
        std::cout << "Chip erase not finished after " << MX25_ERASE_BOUND_MS << " ms, flash not programmed"
                  << std::endl;
    set_WEL_status(WEL_RESET);
    enable_block_protection();
    bool programmed = false;
    if (erased) {
        qDebug() << "Firmware erased";
        programmed = program_file();
    }

    read_current_firmware_from_plis_to(firmware_after);
    const bool ok = compare_firmwares(firmware_after, firmware_file);
    held.reset();

    sleep_before_done_check();
    const bool done = check_PIN_FPGA_DONE();

    if (hardware_lost())
        return not_flashed_hardware_lost();
    // An operation abandoned at its bound may still be under way in the
    // chip, so no read-back can make that run a success; and saying the
    // file was already in the chip would hide that the chip was erased.
    if (!erased || !programmed || !ok) {
        qDebug() << "Firmware not flashed. "
                 << (!erased       ? "Chip erase not finished."
                     : !programmed ? "Page program not finished."
                     : same        ? "Current firmware is same in file."
                                   : "Error on flashing firmware.");
        return -1;
    }
    qDebug() << "Firmware flashed! is_PIN_FPGA_DONE=" << done;
    // Asked to end meanwhile: the run ends as the signal asks, with the
    // file kept, as when it comes just before the deletion.
    if (HeldEndSignals::endAsked()) {
        qDebug() << "Flasher:" << QString::fromStdString(name) << "kept: asked to end";
        return -1;
    }
    // A file moved in over the name meanwhile was never applied.
    if (!read || !read->sameAs(FileIdentity::of(QString::fromStdString(name)))) {
        qDebug() << "Flasher:" << QString::fromStdString(name) << "changed during the update, kept for the next run";
        return 0;
    }
    if (std::remove(name.c_str()) != 0)
        std::perror("Can't delete file");
    return 0;
}

int Flasher_MX25L3206E::not_flashed_hardware_lost()
{
    qDebug() << "Firmware not flashed. " << "SPI0 stopped.";
    return -1;
}

bool Flasher_MX25L3206E::load_file(const std::string& name)
{
    std::cout << "Loading firmware from file " << name << "..." << std::endl;
    if (name.empty()) {
        std::cout << "File " << name << " not exsists" << std::endl;
        return false;
    }
    firmware_file.clear();
    // Looked at before the open: opening a FIFO blocks, a device can be read
    // for ever, and Linux opens a directory as if it were an empty file.
    const QFileInfo info(QString::fromStdString(name));
    if (info.exists() && !info.isFile()) {
        std::cout << name << " is not a regular file!" << std::endl;
        return false;
    }
    std::ifstream file(name, std::ios::binary);
    if (!file.is_open()) {
        std::cout << "File " << name << " not opened: " << std::strerror(errno) << std::endl;
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    std::cout << "file size = " << size << std::endl;

    // Refused by its size, before anything is read or erased: an empty file
    // would leave the FPGA without a configuration, bytes beyond the
    // read-back could never be verified, and a huge file is never loaded.
    if (size == 0) {
        std::cout << "File " << name << " is empty, flash not erased" << std::endl;
        return false;
    }
    if (size > static_cast<std::streamoff>(MX25_VERIFIED_SIZE)) {
        std::cout << "File " << name << " is too large (" << size << " bytes, at most " << MX25_VERIFIED_SIZE
                  << "), flash not erased" << std::endl;
        return false;
    }
    firmware_file.resize(static_cast<std::size_t>(size));
    file.read(firmware_file.data(), size);
    if (file.gcount() != size) {
        firmware_file.clear();
        std::cout << "Can't read file " << name << "!" << std::endl;
        return false;
    }
    file.close();
    std::cout << "File loaded" << std::endl;
    return true;
}
