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

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
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
