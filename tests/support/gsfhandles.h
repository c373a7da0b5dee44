// Owning wrappers for the GLib and libgsf handles of the tests, which read (and for samples
// write) compound files with libgsf as a peer of our own code; every path out of a write or
// a read (including a thrown failure) drops its references.
#pragma once

// GIO names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gsf/gsf.h>
#pragma pop_macro("signals")

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

} // namespace talvenor::msg
