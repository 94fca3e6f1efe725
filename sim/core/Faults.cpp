#include "Faults.h"
#include "Number.h"

#include <QJsonValue>

#include <cmath>

namespace sim {

namespace {
constexpr unsigned kDefaultSlowFactor = 10;

QString hex(quint64 value)
{
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

// One number of a fault's arguments, read as the updater reads its
// addresses and lengths: decimal first, else hexadecimal with or without 0x
// (so 010 is ten and 1F000 hexadecimal). Refused with the fault's name and
// the argument's when it is no number or lies outside lowest..highest.
class Argument {
public:
    Argument(const QString& fault, const char* name, bool hexadecimal)
        : fault_(fault), name_(QLatin1String(name)), hexadecimal_(hexadecimal)
    {
    }

    bool read(const QString& text, quint64 lowest, quint64 highest, quint64& value, QString& error) const
    {
        const std::optional<quint64> read = readNumber(text);
        const bool ok = read.has_value();
        value = read.value_or(0);
        if (!ok && !onlyDigits(text)) {
            error = QStringLiteral("%1: %2 '%3' is not a number").arg(fault_, name_, text);
            return false;
        }
        if (!ok || value < lowest || value > highest) {
            error = QStringLiteral("%1: %2 %3 is out of range (%4 to %5)")
                        .arg(fault_, name_, text, shown(lowest), shown(highest));
            return false;
        }
        return true;
    }

private:
    // Digits of a number too large for 64 bits.
    static bool onlyDigits(QString text)
    {
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            text.remove(0, 2);
        for (const QChar c : text)
            if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
                return false;
        return !text.isEmpty();
    }

    QString shown(quint64 value) const { return hexadecimal_ ? hex(value) : QString::number(value); }

    QString fault_;
    QString name_;
    bool hexadecimal_;
};

// A whole number from the saved state, exactly as add() took it.
bool savedNumber(const QJsonValue& value, quint64 lowest, quint64 highest, quint64& out)
{
    const double d = value.toDouble(-1);
    if (!value.isDouble() || d != std::floor(d) || d < static_cast<double>(lowest) ||
        d > static_cast<double>(highest))
        return false;
    out = static_cast<quint64>(d);
    return true;
}

QJsonValue savedValue(quint64 value)
{
    return static_cast<double>(value);
}
}  // namespace

const char* BoardFaults::help()
{
    return "Faults:\n"
           "  flash-absent               the configuration flash does not answer at all\n"
           "  busy-stuck                 the flash's busy bit never clears\n"
           "  program-fail ADDR LEN      bits in this flash range fail to program\n"
           "  read-flip ADDR [MASK]      reads of ADDR come back with MASK's bits flipped (0x01)\n"
           "  slow-chip [FACTOR]         the flash's busy times FACTOR times the typical (10,\n"
           "                             at most 100000)\n"
           "  fpga-never-configures      lumo3: after a reboot pulse the FPGA holds the flash for good\n"
           "  transceiver-absent         minilumo: no AT86 answers\n"
           "  transceiver-other          minilumo: the AT86 is of another part\n"
           "  done-stuck-low             minilumo: the FPGA's DONE line stays low\n"
           "  power-cut BYTES [SEED]     the power goes after BYTES bytes on the bus (at most\n"
           "                             2^53) in the next run; an erase or program under way\n"
           "                             is left partly done (which bytes, from SEED, default 1)\n"
           "  spi0-stalls [BYTES]        the Pi's SPI0 stops after BYTES bytes of each run\n"
           "                             (default 0): nothing shifts and DONE never sets; not\n"
           "                             with run --worker-level\n"
           "Numbers are read as the updater reads them: decimal, else hexadecimal\n"
           "(4096, 1F000, 0x1000). Addresses lie inside the flash.\n";
}

bool BoardFaults::add(QStringList args, const QString& kind, std::uint32_t flashBytes, QString& error)
{
    if (args.isEmpty()) {
        error = QStringLiteral("no fault named");
        return false;
    }
    const QString name = args.takeFirst();
    const auto bad = [&](const QString& why) {
        error = QStringLiteral("%1: %2").arg(name, why);
        return false;
    };
    const auto onlyFor = [&](const char* boardKind) { return kind == QLatin1String(boardKind); };
    const Argument address(name, "ADDR", true);
    const quint64 lastAddress = flashBytes - 1;
    quint64 a = 0;
    quint64 b = 0;
    if (name == QLatin1String("flash-absent") && args.isEmpty()) {
        flash.absent = true;
    } else if (name == QLatin1String("busy-stuck") && args.isEmpty()) {
        flash.busyStuck = true;
    } else if (name == QLatin1String("program-fail") && args.size() == 2) {
        if (!address.read(args[0], 0, lastAddress, a, error) ||
            !Argument(name, "LEN", true).read(args[1], 1, flashBytes - a, b, error))
            return false;
        flash.programFail = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    } else if (name == QLatin1String("read-flip") && (args.size() == 1 || args.size() == 2)) {
        b = 1;
        if (!address.read(args[0], 0, lastAddress, a, error) ||
            (args.size() == 2 && !Argument(name, "MASK", true).read(args[1], 1, 0xFF, b, error)))
            return false;
        flash.readFlip = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint8_t>(b));
    } else if (name == QLatin1String("slow-chip") && args.size() <= 1) {
        a = kDefaultSlowFactor;
        if (!args.isEmpty() && !Argument(name, "FACTOR", false).read(args[0], 1, kMaxSlowFactor, a, error))
            return false;
        flash.slowFactor = static_cast<unsigned>(a);
    } else if (name == QLatin1String("fpga-never-configures") && args.isEmpty()) {
        if (!onlyFor("lumo3"))
            return bad("only a Lumo3 board has a reboot line");
        fpgaNeverConfigures = true;
    } else if ((name == QLatin1String("transceiver-absent") || name == QLatin1String("transceiver-other")) &&
               args.isEmpty()) {
        if (!onlyFor("minilumo"))
            return bad("only a Mini Lumo board has an AT86 transceiver");
        transceiver = name.endsWith(QLatin1String("absent")) ? Transceiver::Absent : Transceiver::OtherPart;
    } else if (name == QLatin1String("done-stuck-low") && args.isEmpty()) {
        if (!onlyFor("minilumo"))
            return bad("only a Mini Lumo board's Pi reads the DONE line");
        doneStuckLow = true;
    } else if (name == QLatin1String("power-cut") && (args.size() == 1 || args.size() == 2)) {
        b = 1;
        if (!Argument(name, "BYTES", false).read(args[0], 1, kMaxPowerCutBytes, a, error) ||
            (args.size() == 2 && !Argument(name, "SEED", false).read(args[1], 0, 0xFFFFFFFF, b, error)))
            return false;
        powerCutAfterBytes = a;
        powerCutSeed = static_cast<std::uint32_t>(b);
    } else if (name == QLatin1String("spi0-stalls") && args.size() <= 1) {
        if (!args.isEmpty() && !Argument(name, "BYTES", false).read(args[0], 0, kMaxPowerCutBytes, a, error))
            return false;
        spiStallAfterBytes = a;
    } else {
        error = QStringLiteral("unknown fault or wrong arguments: %1").arg((QStringList{name} + args).join(' '));
        return false;
    }
    return true;
}

QJsonObject BoardFaults::toJson() const
{
    QJsonObject json;
    if (flash.absent)
        json["flash_absent"] = true;
    if (flash.busyStuck)
        json["busy_stuck"] = true;
    if (flash.programFail)
        json["program_fail"] = QJsonObject{{"address", savedValue(flash.programFail->first)},
                                           {"length", savedValue(flash.programFail->second)}};
    if (flash.readFlip)
        json["read_flip"] = QJsonObject{{"address", savedValue(flash.readFlip->first)},
                                        {"mask", savedValue(flash.readFlip->second)}};
    if (flash.slowFactor != 1)
        json["slow_factor"] = savedValue(flash.slowFactor);
    if (fpgaNeverConfigures)
        json["fpga_never_configures"] = true;
    if (transceiver != Transceiver::Present)
        json["transceiver"] = transceiver == Transceiver::Absent ? "absent" : "other";
    if (doneStuckLow)
        json["done_stuck_low"] = true;
    if (powerCutAfterBytes)
        json["power_cut"] = QJsonObject{{"after_bytes", savedValue(*powerCutAfterBytes)},
                                        {"seed", savedValue(powerCutSeed)}};
    if (spiStallAfterBytes)
        json["spi0_stalls"] = QJsonObject{{"after_bytes", savedValue(*spiStallAfterBytes)}};
    return json;
}

bool BoardFaults::fromJson(const QJsonObject& json, std::uint32_t flashBytes, QString& error)
{
    BoardFaults read;
    QString unreadable;
    const auto number = [&](const QJsonObject& o, const char* path, const char* key, quint64 lowest,
                            quint64 highest, quint64& out) {
        if (unreadable.isEmpty() && !savedNumber(o.value(QLatin1String(key)), lowest, highest, out))
            unreadable = QLatin1String(path);
    };
    quint64 a = 0;
    quint64 b = 0;
    read.flash.absent = json.value("flash_absent").toBool();
    read.flash.busyStuck = json.value("busy_stuck").toBool();
    if (json.contains("program_fail")) {
        const QJsonObject o = json.value("program_fail").toObject();
        number(o, "program_fail.address", "address", 0, flashBytes - 1, a);
        number(o, "program_fail.length", "length", 1, flashBytes - a, b);
        read.flash.programFail = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    }
    if (json.contains("read_flip")) {
        const QJsonObject o = json.value("read_flip").toObject();
        number(o, "read_flip.address", "address", 0, flashBytes - 1, a);
        number(o, "read_flip.mask", "mask", 1, 0xFF, b);
        read.flash.readFlip = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint8_t>(b));
    }
    if (json.contains("slow_factor")) {
        number(json, "slow_factor", "slow_factor", 1, kMaxSlowFactor, a);
        read.flash.slowFactor = static_cast<unsigned>(a);
    }
    read.fpgaNeverConfigures = json.value("fpga_never_configures").toBool();
    const QString t = json.value("transceiver").toString();
    read.transceiver = t == QLatin1String("absent")  ? Transceiver::Absent
                       : t == QLatin1String("other") ? Transceiver::OtherPart
                                                     : Transceiver::Present;
    read.doneStuckLow = json.value("done_stuck_low").toBool();
    if (json.contains("power_cut")) {
        const QJsonObject o = json.value("power_cut").toObject();
        number(o, "power_cut.after_bytes", "after_bytes", 1, kMaxPowerCutBytes, a);
        number(o, "power_cut.seed", "seed", 0, 0xFFFFFFFF, b);
        read.powerCutAfterBytes = a;
        read.powerCutSeed = static_cast<std::uint32_t>(b);
    }
    if (json.contains("spi0_stalls")) {
        number(json.value("spi0_stalls").toObject(), "spi0_stalls.after_bytes", "after_bytes", 0, kMaxPowerCutBytes, a);
        read.spiStallAfterBytes = a;
    }
    if (!unreadable.isEmpty()) {
        error = QStringLiteral("the faults are unreadable (%1)").arg(unreadable);
        return false;
    }
    *this = read;
    return true;
}

QStringList BoardFaults::describe() const
{
    QStringList out;
    if (flash.absent)
        out << "flash absent";
    if (flash.busyStuck)
        out << "flash busy bit stuck";
    if (flash.programFail)
        out << QStringLiteral("program fails in %1 bytes from %2").arg(flash.programFail->second).arg(hex(flash.programFail->first));
    if (flash.readFlip)
        out << QStringLiteral("reads of %1 flip bits %2").arg(hex(flash.readFlip->first), hex(flash.readFlip->second));
    if (flash.slowFactor != 1)
        out << QStringLiteral("slow chip (busy times x%1)").arg(flash.slowFactor);
    if (fpgaNeverConfigures)
        out << "FPGA never finishes configuring";
    if (transceiver == Transceiver::Absent)
        out << "transceiver absent";
    if (transceiver == Transceiver::OtherPart)
        out << "transceiver of another part";
    if (doneStuckLow)
        out << "DONE stuck low";
    if (powerCutAfterBytes)
        out << QStringLiteral("power cut after %1 bus bytes (seed %2)").arg(*powerCutAfterBytes).arg(powerCutSeed);
    if (spiStallAfterBytes)
        out << QStringLiteral("SPI0 stalls after %1 bus bytes").arg(*spiStallAfterBytes);
    return out;
}

}  // namespace sim
