// Owning wrappers for the GLib and libgsf handles of the compound-file code, so that every
// path out of a write or a read (including a thrown failure) drops its references.
#pragma once

// GIO names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gsf/gsf.h>
#pragma pop_macro("signals")

#include <cstdio>
#include <memory>
#include <utility>

namespace talvenor::msg {

// A GObject reference that is dropped on destruction.
template <typename T> class GRef {
public:
    GRef() = default;
    explicit GRef(T* p) : p_(p) {}
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GRef& operator=(GRef&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~GRef() { reset(); }

    void reset() {
        if (p_)
            g_object_unref(p_);
        p_ = nullptr;
    }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// An output (stream or storage) of a compound file being written. It is closed before its
// reference is dropped, since libgsf expects every child closed before its parent.
class OutRef {
public:
    OutRef() = default;
    explicit OutRef(GsfOutput* p) : p_(p) {}
    OutRef(const OutRef&) = delete;
    OutRef& operator=(const OutRef&) = delete;
    OutRef(OutRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~OutRef() {
        if (p_) {
            if (!gsf_output_is_closed(p_))
                gsf_output_close(p_);
            g_object_unref(p_);
        }
    }
    GsfOutput* get() const { return p_; }
    GsfOutfile* dir() const { return GSF_OUTFILE(p_); }
    explicit operator bool() const { return p_ != nullptr; }
    // Closes now; false when libgsf could not finish the output.
    bool close() { return p_ && (gsf_output_is_closed(p_) || gsf_output_close(p_)); }

private:
    GsfOutput* p_ = nullptr;
};

// A GError that is freed on destruction; pass out() where libgsf wants a GError**.
class GErrorHolder {
public:
    GErrorHolder() = default;
    GErrorHolder(const GErrorHolder&) = delete;
    GErrorHolder& operator=(const GErrorHolder&) = delete;
    ~GErrorHolder() {
        if (e_)
            g_error_free(e_);
    }
    GError** out() { return &e_; }
    const char* message() const { return e_ && e_->message ? e_->message : "unknown error"; }

private:
    GError* e_ = nullptr;
};

// A GDateTime that is released on destruction.
class DateTimeRef {
public:
    explicit DateTimeRef(GDateTime* p = nullptr) : p_(p) {}
    DateTimeRef(const DateTimeRef&) = delete;
    DateTimeRef& operator=(const DateTimeRef&) = delete;
    ~DateTimeRef() {
        if (p_)
            g_date_time_unref(p_);
    }
    GDateTime* get() const { return p_; }

private:
    GDateTime* p_;
};

// A new storage below parent; its directory entry carries stamp as modification time.
inline GsfOutput* newStorage(GsfOutfile* parent, const char* name, GDateTime* stamp) {
    return stamp ? gsf_outfile_new_child_full(parent, name, TRUE, "modtime", stamp, nullptr)
                 : gsf_outfile_new_child(parent, name, TRUE);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace talvenor::msg
