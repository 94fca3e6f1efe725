// The run lock against another user of the Pi: nobody but root may hold,
// plant, remove or replace it, and a run as that user refuses with why.

#include "run_lock.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

// What `attempt` gives (an errno, 0 for success) when a user other than
// root makes it, in a child process that becomes that user.
int asAnotherUser(const std::function<int()>& attempt)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(255);
        ::_exit(attempt());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

int errnoOf(int result)
{
    return result < 0 ? errno : 0;
}

TEST(RunLockUsers, AnotherUserCanNeitherBlockNorSlipPastTheLock)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to be another user";
    QTemporaryDir top;
    const QString dirPath = top.filePath("run");
    const QByteArray dir = QFile::encodeName(dirPath);
    const QByteArray lock = dir + "/lumo3update.lock";
    lumo3update_lock_path = lock.constData();
    const QByteArray other = dir + "/other";
    ASSERT_EQ(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);

    struct Row {
        const char* name;
        bool rootHolds;  // a root run holds the lock during the attempt
        std::function<int()> attempt;
    };
    const Row rows[] = {
        {"hold it", false,
         [&] {
             const int fd = ::open(lock.constData(), O_RDONLY);
             return fd < 0 ? errno : errnoOf(::flock(fd, LOCK_EX | LOCK_NB));
         }},
        {"plant a file before root's first run", false,
         [&] { return errnoOf(::open(lock.constData(), O_CREAT | O_WRONLY, 0644)); }},
        {"plant a symlink", false, [&] { return errnoOf(::symlink("/etc/passwd", other.constData())); }},
        {"remove it while root holds it", true, [&] { return errnoOf(::unlink(lock.constData())); }},
        {"move another file over it", true, [&] { return errnoOf(::rename("/dev/null", lock.constData())); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ::unlink(lock.constData());
        ::rmdir(dir.constData());
        std::unique_ptr<RunLock> holder;
        if (r.rootHolds) {
            holder = std::make_unique<RunLock>();
            ASSERT_TRUE(holder->held()) << holder->refusal().toStdString();
        } else if (QLatin1String(r.name) == QLatin1String("hold it")) {
            ASSERT_TRUE(RunLock().held());  // the file is there, from an earlier run
        } else {
            ASSERT_EQ(::mkdir(dir.constData(), 0755), 0);
        }
        EXPECT_NE(asAnotherUser(r.attempt), 0);
        // Root's next run finds the lock as its own: free, or held by root.
        const RunLock next;
        EXPECT_EQ(next.held(), !r.rootHolds) << next.refusal().toStdString();
    }

    // That user's own run refuses, saying why, and creates nothing.
    ::unlink(lock.constData());
    EXPECT_EQ(asAnotherUser([] {
                  const RunLock run;
                  return run.refusal().startsWith("lumo3update: can't open the lock ") &&
                          run.refusal().endsWith(": Permission denied: run lumo3update as root")
                      ? 0
                      : 1;
              }),
              0);
    EXPECT_FALSE(QFile::exists(QString::fromLocal8Bit(lock)));

    // A directory others may write is refused before anything is opened in it.
    ASSERT_EQ(::chmod(dir.constData(), 01777), 0);
    const RunLock shared;
    EXPECT_FALSE(shared.held());
    EXPECT_EQ(shared.refusal(),
              "lumo3update: can't lock safely: " + dirPath +
                  " is not a directory that only root or this user can change");
}

}  // namespace
