#include "wire.h"

#include <cstdint>
#include <cstring>

namespace talvenor::nativestore::wire {

namespace {

// Deeper nesting than this is refused rather than followed (the stack is not endless).
constexpr int MaxDepth = 256;
// In place of a value's length: the value was handed over apart; its 64-bit size follows.
constexpr std::uint32_t Apart = 0xFFFFFFFF;

bool isAttachmentData(const mapi::Property& p) {
    return !p.name && p.id == mapi::tags::AttachDataBinary &&
           (p.type == mapi::PtBinary || p.type == mapi::PtObject);
}

class Writer {
public:
    void u8(std::uint8_t v) { out.push_back(v); }
    void u16(std::uint16_t v) { raw(&v, sizeof v); }
    void u32(std::uint32_t v) { raw(&v, sizeof v); }
    void i32(std::int32_t v) { raw(&v, sizeof v); }
    void u64(std::uint64_t v) { raw(&v, sizeof v); }
    void bytes(const Bytes& b) {
        u32(std::uint32_t(b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
    void text(const QString& s) {
        u32(std::uint32_t(s.size()));
        raw(s.utf16(), std::size_t(s.size()) * 2);
    }
    void text(const std::u16string& s) {
        u32(std::uint32_t(s.size()));
        raw(s.data(), s.size() * 2);
    }

    void bag(const mapi::PropertyBag& bag, bool attachment = false) {
        u32(std::uint32_t(bag.props.size()));
        for (const auto& p : bag.props) {
            u16(p.id);
            u16(p.type);
            u8(p.name ? 1 : 0);
            if (p.name) {
                raw(p.name->guid.bytes.data(), p.name->guid.bytes.size());
                u8(p.name->lid ? 1 : 0);
                if (p.name->lid)
                    u32(*p.name->lid);
                else
                    text(p.name->name);
            }
            if (attachment && isAttachmentData(p) && p.value.size() >= apartFrom) {
                u32(Apart);
                u64(p.value.size());
                apart.push_back(&p.value);
                apartBytes += p.value.size();
            } else {
                bytes(p.value);
            }
            u32(std::uint32_t(p.values.size()));
            for (const auto& v : p.values)
                bytes(v);
        }
    }

    void message(const mapi::Message& m) {
        bag(m);
        u32(std::uint32_t(m.recipients.size()));
        for (const auto& r : m.recipients)
            bag(r);
        u32(std::uint32_t(m.attachments.size()));
        for (const auto& a : m.attachments) {
            bag(a, true);
            u8(a.embedded ? 1 : 0);
            if (a.embedded)
                message(*a.embedded);
        }
    }

    void folder(const FolderInfo& f) {
        u32(f.id);
        text(f.name);
        text(f.contentsFailure);
        text(f.foldersFailure);
        u8(std::uint8_t(f.failureCause));
        u8(f.repeated ? 1 : 0);
        u8(f.recoveredItems ? 1 : 0);
        text(f.storeDamage);
        u8(std::uint8_t(f.storeDamageCause));
        i32(f.messages);
        u32(std::uint32_t(f.folders.size()));
        for (const auto& sub : f.folders)
            folder(sub);
    }

    Bytes out;
    // Attachment data at least this large is left out, for the caller to send apart.
    std::size_t apartFrom = SIZE_MAX;
    std::vector<const Bytes*> apart;
    std::uint64_t apartBytes = 0;

private:
    void raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + n);
    }
};

// Reads what Writer wrote; any shortfall or nonsense sets failed and yields empty values.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size, std::vector<Bytes>* apart = nullptr)
        : p_(data), end_(data + size), apart_(apart) {}

    bool failed = false;
    bool atEnd() const { return p_ == end_; }

    std::uint8_t u8() {
        std::uint8_t v = 0;
        raw(&v, 1);
        return v;
    }
    std::uint16_t u16() {
        std::uint16_t v = 0;
        raw(&v, sizeof v);
        return v;
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        raw(&v, sizeof v);
        return v;
    }
    std::int32_t i32() {
        std::int32_t v = 0;
        raw(&v, sizeof v);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        raw(&v, sizeof v);
        return v;
    }
    // Attachment data: held in the item, or the next of the values handed over apart, which
    // must be as large as the item says.
    Bytes attachmentData() {
        const std::uint8_t* at = p_;
        if (u32() != Apart) {
            if (!failed)
                p_ = at; // a value held in the item: read again, with its length
            return bytes();
        }
        const std::uint64_t size = u64();
        if (failed || !apart_ || used_ >= apart_->size() || (*apart_)[used_].size() != size) {
            failed = true;
            return {};
        }
        return std::move((*apart_)[used_++]);
    }
    bool usedAllApart() const { return !apart_ || used_ == apart_->size(); }
    // A count of things that each take at least minBytes: a count the rest cannot hold is
    // refused before anything is allocated for it.
    std::size_t count(std::size_t minBytes) {
        const std::size_t n = u32();
        if (n > std::size_t(end_ - p_) / minBytes) {
            failed = true;
            return 0;
        }
        return n;
    }
    Bytes bytes() {
        const std::size_t n = count(1);
        Bytes b(n);
        raw(b.data(), n);
        return b;
    }
    std::u16string text16() {
        const std::size_t n = count(2);
        std::u16string s(n, u'\0');
        raw(s.data(), n * 2);
        return s;
    }
    QString text() {
        const std::u16string s = text16();
        return QString::fromUtf16(s.data(), qsizetype(s.size()));
    }

    void bag(mapi::PropertyBag& bag, bool attachment = false) {
        const std::size_t n = count(13);
        bag.props.reserve(n);
        for (std::size_t i = 0; i < n && !failed; ++i) {
            mapi::Property p;
            p.id = u16();
            p.type = u16();
            if (u8()) {
                mapi::PropertyName name;
                raw(name.guid.bytes.data(), name.guid.bytes.size());
                if (u8())
                    name.lid = u32();
                else
                    name.name = text16();
                p.name = std::move(name);
            }
            p.value = attachment && isAttachmentData(p) ? attachmentData() : bytes();
            const std::size_t values = count(4);
            p.values.reserve(values);
            for (std::size_t v = 0; v < values && !failed; ++v)
                p.values.push_back(bytes());
            bag.props.push_back(std::move(p));
        }
    }

    void message(mapi::Message& m, int depth) {
        if (depth > MaxDepth) {
            failed = true;
            return;
        }
        bag(m);
        const std::size_t recipients = count(4);
        m.recipients.resize(recipients);
        for (auto& r : m.recipients)
            if (!failed)
                bag(r);
        const std::size_t attachments = count(5);
        m.attachments.resize(attachments);
        for (auto& a : m.attachments) {
            if (failed)
                break;
            bag(a, true);
            if (u8()) {
                a.embedded = std::make_shared<mapi::Message>();
                message(*a.embedded, depth + 1);
            }
        }
    }

    void folder(FolderInfo& f, int depth) {
        if (depth > MaxDepth) {
            failed = true;
            return;
        }
        f.id = u32();
        f.name = text();
        f.contentsFailure = text();
        f.foldersFailure = text();
        const std::uint8_t cause = u8();
        if (cause >= CauseCount)
            failed = true;
        f.failureCause = Cause(cause);
        const std::uint8_t repeated = u8();
        if (repeated > 1)
            failed = true;
        f.repeated = repeated == 1;
        const std::uint8_t recovered = u8();
        if (recovered > 1)
            failed = true;
        f.recoveredItems = recovered == 1;
        f.storeDamage = text();
        const std::uint8_t storeCause = u8();
        if (storeCause >= CauseCount)
            failed = true;
        f.storeDamageCause = Cause(storeCause);
        f.messages = i32();
        if (f.messages < 0)
            failed = true;
        const std::size_t n = count(16);
        f.folders.resize(n);
        for (auto& sub : f.folders)
            if (!failed)
                folder(sub, depth + 1);
    }

private:
    void raw(void* to, std::size_t n) {
        if (failed || n > std::size_t(end_ - p_)) {
            failed = true;
            if (n)
                std::memset(to, 0, n);
            return;
        }
        if (n)
            std::memcpy(to, p_, n);
        p_ += n;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    std::vector<Bytes>* apart_;
    std::size_t used_ = 0;
};

} // namespace

Bytes encodeTree(const FolderInfo& root) {
    Writer w;
    w.folder(root);
    return std::move(w.out);
}

std::optional<FolderInfo> decodeTree(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    FolderInfo root;
    r.folder(root, 0);
    if (r.failed || !r.atEnd())
        return std::nullopt;
    return root;
}

namespace {

void writeItem(Writer& w, const ItemInfo& item) {
    w.i32(item.itemClass);
    w.u8(item.subject ? 1 : 0);
    if (item.subject)
        w.text(*item.subject);
    w.u8(item.message ? 1 : 0);
    if (item.message)
        w.message(*item.message);
    w.text(item.damage);
}

} // namespace

Bytes encodeItem(const ItemInfo& item) {
    Writer w;
    writeItem(w, item);
    return std::move(w.out);
}

ItemApart encodeItemApart(const ItemInfo& item, std::size_t apartFrom) {
    Writer w;
    w.apartFrom = apartFrom;
    writeItem(w, item);
    return {std::move(w.out), std::move(w.apart), w.apartBytes};
}

std::optional<ItemInfo> decodeItem(const std::uint8_t* data, std::size_t size,
                                   std::vector<Bytes>* apart) {
    Reader r(data, size, apart);
    ItemInfo item;
    item.itemClass = r.i32();
    if (r.u8())
        item.subject = r.text();
    if (r.u8()) {
        item.message.emplace();
        r.message(*item.message, 0);
    }
    item.damage = r.text();
    if (r.failed || !r.atEnd() || !r.usedAllApart())
        return std::nullopt;
    return item;
}

} // namespace talvenor::nativestore::wire
