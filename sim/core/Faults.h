#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace sim {

// What can go wrong with a board's configuration flash.
struct FlashFaults {
    bool absent = false;     // the chip does not answer at all
    bool busyStuck = false;  // its busy bit never clears
    // Bits in this range stay as they are when programmed.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> programFail;  // address, length
    // Reads of this address come back with these bits flipped.
    std::optional<std::pair<std::uint32_t, std::uint8_t>> readFlip;  // address, mask
    unsigned slowFactor = 1;  // busy times this many times the typical ones

    bool programFails(std::uint32_t address) const
    {
        return programFail && address >= programFail->first && address - programFail->first < programFail->second;
    }
};

// The faults injected into a board (`lumo3-board fault`), kept with the board
// until cleared. A power cut is spent by the run it ends.
struct BoardFaults {
    enum class Transceiver { Present, Absent, OtherPart };

    // Counts up to 2^53 survive the JSON of the board's state, whose numbers
    // are doubles; no run comes near it.
    static constexpr std::uint64_t kMaxPowerCutBytes = 1ull << 53;
    static constexpr unsigned kMaxSlowFactor = 100000;

    FlashFaults flash;
    bool fpgaNeverConfigures = false;                 // Lumo3
    Transceiver transceiver = Transceiver::Present;   // Mini Lumo
    bool doneStuckLow = false;                        // Mini Lumo
    std::optional<std::uint64_t> powerCutAfterBytes;  // either board
    std::uint32_t powerCutSeed = 1;
    // The Pi's SPI0 controller stops after this many bytes of a run: none
    // shifts any more and DONE never sets. Modelled by the SoC emulator, so
    // only in runs at register level.
    std::optional<std::uint64_t> spiStallAfterBytes;

    QJsonObject toJson() const;
    // Every value must be one that add() accepts for a flash of flashBytes;
    // otherwise nothing changes and error names the first value that is not.
    bool fromJson(const QJsonObject& json, std::uint32_t flashBytes, QString& error);
    QStringList describe() const;

    // Adds the fault named by args (the `fault` command's arguments) for a
    // board of the given kind, whose configuration flash holds flashBytes.
    bool add(QStringList args, const QString& kind, std::uint32_t flashBytes, QString& error);
    static const char* help();
};

}  // namespace sim
