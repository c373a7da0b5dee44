// Where a store's bytes come from: a file read with pread, or a buffer in memory. Reads are
// all-or-nothing: a read that would reach past the end fails.
#pragma once

#include "bytes.h"

#include <memory>
#include <string>

namespace talvenor::pst {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills out with `count` bytes from `offset`; fails when they are not all there.
    virtual void read(std::uint64_t offset, std::size_t count, Bytes& out) const = 0;
};

class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, std::size_t count, Bytes& out) const override;

    // Small reads are served from a few windows of the file read ahead: a message's pages and
    // blocks mostly lie close together, and one system call per block costs more than reading
    // them. Larger reads go straight to the file.
    static constexpr std::size_t WindowSize = 32 * 1024;
    static constexpr std::size_t WindowedRead = 8 * 1024;
    static constexpr std::size_t Windows = 32;
    // System calls that read the file so far (for the tests and the benchmarks).
    std::uint64_t reads() const { return reads_; }

private:
    // Reads exactly count bytes at offset, or fewer where the file ends; fails on an error.
    std::size_t readAt(std::uint64_t offset, std::size_t count, std::uint8_t* into) const;

    struct Window {
        std::uint64_t start = 0;
        std::size_t filled = 0;
        std::uint64_t used = 0; // when it last served a read
        Bytes bytes;
    };
    int fd_ = -1;
    std::uint64_t size_ = 0;
    mutable Window windows_[Windows];
    mutable std::uint64_t clock_ = 0;
    mutable std::uint64_t reads_ = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void read(std::uint64_t offset, std::size_t count, Bytes& out) const override;

private:
    Bytes bytes_;
};

} // namespace talvenor::pst
