// Owning wrappers for every libpff handle the store reader touches. libpff reports failures
// through an error object that the caller must free; PffError owns it and turns it into text.
#pragma once

#include <libpff.h>

#include <QString>

#include <cstdint>
#include <utility>

namespace talvenor::nativestore {

class PffError {
public:
    PffError() = default;
    PffError(const PffError&) = delete;
    PffError& operator=(const PffError&) = delete;
    ~PffError() { reset(); }

    // For the error argument of a libpff call; any earlier error is dropped first.
    libpff_error_t** out() {
        reset();
        return &error_;
    }
    bool isSet() const { return error_ != nullptr; }
    // The last line of libpff's backtrace: the outermost, most readable cause.
    QString text() const;
    void reset() {
        if (error_)
            libpff_error_free(&error_);
    }

private:
    libpff_error_t* error_ = nullptr;
};

// One owning handle; Free is libpff's matching free function.
template <typename T, int (*Free)(T**, libpff_error_t**)> class PffHandle {
public:
    PffHandle() = default;
    explicit PffHandle(T* raw) : raw_(raw) {}
    PffHandle(const PffHandle&) = delete;
    PffHandle& operator=(const PffHandle&) = delete;
    PffHandle(PffHandle&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    PffHandle& operator=(PffHandle&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, nullptr);
        }
        return *this;
    }
    ~PffHandle() { reset(); }

    T* get() const { return raw_; }
    explicit operator bool() const { return raw_ != nullptr; }
    // For the output argument of a libpff call; libpff insists that it starts out null.
    T** out() {
        reset();
        return &raw_;
    }
    void reset() {
        if (raw_) {
            PffError ignored;
            Free(&raw_, ignored.out());
            raw_ = nullptr;
        }
    }

private:
    T* raw_ = nullptr;
};

using PffFileHandle = PffHandle<libpff_file_t, libpff_file_free>;
using PffItem = PffHandle<libpff_item_t, libpff_item_free>;
using PffRecordSet = PffHandle<libpff_record_set_t, libpff_record_set_free>;
using PffRecordEntry = PffHandle<libpff_record_entry_t, libpff_record_entry_free>;
using PffMultiValue = PffHandle<libpff_multi_value_t, libpff_multi_value_free>;

// A failure of a libpff call, with libpff's own explanation.
class PffFailure : public std::exception {
public:
    PffFailure(QString what, const PffError& error)
        : what_(std::move(what)), detail_(error.text()), utf8_(what_.toUtf8()) {}
    const QString& message() const { return what_; }
    const QString& detail() const { return detail_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString what_;
    QString detail_;
    QByteArray utf8_;
};

} // namespace talvenor::nativestore
