#pragma once

#include <QByteArray>
#include <QString>

namespace sim {

// Writes contents to path whole or not at all: into a file beside it that
// replaces path only once every byte is on the disk. A full disk keeps the
// earlier file. False, with the system's reason in error, when it failed.
bool writeWholeFile(const QString& path, const QByteArray& contents, QString& error);

}  // namespace sim
