#include "WholeFile.h"

#include <QSaveFile>

#include <cerrno>
#include <cstring>

namespace sim {

bool writeWholeFile(const QString& path, const QByteArray& contents, QString& error)
{
    // Unbuffered, so that each write's failure is seen: a failed flush of a
    // buffered one does not stop the commit.
    QSaveFile file(path);
    errno = 0;
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(contents) == contents.size() &&
        file.error() == QFileDevice::NoError && file.commit())
        return true;
    // Qt does not always keep the system's reason.
    error = QStringLiteral("cannot write %1: %2")
                .arg(path, errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString());
    file.cancelWriting();
    return false;
}

}  // namespace sim
