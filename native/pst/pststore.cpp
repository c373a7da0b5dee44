#include "pststore.h"

#include "ipmsubtree.h"

#include <algorithm>
#include <set>

namespace talvenor::pst {

namespace {

constexpr std::uint32_t kNidRecipientTable = 0x692;
constexpr std::uint32_t kNidAttachmentTable = 0x671;
constexpr std::size_t kMaxEmbedding = 16;
// Heaps one message may take to read with all it contains: a hostile file whose attached
// messages name their parents' attachments again would otherwise multiply without end.
constexpr std::size_t kMessageBudget = 20000;

// windows-1252's characters in 0x80..0x9F; the rest of the code page matches Latin-1.
constexpr char16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr std::uint16_t kContentCount = 0x3602;
constexpr std::uint16_t kSubfolders = 0x360A;
constexpr std::uint32_t kTypeNormalFolder = 0x02;
constexpr std::uint32_t kTypeMessage = 0x04;

std::uint32_t tableNid(std::uint32_t folderNid, std::uint32_t type) {
    return (folderNid & ~0x1Fu) | type;
}

std::string hex(std::uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return out;
}

} // namespace

static std::u16string displayName(const std::vector<mapi::Property>& props) {
    for (const mapi::Property& p : props)
        if (p.id == mapi::tags::DisplayName &&
            (p.type == mapi::PtUnicode || p.type == mapi::PtString8))
            return propertyText(p);
    return {};
}

std::optional<std::uint32_t> contentCount(const std::vector<mapi::Property>& props) {
    for (const mapi::Property& p : props)
        if (p.id == kContentCount && p.type == mapi::PtInteger32 && p.value.size() == 4)
            return View(p.value).u32(0);
    return std::nullopt;
}

std::u16string propertyText(const mapi::Property& p) {
    if (p.type == mapi::PtUnicode)
        return mapi::fromUtf16le(p.value);
    std::u16string out;
    for (std::uint8_t c : p.value)
        out += c >= 0x80 && c < 0xA0 ? k1252High[c - 0x80] : char16_t(c);
    return out;
}

Store::Store(std::shared_ptr<const ByteSource> source, ReadOptions options)
    : source_(source), options_(options), ndb_(std::make_shared<Ndb>(std::move(source), options)) {}

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
    if (!names_) {
        try {
            names_ = std::make_unique<NameMap>(*ndb_);
        } catch (const Error& e) {
            names_ = std::make_unique<NameMap>();
            namesDamaged_ = true;
            note(std::string("the map of named properties is damaged (") + e.what() +
                 "); named properties keep their numbers without names");
        }
    }
    return *names_;
}

void Store::note(std::string what) const {
    if (std::find(notes_.begin(), notes_.end(), what) == notes_.end())
        notes_.push_back(std::move(what));
}

std::vector<std::string> Store::repairs() const {
    std::vector<std::string> out = ndb_->repairs();
    out.insert(out.end(), notes_.begin(), notes_.end());
    return out;
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
    std::vector<mapi::Property> props;
    try {
        props = storeProperties();
    } catch (const Error& e) {
        note(std::string("the message store's properties are damaged (") + e.what() +
             "); the top of the folders is found by its name");
    }
    try {
        return findIpmSubtree(*this, props);
    } catch (const Error&) {
        return std::nullopt;
    }
}

FolderInfo Store::folder(std::uint32_t nid) const {
    FolderInfo f;
    f.nid = nid;
    std::optional<NodeEntry> node;
    try {
        node = ndb_->node(nid);
        if (!node)
            fail("the store has no node " + hex(nid));
        const Heap heap(*ndb_, *node);
        f.props = readPropertyContext(heap);
        nameProperties(f.props);
        f.name = displayName(f.props);
        return f;
    } catch (const Error& e) {
        f.damage = e.what();
    }
    // An id that names neither properties nor tables is no folder at all.
    if (!node && !ndb_->node(tableNid(nid, 0x0D)) && !ndb_->node(tableNid(nid, 0x0E)))
        fail(f.damage);
    f.recovered = true;
    f.props.clear();
    // The parent's hierarchy table keeps a summary of the folder: its name and counts.
    if (node && node->parent != nid) {
        try {
            f.props = tableRow(node->parent, 0x0D, nid);
            nameProperties(f.props);
        } catch (const Error&) {
            f.props.clear();
        }
    }
    f.name = displayName(f.props);
    if (f.name.empty()) {
        // Readers that take the name from the properties find it there too.
        f.name = mapi::fromUtf8("Recovered folder " + hex(nid));
        mapi::Property name;
        name.id = mapi::tags::DisplayName;
        name.type = mapi::PtUnicode;
        name.value = mapi::utf16le(f.name);
        f.props.push_back(std::move(name));
    }
    note("folder " + hex(nid) + " is damaged (" + f.damage + "); it is read as \"" +
         mapi::toUtf8(f.name) + "\"");
    return f;
}

std::vector<mapi::Property> Store::tableRow(std::uint32_t folderNid, std::uint32_t tableType,
                                            std::uint32_t rowNid) const {
    const char* table = tableType == 0x0D ? "hierarchy" : "contents";
    const auto node = ndb_->node(tableNid(folderNid, tableType));
    if (!node)
        fail(std::string("the folder has no ") + table + " table");
    const Heap heap(*ndb_, *node);
    const Table rows(heap);
    for (std::size_t i = 0; i < rows.rowCount(); ++i)
        if (rows.rowId(i) == rowNid)
            return rows.row(i);
    fail(std::string("the folder's ") + table + " table does not list " + hex(rowNid));
}

std::vector<mapi::Property> Store::contentsRow(std::uint32_t folderNid,
                                               std::uint32_t messageNid) const {
    return tableRow(folderNid, 0x0E, messageNid);
}

const std::vector<std::pair<std::uint32_t, std::uint32_t>>& Store::children() const {
    if (!children_) {
        auto kids = std::make_unique<std::vector<std::pair<std::uint32_t, std::uint32_t>>>();
        for (const NodeEntry& n : ndb_->recoverableNodes()) {
            const std::uint32_t type = n.nid & 0x1F;
            if (type == kTypeNormalFolder || type == kTypeMessage)
                kids->emplace_back(n.parent, n.nid);
        }
        std::sort(kids->begin(), kids->end());
        children_ = std::move(kids);
    }
    return *children_;
}

Store::Listing Store::listTable(std::uint32_t folderNid, std::uint32_t tableType,
                                bool withRows) const {
    Listing out;
    const bool normal = (folderNid & 0x1F) == kTypeNormalFolder;
    const bool contents = tableType == 0x0E;
    std::string damage;
    try {
        const auto node = ndb_->node(tableNid(folderNid, tableType));
        if (!node) {
            if (!normal)
                return out;
            fail("the table is missing");
        }
        const Heap heap(*ndb_, *node);
        const Table table(heap);
        out.ids.reserve(table.rowCount());
        for (std::size_t i = 0; i < table.rowCount(); ++i) {
            out.ids.push_back(table.rowId(i));
            if (withRows) {
                try {
                    out.rows.push_back(table.row(i));
                } catch (const Error&) {
                    out.rows.emplace_back();
                }
            }
        }
    } catch (const Error& e) {
        damage = e.what();
        out.ids.clear();
        out.rows.clear();
    }
    if (!normal)
        return out;
    // A table that is readable is checked against what the folder says it holds; only a
    // table that fails the check, or an empty contents table, is completed from the nodes that
    // name the folder as parent, so a healthy store walks its node tree at most once.
    if (damage.empty()) {
        try {
            const Heap heap(*ndb_, requireNode(folderNid));
            const std::vector<mapi::Property> props = readPropertyContext(heap);
            if (const auto count = contentCount(props);
                contents && count && *count != out.ids.size())
                damage = "it lists " + std::to_string(out.ids.size()) + " of " +
                         std::to_string(*count) + " messages";
            for (const mapi::Property& p : props)
                if (!contents && p.id == kSubfolders && p.type == mapi::PtBoolean &&
                    View(p.value).u16(0) != 0 && out.ids.empty())
                    damage = "it lists none of the sub-folders the folder says it has";
        } catch (const Error& e) {
            damage = std::string("the folder itself is damaged: ") + e.what();
        }
    }
    // Some writers leave a folder's contents table empty and its count at 0 while its messages
    // name it as their parent; the index of parents finds them (built once per store).
    const bool emptyContents = contents && damage.empty() && out.ids.empty();
    // A hierarchy table that reads well may still have lost a row: every store's folders are
    // checked against the index of parents, which the count of its messages builds anyway.
    const bool checkedFolders = !contents && damage.empty();
    if (damage.empty() && !emptyContents && !checkedFolders)
        return out;
    const std::uint32_t wanted = contents ? kTypeMessage : kTypeNormalFolder;
    const std::set<std::uint32_t> listed(out.ids.begin(), out.ids.end());
    const auto& kids = children();
    std::size_t found = 0;
    for (auto it = std::lower_bound(kids.begin(), kids.end(), std::make_pair(folderNid, 0u));
         it != kids.end() && it->first == folderNid; ++it) {
        if ((it->second & 0x1F) != wanted || it->second == folderNid || listed.count(it->second))
            continue;
        out.ids.push_back(it->second);
        if (withRows)
            out.rows.emplace_back();
        ++found;
    }
    if (checkedFolders) {
        if (found > 0)
            note("folder " + hex(folderNid) + ": its hierarchy table misses " +
                 std::to_string(found) + " sub-folders that name it as their parent");
        return out;
    }
    if (emptyContents) {
        if (found > 0)
            note("folder " + hex(folderNid) + ": its contents table lists no messages; " +
                 std::to_string(found) + " found by their parent");
        return out;
    }
    note("folder " + hex(folderNid) + ": its " + (contents ? "contents" : "hierarchy") +
         " table is damaged (" + damage + "); " + std::to_string(found) + " more " +
         (contents ? "messages" : "folders") + " found by their parent, " +
         std::to_string(out.ids.size()) + " in all");
    return out;
}

std::vector<std::uint32_t> Store::subfolders(std::uint32_t folderNid) const {
    return listTable(folderNid, 0x0D, false).ids;
}

std::vector<std::uint32_t> Store::messages(std::uint32_t folderNid) const {
    return listTable(folderNid, 0x0E, false).ids;
}

std::vector<std::vector<mapi::Property>> Store::contentsRows(std::uint32_t folderNid) const {
    return listTable(folderNid, 0x0E, true).rows;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> Store::messageNodes() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const auto& [parent, nid] : children())
        if ((nid & 0x1F) == kTypeMessage)
            out.emplace_back(nid, parent);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              out.end());
    return out;
}

mapi::Message Store::message(std::uint32_t nid) const {
    return messageAt(requireNode(nid));
}

mapi::Message Store::messageAt(const NodeEntry& node) const {
    std::size_t budget = kMessageBudget;
    return readMessage(*ndb_, node, 0, budget, nullptr);
}

mapi::Message Store::salvageMessage(std::uint32_t nid, std::vector<std::string>& lost) const {
    if (!lenient_) {
        ReadOptions lenient = options_;
        lenient.verifyChecksums = false;
        lenient_ = std::make_shared<Ndb>(source_, lenient);
    }
    const auto node = lenient_->node(nid);
    if (!node)
        fail("the store has no node " + hex(nid));
    std::size_t budget = kMessageBudget;
    return readMessage(*lenient_, *node, 0, budget, &lost);
}

mapi::Message Store::readMessage(const Ndb& ndb, const NodeEntry& node, std::size_t depth,
                                 std::size_t& budget, std::vector<std::string>* lost) const {
    if (depth > kMaxEmbedding)
        fail("attached messages are nested deeper than a store allows");
    auto spend = [&budget] {
        if (budget == 0)
            fail("a message holds more parts than any store writes");
        --budget;
    };
    // While salvaging, a part that cannot be read is named and left out; otherwise it fails
    // the message.
    auto part = [&](const std::string& what, auto&& read) {
        if (!lost)
            return read();
        try {
            read();
        } catch (const Error& e) {
            lost->push_back(what + " (" + e.what() + ")");
        }
    };
    spend();
    const Heap heap(ndb, node);
    mapi::Message m;
    m.props = readPropertyContext(heap, lost);
    nameProperties(m.props);

    const SubnodeMap& subs = heap.subnodes();
    if (const auto it = subs.find(kNidRecipientTable); it != subs.end()) {
        part("the recipients", [&] {
            const Heap th(ndb, it->second);
            const Table table(th);
            for (std::size_t i = 0; i < table.rowCount(); ++i) {
                mapi::Recipient r;
                r.props = table.row(i);
                nameProperties(r.props);
                m.recipients.push_back(std::move(r));
            }
        });
    }
    if (const auto it = subs.find(kNidAttachmentTable); it != subs.end()) {
        part("the attachments", [&] {
            const Heap th(ndb, it->second);
            const Table table(th);
            for (std::size_t i = 0; i < table.rowCount(); ++i) {
                part("attachment " + std::to_string(i + 1), [&] {
                    const auto at = subs.find(table.rowId(i));
                    if (at == subs.end())
                        fail("an attachment the message lists is missing");
                    spend();
                    const Heap ah(ndb, at->second);
                    mapi::Attachment a;
                    a.props = readPropertyContext(ah, lost);
                    nameProperties(a.props);
                    const auto method = a.int32(mapi::tags::AttachMethod);
                    if (mapi::Property* data = a.find(mapi::tags::AttachDataBinary);
                        data && data->type == mapi::PtObject) {
                        // An object lives in a sub-node of the attachment: its reference and
                        // size.
                        if (data->value.size() < 8)
                            fail("an attached object's reference is damaged");
                        const std::uint32_t objNid = View(data->value).u32(0);
                        const auto obj = ah.subnodes().find(objNid);
                        if (obj == ah.subnodes().end())
                            fail("an attached object is missing");
                        if (method == std::int32_t(mapi::AttachEmbeddedMsg)) {
                            a.embedded = std::make_shared<mapi::Message>(
                                readMessage(ndb, obj->second, depth + 1, budget, lost));
                            a.remove(mapi::tags::AttachDataBinary);
                        } else {
                            data->value = ndb.readStream(obj->second.bidData);
                        }
                    }
                    m.attachments.push_back(std::move(a));
                });
            }
        });
    }
    return m;
}

} // namespace talvenor::pst
