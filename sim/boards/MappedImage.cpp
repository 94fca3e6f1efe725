#include "MappedImage.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

std::uint8_t* mapFile(int fd, std::size_t size)
{
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
}
}  // namespace

MappedImage::~MappedImage()
{
    ::munmap(data_, size_);
}

std::unique_ptr<MappedImage> MappedImage::create(const QString& path, std::size_t size, QString& error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QStringLiteral("cannot create %1: %2").arg(path, systemError());
        return nullptr;
    }
    std::uint8_t* data = ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? mapFile(fd, size) : nullptr;
    if (!data)
        error = QStringLiteral("cannot size %1: %2").arg(path, systemError());
    ::close(fd);
    if (!data)
        return nullptr;
    std::memset(data, 0xFF, size);
    return std::unique_ptr<MappedImage>(new MappedImage(data, size));
}

std::unique_ptr<MappedImage> MappedImage::open(const QString& path, std::size_t size, QString& error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) != size) {
        error = QStringLiteral("%1 is damaged: %2 bytes, a chip image has %3")
                    .arg(path)
                    .arg(static_cast<qint64>(st.st_size))
                    .arg(static_cast<qulonglong>(size));
        ::close(fd);
        return nullptr;
    }
    std::uint8_t* data = mapFile(fd, size);
    if (!data)
        error = QStringLiteral("cannot map %1: %2").arg(path, systemError());
    ::close(fd);
    if (!data)
        return nullptr;
    return std::unique_ptr<MappedImage>(new MappedImage(data, size));
}

}  // namespace sim
