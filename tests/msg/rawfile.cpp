#include "rawfile.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace msgtest {

namespace {

enum class Kind { Message, Recipient, Attachment };

// The flags the mail program writes: 2 (read-only) for what it computes, 7 for an
// attachment's method and rendering position, 6 for everything else.
std::uint32_t outlookFlags(Kind kind, std::uint16_t id) {
    static const std::uint16_t computedOnMessage[] = {0x3007, 0x3008, 0x0FF7, 0x0FF4, 0x340D,
                                                      0x0E02, 0x0E03, 0x0E04, 0x0E1B, 0x0E1D};
    static const std::uint16_t computedOnAttachment[] = {0x0E21, 0x0FFE, 0x0FF4,
                                                         0x0FF7, 0x340D, 0x0FF9};
    auto among = [id](const auto& list) {
        return std::find(std::begin(list), std::end(list), id) != std::end(list);
    };
    if (kind == Kind::Message && among(computedOnMessage))
        return 2;
    if (kind == Kind::Attachment && among(computedOnAttachment))
        return 2;
    if (kind == Kind::Attachment && (id == 0x3705 || id == 0x370B))
        return 7;
    return 6;
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

class Checker {
public:
    Checker(const RawFile& raw, bool unicode) : raw_(raw), unicode_(unicode) {}

    void message(const std::string& prefix, bool top) {
        const auto props = raw_.stream(prefix + "__properties_version1.0");
        if (!props || props->size() < (top ? 32u : 24u)) {
            fault(prefix + ": no property stream");
            return;
        }
        const auto e = bag(prefix, *props, top ? 32 : 24, Kind::Message);
        if (top && unicode_ && !e.contains(0x340D0003))
            fault("no store-support mask on the message");
        if (top && unicode_ && e.contains(0x340D0003) &&
            readLe32(e.at(0x340D0003).value.data()) != 0x00040E79)
            fault("340D0003: not the mask of a Unicode file, 00040E79");
        if (e.contains(0x0E080003))
            fault(prefix + ": the message's size");
        const std::uint32_t recipients = readLe32(&(*props)[16]);
        const std::uint32_t attachments = readLe32(&(*props)[20]);
        for (std::uint32_t i = 0; i < recipients; ++i) {
            const std::string r = prefix + "__recip_version1.0_#" + hex8(i) + "/";
            const auto re = child(r, Kind::Recipient);
            if (!re.contains(0x30000003))
                fault(r + ": no PR_ROWID");
            if (re.contains(0x67F20003) || re.contains(0x67F30003))
                fault(r + ": the store's own row id or version");
        }
        for (std::uint32_t i = 0; i < attachments; ++i) {
            const std::string a = prefix + "__attach_version1.0_#" + hex8(i) + "/";
            const auto ae = child(a, Kind::Attachment);
            if (!ae.contains(0x0E210003))
                fault(a + ": no PR_ATTACH_NUM");
            if (!ae.contains(0x370B0003))
                fault(a + ": no PR_RENDERING_POSITION");
            if (ae.contains(0x0E200003))
                fault(a + ": the attachment's size");
            const std::string sub = a + "__substg1.0_3701000D/";
            if (ae.contains(0x3701000D) && raw_.stream(sub + "__properties_version1.0")) {
                if (ae.at(0x3701000D).value != Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0})
                    fault(a + ": the embedded message's entry is not FFFFFFFF 01000000");
                message(sub, false);
            }
        }
    }

    std::vector<std::string> faults;

private:
    // The entries of a recipient or an attachment; none (and a fault) when it is missing.
    std::map<std::uint32_t, Entry> child(const std::string& storage, Kind kind) {
        const auto props = raw_.stream(storage + "__properties_version1.0");
        if (!props) {
            fault(storage + ": missing");
            return {};
        }
        return bag(storage, *props, 8, kind);
    }

    std::map<std::uint32_t, Entry> bag(const std::string& where, const Bytes& props,
                                       std::size_t header, Kind kind) {
        auto e = entries(props, header);
        for (const auto& [tag, entry] : e) {
            const std::uint32_t expected = outlookFlags(kind, std::uint16_t(tag >> 16));
            if (entry.flags != expected)
                fault(where + hex8(tag) + ": flags " + std::to_string(entry.flags) + ", not " +
                      std::to_string(expected));
            if (!unicode_ && (tag & 0xEFFF) == 0x001F)
                fault(where + hex8(tag) + ": a Unicode string in a file without Unicode");
            if (tag == 0x340D0003 && !unicode_)
                fault(where + "340D0003: a store-support mask in a file without Unicode");
            if (tag == 0x340D0003 && unicode_ && !(readLe32(entry.value.data()) & 0x00040000))
                fault(where + "340D0003: STORE_UNICODE_OK is missing");
        }
        return e;
    }

    void fault(std::string text) { faults.push_back(std::move(text)); }

    const RawFile& raw_;
    bool unicode_;
};

} // namespace

std::vector<std::string> structureFaults(const QString& path, bool unicode) {
    RawFile raw(path);
    if (!raw.ok())
        return {"not a compound file"};
    Checker checker(raw, unicode);
    checker.message("", true);
    return checker.faults;
}

} // namespace msgtest
