#pragma once

#include <QString>

#include <optional>

// Why the firmware file name could not be deleted after it is applied, or
// nothing when it can. A file that stays after a good update is applied
// again at the next run: the unattended run at every boot would erase and
// write the same image, power-cut window and all, for ever.
std::optional<QString> whyNotRemovable(const QString& name);
