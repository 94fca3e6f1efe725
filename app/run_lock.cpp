#include "run_lock.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Not /run/lock, which every user may write: there anyone could hold,
// plant, remove or replace the lock and keep root's runs out or let two in.
const char* lumo3update_lock_path = "/run/lumo3update/lumo3update.lock";

namespace {
// The system's reason; for a user who may not, also what to do.
QString reason(int error)
{
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    if ((error == EACCES || error == EPERM) && ::geteuid() != 0)
        return text + QStringLiteral(": run lumo3update as root");
    return text;
}

// A directory only its owner (root, or the user who runs) may change.
bool safeDirectory(const QByteArray& dir)
{
    struct stat info {};
    return ::lstat(dir.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           (info.st_uid == 0 || info.st_uid == ::geteuid()) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A run that loses a race with a removal or a replacement of the file tries
// again; this many losses in a row is an attack, not a race.
constexpr int kTries = 8;
}  // namespace

RunLock::RunLock()
{
    const QString path = QString::fromLocal8Bit(lumo3update_lock_path);
    const QByteArray name = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).path());
    // Made by the first run after a boot (/run is emptied at every boot).
    if (::mkdir(dir.constData(), 0755) != 0 && errno != EEXIST) {
        refusal_ = QStringLiteral("lumo3update: can't make the lock's directory %1: %2")
                       .arg(QString::fromLocal8Bit(dir), reason(errno));
        return;
    }
    if (!safeDirectory(dir)) {
        refusal_ = QStringLiteral("lumo3update: can't lock safely: %1 is not a directory that only root or this user "
                                  "can change")
                       .arg(QString::fromLocal8Bit(dir));
        return;
    }
    for (int attempt = 0; attempt < kTries; ++attempt) {
        // Readable by its owner only: a descriptor is all flock() needs.
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            refusal_ = QStringLiteral("lumo3update: can't open the lock %1: %2").arg(path, reason(errno));
            return;
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()) {
            ::close(fd);
            refusal_ = QStringLiteral("lumo3update: can't lock safely: %1 is not a regular file of this user's")
                           .arg(path);
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
                           : QStringLiteral("lumo3update: can't lock %1: %2").arg(path, reason(error));
            return;
        }
        // The file may have been removed or replaced between the open and
        // the lock: a lock on a file the name no longer gives keeps no one
        // out.
        struct stat named {};
        if (::lstat(name.constData(), &named) != 0 || named.st_dev != opened.st_dev ||
            named.st_ino != opened.st_ino) {
            ::close(fd);
            continue;
        }
        const QByteArray text = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
        // The lock holds whether or not the number is recorded: only a second
        // run's message needs it.
        const bool recorded = ::ftruncate(fd, 0) == 0 &&
                              ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) == text.size();
        Q_UNUSED(recorded)
        fd_ = fd;
        current_ = fd;
        return;
    }
    refusal_ = QStringLiteral("lumo3update: can't lock %1: it was removed or replaced at every try").arg(path);
}

int RunLock::current_ = -1;

RunLock::~RunLock()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    current_ = -1;
}
