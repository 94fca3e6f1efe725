#pragma once

#include <QByteArray>
#include <QString>

// The configuration data of a Xilinx bitstream file (.bit).
//
// A .bit file starts with a fixed preamble and the fields 'a' (design name),
// 'b' (part), 'c' (date), 'd' (time), each a 2-byte big-endian length and its
// bytes, then 'e' and the 4-byte big-endian length of the configuration data
// that follows. When the header parses, exactly that header is removed.
// A file that does not begin with the preamble's first field has no header:
// it is a raw configuration stream (what the vendor's tools write as .bin),
// taken whole, since a search for 'e' in its frame data would cut it
// wherever the data happens to hold one. A file that begins like a header
// but does not parse is cut after the first 'e', 0x00 pair and the four
// bytes that follow it, which is how older tools' files have always been
// taken.
//
// design: the header's design field ('a'), empty when it has none.
//
// Returns false, with a reason in error, only for a header that parses but
// announces more configuration data than the file holds: a truncated file.
bool extractConfigurationData(const QByteArray& file, QByteArray& image, QString& error,
                              QByteArray* design = nullptr);
