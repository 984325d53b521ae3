// Reads a fuzz input front to back as a little script of choices. Past the end every read
// gives zeros, so any input, however short, is a complete script.
#ifndef KA_FUZZ_FUZZINPUT_H
#define KA_FUZZ_FUZZINPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kafuzz {

class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Exhausted() const { return position_ >= size_; }
    std::size_t Remaining() const { return size_ - position_; }

    std::uint8_t Byte() { return Exhausted() ? 0 : data_[position_++]; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Little(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
    std::uint64_t U64() { return Little(8); }

    // Up to count bytes, fewer at the end of the input.
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        count = std::min(count, Remaining());
        std::vector<std::uint8_t> bytes(data_ + position_, data_ + position_ + count);
        position_ += count;
        return bytes;
    }

  private:
    std::uint64_t Little(int bytes) {
        std::uint64_t value = 0;
        for (int index = 0; index < bytes; ++index) {
            value |= std::uint64_t{Byte()} << (8 * index);
        }
        return value;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace kafuzz

#endif
