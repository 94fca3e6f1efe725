#include "Violations.h"

#include <QJsonArray>

namespace sim {

void Violations::record(Violation breach)
{
    ++count_;
    if (first_.size() < kKept)
        first_.push_back(std::move(breach));
}

void Violations::clear()
{
    count_ = 0;
    first_.clear();
}

QJsonObject Violations::toJson() const
{
    QJsonArray first;
    for (const Violation& b : first_)
        first.append(QJsonObject{{"bus_byte", static_cast<double>(b.busByte)}, {"where", b.where}, {"rule", b.rule}});
    return {{"count", static_cast<double>(count_)}, {"first", first}};
}

Violations Violations::fromJson(const QJsonObject& json)
{
    Violations violations;
    violations.count_ = static_cast<std::uint64_t>(json.value("count").toDouble());
    for (const QJsonValue& value : json.value("first").toArray()) {
        const QJsonObject b = value.toObject();
        if (violations.first_.size() < kKept)
            violations.first_.push_back({static_cast<std::uint64_t>(b.value("bus_byte").toDouble()),
                                       b.value("where").toString(), b.value("rule").toString()});
    }
    return violations;
}

QStringList Violations::describe() const
{
    if (count_ == 0)
        return {QStringLiteral("none")};
    QStringList lines{count_ > first_.size()
                          ? QStringLiteral("%1, the first %2:").arg(count_).arg(first_.size())
                          : QStringLiteral("%1:").arg(count_)};
    for (const Violation& b : first_)
        lines << QStringLiteral("bus byte %1, %2: %3").arg(b.busByte).arg(b.where, b.rule);
    return lines;
}

}  // namespace sim
