#pragma once

#include "GoldenHeaders.h"
#include "SampleBitstream.h"
#include "Series7Configuration.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <vector>

// The virtual FPGA's verdict on an image, written the way the updater writes
// it: what the board boots with it as the golden image on a board that has
// nothing else, and as the update image behind a sound golden image. Each is
// "golden", "update" or "none", with " after a fallback", " (partial)" or
// " hangs" where that is so.
struct FpgaBoots {
    QString asGolden;
    QString asUpdate;
};

inline QString fpgaBootsName(const sim::Series7Configuration::Outcome& outcome)
{
    const char* names[] = {"none", "golden", "update"};
    return QLatin1String(names[static_cast<int>(outcome.loaded)]) + (outcome.partial ? " (partial)" : "") +
           (outcome.fallback ? " after a fallback" : "") + (outcome.hangs ? " hangs" : "");
}

inline FpgaBoots fpgaBoots(const QByteArray& image, std::uint32_t part)
{
    constexpr std::uint32_t kUpdate = sim::Series7Configuration::kUpdateImageAddress;
    const QByteArray golden = image.left(0x3FEFE0);
    // The FPGA reads no further than the update area and a little erased
    // flash behind it.
    std::vector<std::uint8_t> flash(kUpdate + static_cast<std::uint32_t>(image.size()) + 4096, 0xFF);
    const auto put = [&flash](std::uint32_t at, const QByteArray& bytes) {
        std::copy(bytes.begin(), bytes.end(), flash.begin() + at);
    };
    const auto boot = [&flash, part] {
        return fpgaBootsName(
            sim::Series7Configuration::configure(flash.data(), static_cast<std::uint32_t>(flash.size()), part));
    };
    FpgaBoots boots;
    put(0x1000, kGoldenHeader + golden);
    boots.asGolden = boot();

    std::fill(flash.begin(), flash.end(), 0xFF);
    sim::SampleBitstream sound;
    sound.dataBytes = 4096;
    sound.idcode = part;
    put(0x1000, kGoldenHeader + sound.configurationData());
    put(0xFFC, QByteArray::fromHex("AA995566"));
    put(kUpdate, image);
    boots.asUpdate = boot();
    return boots;
}

// Anything but the whole design in both areas (nothing loaded, a fallback, a
// hang, a partial design) is a board the updater must not leave behind.
inline bool fpgaLoadsInBothAreas(const QByteArray& image, std::uint32_t part)
{
    const FpgaBoots boots = fpgaBoots(image, part);
    return image.size() <= 0x3FEFE0 && boots.asGolden == QLatin1String("golden") &&
           boots.asUpdate == QLatin1String("update");
}
