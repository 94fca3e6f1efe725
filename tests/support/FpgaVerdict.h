#pragma once

#include "SampleBitstream.h"
#include "Series7Configuration.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <vector>

// The virtual FPGA's verdict on an image: does the board configure the whole
// design from it, written the way the updater writes it, both as the golden
// image on a board that has nothing else and as the update image behind a
// sound golden image? Anything else (nothing loaded, a fallback, a hang, a
// partial design) is a board the updater must not leave behind.
inline bool fpgaLoadsInBothAreas(const QByteArray& image, std::uint32_t part)
{
    constexpr std::uint32_t kUpdate = sim::Series7Configuration::kUpdateImageAddress;
    if (image.size() > 0x3FEFE0)
        return false;
    // The golden header: WBSTAR, IPROG, NOOPs.
    const QByteArray header =
        QByteArray::fromHex("200000003002000100001000300080010000000F200000002000000020000000");
    // The FPGA reads no further than the update area and a little erased
    // flash behind it.
    std::vector<std::uint8_t> flash(kUpdate + static_cast<std::uint32_t>(image.size()) + 4096, 0xFF);
    const auto put = [&flash](std::uint32_t at, const QByteArray& bytes) {
        std::copy(bytes.begin(), bytes.end(), flash.begin() + at);
    };
    put(0x1000, header + image);
    const auto golden = sim::Series7Configuration::configure(flash.data(), static_cast<std::uint32_t>(flash.size()), part);
    if (golden.loaded != sim::Series7Configuration::Image::Golden || golden.fallback || golden.hangs || golden.partial)
        return false;

    std::fill(flash.begin(), flash.end(), 0xFF);
    sim::SampleBitstream sound;
    sound.dataBytes = 4096;
    sound.idcode = part;
    put(0x1000, header + sound.configurationData());
    put(0xFFC, QByteArray::fromHex("AA995566"));
    put(kUpdate, image);
    const auto update = sim::Series7Configuration::configure(flash.data(), static_cast<std::uint32_t>(flash.size()), part);
    return update.loaded == sim::Series7Configuration::Image::Update && !update.fallback && !update.partial;
}
