#include "BoardLock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace board_tool {

bool lockBoard(const QString& dir, QString& refusal)
{
    if (!QDir(dir).exists())
        return true;
    const QByteArray name = QFile::encodeName(QDir(dir).filePath(QStringLiteral("board.lock")));
    // Left open on purpose: the lock goes with the process.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        refusal = QStringLiteral("cannot lock %1: %2").arg(dir, why);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        refusal = QStringLiteral("%1 is in use by another lumo3-board (pid %2)")
                      .arg(dir, n > 0 ? QString::fromLatin1(pid).trimmed() : QStringLiteral("unknown"));
        return false;
    }
    const QByteArray text = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
    const bool recorded =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) == text.size();
    Q_UNUSED(recorded)
    return true;
}

}  // namespace board_tool
