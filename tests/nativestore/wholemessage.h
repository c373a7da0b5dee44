// Reads an item whole the way the program does, through Item::saveAs into the store's writer:
// the options' writer keeps the message it was given instead of writing a file.
#pragma once

#include <automation.h>
#include <nativestore.h>

#include <memory>
#include <optional>

namespace talvenor::testing {

class WholeMessages {
public:
    // The options with a writer that keeps each message (any other writer is replaced).
    nativestore::StoreOptions options(nativestore::StoreOptions options = {}) const {
        options.writer = [kept = kept_](const mapi::Message& message, const QString&) {
            *kept = message;
        };
        return options;
    }
    // Throws talvenor::Failure as saveAs does (an item other than mail, among others).
    mapi::Message of(automation::Item& item) const {
        kept_->reset();
        item.saveAs(QStringLiteral("whole.msg"));
        return std::move(**kept_);
    }

private:
    std::shared_ptr<std::optional<mapi::Message>> kept_ =
        std::make_shared<std::optional<mapi::Message>>();
};

} // namespace talvenor::testing
