#pragma once

#include <QString>

namespace talvenor {

// The list of files the next conversion run converts: ordered texts, positions from 1,
// duplicates allowed. The window's list control implements it; tests use a plain list.
class ISourceList {
public:
    virtual ~ISourceList() = default;
    virtual int count() const = 0;
    virtual QString text(int position) const = 0; // 1-based; throws Failure when out of range
    virtual void append(const QString& text) = 0;
};

} // namespace talvenor
