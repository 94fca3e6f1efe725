#pragma once

#include "BasePinWorker.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A pin worker that records every call in order, for tests that check the
// exact sequence a driver produces. Transfers are answered by `respond`
// (default: nothing driven, every received byte 0xFF).
class RecordingWorker : public BasePinWorker {
public:
    enum class Op { ReadWrite, Write, SetPin, GetPin, Delay, Polarity, Isr, Init, Close };

    struct Call {
        Op op;
        std::vector<std::uint8_t> tx;  // transfers: the bytes sent
        SPI_ChipSelect cs = SPI_CS0;
        unsigned pin = 0;
        PIN_State state = PIN_UNDEFINED;
        unsigned long long ms = 0;
        // When the call was made: waits outside the worker (a thread's own
        // sleep) show only as the time between two calls.
        std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
    };

    using Responder = std::function<void(const std::vector<std::uint8_t>& tx, char* rx, SPI_ChipSelect cs)>;

    explicit RecordingWorker(bool ready = true) { initialized = ready; }

    void init() override { calls.push_back({Op::Init, {}}); }
    void close() override { calls.push_back({Op::Close, {}}); }

    void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) override
    {
        Call call{Op::ReadWrite, {}};
        call.tx.assign(reinterpret_cast<std::uint8_t*>(tx), reinterpret_cast<std::uint8_t*>(tx) + len);
        call.cs = cs;
        if (initialized) {
            std::fill(rx, rx + len, static_cast<char>(0xFF));
            if (respond)
                respond(call.tx, rx, cs);
        }
        calls.push_back(std::move(call));
    }

    void write_spi(char* tx, SPI_ChipSelect cs, unsigned int len) override
    {
        Call call{Op::Write, {}};
        call.tx.assign(reinterpret_cast<std::uint8_t*>(tx), reinterpret_cast<std::uint8_t*>(tx) + len);
        call.cs = cs;
        calls.push_back(std::move(call));
    }

    void set_pin_state(unsigned char pin, PIN_State state) override
    {
        Call call{Op::SetPin, {}};
        call.pin = pin;
        call.state = state;
        calls.push_back(call);
    }

    PIN_State get_pin_state(unsigned char pin) override
    {
        Call call{Op::GetPin, {}};
        call.pin = pin;
        calls.push_back(call);
        if (!initialized)
            return PIN_UNDEFINED;
        const auto level = pinLevels.find(pin);
        return level == pinLevels.end() ? PIN_LOW : level->second;
    }

    void delay_ms(unsigned long long ms) override
    {
        Call call{Op::Delay, {}};
        call.ms = ms;
        calls.push_back(call);
    }

    void setChipSelectPolarity(SPI_ChipSelect cs, bool) override
    {
        Call call{Op::Polarity, {}};
        call.cs = cs;
        calls.push_back(call);
    }

    void set_pin_isr(unsigned char pin, PIN_Edge, PinEdgeCallback) override
    {
        Call call{Op::Isr, {}};
        call.pin = pin;
        calls.push_back(call);
    }

    std::vector<Call> transfers() const
    {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.op == Op::ReadWrite || c.op == Op::Write)
                out.push_back(c);
        return out;
    }

    std::vector<Call> calls;
    Responder respond;
    std::map<unsigned, PIN_State> pinLevels;
};
