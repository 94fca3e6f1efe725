#pragma once

#include "SpiDevice.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Sits between the bus and a chip model: records every frame the chip sees
// and lets a test disturb the bytes the chip sends back.
class FrameProbe : public sim::SpiDevice {
public:
    using Disturb = std::function<void(const std::vector<std::uint8_t>& frameSoFar, std::uint8_t& miso)>;

    explicit FrameProbe(sim::SpiDevice& chip, std::vector<std::string>* events = nullptr)
        : chip_(chip), events_(events)
    {
    }

    const char* name() const override { return chip_.name(); }
    bool busy() const override { return chip_.busy(); }
    unsigned spiModes() const override { return chip_.spiModes(); }

    void select() override
    {
        current_.clear();
        chip_.select();
    }

    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override
    {
        current_.push_back(mosi);
        bool driven = chip_.exchange(mosi, miso);
        if (disturb) {
            if (!driven)
                miso = 0xFF;
            disturb(current_, miso);
            driven = true;
        }
        return driven;
    }

    void deselect() override
    {
        chip_.deselect();
        frames.push_back(current_);
        if (events_ && !current_.empty()) {
            char text[32];
            std::snprintf(text, sizeof text, "frame %02X", current_[0]);
            events_->push_back(text);
        }
    }

    std::vector<std::vector<std::uint8_t>> frames;
    Disturb disturb;

private:
    sim::SpiDevice& chip_;
    std::vector<std::string>* events_;
    std::vector<std::uint8_t> current_;
};
