#include "run_lock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

const char* lumo3update_lock_path = "/run/lock/lumo3update.lock";

RunLock::RunLock()
{
    const QString path = QString::fromLocal8Bit(lumo3update_lock_path);
    // /run/lock is made at boot; a root without it (a chroot) gets one.
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    // A run as another user than the one who made the file (root, at boot)
    // locks it all the same, through a descriptor it may only read: its own
    // refusal (no /dev/mem) is the one to tell, not the lock's.
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        refusal_ = QStringLiteral("lumo3update: can't open the lock %1: %2").arg(path, why);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char pid[32] = {};
        const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        refusal_ = error == EWOULDBLOCK
                       ? QStringLiteral("lumo3update is already running (pid %1)")
                             .arg(n > 0 ? QString::fromLatin1(pid).trimmed() : QStringLiteral("unknown"))
                       : QStringLiteral("lumo3update: can't lock %1: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
    const QByteArray text = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
    // The lock holds whether or not the number is recorded: only a second
    // run's message needs it.
    const bool recorded =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) == text.size();
    Q_UNUSED(recorded)
    fd_ = fd;
}

RunLock::~RunLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}
