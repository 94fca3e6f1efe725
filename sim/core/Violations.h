#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace sim {

// A breach of a datasheet's rules, as a reader of the datasheet with a logic
// analyser on the wires would note it: a command sent to a busy chip, a
// program without the write-enable latch, chip select raised inside an
// address, the SPI controller stopped while bytes still shift.
struct Violation {
    std::uint64_t busByte = 0;  // the byte on the bus it happened at, numbered as the trace numbers them
    QString where;              // the chip, or the controller
    QString rule;               // what was done against the rules
};

// The violations of one run: all of them counted, the first ones kept.
class Violations {
public:
    static constexpr std::size_t kKept = 16;

    void record(Violation breach);
    void clear();

    std::uint64_t count() const { return count_; }
    const std::vector<Violation>& first() const { return first_; }

    QJsonObject toJson() const;
    static Violations fromJson(const QJsonObject& json);
    // For people: "none", or the count and one line per breach kept.
    QStringList describe() const;

private:
    std::uint64_t count_ = 0;
    std::vector<Violation> first_;
};

// Where a chip reports the rules it sees broken; the wiring stamps each with
// the byte on the bus.
class ViolationWatch {
public:
    virtual ~ViolationWatch() = default;
    virtual void violated(const QString& where, const QString& rule) = 0;
};

}  // namespace sim
