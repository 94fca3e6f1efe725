#pragma once

// A fresh temporary working directory for code that works on the files in
// the current one, and test data for the files put there.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <stdexcept>
#include <vector>

namespace test_support {

// The test runs in a fresh temporary directory and returns to where it was.
class WorkingDirectory {
public:
    WorkingDirectory() : previous_(QDir::currentPath())
    {
        if (!dir_.isValid() || !QDir::setCurrent(dir_.path()))
            throw std::runtime_error("cannot enter a temporary directory");
    }
    ~WorkingDirectory() { QDir::setCurrent(previous_); }

    QString path() const { return dir_.path(); }

    void write(const QString& name, const QByteArray& contents) const
    {
        QFile f(dir_.filePath(name));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size())
            throw std::runtime_error("cannot write " + name.toStdString());
    }
    bool exists(const QString& name) const { return QFile::exists(dir_.filePath(name)); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

inline QByteArray pattern(int size, int seed)
{
    QByteArray out(size, 0);
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + seed) ^ (i >> 8));
    return out;
}

inline std::vector<char> bytes(const QByteArray& data)
{
    return std::vector<char>(data.begin(), data.end());
}

}  // namespace test_support
