#pragma once

#include "MappedImage.h"
#include "VirtualBoard.h"
#include "BoardCatalog.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

// A board kept in a directory: one raw image file per chip and state.json
// with everything else (FPGA state, virtual clock, the last run's time).
class BoardDirectory {
public:
    static constexpr const char* kStateFile = "state.json";

    // What open() does with a board whose saved faults are unreadable: refuse
    // it, or open it with no faults and say why (for `status` and for
    // `fault --clear`, which mends it).
    enum class DamagedFaults { Refuse, SetAside };

    // part: the IDCODE of the board's FPGA, for a kind that models it.
    static bool create(const QString& dir, const QString& kind, QString& error,
                       std::optional<std::uint32_t> part = std::nullopt);
    static std::unique_ptr<BoardDirectory> open(const QString& dir, QString& error,
                                                DamagedFaults damaged = DamagedFaults::Refuse);

    VirtualBoard& board() { return *board_; }
    const QString& path() const { return dir_; }
    // The size of the configuration flash, the first chip image.
    std::uint32_t flashBytes() const { return static_cast<std::uint32_t>(kind_.images.front().size); }
    // Why the saved faults were set aside; empty when they were read.
    const QString& faultsDamage() const { return faultsDamage_; }
    void clearFaults();
    // The paths of the board's own files, whether they exist yet or not: its
    // state, the chip images, the radio's files and the locks. A run must not
    // write them.
    QStringList ownFiles() const;

    // Marks the start of a run: the modelled time of the run counts from here.
    void beginRun();
    // The run is over: the board finishes what it does on its own, and the
    // run's modelled time is recorded.
    void endRun();
    // The run ended by a power cut: its time is recorded, nothing finishes.
    void endRunByPowerCut();
    bool save(QString& error);

    // Everything `status --json` shows.
    QJsonObject status();
    const Violations& violations() const { return violations_; }

private:
    BoardDirectory(QString dir, const BoardKindInfo& kind) : dir_(std::move(dir)), kind_(kind) {}
    void recordRun();

    QString dir_;
    const BoardKindInfo& kind_;
    std::vector<std::unique_ptr<MappedImage>> images_;
    std::unique_ptr<VirtualBoard> board_;
    QJsonObject lastRun_;
    // The rules of the parts that the last run broke.
    Violations violations_;
    QString faultsDamage_;
    std::array<Nanos, 3> runStart_{};
};

}  // namespace sim
