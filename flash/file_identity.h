#pragma once

#include <QFile>
#include <QString>

#include <optional>
#include <sys/stat.h>

// What a firmware file was when the run read it: a name that later refers to
// another file, or to the same one changed, is a firmware that arrived during
// the run (a new file moved in over the old name), which must stay for the
// next run instead of being deleted unapplied.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;

    static std::optional<FileIdentity> of(const QString& name)
    {
        struct stat info {};
        if (::stat(QFile::encodeName(name).constData(), &info) != 0)
            return std::nullopt;
        return FileIdentity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    }

    bool sameAs(const std::optional<FileIdentity>& other) const
    {
        return other && other->device == device && other->inode == inode && other->size == size &&
               other->modified.tv_sec == modified.tv_sec && other->modified.tv_nsec == modified.tv_nsec;
    }
};
