#include "pstwriter.h"

#include "ltp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace talvenor::pstwriter {

namespace {

using mapi::Property;
using mapi::PropertyName;

constexpr std::uint32_t kNidStore = 0x21;
constexpr std::uint32_t kNidNameMap = 0x61;
constexpr std::uint32_t kNidRoot = 0x122;
constexpr std::uint32_t kNidIpm = 0x8022;
constexpr std::uint32_t kNidSearchRoot = 0x8042;
constexpr std::uint32_t kNidDeleted = 0x8062;
constexpr std::uint32_t kNidSpam = 0x2223;
// Where offline stores keep "Root - Mailbox" and its IPM subtree (readpst looks for the
// latter there when the store does not name it).
constexpr std::uint32_t kNidMailboxRoot = 0x2122;
constexpr std::uint32_t kNidOfflineIpm = 0x2142;
constexpr std::uint32_t kFirstUserFolderIndex = 0x405;
constexpr std::uint32_t kFirstMessageIndex = 0x10000;
constexpr std::uint32_t kAttachOle = 6; // PR_ATTACH_METHOD of an OLE object

// Columns of the template tables, as Outlook lays them out.
const std::vector<std::uint32_t> kHierarchyCols = {0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003,
                                                   0x3001001F, 0x36020003, 0x36030003, 0x360A000B,
                                                   0x3613001F, 0x66350003, 0x66360003};
const std::vector<std::uint32_t> kContentsCols = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x00390040, 0x0042001F, 0x0057000B,
    0x0058000B, 0x0070001F, 0x00710102, 0x0E03001F, 0x0E04001F, 0x0E060040, 0x0E070003,
    0x0E080003, 0x0E170003, 0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003, 0x0E3C0102,
    0x0E3D0102, 0x10970003, 0x30080040, 0x30130102, 0x65C60003};
const std::vector<std::uint32_t> kAssocCols = {
    0x001A001F, 0x0E070003, 0x0E170003, 0x3001001F, 0x6800001F, 0x6803000B, 0x68051003,
    0x682F001F, 0x70030003, 0x70040102, 0x70050102, 0x7006001F, 0x70070003};
const std::vector<std::uint32_t> kSearchContentsCols = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x0042001F, 0x0057000B,
    0x0058000B, 0x0E03001F, 0x0E04001F, 0x0E05001F, 0x0E060040, 0x0E070003,
    0x0E080003, 0x0E170003, 0x0E2A000B, 0x30080040, 0x67F10003};
const std::vector<std::uint32_t> kAttachCols = {0x0E200003, 0x3704001F, 0x37050003, 0x370B0003};
const std::vector<std::uint32_t> kRecipientCols = {0x0C150003, 0x0E0F000B, 0x0FF90102, 0x0FFE0003,
                                                   0x0FFF0102, 0x3001001F, 0x3002001F, 0x3003001F,
                                                   0x300B0102, 0x39000003, 0x39FF001F, 0x3A40000B};

Bytes le32(std::uint32_t v) {
    return mapi::le32(v);
}

Value int32Value(std::uint32_t v) {
    return {0x0003, le32(v), {}};
}
Value boolValue(bool v) {
    return {0x000B, {std::uint8_t(v ? 1 : 0), 0}, {}};
}
Value unicodeValue(const std::u16string& s) {
    return {0x001F, mapi::utf16le(s), {}};
}
Value binaryValue(Bytes b) {
    return {0x0102, std::move(b), {}};
}

std::string hex4(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", v);
    return buf;
}

bool storableType(std::uint16_t type) {
    if (!mapi::isKnownType(type))
        return false;
    const std::uint16_t b = mapi::baseType(type);
    return b != mapi::PtNull && b != mapi::PtObject && b != mapi::PtRestriction &&
           b != mapi::PtRuleAction && b != mapi::PtUnspecified;
}

void validateBag(const mapi::PropertyBag& bag, const std::string& where) {
    for (const Property& p : bag.props) {
        const bool object = p.type == mapi::PtObject && p.id == mapi::tags::AttachDataBinary;
        if (!object && !storableType(p.type))
            throw Error(where + ": property " + hex4(p.id) + " has a type the PST format cannot " +
                        "store (" + hex4(p.type) + ")");
        if (p.name) {
            if (p.name->name.find(u'\0') != std::u16string::npos)
                throw Error(where + ": the name of named property " + hex4(p.id) +
                            " contains a NUL character");
            if (!p.name->lid && p.name->name.empty())
                throw Error(where + ": named property " + hex4(p.id) + " has an empty name");
        } else if (p.id >= 0x8000) {
            throw Error(where + ": property " + hex4(p.id) +
                        " is in the named range but carries no name");
        }
        const std::size_t fixed = mapi::fixedSize(p.type);
        if (mapi::isMultiValued(p.type)) {
            for (const auto& v : p.values)
                if (fixed != 0 && v.size() != fixed)
                    throw Error(where + ": a value of property " + hex4(p.id) + " has " +
                                std::to_string(v.size()) + " bytes instead of " +
                                std::to_string(fixed));
        } else if (fixed != 0 && p.value.size() != fixed) {
            throw Error(where + ": property " + hex4(p.id) + " has " +
                        std::to_string(p.value.size()) + " bytes instead of " +
                        std::to_string(fixed));
        }
        if ((mapi::baseType(p.type) == mapi::PtUnicode) &&
            (mapi::isMultiValued(p.type) ? std::any_of(p.values.begin(), p.values.end(),
                                                       [](const Bytes& v) { return v.size() % 2; })
                                         : p.value.size() % 2))
            throw Error(where + ": Unicode property " + hex4(p.id) + " has an odd byte count");
    }
}

void validateMessage(const mapi::Message& m, const std::string& where, int depth) {
    if (depth > 32)
        throw Error(where + ": embedded messages are nested too deeply");
    validateBag(m, where);
    for (std::size_t i = 0; i < m.recipients.size(); ++i)
        validateBag(m.recipients[i], where + ", recipient " + std::to_string(i + 1));
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
        const std::string w = where + ", attachment " + std::to_string(i + 1);
        validateBag(m.attachments[i], w);
        if (const Property* data = m.attachments[i].find(mapi::tags::AttachDataBinary);
            data && data->type == mapi::PtObject && !m.attachments[i].embedded &&
            !mapi::startsAsCompoundFile(data->value))
            throw Error(w + ": an OLE object must hold a compound file");
        if (m.attachments[i].embedded)
            validateMessage(*m.attachments[i].embedded, w, depth + 1);
    }
}

// Named properties: ids are given out in order of first use.
class NameMap {
public:
    std::uint16_t idFor(const PropertyName& name) {
        auto it = ids_.find(name);
        if (it != ids_.end())
            return it->second;
        if (order_.size() >= 0x7FFF)
            throw Error("too many named properties");
        const auto id = std::uint16_t(0x8000 + order_.size());
        ids_.emplace(name, id);
        order_.push_back(name);
        return id;
    }

    std::map<std::uint16_t, Value> properties() const {
        const int buckets = 251;
        Bytes guids;
        Bytes entries;
        Bytes strings;
        std::vector<Bytes> hash(buckets);
        std::vector<mapi::Guid> guidList;
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const PropertyName& n = order_[i];
            std::uint16_t wGuid;
            if (n.guid == mapi::PS_MAPI) {
                wGuid = 1;
            } else if (n.guid == mapi::PS_PUBLIC_STRINGS) {
                wGuid = 2;
            } else {
                auto it = std::find(guidList.begin(), guidList.end(), n.guid);
                if (it == guidList.end()) {
                    guidList.push_back(n.guid);
                    guids.insert(guids.end(), n.guid.bytes.begin(), n.guid.bytes.end());
                    it = guidList.end() - 1;
                }
                wGuid = std::uint16_t(3 + (it - guidList.begin()));
            }
            const bool isString = !n.lid.has_value();
            std::uint32_t key;
            std::uint32_t hashKey;
            if (isString) {
                key = std::uint32_t(strings.size());
                const Bytes utf = mapi::utf16le(n.name);
                auto len = le32(std::uint32_t(utf.size()));
                strings.insert(strings.end(), len.begin(), len.end());
                strings.insert(strings.end(), utf.begin(), utf.end());
                while (strings.size() % 4)
                    strings.push_back(0);
                hashKey = pstCrc(utf.data(), utf.size());
            } else {
                key = *n.lid;
                hashKey = key;
            }
            const std::uint16_t kind = std::uint16_t((wGuid << 1) | (isString ? 1 : 0));
            auto record = [&](std::uint32_t first) {
                Bytes r = le32(first);
                r.push_back(std::uint8_t(kind));
                r.push_back(std::uint8_t(kind >> 8));
                r.push_back(std::uint8_t(i));
                r.push_back(std::uint8_t(i >> 8));
                return r;
            };
            const Bytes e = record(key);
            entries.insert(entries.end(), e.begin(), e.end());
            const Bytes h = record(hashKey);
            Bytes& bucket = hash[(hashKey ^ kind) % buckets];
            bucket.insert(bucket.end(), h.begin(), h.end());
        }
        std::map<std::uint16_t, Value> props;
        props[0x0001] = int32Value(buckets);
        props[0x0002] = binaryValue(guids);
        props[0x0003] = binaryValue(entries);
        props[0x0004] = binaryValue(strings);
        for (int b = 0; b < buckets; ++b)
            if (!hash[b].empty())
                props[std::uint16_t(0x1000 + b)] = binaryValue(hash[b]);
        return props;
    }

private:
    std::map<PropertyName, std::uint16_t> ids_;
    std::vector<PropertyName> order_;
};

struct Folder {
    std::uint32_t nid = 0;
    std::uint32_t parent = 0;
    std::u16string name;
    std::u16string containerClass;
    std::vector<std::uint32_t> children;
    std::uint32_t messages = 0;
    std::uint32_t unread = 0;
    // Messages are written but left out of the contents table and the counts.
    bool emptyContents = false;
    // Left out of the index (its own node and tables), or out of its parent's hierarchy table.
    bool lost = false;
    bool unlisted = false;
    std::unique_ptr<TcWriter> contents;
};

struct Written {
    PcResult pc;
    std::uint32_t size = 0;
};

std::uint32_t recipientType(const mapi::Recipient& r) {
    return std::uint32_t(r.int32(mapi::tags::RecipientType).value_or(1));
}

} // namespace

struct Writer::Impl {
    std::filesystem::path target;
    std::filesystem::path temp;
    Options options;
    std::unique_ptr<NdbWriter> ndb;
    std::map<std::uint32_t, Folder> folders;
    NameMap names;
    std::uint32_t nextFolderIndex = kFirstUserFolderIndex;
    std::uint32_t nextMessageIndex = kFirstMessageIndex;
    std::map<SpecialFolder, std::uint32_t> special;
    // The IPM subtree: node 0x8022 in personal folders; in offline stores a folder of its own
    // under "Root - Mailbox", with an empty folder at 0x8022 that no reader may take for it.
    std::uint32_t ipm = kNidIpm;
    std::uint32_t mailboxRoot = 0;
    bool offline() const { return options.format == Format::Ost4k; }
    std::array<std::uint8_t, 16> storeUid{};
    bool finished = false;
    bool failed = false;

    Folder& folder(std::uint32_t nid) {
        auto it = folders.find(nid);
        if (it == folders.end())
            throw Error("no folder with id " + hex4(nid));
        return it->second;
    }

    Folder& makeFolder(std::uint32_t nid, std::uint32_t parent, std::u16string name,
                       std::u16string cls) {
        Folder& f = folders[nid];
        f.nid = nid;
        f.parent = parent;
        f.name = std::move(name);
        f.containerClass = std::move(cls);
        f.contents = std::make_unique<TcWriter>(*ndb, kContentsCols);
        if (parent != nid)
            folder(parent).children.push_back(nid);
        return f;
    }

    std::map<std::uint16_t, Value> toValues(const mapi::PropertyBag& bag) {
        std::map<std::uint16_t, Value> out;
        for (const Property& p : bag.props) {
            const std::uint16_t id = p.name ? names.idFor(*p.name) : p.id;
            out[id] = Value{p.type, p.value, p.values};
        }
        return out;
    }

    static std::map<std::uint32_t, Value> byTag(const std::map<std::uint16_t, Value>& values) {
        std::map<std::uint32_t, Value> out;
        for (const auto& [id, v] : values)
            out[(std::uint32_t(id) << 16) | v.type] = v;
        return out;
    }

    bool eightBitMessages() const {
        return options.messageStrings == MessageStrings::String8 ||
               (options.messageStrings == MessageStrings::AsStore && !ndb->unicode());
    }

    Written writeMessage(const mapi::Message& m) {
        const std::uint64_t start = ndb->blockBytes();
        PcWriter pc(*ndb, eightBitMessages());
        auto values = toValues(m);

        // Recipients live only in the recipient table; its columns cover every property any
        // recipient carries.
        {
            std::vector<std::map<std::uint32_t, Value>> rows;
            std::vector<std::uint32_t> tags = kRecipientCols;
            for (const auto& r : m.recipients) {
                auto rv = toValues(r);
                if (!rv.count(mapi::tags::RecipientType))
                    rv[mapi::tags::RecipientType] = int32Value(1);
                if (!rv.count(0x0FFE))
                    rv[0x0FFE] = int32Value(6); // a mail user
                if (!rv.count(0x3900))
                    rv[0x3900] = int32Value(0);
                rv.erase(0x67F2);
                rv.erase(0x67F3);
                auto tagged = byTag(rv);
                for (const auto& [tag, v] : tagged)
                    if (std::find(tags.begin(), tags.end(), tag) == tags.end())
                        tags.push_back(tag);
                rows.push_back(std::move(tagged));
            }
            TcWriter table(*ndb, tags, eightBitMessages());
            for (std::size_t i = 0; i < rows.size(); ++i)
                table.addRow(std::uint32_t(i), rows[i]);
            const PcResult r = table.finish();
            pc.subnodes().add(0x692, r.bidData, r.bidSub);
        }

        if (!m.attachments.empty()) {
            TcWriter table(*ndb, kAttachCols);
            for (std::size_t i = 0; i < m.attachments.size(); ++i) {
                const mapi::Attachment& a = m.attachments[i];
                auto av = toValues(a);
                PcWriter apc(*ndb, eightBitMessages());
                std::uint32_t size = 0;
                if (a.embedded) {
                    const Written inner = writeMessage(*a.embedded);
                    const std::uint32_t nid = apc.subnodes().newNid(0x04);
                    apc.subnodes().add(nid, inner.pc.bidData, inner.pc.bidSub);
                    Bytes obj = le32(nid);
                    auto sz = le32(inner.size);
                    obj.insert(obj.end(), sz.begin(), sz.end());
                    av[mapi::tags::AttachDataBinary] = Value{mapi::PtObject, obj, {}};
                    av[mapi::tags::AttachMethod] = int32Value(mapi::AttachEmbeddedMsg);
                    size = inner.size;
                } else if (auto it = av.find(mapi::tags::AttachDataBinary);
                           it != av.end() && it->second.type == mapi::PtObject) {
                    // An OLE object: its compound file lives in a sub-node of the attachment,
                    // which the property refers to by node id and size.
                    const Bytes image = std::move(it->second.data);
                    DataStreamWriter stream(*ndb);
                    stream.append(image.data(), image.size());
                    const std::uint32_t nid = apc.subnodes().newNid(0x1F);
                    apc.subnodes().add(nid, stream.finish(), 0);
                    Bytes obj = le32(nid);
                    auto sz = le32(std::uint32_t(image.size()));
                    obj.insert(obj.end(), sz.begin(), sz.end());
                    it->second = Value{mapi::PtObject, obj, {}};
                    if (!av.count(mapi::tags::AttachMethod))
                        av[mapi::tags::AttachMethod] = int32Value(kAttachOle);
                    size = std::uint32_t(image.size());
                } else {
                    if (auto it = av.find(mapi::tags::AttachDataBinary); it != av.end())
                        size = std::uint32_t(it->second.data.size());
                    if (!av.count(mapi::tags::AttachMethod))
                        av[mapi::tags::AttachMethod] = int32Value(mapi::AttachByValue);
                }
                if (!av.count(mapi::tags::AttachSize))
                    av[mapi::tags::AttachSize] = int32Value(size);
                if (!av.count(mapi::tags::RenderingPosition))
                    av[mapi::tags::RenderingPosition] = int32Value(0xFFFFFFFF);
                if (!av.count(mapi::tags::AttachNumber))
                    av[mapi::tags::AttachNumber] = int32Value(std::uint32_t(i));
                if (!av.count(0x0FFE))
                    av[0x0FFE] = int32Value(7); // an attachment
                apc.build(av);
                const PcResult ar = apc.write();
                const std::uint32_t nid = pc.subnodes().newNid(0x05);
                pc.subnodes().add(nid, ar.bidData, ar.bidSub);
                auto row = byTag(av);
                if (!row.count(0x3704001F) && av.count(mapi::tags::AttachLongFilename))
                    row[0x3704001F] = av[mapi::tags::AttachLongFilename];
                table.addRow(nid, row);
            }
            const PcResult r = table.finish();
            pc.subnodes().add(0x671, r.bidData, r.bidSub);
        }

        if (!values.count(mapi::tags::MessageClass))
            values[mapi::tags::MessageClass] = unicodeValue(u"IPM.Note");
        std::uint32_t flags = 0;
        if (auto it = values.find(mapi::tags::MessageFlags); it != values.end())
            flags = mapi::readLe32(it->second.data.data());
        if (!m.attachments.empty())
            flags |= 0x10;
        values[mapi::tags::MessageFlags] = int32Value(flags);
        // The display lists that summary views show.
        const std::pair<std::uint16_t, std::uint32_t> lists[] = {
            {mapi::tags::DisplayTo, 1}, {mapi::tags::DisplayCc, 2}, {mapi::tags::DisplayBcc, 3}};
        for (const auto& [id, type] : lists) {
            if (values.count(id))
                continue;
            std::u16string text;
            for (const auto& r : m.recipients) {
                if (recipientType(r) != type)
                    continue;
                if (!text.empty())
                    text += u"; ";
                text += r.unicode(mapi::tags::DisplayName).value_or(u"");
            }
            values[id] = unicodeValue(text);
        }
        // Readers decode 8-bit strings in the code page the message names.
        if (!ndb->unicode() || eightBitMessages()) {
            if (!values.count(mapi::tags::MessageCodepage))
                values[mapi::tags::MessageCodepage] = int32Value(options.codePage);
            if (!values.count(mapi::tags::InternetCodepage))
                values[mapi::tags::InternetCodepage] = int32Value(options.codePage);
        }
        values[mapi::tags::MessageSize] = int32Value(0);
        pc.build(values);
        const std::uint64_t size =
            ndb->blockBytes() - start + pc.pendingBytes() + pc.subnodes().pendingBytes(*ndb);
        pc.patchInline(mapi::tags::MessageSize, std::uint32_t(size));
        Written w;
        w.pc = pc.write();
        w.size = std::uint32_t(size);
        return w;
    }

    std::map<std::uint32_t, Value> folderRow(const Folder& f) {
        std::map<std::uint32_t, Value> row;
        row[0x3001001F] = unicodeValue(f.name);
        row[0x36020003] = int32Value(f.messages);
        row[0x36030003] = int32Value(f.unread);
        row[0x360A000B] = boolValue(!f.children.empty());
        if (!f.containerClass.empty())
            row[0x3613001F] = unicodeValue(f.containerClass);
        return row;
    }

    void writeEmptyTable(std::uint32_t nid, const std::vector<std::uint32_t>& cols) {
        TcWriter t(*ndb, cols);
        const PcResult r = t.finish();
        ndb->addNode(nid, r.bidData, r.bidSub, 0);
    }

    void writePc(std::uint32_t nid, std::uint32_t parent,
                 const std::map<std::uint16_t, Value>& props) {
        PcWriter pc(*ndb);
        pc.build(props);
        const PcResult r = pc.write();
        ndb->addNode(nid, r.bidData, r.bidSub, parent);
    }

    Bytes entryId(std::uint32_t nid) const {
        Bytes e(4, 0);
        e.insert(e.end(), storeUid.begin(), storeUid.end());
        auto n = le32(nid);
        e.insert(e.end(), n.begin(), n.end());
        return e;
    }

    void writeFolder(Folder& f) {
        if (f.lost)
            return;
        std::map<std::uint16_t, Value> props;
        props[0x3001] = unicodeValue(f.name);
        props[0x3602] = int32Value(f.messages);
        props[0x3603] = int32Value(f.unread);
        props[0x360A] = boolValue(!f.children.empty());
        if (!f.containerClass.empty())
            props[0x3613] = unicodeValue(f.containerClass);
        const std::uint8_t type = f.nid == kNidSpam ? 0x03 : 0x02;
        (void)type;
        writePc(f.nid, f.parent, props);
        const std::uint32_t base = f.nid & ~0x1Fu;
        if (f.nid == kNidSpam) {
            const PcResult r = f.contents->finish();
            ndb->addNode(base | 0x10, r.bidData, r.bidSub, 0);
            return;
        }
        TcWriter hierarchy(*ndb, kHierarchyCols);
        std::vector<std::uint32_t> kids = f.children;
        std::sort(kids.begin(), kids.end());
        for (std::uint32_t k : kids)
            if (!folder(k).unlisted)
                hierarchy.addRow(k, folderRow(folder(k)));
        const PcResult h = hierarchy.finish();
        ndb->addNode(base | 0x0D, h.bidData, h.bidSub, 0);
        const PcResult c = f.contents->finish();
        ndb->addNode(base | 0x0E, c.bidData, c.bidSub, 0);
        writeEmptyTable(base | 0x0F, kAssocCols);
    }

    void finish() {
        // Folders.
        for (auto& [nid, f] : folders)
            writeFolder(f);

        // The spam search folder's companions: its update queue and criteria.
        ndb->addNode(0x2226, 0, 0, 0);
        writePc(0x2227, 0, {{0x660B, int32Value(0)}});

        // The message store.
        std::map<std::uint16_t, Value> store;
        store[0x0FF9] = binaryValue(Bytes(storeUid.begin(), storeUid.end()));
        store[0x3001] = unicodeValue(options.displayName);
        std::uint32_t mask = 0x08 | 0x80;
        // Offline stores do not name their IPM subtree; readers find it by the folders below.
        if (!offline() && options.ipmSubtreeEntryId) {
            store[0x35E0] = binaryValue(entryId(ipm));
            mask |= 0x01;
        }
        store[0x35E3] = binaryValue(entryId(kNidDeleted));
        store[0x35E7] = binaryValue(entryId(kNidSearchRoot));
        if (special.count(SpecialFolder::SentItems)) {
            store[0x35E4] = binaryValue(entryId(special[SpecialFolder::SentItems]));
            mask |= 0x10;
        }
        if (special.count(SpecialFolder::Outbox)) {
            store[0x35E2] = binaryValue(entryId(special[SpecialFolder::Outbox]));
            mask |= 0x04;
        }
        if (special.count(SpecialFolder::Inbox))
            mask |= 0x02;
        store[0x35DF] = int32Value(mask);
        store[0x67FF] = int32Value(0);
        // The code page of the store's own 8-bit strings (folder names), where it is not the
        // one readers assume.
        if (!ndb->unicode() && options.codePage != 1252)
            store[0x66C3] = int32Value(options.codePage);
        writePc(kNidStore, 0, store);

        writePc(kNidNameMap, 0, names.properties());

        // Search bookkeeping nodes that every store carries.
        ndb->addNode(0x1E1, 0, 0, 0);
        {
            const Bytes list = le32(kNidSpam);
            ndb->addNode(0x201, ndb->writeBlock(list, false), 0, 0);
        }
        ndb->addNode(0x261, 0, 0, 0);

        // Templates.
        std::vector<std::uint32_t> hierarchyCols = kHierarchyCols;
        writeEmptyTable(0x60D, kHierarchyCols);
        writeEmptyTable(0x60E, kContentsCols);
        writeEmptyTable(0x60F, kAssocCols);
        writeEmptyTable(0x610, kSearchContentsCols);
        writeEmptyTable(0x671, kAttachCols);
        writeEmptyTable(0x692, kRecipientCols);
        writeEmptyTable(0x6B6, {0x0E330014, 0x0E370102, 0x0E380003});
        writeEmptyTable(0x6D7, {0x001A001F, 0x0E300102, 0x0E310102, 0x0E330014, 0x0E340102,
                                0x0E380003, 0x0E3E0102});
        writeEmptyTable(0x6F8, {0x0E330014, 0x30070040});
        writeEmptyTable(0x64C, {0x00390040, 0x0E100003, 0x0E140003});
        {
            // Receive folder table: where new mail of any class goes.
            TcWriter t(*ndb, {0x001A001F, 0x66050003});
            const std::uint32_t inbox =
                special.count(SpecialFolder::Inbox) ? special[SpecialFolder::Inbox] : kNidRoot;
            t.addRow(1, {{0x001A001F, unicodeValue(u"")}, {0x66050003, int32Value(inbox)}});
            const PcResult r = t.finish();
            ndb->addNode(0x62B, r.bidData, r.bidSub, 0);
        }

        NdbWriter::HeaderInfo info;
        info.rgnid.fill(0x400);
        info.rgnid[0x02] = nextFolderIndex;
        info.rgnid[0x03] = 0x4000;
        info.rgnid[0x04] = nextMessageIndex;
        info.rgnid[0x08] = 0x8000;
        info.unique = nextMessageIndex;
        ndb->finish(info);
    }
};

Writer::Writer(const std::string& path, Options options) : d(std::make_unique<Impl>()) {
    if (!writableCodePage(options.codePage))
        throw Error("8-bit strings can only be written in code pages 1250, 1251, 1252 and 932");
    if (options.displayName.find(u'\0') != std::u16string::npos)
        throw Error("the store's display name contains a NUL character");
    if (options.topFolderName.find(u'\0') != std::u16string::npos)
        throw Error("the top folder's name contains a NUL character");
    d->options = std::move(options);
    d->target = path;
    std::filesystem::path dir = d->target.parent_path();
    if (dir.empty())
        dir = ".";
    std::string templ = (dir / ("." + d->target.filename().string() + ".XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0)
        throw Error("cannot create a file in " + dir.string() + ": " + std::strerror(errno));
    d->temp = buf.data();
    ::fchmod(fd, 0644);
    d->ndb = std::make_unique<NdbWriter>(d->options.format, d->options.encoding, FileHandle(fd));
    d->ndb->setCodePage(d->options.codePage);
    d->ndb->setTerminators(d->options.terminators);
    d->ndb->setSpreadPages(d->options.spreadPages);
    if (d->options.dataFrom > 0)
        d->ndb->leaveHoleBefore(d->options.dataFrom);

    // A stable store id derived from the name keeps generated files reproducible.
    std::uint32_t h = pstCrc(reinterpret_cast<const std::uint8_t*>(d->options.displayName.data()),
                             d->options.displayName.size() * 2, 0x5A17);
    for (int i = 0; i < 16; ++i) {
        h = h * 1103515245u + 12345u;
        d->storeUid[i] = std::uint8_t(h >> 16);
    }

    d->makeFolder(kNidRoot, kNidRoot, u"", u"");
    const std::u16string& top = d->options.topFolderName;
    if (d->offline()) {
        d->makeFolder(kNidIpm, kNidRoot, u"Archive", u"IPF.Note");
        d->mailboxRoot = kNidMailboxRoot;
        d->makeFolder(d->mailboxRoot, kNidRoot, u"Root - Mailbox", u"");
        d->ipm = kNidOfflineIpm;
        d->makeFolder(d->ipm, d->mailboxRoot, top.empty() ? u"IPM_SUBTREE" : top, u"");
    } else {
        d->makeFolder(kNidIpm, kNidRoot, top.empty() ? u"Top of Personal Folders" : top, u"");
    }
    d->makeFolder(kNidSearchRoot, kNidRoot, u"Search Root", u"");
    d->makeFolder(kNidSpam, kNidRoot, u"SPAM Search Folder 2", u"");
    d->folders[kNidSpam].contents = std::make_unique<TcWriter>(*d->ndb, kSearchContentsCols);
    d->makeFolder(kNidDeleted, d->ipm, u"Deleted Items", u"IPF.Note");
    d->special[SpecialFolder::DeletedItems] = kNidDeleted;
    // Readers refuse a name-to-id map without entries or property sets; every store names
    // its keywords and the common start time.
    d->names.idFor(mapi::PropertyName{mapi::PSETID_Common, 0x8516, u""});
    d->names.idFor(mapi::PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt, u"Keywords"});
}

Writer::~Writer() {
    if (!d->finished) {
        d->ndb.reset();
        std::error_code ec;
        std::filesystem::remove(d->temp, ec);
    }
}

FolderId Writer::topFolder() const {
    return d->ipm;
}

FolderId Writer::addFolder(FolderId parent, const std::u16string& name,
                           const std::u16string& containerClass, SpecialFolder special) {
    if (name.find(u'\0') != std::u16string::npos)
        throw Error("folder name \"" + mapi::toUtf8(name.substr(0, name.find(u'\0'))) +
                    "...\" contains a NUL character");
    if (containerClass.find(u'\0') != std::u16string::npos)
        throw Error("container class of folder \"" + mapi::toUtf8(name) +
                    "\" contains a NUL character");
    Folder& p = d->folder(parent);
    if (p.nid == kNidRoot || p.nid == kNidSearchRoot || p.nid == kNidSpam ||
        p.nid == d->mailboxRoot || (d->offline() && p.nid == kNidIpm))
        throw Error("folders can only be added under the top of the personal folders");
    if (special == SpecialFolder::DeletedItems) {
        Folder& del = d->folder(kNidDeleted);
        if (parent != d->ipm)
            throw Error("Deleted Items must be a folder of the top of the personal folders");
        del.name = name;
        del.containerClass = containerClass;
        return kNidDeleted;
    }
    if (special != SpecialFolder::None && d->special.count(special))
        throw Error("the store already has a folder of this kind: \"" + mapi::toUtf8(name) + "\"");
    if (d->nextFolderIndex >= (1u << 27))
        throw Error("too many folders");
    const std::uint32_t nid = (d->nextFolderIndex++ << 5) | 0x02;
    d->makeFolder(nid, parent, name, containerClass);
    if (special != SpecialFolder::None)
        d->special[special] = nid;
    return nid;
}

void Writer::validate(const mapi::Message& message) {
    validateMessage(message, "message", 0);
}

std::uint32_t Writer::addMessage(FolderId folder, const mapi::Message& message) {
    if (d->finished || d->failed)
        throw Error("the store is already closed");
    Folder& f = d->folder(folder);
    if (f.nid == kNidRoot || f.nid == kNidSearchRoot || f.nid == kNidSpam ||
        f.nid == d->mailboxRoot || (d->offline() && f.nid == kNidIpm))
        throw Error("messages can only be added to mail folders");
    validateMessage(message,
                    "message " + std::to_string(f.messages + 1) + " of folder \"" +
                        mapi::toUtf8(f.name) + "\"",
                    0);
    try {
        const std::uint32_t nid = (d->nextMessageIndex++ << 5) | 0x04;
        const Written w = d->writeMessage(message);
        d->ndb->addNode(nid, w.pc.bidData, w.pc.bidSub, folder);
        auto values = d->toValues(message);
        values[mapi::tags::MessageSize] = int32Value(w.size);
        std::uint32_t flags = message.int32(mapi::tags::MessageFlags).value_or(0);
        if (!message.attachments.empty())
            flags |= 0x10;
        values[mapi::tags::MessageFlags] = int32Value(flags);
        if (!values.count(mapi::tags::MessageClass))
            values[mapi::tags::MessageClass] = unicodeValue(u"IPM.Note");
        if (f.emptyContents)
            return nid;
        f.contents->addRow(nid, Impl::byTag(values));
        ++f.messages;
        if (!(flags & 0x01))
            ++f.unread;
        return nid;
    } catch (const Error&) {
        d->failed = true;
        throw;
    } catch (const std::exception& e) {
        d->failed = true;
        throw Error(std::string("cannot write the message: ") + e.what());
    }
}

void Writer::leaveContentsTableEmpty(FolderId folder) {
    Folder& f = d->folder(folder);
    if (f.messages > 0 || f.contents->rowCount() > 0)
        throw Error("the contents table of folder \"" + mapi::toUtf8(f.name) +
                    "\" already lists messages");
    f.emptyContents = true;
}

void Writer::loseFolder(FolderId folder) {
    d->folder(folder).lost = true;
}

void Writer::leaveOutOfHierarchy(FolderId folder) {
    d->folder(folder).unlisted = true;
}

void Writer::listFolderUnder(FolderId folder, FolderId listed) {
    d->folder(listed);
    d->folder(folder).children.push_back(listed);
}

void Writer::finish() {
    if (d->finished)
        return;
    if (d->failed)
        throw Error("the store cannot be completed after an earlier failure");
    try {
        d->finish();
        d->ndb.reset();
        std::filesystem::rename(d->temp, d->target);
        d->finished = true;
    } catch (const Error&) {
        d->failed = true;
        throw;
    } catch (const std::exception& e) {
        d->failed = true;
        throw Error(std::string("cannot write ") + d->target.string() + ": " + e.what());
    }
}

} // namespace talvenor::pstwriter
