#pragma once

#include "failure.h"
#include "sourcelist.h"

#include <QStringList>

namespace talvenor::testing {

// A source list over a plain QStringList.
class StringSourceList : public ISourceList {
public:
    int count() const override { return int(items.size()); }
    QString text(int position) const override {
        if (position < 1 || position > items.size())
            throw Failure(35600, QStringLiteral("Index out of bounds"));
        return items[position - 1];
    }
    void append(const QString& text) override { items.append(text); }
    QStringList items;
};

} // namespace talvenor::testing
