#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// A directory holding an executable "python" with the given shell body; it
// records its arguments in python.args beside itself.
struct PythonStandIn {
    explicit PythonStandIn(const QByteArray& body)
    {
        QFile script(dir.filePath("python"));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/python.args\"\n" + body + "\n");
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", dir.path() + ":" + env.value("PATH"));
        return env;
    }

    QByteArray args() const
    {
        QFile f(dir.filePath("python.args"));
        f.open(QIODevice::ReadOnly);
        return f.readAll().trimmed();
    }

    QTemporaryDir dir;
};
