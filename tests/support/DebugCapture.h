#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "QtPrinters.h"

// Collects the program's debug log messages, formatted as Qt's default
// handler prints them (one message per line), instead of printing them.
class DebugCapture {
public:
    DebugCapture() : previous_(qInstallMessageHandler(&DebugCapture::handler)) { active() = this; }
    ~DebugCapture()
    {
        qInstallMessageHandler(previous_);
        active() = nullptr;
    }

    QStringList lines;

private:
    static DebugCapture*& active()
    {
        static DebugCapture* capture = nullptr;
        return capture;
    }

    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        if (active())
            active()->lines << message;
    }

    QtMessageHandler previous_;
};
