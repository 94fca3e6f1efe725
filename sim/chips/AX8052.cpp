#include "AX8052.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace sim {

namespace {
bool writeWhole(const QString& path, const QByteArray& contents, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
}  // namespace

bool AX8052::load(const QString& boardDir, const IntelHex& firmware, QString& error)
{
    const QByteArray image = firmware.image(kFlashSize);
    const QByteArray used = image.left(static_cast<int>(firmware.extent()));
    const QJsonObject state{{"firmware_bytes", static_cast<double>(used.size())},
                            {"sha256", QString::fromLatin1(QCryptographicHash::hash(used, QCryptographicHash::Sha256).toHex())}};
    return writeWhole(QDir(boardDir).filePath(kImageFile), image, error) &&
           writeWhole(QDir(boardDir).filePath(kStateFile), QJsonDocument(state).toJson(), error);
}

QJsonObject AX8052::status(const QString& boardDir)
{
    QFile file(QDir(boardDir).filePath(kStateFile));
    if (!file.open(QIODevice::ReadOnly))
        return {{"firmware_bytes", 0}};
    return QJsonDocument::fromJson(file.readAll()).object();
}

}  // namespace sim
