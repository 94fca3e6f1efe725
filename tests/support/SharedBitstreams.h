#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>

// The vendor's real bitstreams, in ../shared/bitstreams beside the checkout.
// A build on a Pi has no ../shared, and the tests on them skip there; CI
// builds with LUMO_REQUIRE_SHARED_BITSTREAMS, where a file that cannot be
// read fails the test instead.
//
//   QByteArray file;
//   if (!loadSharedBitstream("artix7-35t-compressed.bit", file))
//       GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
inline bool loadSharedBitstream(const char* name, QByteArray& contents)
{
    QFile file(QStringLiteral(LUMO_SHARED_DIR "/bitstreams/") + name);
    if (file.open(QIODevice::ReadOnly)) {
        contents = file.readAll();
        if (!contents.isEmpty())
            return true;
    }
    if (LUMO_REQUIRE_SHARED_BITSTREAMS)
        ADD_FAILURE() << "cannot read " << file.fileName().toStdString() << ", which this build requires";
    return false;
}
