#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sim {

// A chip's memory kept in a raw file (byte i at address i) and mapped shared,
// so whatever the model writes is in the file even if the process ends
// abruptly, as a chip keeps its contents when the power goes.
class MappedImage {
public:
    ~MappedImage();
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;

    // A new file of size bytes, all 0xFF (an erased chip).
    static std::unique_ptr<MappedImage> create(const QString& path, std::size_t size, QString& error);
    // An existing file, which must be exactly size bytes long.
    static std::unique_ptr<MappedImage> open(const QString& path, std::size_t size, QString& error);

    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    MappedImage(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace sim
