// Which board files a path would reach: a file written over a chip image
// takes the memory from under a run that maps it, and leaves the board
// damaged.

#include "BoardFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>
#include <sys/stat.h>

namespace board_tool {

namespace {
struct FileId {
    dev_t device;
    ino_t inode;
};

std::optional<FileId> fileId(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return FileId{info.st_dev, info.st_ino};
}

// Where a path leads once its links are followed, made absolute: for a file
// that does not exist yet, where it would be created.
QString destination(const QString& path)
{
    QFileInfo info(path);
    for (int links = 0; info.isSymLink() && links < 40; ++links)
        info = QFileInfo(info.symLinkTarget());
    const QString dir = info.absoluteDir().canonicalPath();
    return dir.isEmpty() ? QString() : QDir(dir).filePath(info.fileName());
}

}  // namespace

QString boardFileAt(const sim::BoardDirectory& board, const QString& path)
{
    const std::optional<FileId> target = fileId(path);
    const QString leadsTo = destination(path);
    for (const QString& file : board.ownFiles()) {
        const std::optional<FileId> own = fileId(file);
        if (own && target && own->device == target->device && own->inode == target->inode)
            return file;
        if (!leadsTo.isEmpty() && leadsTo == destination(file))
            return file;
    }
    return QString();
}

QString anyBoardFileAt(const QString& path)
{
    const QString leadsTo = destination(path);
    if (leadsTo.isEmpty() || !QFile::exists(QFileInfo(leadsTo).dir().filePath(sim::BoardDirectory::kStateFile)))
        return QString();
    QString error;
    const std::unique_ptr<sim::BoardDirectory> board =
        sim::BoardDirectory::open(QFileInfo(leadsTo).path(), error, sim::BoardDirectory::DamagedFaults::SetAside);
    return board ? boardFileAt(*board, path) : QString();
}

}  // namespace board_tool
