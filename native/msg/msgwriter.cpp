#include "compoundfile.h"
#include "failure.h"
#include "msgfile.h"
#include "msglayout.h"
#include "safefile.h"
#include "storagecopy.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace talvenor::msg {

using cfb::Tree;
using mapi::Bytes;
using mapi::Message;
using mapi::Property;
using mapi::PropertyBag;
using mapi::PropertyName;
using StorageId = cfb::Tree::Id;

namespace {

// Thrown inside the writer when a part of the message cannot be stored; turned into a
// Failure at the top, where the file's name is known.
struct WriteError {
    std::string what;
};

void append(Bytes& out, const Bytes& b) {
    out.insert(out.end(), b.begin(), b.end());
}
void append32(Bytes& out, std::uint32_t v) {
    append(out, mapi::le32(v));
}

// The named properties of a message and everything below it, numbered afresh from 0x8000 in
// the order they are first met.
class NameTable {
public:
    void collect(const Message& m) {
        collectBag(m);
        for (const auto& r : m.recipients)
            collectBag(r);
        for (const auto& a : m.attachments) {
            collectBag(a);
            if (a.embedded)
                collect(*a.embedded);
        }
    }

    std::optional<std::uint16_t> idFor(const PropertyName& name) const {
        auto it = ids_.find(name);
        if (it == ids_.end())
            return std::nullopt;
        return it->second;
    }

    void write(Tree& tree, std::uint64_t stamp) const {
        const StorageId dir = tree.addStorage(Tree::Root, layout::NameIdStorage);
        tree.setTimes(dir, stamp, stamp);
        Bytes guids, entries, strings;
        std::map<mapi::Guid, std::uint16_t> guidIndex;
        std::map<std::uint32_t, Bytes> mapping; // stream tag -> its entries
        for (std::size_t i = 0; i < names_.size(); ++i) {
            const PropertyName& n = names_[i];
            std::uint16_t gi;
            if (n.guid == mapi::PS_MAPI) {
                gi = layout::GuidIndexMapi;
            } else if (n.guid == mapi::PS_PUBLIC_STRINGS) {
                gi = layout::GuidIndexPublicStrings;
            } else {
                auto [it, added] =
                    guidIndex.try_emplace(n.guid, std::uint16_t(3 + guidIndex.size()));
                if (added)
                    guids.insert(guids.end(), n.guid.bytes.begin(), n.guid.bytes.end());
                gi = it->second;
            }
            const bool isString = !n.lid.has_value();
            const std::uint32_t indexAndKind =
                (std::uint32_t(i) << 16) | (std::uint32_t(gi) << 1) | (isString ? 1u : 0u);
            std::uint32_t key;
            if (isString) {
                const Bytes utf16 = mapi::utf16le(n.name);
                append32(entries, std::uint32_t(strings.size()));
                append32(strings, std::uint32_t(utf16.size()));
                append(strings, utf16);
                while (strings.size() % 4)
                    strings.push_back(0);
                key = layout::nameCrc(utf16);
            } else {
                append32(entries, *n.lid);
                key = *n.lid;
            }
            append32(entries, indexAndKind);
            Bytes& m = mapping[layout::mappingStreamTag(key, gi, isString)];
            append32(m, key);
            append32(m, indexAndKind);
        }
        tree.addStream(dir, layout::valueStream(layout::GuidStreamTag), std::move(guids));
        tree.addStream(dir, layout::valueStream(layout::EntryStreamTag), std::move(entries));
        tree.addStream(dir, layout::valueStream(layout::StringStreamTag), std::move(strings));
        for (auto& [tag, bytes] : mapping)
            tree.addStream(dir, layout::valueStream(tag), std::move(bytes));
    }

private:
    void collectBag(const PropertyBag& bag) {
        for (const auto& p : bag.props) {
            if (p.name && !ids_.contains(*p.name) &&
                names_.size() < 0xFFFF - layout::FirstNamedId) {
                ids_.emplace(*p.name, std::uint16_t(layout::FirstNamedId + names_.size()));
                names_.push_back(*p.name);
            }
        }
    }

    std::map<PropertyName, std::uint16_t> ids_;
    std::vector<PropertyName> names_;
};

enum class Level { Top, Embedded };

// True when a string of the message or of anything below it is Unicode: only then may the
// file claim Unicode strings (a message of an ANSI store keeps its 8-bit strings).
bool holdsUnicode(const PropertyBag& bag) {
    return std::any_of(bag.props.begin(), bag.props.end(),
                       [](const Property& p) { return mapi::baseType(p.type) == mapi::PtUnicode; });
}
bool holdsUnicode(const Message& m) {
    if (holdsUnicode(static_cast<const PropertyBag&>(m)))
        return true;
    for (const auto& r : m.recipients)
        if (holdsUnicode(r))
            return true;
    for (const auto& a : m.attachments)
        if (holdsUnicode(a) || (a.embedded && holdsUnicode(*a.embedded)))
            return true;
    return false;
}

class Writer {
public:
    // The message's values are not copied: the tree refers to them until it is built.
    Writer(Tree& tree, const NameTable& names, std::uint64_t stamp, bool unicode)
        : tree_(tree), names_(names), stamp_(stamp), unicode_(unicode) {}

    void message(StorageId dir, const Message& m, Level level) {
        Bytes props(8, 0); // reserved
        const auto recipients = std::uint32_t(m.recipients.size());
        const auto attachments = std::uint32_t(m.attachments.size());
        append32(props, recipients);  // next recipient id
        append32(props, attachments); // next attachment id
        append32(props, recipients);
        append32(props, attachments);
        if (level == Level::Top)
            props.resize(layout::TopHeaderSize, 0);
        Entries entries{props, layout::Object::Message};
        if (level == Level::Top && unicode_) {
            // Readers decide from this mask whether the strings of the file are Unicode; the
            // store's own mask describes the store, not the file.
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::StoreSupportMask) << 16) | mapi::PtInteger32;
            entries.fixed(tag, mapi::le32(layout::UnicodeFileSupportMask));
        }
        properties(dir, m, entries);
        for (std::uint32_t i = 0; i < recipients; ++i) {
            const StorageId r = storage(dir, layout::recipientStorage(i));
            Bytes rp(layout::ChildHeaderSize, 0);
            Entries re{rp, layout::Object::Recipient};
            properties(r, m.recipients[i], re);
            // The row id numbers the recipients as their storages do.
            const std::uint32_t rowId =
                (std::uint32_t(mapi::tags::RowId) << 16) | mapi::PtInteger32;
            if (!m.recipients[i].find(mapi::tags::RowId))
                re.fixed(rowId, mapi::le32(i));
            tree_.addStream(r, layout::PropertiesStream, std::move(rp));
        }
        for (std::uint32_t i = 0; i < attachments; ++i)
            attachment(dir, m.attachments[i], i);
        tree_.addStream(dir, layout::PropertiesStream, std::move(props));
    }

private:
    // The entries of one property stream, each tag once, with the flags of its object.
    struct Entries {
        Entries(Bytes& p, layout::Object o) : props(p), object(o) {}
        Bytes& props;
        layout::Object object;
        std::set<std::uint32_t> written;

        bool add(std::uint32_t tag) { return written.insert(tag).second; }
        // The value cut or padded with zeros to the field's 8 bytes.
        void fixed(std::uint32_t tag, const std::uint8_t* value, std::size_t size) {
            if (!add(tag))
                return;
            head(tag);
            const std::size_t kept = std::min<std::size_t>(size, 8);
            props.insert(props.end(), value, value + kept);
            props.resize(props.size() + 8 - kept, 0);
        }
        void fixed(std::uint32_t tag, const Bytes& value) {
            fixed(tag, value.data(), value.size());
        }
        void variable(std::uint32_t tag, std::uint32_t size, std::uint32_t reserved = 0) {
            if (!add(tag))
                return;
            head(tag);
            append32(props, size);
            append32(props, reserved);
        }
        void head(std::uint32_t tag) {
            append32(props, tag);
            append32(props, layout::propertyFlags(object, std::uint16_t(tag >> 16)));
        }
    };

    // The store's mask below the top of a Unicode file, claiming the file's Unicode strings.
    Bytes supportMask(const Property& stored) const {
        const std::uint32_t mask =
            stored.value.size() >= 4 ? mapi::readLe32(stored.value.data()) : 0;
        return mapi::le32(mask | layout::StoreUnicodeOk);
    }

    // A storage below parent, created and modified at the time of the save.
    StorageId storage(StorageId parent, std::string_view name) {
        const StorageId id = tree_.addStorage(parent, name);
        tree_.setTimes(id, stamp_, stamp_);
        return id;
    }

    void attachment(StorageId parent, const mapi::Attachment& a, std::uint32_t index) {
        const StorageId dir = storage(parent, layout::attachmentStorage(index));
        Bytes props(layout::ChildHeaderSize, 0);
        Entries entries{props, layout::Object::Attachment};
        if (a.embedded) {
            message(storage(dir, layout::EmbeddedStorage), *a.embedded, Level::Embedded);
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::AttachDataBinary) << 16) | mapi::PtObject;
            entries.variable(tag, layout::ObjectSize, layout::EmbeddedMessageReserved);
        } else if (const Property* data = a.find(mapi::tags::AttachDataBinary);
                   data && data->type == mapi::PtObject && isCompoundFile(data->value)) {
            // An OLE object: its storage tree goes below the attachment as it is.
            try {
                copyImageInto(data->value, tree_, storage(dir, layout::EmbeddedStorage), stamp_);
            } catch (const std::string& e) {
                throw WriteError{e};
            }
            entries.variable(data->tag(), layout::ObjectSize);
        }
        properties(dir, a, entries);
        // The attachment's number and place in the body, as a file of its own has them.
        const auto int32Tag = [](std::uint16_t id) {
            return (std::uint32_t(id) << 16) | mapi::PtInteger32;
        };
        if (!a.find(mapi::tags::AttachNumber))
            entries.fixed(int32Tag(mapi::tags::AttachNumber), mapi::le32(index));
        if (!a.find(mapi::tags::RenderingPosition))
            entries.fixed(int32Tag(mapi::tags::RenderingPosition), mapi::le32(0xFFFFFFFF));
        tree_.addStream(dir, layout::PropertiesStream, std::move(props));
    }

    // Appends the entries of the bag and writes the value streams into dir.
    void properties(StorageId dir, const PropertyBag& bag, Entries& entries) {
        for (const Property& p : bag.props) {
            std::uint16_t id = p.id;
            if (p.name) {
                auto mapped = names_.idFor(*p.name);
                if (!mapped)
                    continue;
                id = *mapped;
            } else if (id >= layout::FirstNamedId) {
                continue; // a named-range id without its name means nothing in another file
            } else if (!layout::keptInFile(entries.object, id)) {
                continue;
            }
            const std::uint16_t type = p.type;
            const std::uint16_t base = mapi::baseType(type);
            if (base == mapi::PtObject || base == mapi::PtUnspecified || !mapi::isKnownType(type))
                continue;
            const std::uint32_t tag = (std::uint32_t(id) << 16) | type;
            if (entries.written.contains(tag))
                continue;
            if (!mapi::isMultiValued(type)) {
                if (base == mapi::PtNull) {
                    entries.fixed(tag, {});
                } else if (!p.name && id == mapi::tags::StoreSupportMask &&
                           type == mapi::PtInteger32) {
                    // A file without Unicode strings carries no mask at all.
                    if (unicode_)
                        entries.fixed(tag, supportMask(p));
                } else if (const std::size_t inlined = layout::inlineSize(type); inlined != 0) {
                    entries.fixed(tag, p.value.data(), std::min(p.value.size(), inlined));
                } else {
                    // Strings are stored without their terminator; the size counts it.
                    const std::uint32_t extra = base == mapi::PtUnicode   ? 2
                                                : base == mapi::PtString8 ? 1
                                                                          : 0;
                    std::size_t size = p.value.size();
                    if (base == mapi::PtGuid && size != 16) {
                        Bytes v = p.value;
                        v.resize(16, 0);
                        size = v.size();
                        tree_.addStream(dir, layout::valueStream(tag), std::move(v));
                    } else {
                        tree_.addStreamView(dir, layout::valueStream(tag), p.value);
                    }
                    entries.variable(tag, std::uint32_t(size) + extra);
                }
                continue;
            }
            if (mapi::fixedSize(base) != 0) {
                // Fixed-size multi-values: one stream with the values one after another.
                const std::size_t width = mapi::fixedSize(base);
                Bytes all;
                all.reserve(width * p.values.size());
                for (const Bytes& v : p.values) {
                    const std::size_t kept = std::min(v.size(), width);
                    all.insert(all.end(), v.begin(), v.begin() + long(kept));
                    all.resize(all.size() + width - kept, 0);
                }
                const auto size = std::uint32_t(all.size());
                tree_.addStream(dir, layout::valueStream(tag), std::move(all));
                entries.variable(tag, size);
                continue;
            }
            // Variable-size multi-values: a length stream and one stream per value; here each
            // string keeps its terminator and its length counts it.
            Bytes lengths;
            for (std::uint32_t i = 0; i < p.values.size(); ++i) {
                const Bytes& v = p.values[i];
                const std::size_t terminator = base == mapi::PtUnicode   ? 2
                                               : base == mapi::PtString8 ? 1
                                                                         : 0;
                append32(lengths, std::uint32_t(v.size() + terminator));
                if (base == mapi::PtBinary)
                    append32(lengths, 0);
                if (terminator == 0) {
                    tree_.addStreamView(dir, layout::valueStream(tag, i), v);
                    continue;
                }
                Bytes withTerminator;
                withTerminator.reserve(v.size() + terminator);
                withTerminator.assign(v.begin(), v.end());
                withTerminator.resize(v.size() + terminator, 0);
                tree_.addStream(dir, layout::valueStream(tag, i), std::move(withTerminator));
            }
            const auto size = std::uint32_t(lengths.size());
            tree_.addStream(dir, layout::valueStream(tag), std::move(lengths));
            entries.variable(tag, size);
        }
    }

    Tree& tree_;
    const NameTable& names_;
    std::uint64_t stamp_;
    bool unicode_;
};

constexpr std::uint64_t FiletimeUnixEpoch = 116444736000000000ULL;
constexpr std::uint64_t FiletimeSecond = 10000000ULL;

std::uint64_t nowAsFiletime() {
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return FiletimeUnixEpoch + std::uint64_t(since.count()) * 10;
}

Failure cannotSave(const QString& path, const std::string& what) {
    return Failure(
        failures::FileAccess,
        QStringLiteral("Cannot save \"%1\": %2.").arg(path, QString::fromStdString(what)));
}

// The storages and streams of a message, roughly: enough that the tree rarely grows.
std::size_t estimatedEntries(const Message& m) {
    std::size_t n = 8 + m.props.size() + 2 * m.recipients.size();
    for (const auto& r : m.recipients)
        n += r.props.size();
    for (const auto& a : m.attachments)
        n += 3 + a.props.size() + (a.embedded ? estimatedEntries(*a.embedded) : 0);
    return n;
}

std::optional<std::uint64_t> fileTime(const Message& m) {
    for (std::uint16_t id :
         {mapi::tags::MessageDeliveryTime, mapi::tags::ClientSubmitTime, mapi::tags::CreationTime})
        if (auto t = m.time(id))
            return t;
    return std::nullopt;
}

} // namespace

void OutputFolder::save(const Message& message, const QString& name, const WriteOptions& options) {
    const QString path = path_ + QLatin1Char('/') + name;
    PendingFile file(*impl_, name, path);
    // Every storage carries the time of the save, as in the mail program's files (some readers
    // expect a time on each); the file itself is dated as the message.
    const std::uint64_t stamp = options.savedAt ? *options.savedAt : nowAsFiletime();

    // The tree refers to the message's values: the large ones go from there into the file.
    Tree tree;
    try {
        tree.reserve(estimatedEntries(message));
        tree.setClassId(Tree::Root, layout::MessageClassId);
        tree.setTimes(Tree::Root, 0, stamp);
        NameTable names;
        names.collect(message);
        Writer writer(tree, names, stamp, holdsUnicode(message));
        writer.message(Tree::Root, message, Level::Top);
        names.write(tree, stamp);
    } catch (const WriteError& e) {
        throw cannotSave(path, e.what);
    } catch (const cfb::Error& e) {
        throw cannotSave(path, e.what());
    }

    std::unique_ptr<OutputSink> sink = file.sink();
    if (options.interpose)
        sink = options.interpose(std::move(sink));
    errno = 0;
    bool written = false;
    try {
        written = tree.writeAll(
            [&sink](std::span<const Tree::Piece> pieces) { return sink->write(pieces); });
    } catch (const cfb::Error& e) {
        throw cannotSave(path, e.what());
    }
    if (!written || !sink->flush())
        throw fileFailure(errno ? errno : EIO, path);
    file.setModificationTime(fileTime(message));
    file.commit();
}

void writeMsg(const Message& message, const QString& path, const WriteOptions& options) {
    const QFileInfo info(path);
    OutputFolder(info.absolutePath(), FolderCalls{}, path, false)
        .save(message, info.fileName(), options);
}

} // namespace talvenor::msg
