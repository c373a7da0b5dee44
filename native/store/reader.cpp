#include "reader.h"

#include "namemap.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace talvenor::nativestore {

namespace {

using mapi::Bytes;

// An attached message inside an attached message inside ...: a hostile file can nest them
// without end, a real one never goes deep.
constexpr int MaxEmbeddingDepth = 32;

int numberOfEntries(libpff_record_set_t* recordSet) {
    int count = 0;
    PffError error;
    if (libpff_record_set_get_number_of_entries(recordSet, &count, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot count the properties"), error);
    return count;
}

Bytes entryData(libpff_record_entry_t* entry) {
    PffError error;
    size_t size = 0;
    if (libpff_record_entry_get_data_size(entry, &size, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the size of a property"), error);
    Bytes data(size);
    if (size > 0 && libpff_record_entry_get_data(entry, data.data(), size, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read a property"), error);
    return data;
}

// Values of fixed-size types take exactly their size: tables store booleans in one byte,
// property contexts in four.
Bytes normalised(std::uint16_t type, Bytes value) {
    const std::uint16_t base = mapi::baseType(type);
    if (base == mapi::PtBoolean) {
        const bool set = std::any_of(value.begin(), value.end(), [](auto b) { return b != 0; });
        return mapi::le16(set ? 1 : 0);
    }
    if (const std::size_t size = mapi::fixedSize(base); size > 0) {
        value.resize(size, 0);
        return value;
    }
    // Strings carry no terminator in the model.
    if (base == mapi::PtUnicode && value.size() >= 2 && value[value.size() - 1] == 0 &&
        value[value.size() - 2] == 0 && value.size() % 2 == 0)
        value.resize(value.size() - 2);
    else if (base == mapi::PtString8 && !value.empty() && value.back() == 0)
        value.pop_back();
    return value;
}

std::optional<mapi::PropertyName> propertyName(libpff_record_entry_t* entry) {
    libpff_name_to_id_map_entry_t* mapEntry = nullptr; // owned by the file's map
    PffError error;
    if (libpff_record_entry_get_name_to_id_map_entry(entry, &mapEntry, error.out()) != 1 ||
        !mapEntry)
        return std::nullopt;
    mapi::PropertyName name;
    if (libpff_name_to_id_map_entry_get_guid(mapEntry, name.guid.bytes.data(),
                                             name.guid.bytes.size(), error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the property set of a named property"), error);
    std::uint8_t kind = 0;
    if (libpff_name_to_id_map_entry_get_type(mapEntry, &kind, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the kind of a named property"), error);
    if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC) {
        std::uint32_t number = 0;
        if (libpff_name_to_id_map_entry_get_number(mapEntry, &number, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read the number of a named property"), error);
        name.lid = number;
    } else {
        size_t size = 0;
        if (libpff_name_to_id_map_entry_get_utf16_string_size(mapEntry, &size, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read the name of a named property"), error);
        std::u16string text(size, u'\0');
        if (size > 0 &&
            libpff_name_to_id_map_entry_get_utf16_string(
                mapEntry, reinterpret_cast<std::uint16_t*>(text.data()), size, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read the name of a named property"), error);
        while (!text.empty() && text.back() == u'\0')
            text.pop_back();
        name.name = std::move(text);
    }
    return name;
}

// Multi-valued strings and binaries as stored: a count, one offset per value, then the values.
// libpff reports no values for them, so they are taken apart here.
std::vector<Bytes> splitVariableValues(const Bytes& data) {
    std::vector<Bytes> values;
    if (data.size() < 4)
        return values;
    const std::uint32_t count = mapi::readLe32(data.data());
    if (count > (data.size() - 4) / 4) {
        PffError none;
        throw PffFailure(QStringLiteral("a multi-valued property claims more values than it holds"),
                         none);
    }
    const std::size_t start = 4 + std::size_t(count) * 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t from = mapi::readLe32(data.data() + 4 + 4 * i);
        const std::size_t to =
            i + 1 < count ? mapi::readLe32(data.data() + 8 + 4 * i) : data.size();
        if (from < start || from > to || to > data.size()) {
            PffError none;
            throw PffFailure(QStringLiteral("a multi-valued property is damaged"), none);
        }
        values.emplace_back(data.begin() + std::ptrdiff_t(from), data.begin() + std::ptrdiff_t(to));
    }
    return values;
}

std::vector<Bytes> fixedValues(libpff_record_entry_t* entry) {
    PffError error;
    PffMultiValue multi;
    if (libpff_record_entry_get_multi_value(entry, multi.out(), error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read a multi-valued property"), error);
    int count = 0;
    if (libpff_multi_value_get_number_of_values(multi.get(), &count, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot count the values of a property"), error);
    std::vector<Bytes> values;
    values.reserve(std::size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        std::uint32_t type = 0;
        std::uint8_t* data = nullptr; // owned by the multi value
        size_t size = 0;
        if (libpff_multi_value_get_value(multi.get(), i, &type, &data, &size, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read a value of a property"), error);
        values.push_back(data ? Bytes(data, data + size) : Bytes{});
    }
    return values;
}

mapi::Property readEntry(libpff_record_entry_t* entry, const NameToIdMap* names) {
    PffError error;
    std::uint32_t entryType = 0;
    std::uint32_t valueType = 0;
    if (libpff_record_entry_get_entry_type(entry, &entryType, error.out()) != 1 ||
        libpff_record_entry_get_value_type(entry, &valueType, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the tag of a property"), error);

    mapi::Property property;
    property.id = std::uint16_t(entryType);
    property.type = std::uint16_t(valueType);
    if (property.id >= 0x8000) {
        // The store's own map first: libpff mistakes some property sets.
        if (names)
            property.name = names->name(property.id);
        if (!property.name)
            property.name = propertyName(entry);
    }

    if (mapi::isMultiValued(property.type)) {
        if (mapi::fixedSize(mapi::baseType(property.type)) == 0)
            property.values = splitVariableValues(entryData(entry));
        else
            property.values = fixedValues(entry);
        for (auto& value : property.values)
            value = normalised(property.type, std::move(value));
        return property;
    }
    property.value = normalised(property.type, entryData(entry));
    return property;
}

// Drops the marker (U+0001 and the prefix length) in front of a stored subject.
void unmarkSubject(mapi::Property& subject) {
    Bytes& v = subject.value;
    if (subject.type == mapi::PtUnicode && v.size() >= 4 && v[0] == 0x01 && v[1] == 0x00)
        v.erase(v.begin(), v.begin() + 4);
    else if (subject.type == mapi::PtString8 && v.size() >= 2 && v[0] == 0x01)
        v.erase(v.begin(), v.begin() + 2);
}

void readRecordSet(libpff_item_t* item, int index, mapi::PropertyBag& bag,
                   const NameToIdMap* names) {
    PffRecordSet recordSet;
    PffError error;
    if (libpff_item_get_record_set_by_index(item, index, recordSet.out(), error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read a property set"), error);
    readPropertyBag(recordSet.get(), bag, names);
}

int numberOfRecordSets(libpff_item_t* item) {
    int count = 0;
    PffError error;
    if (libpff_item_get_number_of_record_sets(item, &count, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot count the property sets"), error);
    return count;
}

void readRecipients(libpff_item_t* message, mapi::Message& out, const NameToIdMap* names) {
    PffItem recipients;
    PffError error;
    const int found = libpff_message_get_recipients(message, recipients.out(), error.out());
    if (found == -1)
        throw PffFailure(QStringLiteral("cannot read the recipients"), error);
    if (found == 0 || !recipients)
        return;
    const int rows = numberOfRecordSets(recipients.get());
    out.recipients.reserve(std::size_t(std::max(rows, 0)));
    for (int i = 0; i < rows; ++i) {
        mapi::Recipient recipient;
        readRecordSet(recipients.get(), i, recipient, names);
        out.recipients.push_back(std::move(recipient));
    }
}

mapi::Message readMessageAt(libpff_item_t* message, int depth, const NameToIdMap* names);

constexpr std::uint32_t AttachOle = 6; // PR_ATTACH_METHOD of an OLE object

bool isOleObject(const mapi::Attachment& a) {
    const auto* data = a.find(mapi::tags::AttachDataBinary);
    return a.int32(mapi::tags::AttachMethod) == std::int32_t(AttachOle) && data &&
           data->type == mapi::PtObject;
}

// Replaces the object reference of an OLE attachment with the compound file it names.
void readOleObject(libpff_item_t* attachment, mapi::Attachment& out) {
    // Stores written by earlier versions of the project's writer hold the image in place.
    if (mapi::startsAsCompoundFile(out.find(mapi::tags::AttachDataBinary)->value))
        return;
    PffError error;
    size64_t size = 0;
    if (libpff_attachment_get_data_size(attachment, &size, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot find the data of an OLE object"), error);
    if (size > std::numeric_limits<std::uint32_t>::max())
        throw PffFailure(QStringLiteral("an OLE object claims an impossible size"), error);
    Bytes image(static_cast<std::size_t>(size));
    if (libpff_attachment_data_seek_offset(attachment, 0, SEEK_SET, error.out()) != 0)
        throw PffFailure(QStringLiteral("cannot read an OLE object"), error);
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = libpff_attachment_data_read_buffer(attachment, image.data() + done,
                                                             image.size() - done, error.out());
        if (n <= 0)
            throw PffFailure(QStringLiteral("cannot read an OLE object"), error);
        done += std::size_t(n);
    }
    out.find(mapi::tags::AttachDataBinary)->value = std::move(image);
}

void readAttachments(libpff_item_t* message, mapi::Message& out, int depth,
                     const NameToIdMap* names) {
    int count = 0;
    PffError error;
    if (libpff_message_get_number_of_attachments(message, &count, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot count the attachments"), error);
    out.attachments.reserve(std::size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        PffItem attachment;
        if (libpff_message_get_attachment(message, i, attachment.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read an attachment"), error);
        mapi::Attachment result;
        readRecordSet(attachment.get(), 0, result, names);
        int type = 0;
        if (libpff_attachment_get_type(attachment.get(), &type, error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read the kind of an attachment"), error);
        if (isOleObject(result)) {
            // The property holds only a reference (sub-node, size); the compound file is the
            // sub-node's data.
            readOleObject(attachment.get(), result);
        } else if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
            PffItem attached;
            if (libpff_attachment_get_item(attachment.get(), attached.out(), error.out()) != 1)
                throw PffFailure(QStringLiteral("cannot read an attached message"), error);
            result.embedded =
                std::make_shared<mapi::Message>(readMessageAt(attached.get(), depth + 1, names));
            // The attached message is the object itself, not bytes of the bag.
            if (const auto* data = result.find(mapi::tags::AttachDataBinary);
                data && data->type == mapi::PtObject)
                result.remove(mapi::tags::AttachDataBinary);
        }
        out.attachments.push_back(std::move(result));
    }
}

mapi::Message readMessageAt(libpff_item_t* message, int depth, const NameToIdMap* names) {
    if (depth > MaxEmbeddingDepth) {
        PffError none;
        throw PffFailure(QStringLiteral("attached messages are nested too deeply"), none);
    }
    mapi::Message out;
    if (numberOfRecordSets(message) > 0)
        readRecordSet(message, 0, out, names);
    if (auto* subject = out.find(mapi::tags::Subject))
        unmarkSubject(*subject);
    readRecipients(message, out, names);
    readAttachments(message, out, depth, names);
    return out;
}

} // namespace

void readPropertyBag(libpff_record_set_t* recordSet, mapi::PropertyBag& bag,
                     const NameToIdMap* names) {
    const int count = numberOfEntries(recordSet);
    bag.props.reserve(bag.props.size() + std::size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        PffRecordEntry entry;
        PffError error;
        if (libpff_record_set_get_entry_by_index(recordSet, i, entry.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read a property"), error);
        bag.props.push_back(readEntry(entry.get(), names));
    }
}

mapi::Message readMessage(libpff_item_t* message, const NameToIdMap* names) {
    return readMessageAt(message, 0, names);
}

std::optional<mapi::Property> readItemProperty(libpff_item_t* item, std::uint16_t id) {
    PffRecordSet recordSet;
    PffError error;
    if (numberOfRecordSets(item) < 1)
        return std::nullopt;
    if (libpff_item_get_record_set_by_index(item, 0, recordSet.out(), error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read a property set"), error);
    PffRecordEntry entry;
    const int found =
        libpff_record_set_get_entry_by_type(recordSet.get(), id, 0, entry.out(),
                                            LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE |
                                                LIBPFF_ENTRY_VALUE_FLAG_IGNORE_NAME_TO_ID_MAP,
                                            error.out());
    if (found == -1)
        throw PffFailure(QStringLiteral("cannot read a property"), error);
    if (found == 0 || !entry)
        return std::nullopt;
    return readEntry(entry.get(), nullptr);
}

QString decodeCodepage(const QByteArray& bytes, int codepage) {
    QByteArray name;
    switch (codepage) {
    case 65001:
        name = "UTF-8";
        break;
    case 20127:
        name = "US-ASCII";
        break;
    case 932:
        name = "Shift_JIS";
        break;
    case 936:
        name = "GBK";
        break;
    case 949:
        name = "windows-949";
        break;
    case 950:
        name = "Big5";
        break;
    default:
        if (codepage >= 28591 && codepage <= 28605)
            name = "ISO-8859-" + QByteArray::number(codepage - 28590);
        else
            name = "windows-" + QByteArray::number(codepage);
    }
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid())
        decoder = QStringDecoder("windows-1252");
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    return decoder.decode(bytes);
}

std::optional<QString> propertyText(const mapi::Property& property, int codepage) {
    if (property.type == mapi::PtUnicode)
        return QString::fromStdU16String(mapi::fromUtf16le(property.value));
    if (property.type == mapi::PtString8)
        return decodeCodepage(QByteArray(reinterpret_cast<const char*>(property.value.data()),
                                         qsizetype(property.value.size())),
                              codepage);
    return std::nullopt;
}

std::optional<int> messageCodepage(libpff_item_t* item) {
    // The message's own code page, the one of its Internet form, and the store's code page id.
    for (std::uint16_t id :
         {mapi::tags::MessageCodepage, mapi::tags::InternetCodepage, std::uint16_t(0x66C3)}) {
        if (auto p = readItemProperty(item, id);
            p && p->type == mapi::PtInteger32 && p->value.size() >= 4)
            if (const auto cp = std::int32_t(mapi::readLe32(p->value.data())); cp > 0)
                return cp;
    }
    return std::nullopt;
}

} // namespace talvenor::nativestore
