#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace lanemark {

// How many bytes pieces laid one after another make.
inline std::uint64_t lengthOf(std::span<const std::span<const std::uint8_t>> pieces) {
    std::uint64_t length = 0;
    for (const auto piece : pieces) length += piece.size();
    return length;
}

// An immutable byte buffer. Copies and slices share one allocation, so a
// parsed tree holds views into the metadata as read instead of copies of it.
class Bytes {
public:
    using value_type = std::uint8_t;
    using const_iterator = const std::uint8_t*;
    using iterator = const_iterator;

    Bytes() = default;
    explicit Bytes(std::vector<std::uint8_t> data) {
        auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(data));
        size_ = owner->size();
        store_ = std::shared_ptr<const std::uint8_t[]>(owner, owner->data());
    }
    // Takes over `size` bytes filled by the caller (see allocateBuffer).
    Bytes(std::shared_ptr<const std::uint8_t[]> store, std::size_t size) : store_(std::move(store)), size_(size) {}

    const std::uint8_t* data() const { return store_ ? store_.get() + offset_ : nullptr; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size_; }
    std::span<const std::uint8_t> span() const { return {data(), size_}; }
    operator std::span<const std::uint8_t>() const { return span(); }

    std::uint8_t operator[](std::size_t index) const {
        assert(index < size_);
        return data()[index];
    }

    // A view of [offset, offset + length) sharing this buffer's storage.
    Bytes slice(std::size_t offset, std::size_t length) const {
        assert(offset <= size_ && length <= size_ - offset);
        Bytes view;
        view.store_ = store_;
        view.offset_ = offset_ + offset;
        view.size_ = length;
        return view;
    }

    friend bool operator==(const Bytes& a, const Bytes& b) { return a == b.span(); }
    friend bool operator==(const Bytes& a, std::span<const std::uint8_t> b) {
        return a.size_ == b.size() && std::equal(b.begin(), b.end(), a.begin());
    }

private:
    std::shared_ptr<const std::uint8_t[]> store_;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

// Room for `size` bytes, not zero-filled. Large buffers are aligned for huge
// pages where the system offers them: a fresh 100 MiB buffer otherwise costs
// tens of thousands of page faults, more than reading the file into it.
std::shared_ptr<std::uint8_t[]> allocateBuffer(std::size_t size);

// Big-endian 32-bit read; the caller guarantees offset + 4 <= data.size().
inline std::uint32_t u32(std::span<const std::uint8_t> data, std::size_t offset) {
    assert(offset <= data.size() && data.size() - offset >= 4);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | data[offset + i];
    return value;
}

// Big-endian 64-bit read; the caller guarantees offset + 8 <= data.size().
inline std::uint64_t u64(std::span<const std::uint8_t> data, std::size_t offset) {
    return (std::uint64_t{u32(data, offset)} << 32) | u32(data, offset + 4);
}

// The four big-endian bytes of a 32-bit value.
inline std::array<std::uint8_t, 4> bytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>((value >> 8) & 0xFF), static_cast<std::uint8_t>(value & 0xFF)};
}

// Reads big-endian fields one after the other. Reading past the end throws
// Failure with the message the reader was made with, so a structure is
// decoded by its field order alone and no offset is ever out of bounds.
class Reader {
public:
    Reader(std::span<const std::uint8_t> data, const char* incomplete) : data_(data), incomplete_(incomplete) {}

    bool has(std::size_t count) const { return data_.size() - position_ >= count; }
    void skip(std::size_t count) { position_ = take(count); }
    std::uint16_t u16() {
        const std::size_t at = take(2);
        position_ = at;
        return static_cast<std::uint16_t>(data_[at - 2] << 8 | data_[at - 1]);
    }
    std::uint32_t u32() {
        position_ = take(4);
        return lanemark::u32(data_, position_ - 4);
    }
    std::uint64_t u64() {
        position_ = take(8);
        return lanemark::u64(data_, position_ - 8);
    }

private:
    // The position after `count` more bytes; throws when they are not there.
    std::size_t take(std::size_t count) const;

    std::span<const std::uint8_t> data_;
    const char* incomplete_;
    std::size_t position_ = 0;
};

}  // namespace lanemark
