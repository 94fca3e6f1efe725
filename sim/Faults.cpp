#include "Faults.h"

#include <QJsonValue>

namespace sim {

namespace {
constexpr unsigned kDefaultSlowFactor = 10;

bool number(const QString& text, quint64 limit, quint64& value)
{
    bool ok = false;
    value = text.toULongLong(&ok, 0);
    return ok && value <= limit;
}

QString hex(quint64 value)
{
    return QStringLiteral("0x%1").arg(value, 0, 16);
}
}  // namespace

const char* BoardFaults::help()
{
    return "Faults:\n"
           "  flash-absent               the configuration flash does not answer at all\n"
           "  busy-stuck                 the flash's busy bit never clears\n"
           "  program-fail ADDR LEN      bits in this flash range fail to program\n"
           "  read-flip ADDR [MASK]      reads of ADDR come back with MASK's bits flipped (0x01)\n"
           "  slow-chip [FACTOR]         the flash's busy times FACTOR times the typical (10)\n"
           "  fpga-never-configures      lumo3: after a reboot pulse the FPGA holds the flash for good\n"
           "  transceiver-absent         minilumo: no AT86 answers\n"
           "  transceiver-other          minilumo: the AT86 is of another part\n"
           "  done-stuck-low             minilumo: the FPGA's DONE line stays low\n"
           "  power-cut BYTES [SEED]     the power goes after BYTES bytes on the bus in the next\n"
           "                             run; an erase or program under way is left partly done\n"
           "                             (which bytes, from SEED, default 1)\n";
}

bool BoardFaults::add(QStringList args, const QString& kind, QString& error)
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
    quint64 a = 0;
    quint64 b = 0;
    if (name == QLatin1String("flash-absent") && args.isEmpty()) {
        flash.absent = true;
    } else if (name == QLatin1String("busy-stuck") && args.isEmpty()) {
        flash.busyStuck = true;
    } else if (name == QLatin1String("program-fail") && args.size() == 2) {
        if (!number(args[0], 0xFFFFFFFF, a) || !number(args[1], 0xFFFFFFFF, b) || b == 0)
            return bad("needs an address and a length greater than 0");
        flash.programFail = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    } else if (name == QLatin1String("read-flip") && (args.size() == 1 || args.size() == 2)) {
        b = 1;
        if (!number(args[0], 0xFFFFFFFF, a) || (args.size() == 2 && !number(args[1], 0xFF, b)) || b == 0)
            return bad("needs an address and a mask of 1 to 0xff");
        flash.readFlip = std::make_pair(static_cast<std::uint32_t>(a), static_cast<std::uint8_t>(b));
    } else if (name == QLatin1String("slow-chip") && args.size() <= 1) {
        a = kDefaultSlowFactor;
        if (!args.isEmpty() && (!number(args[0], 100000, a) || a < 1))
            return bad("needs a factor from 1 to 100000");
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
        if (!number(args[0], ~0ull, a) || a == 0 || (args.size() == 2 && !number(args[1], 0xFFFFFFFF, b)))
            return bad("needs a byte count greater than 0 and an optional seed");
        powerCutAfterBytes = a;
        powerCutSeed = static_cast<std::uint32_t>(b);
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
        json["program_fail"] = QJsonObject{{"address", static_cast<double>(flash.programFail->first)},
                                           {"length", static_cast<double>(flash.programFail->second)}};
    if (flash.readFlip)
        json["read_flip"] = QJsonObject{{"address", static_cast<double>(flash.readFlip->first)},
                                        {"mask", flash.readFlip->second}};
    if (flash.slowFactor != 1)
        json["slow_factor"] = static_cast<double>(flash.slowFactor);
    if (fpgaNeverConfigures)
        json["fpga_never_configures"] = true;
    if (transceiver != Transceiver::Present)
        json["transceiver"] = transceiver == Transceiver::Absent ? "absent" : "other";
    if (doneStuckLow)
        json["done_stuck_low"] = true;
    if (powerCutAfterBytes)
        json["power_cut"] = QJsonObject{{"after_bytes", static_cast<double>(*powerCutAfterBytes)},
                                        {"seed", static_cast<double>(powerCutSeed)}};
    return json;
}

bool BoardFaults::fromJson(const QJsonObject& json, QString& error)
{
    *this = BoardFaults{};
    const auto u32 = [](const QJsonValue& v) { return static_cast<std::uint32_t>(v.toDouble()); };
    flash.absent = json.value("flash_absent").toBool();
    flash.busyStuck = json.value("busy_stuck").toBool();
    if (json.contains("program_fail")) {
        const QJsonObject o = json.value("program_fail").toObject();
        flash.programFail = std::make_pair(u32(o.value("address")), u32(o.value("length")));
    }
    if (json.contains("read_flip")) {
        const QJsonObject o = json.value("read_flip").toObject();
        flash.readFlip = std::make_pair(u32(o.value("address")), static_cast<std::uint8_t>(o.value("mask").toInt()));
    }
    flash.slowFactor = json.contains("slow_factor") ? u32(json.value("slow_factor")) : 1;
    fpgaNeverConfigures = json.value("fpga_never_configures").toBool();
    const QString t = json.value("transceiver").toString();
    transceiver = t == QLatin1String("absent")  ? Transceiver::Absent
                  : t == QLatin1String("other") ? Transceiver::OtherPart
                                                : Transceiver::Present;
    doneStuckLow = json.value("done_stuck_low").toBool();
    if (json.contains("power_cut")) {
        const QJsonObject o = json.value("power_cut").toObject();
        powerCutAfterBytes = static_cast<std::uint64_t>(o.value("after_bytes").toDouble());
        powerCutSeed = u32(o.value("seed"));
    }
    if (flash.slowFactor < 1 || (powerCutAfterBytes && *powerCutAfterBytes == 0)) {
        error = QStringLiteral("the faults are unreadable");
        return false;
    }
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
    return out;
}

}  // namespace sim
