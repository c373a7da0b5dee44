// Bounds-checked views over bytes read from a store. Every read names what it wanted, so that
// a damaged file yields one clear failure instead of a read past the end of a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvenor::pst {

using Bytes = std::vector<std::uint8_t>;

// A store that cannot be read as far as asked: damaged, truncated or of an unknown kind.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what);

class View {
public:
    View() = default;
    View(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
    View(std::span<const std::uint8_t> s) : bytes_(s) {}
    View(const Bytes& b) : bytes_(b.data(), b.size()) {}

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    const std::uint8_t* data() const { return bytes_.data(); }

    // The bytes [offset, offset + count); fails when they are not all inside the view.
    View sub(std::size_t offset, std::size_t count) const {
        if (offset > bytes_.size() || count > bytes_.size() - offset)
            fail("a structure reaches past the end of its block");
        return View(bytes_.subspan(offset, count));
    }
    View from(std::size_t offset) const {
        if (offset > bytes_.size())
            fail("a structure starts past the end of its block");
        return View(bytes_.subspan(offset));
    }
    std::uint8_t u8(std::size_t at) const { return sub(at, 1).bytes_[0]; }
    std::uint16_t u16(std::size_t at) const {
        const auto b = sub(at, 2).bytes_;
        return std::uint16_t(b[0] | (b[1] << 8));
    }
    std::uint32_t u32(std::size_t at) const {
        const auto b = sub(at, 4).bytes_;
        return std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) | (std::uint32_t(b[2]) << 16) |
               (std::uint32_t(b[3]) << 24);
    }
    std::uint64_t u64(std::size_t at) const {
        return std::uint64_t(u32(at)) | (std::uint64_t(u32(at + 4)) << 32);
    }
    Bytes copy() const { return Bytes(bytes_.begin(), bytes_.end()); }

private:
    std::span<const std::uint8_t> bytes_;
};

} // namespace talvenor::pst
