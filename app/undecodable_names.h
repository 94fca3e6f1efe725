#pragma once

#include <QByteArrayList>
#include <QString>

// The names in the working directory that end in one of `suffixes` (case
// ignored, hidden names left out, as the firmware listings do) but that the
// locale's encoding cannot represent. Qt's directory listing leaves such a
// name out, so a firmware file so named would lie there unseen at every run.
QByteArrayList undecodableNames(const QByteArrayList& suffixes);

// The name with every byte that is not printable ASCII shown as \xHH.
QString shownName(const QByteArray& name);
