#include "removable_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QString> whyNotRemovable(const QString& name)
{
    const QByteArray directory = QFile::encodeName(QFileInfo(name).absolutePath());
    // access() answers for the real user, which the updater runs as, and
    // says EROFS for a read-only mount even to root.
    if (::access(directory.constData(), W_OK | X_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat dir {};
    struct stat file {};
    if (::stat(directory.constData(), &dir) != 0 || ::lstat(QFile::encodeName(name).constData(), &file) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    // In a sticky directory (/tmp) only the owner of the file or of the
    // directory, or root, may delete.
    const uid_t user = ::geteuid();
    if ((dir.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user && dir.st_uid != user)
        return QStringLiteral("the directory is sticky and the file is another user's");
    return std::nullopt;
}
