#pragma once

#include "BoardWiring.h"
#include "Faults.h"
#include "VirtualClock.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace sim {

// One virtual board of some kind: its clock, its wiring to the Pi, the chips
// and the FPGA on it. The chips' memories live in mapped image files that the
// board directory owns; everything else is saved as JSON between runs.
class VirtualBoard {
public:
    virtual ~VirtualBoard() = default;

    virtual QString kind() const = 0;
    // Makes the board's FPGA a part with this IDCODE; false for a board whose
    // FPGA part is not modelled.
    virtual bool setPart(std::uint32_t) { return false; }

    VirtualClock& clock() { return clock_; }
    BoardWiring& wiring() { return wiring_; }
    // The faults in force; the chips look at them on every access.
    BoardFaults& faults() { return faults_; }

    // The program has ended: let the chips and the FPGA finish what they
    // would finish on their own with the power still on.
    virtual void finishRun() = 0;
    // Power off and on: the FPGA configures from the flash as it is now.
    virtual void powerCycle() = 0;
    // The power goes in the middle of a run: the chips keep what they hold,
    // an operation under way is left partly done, the FPGA goes dark.
    virtual void cutPower(std::uint32_t seed) = 0;
    // A name for a GPIO line the board uses, for traces; empty for others.
    virtual QString lineName(unsigned pin) const = 0;

    virtual QJsonObject saveState() = 0;
    virtual bool restoreState(const QJsonObject& state, QString& error) = 0;
    // The board's part of `status --json` ("fpga" and the chips).
    virtual QJsonObject status() = 0;
    // The same for people, one line each.
    virtual QStringList describe() = 0;

protected:
    BoardFaults faults_;
    VirtualClock clock_;
    BoardWiring wiring_{clock_};
};

}  // namespace sim
