// Turning a store item into the shared message model: every property of the message, of each
// recipient and of each attachment, attached messages recursively, named properties with
// their names. Every function throws PffFailure when libpff refuses.
#pragma once

#include "pff.h"

#include <mapi/mapi.h>

#include <QString>

#include <optional>

namespace talvenor::nativestore {

class NameToIdMap;

// Reads every entry of one record set (one property context or one table row) into bag;
// named properties take their names from `names` when given, else from libpff.
void readPropertyBag(libpff_record_set_t* recordSet, mapi::PropertyBag& bag,
                     const NameToIdMap* names = nullptr);

// Reads the whole message: properties, recipients, attachments and attached messages.
// The subject loses its prefix marker, as a message file keeps it.
mapi::Message readMessage(libpff_item_t* message, const NameToIdMap* names = nullptr);

// The raw value of one property of an item's first record set, or nullopt when it is absent.
std::optional<mapi::Property> readItemProperty(libpff_item_t* item, std::uint16_t id);

// A string property as text: Unicode as it stands, 8-bit text decoded with codepage.
std::optional<QString> propertyText(const mapi::Property& property, int codepage);

// Decodes 8-bit text of a Windows code page; unknown code pages fall back to Western European.
QString decodeCodepage(const QByteArray& bytes, int codepage);

// The code page a message (or the message store) declares for its 8-bit strings, if any.
std::optional<int> messageCodepage(libpff_item_t* item);

} // namespace talvenor::nativestore
