// What the conversion takes from our store reader's values: text in the store's code page, the
// code page a message declares, and a message tidied the way a message file keeps it.
#pragma once

#include <mapi/mapi.h>

#include <QString>

#include <optional>
#include <vector>

namespace talvenor::nativestore {

// A string property as text: Unicode as it stands, 8-bit text decoded with codepage.
std::optional<QString> propertyText(const mapi::Property& property, int codepage);

// The text of property `id` among props, empty when it is absent or not text.
QString textOf(const std::vector<mapi::Property>& props, std::uint16_t id, int codepage);

// Decodes 8-bit text of a Windows code page; unknown code pages fall back to Western European.
QString decodeCodepage(const QByteArray& bytes, int codepage);

// The code page a message (or the message store) declares for its 8-bit strings, if any.
std::optional<int> declaredCodepage(const std::vector<mapi::Property>& props);

// The message as a message file keeps it: subjects (also of attached messages) lose their
// prefix marker.
void tidyMessage(mapi::Message& message);

} // namespace talvenor::nativestore
