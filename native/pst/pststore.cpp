#include "pststore.h"

#include <algorithm>

namespace talvenor::pst {

namespace {

constexpr std::uint32_t kNidRecipientTable = 0x692;
constexpr std::uint32_t kNidAttachmentTable = 0x671;
constexpr std::uint16_t kIpmSubtreeEntryId = 0x35E0;
constexpr std::size_t kMaxEmbedding = 16;
// Heaps one message may take to read with all it contains: a hostile file whose attached
// messages name their parents' attachments again would otherwise multiply without end.
constexpr std::size_t kMessageBudget = 20000;

// windows-1252's characters in 0x80..0x9F; the rest of the code page matches Latin-1.
constexpr char16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::uint32_t tableNid(std::uint32_t folderNid, std::uint32_t type) {
    return (folderNid & ~0x1Fu) | type;
}

} // namespace

std::u16string propertyText(const mapi::Property& p) {
    if (p.type == mapi::PtUnicode)
        return mapi::fromUtf16le(p.value);
    std::u16string out;
    for (std::uint8_t c : p.value)
        out += c >= 0x80 && c < 0xA0 ? k1252High[c - 0x80] : char16_t(c);
    return out;
}

Store::Store(std::shared_ptr<const ByteSource> source, ReadOptions options)
    : ndb_(std::make_shared<Ndb>(std::move(source), options)) {}

Store Store::openFile(const std::string& path, ReadOptions options) {
    return Store(std::make_shared<FileSource>(path), options);
}

Store Store::openMemory(Bytes bytes, ReadOptions options) {
    return Store(std::make_shared<MemorySource>(std::move(bytes)), options);
}

NodeEntry Store::requireNode(std::uint32_t nid) const {
    const auto n = ndb_->node(nid);
    if (!n)
        fail("the store has no node " + std::to_string(nid));
    return *n;
}

const NameMap& Store::names() const {
    if (!names_)
        names_ = std::make_unique<NameMap>(*ndb_);
    return *names_;
}

void Store::nameProperties(std::vector<mapi::Property>& props) const {
    for (mapi::Property& p : props)
        if (p.id >= 0x8000)
            if (const mapi::PropertyName* n = names().find(p.id))
                p.name = *n;
}

std::vector<mapi::Property> Store::storeProperties() const {
    const Heap heap(*ndb_, requireNode(kNidMessageStore));
    return readPropertyContext(heap);
}

std::optional<std::uint32_t> Store::ipmSubtree() const {
    for (const mapi::Property& p : storeProperties())
        if (p.id == kIpmSubtreeEntryId && p.type == mapi::PtBinary && p.value.size() >= 24)
            return View(p.value).u32(20);
    return std::nullopt;
}

FolderInfo Store::folder(std::uint32_t nid) const {
    const Heap heap(*ndb_, requireNode(nid));
    FolderInfo f;
    f.nid = nid;
    f.props = readPropertyContext(heap);
    nameProperties(f.props);
    for (const mapi::Property& p : f.props)
        if (p.id == mapi::tags::DisplayName &&
            (p.type == mapi::PtUnicode || p.type == mapi::PtString8))
            f.name = propertyText(p);
    return f;
}

std::vector<std::uint32_t> Store::tableRowIds(std::uint32_t nid) const {
    const auto node = ndb_->node(nid);
    if (!node)
        return {};
    const Heap heap(*ndb_, *node);
    const Table table(heap);
    std::vector<std::uint32_t> out;
    out.reserve(table.rowCount());
    for (std::size_t i = 0; i < table.rowCount(); ++i)
        out.push_back(table.rowId(i));
    return out;
}

std::vector<std::uint32_t> Store::subfolders(std::uint32_t folderNid) const {
    return tableRowIds(tableNid(folderNid, 0x0D));
}

std::vector<std::uint32_t> Store::messages(std::uint32_t folderNid) const {
    return tableRowIds(tableNid(folderNid, 0x0E));
}

std::vector<std::vector<mapi::Property>> Store::contentsRows(std::uint32_t folderNid) const {
    std::vector<std::vector<mapi::Property>> out;
    const auto node = ndb_->node(tableNid(folderNid, 0x0E));
    if (!node)
        return out;
    const Heap heap(*ndb_, *node);
    const Table table(heap);
    for (std::size_t i = 0; i < table.rowCount(); ++i)
        out.push_back(table.row(i));
    return out;
}

mapi::Message Store::message(std::uint32_t nid) const {
    return messageAt(requireNode(nid));
}

mapi::Message Store::messageAt(const NodeEntry& node) const {
    std::size_t budget = kMessageBudget;
    return readMessage(node, 0, budget);
}

mapi::Message Store::readMessage(const NodeEntry& node, std::size_t depth,
                                 std::size_t& budget) const {
    if (depth > kMaxEmbedding)
        fail("attached messages are nested deeper than a store allows");
    auto spend = [&budget] {
        if (budget == 0)
            fail("a message holds more parts than any store writes");
        --budget;
    };
    spend();
    const Heap heap(*ndb_, node);
    mapi::Message m;
    m.props = readPropertyContext(heap);
    nameProperties(m.props);

    const SubnodeMap& subs = heap.subnodes();
    if (const auto it = subs.find(kNidRecipientTable); it != subs.end()) {
        const Heap th(*ndb_, it->second);
        const Table table(th);
        for (std::size_t i = 0; i < table.rowCount(); ++i) {
            mapi::Recipient r;
            r.props = table.row(i);
            nameProperties(r.props);
            m.recipients.push_back(std::move(r));
        }
    }
    if (const auto it = subs.find(kNidAttachmentTable); it != subs.end()) {
        const Heap th(*ndb_, it->second);
        const Table table(th);
        for (std::size_t i = 0; i < table.rowCount(); ++i) {
            const auto at = subs.find(table.rowId(i));
            if (at == subs.end())
                fail("an attachment the message lists is missing");
            spend();
            const Heap ah(*ndb_, at->second);
            mapi::Attachment a;
            a.props = readPropertyContext(ah);
            nameProperties(a.props);
            const auto method = a.int32(mapi::tags::AttachMethod);
            if (mapi::Property* data = a.find(mapi::tags::AttachDataBinary);
                data && data->type == mapi::PtObject) {
                // An object lives in a sub-node of the attachment: its reference and size.
                if (data->value.size() < 8)
                    fail("an attached object's reference is damaged");
                const std::uint32_t objNid = View(data->value).u32(0);
                const auto obj = ah.subnodes().find(objNid);
                if (obj == ah.subnodes().end())
                    fail("an attached object is missing");
                if (method == std::int32_t(mapi::AttachEmbeddedMsg)) {
                    a.embedded = std::make_shared<mapi::Message>(
                        readMessage(obj->second, depth + 1, budget));
                    a.remove(mapi::tags::AttachDataBinary);
                } else {
                    data->value = ndb_->readStream(obj->second.bidData);
                }
            }
            m.attachments.push_back(std::move(a));
        }
    }
    return m;
}

} // namespace talvenor::pst
