#include "msgreader.h"
#include "compoundfile.h"
#include "failure.h"
#include "gsfhandles.h"
#include "msgfile.h"
#include "msglayout.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace talvenor::msg {

using mapi::Bytes;
using mapi::Message;
using mapi::Property;
using mapi::PropertyBag;
using mapi::PropertyName;

namespace {

// Streams larger than this are not values of a message but damage.
constexpr gsf_off_t MaxStreamSize = gsf_off_t(1) << 31;

struct Damaged {
    std::string what;
};

constexpr std::uint64_t FiletimeUnixEpoch = 116444736000000000ULL;
// Deeper nesting than any real object has: a directory that loops back on itself.
constexpr int MaxStorageDepth = 64;

std::uint64_t filetimeOf(GDateTime* t) {
    if (!t)
        return 0;
    const gint64 unix = g_date_time_to_unix(t);
    if (unix < -gint64(FiletimeUnixEpoch / 10000000ULL))
        return 0;
    return std::uint64_t(std::int64_t(FiletimeUnixEpoch) + unix * 10000000LL +
                         g_date_time_get_microsecond(t) * 10LL);
}

// Copies the streams and storages (with their class ids and modification times) of from into
// the storage to of tree. Throws the message of the first failure as std::string.
void copyStorage(GsfInfile* from, cfb::Tree& tree, cfb::Tree::Id to, int depth) {
    if (depth > MaxStorageDepth)
        throw std::string("the storages of an attached storage are nested too deeply");
    std::uint8_t clsid[16];
    if (GSF_IS_INFILE_MSOLE(from) && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(from), clsid))
        tree.setClassId(to, clsid);
    const int n = gsf_infile_num_children(from);
    for (int i = 0; i < n; ++i) {
        const char* name = gsf_infile_name_by_index(from, i);
        GRef<GsfInput> child(gsf_infile_child_by_index(from, i));
        if (!name || !child)
            throw std::string("an element of an attached storage cannot be read");
        const bool isDir =
            GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        try {
            if (isDir) {
                const cfb::Tree::Id sub = tree.addStorage(to, name);
                const std::uint64_t own = filetimeOf(gsf_input_get_modtime(child.get()));
                tree.setTimes(sub, 0, own);
                copyStorage(GSF_INFILE(child.get()), tree, sub, depth + 1);
                continue;
            }
            const gsf_off_t size = gsf_input_size(child.get());
            if (size < 0)
                throw std::string("a stream of an attached storage has no size");
            cfb::Bytes bytes(static_cast<std::size_t>(size));
            if (size > 0 && !gsf_input_read(child.get(), bytes.size(), bytes.data()))
                throw std::string("cannot copy a stream of an attached storage");
            tree.addStream(to, name, std::move(bytes));
        } catch (const cfb::Error& e) {
            throw std::string("cannot copy an attached storage: ") + e.what();
        }
    }
}

// A compound-file image of the storage from.
Bytes imageOf(GsfInfile* from) {
    cfb::Tree tree;
    copyStorage(from, tree, cfb::Tree::Root, 0);
    try {
        return tree.build();
    } catch (const cfb::Error& e) {
        throw std::string("cannot copy an attached storage: ") + e.what();
    }
}

enum class Level { Top, Embedded, Child };

GRef<GsfInput> child(GsfInfile* dir, const std::string& name) {
    return GRef<GsfInput>(gsf_infile_child_by_name(dir, name.c_str()));
}

bool isStorage(GsfInput* in) {
    return GSF_IS_INFILE(in) && gsf_infile_num_children(GSF_INFILE(in)) >= 0;
}

std::optional<Bytes> readStream(GsfInfile* dir, const std::string& name) {
    GRef<GsfInput> in = child(dir, name);
    if (!in)
        return std::nullopt;
    if (isStorage(in.get()))
        throw Damaged{name + " is a storage where a stream belongs"};
    const gsf_off_t size = gsf_input_size(in.get());
    if (size < 0 || size > MaxStreamSize)
        throw Damaged{name + " has an impossible size"};
    Bytes out(static_cast<std::size_t>(size));
    if (size > 0 && !gsf_input_read(in.get(), std::size_t(size), out.data()))
        throw Damaged{name + " cannot be read"};
    return out;
}

// Strips a trailing terminator of unit bytes when the stored value carries one.
void dropTerminator(Bytes& v, std::size_t unit) {
    if (v.size() >= unit && std::all_of(v.end() - long(unit), v.end(), [](auto b) { return !b; }))
        v.resize(v.size() - unit);
}

class Reader {
public:
    void readNames(GsfInfile* root) {
        GRef<GsfInput> dirIn = child(root, layout::NameIdStorage);
        if (!dirIn)
            return;
        if (!isStorage(dirIn.get()))
            throw Damaged{"the named-property mapping is not a storage"};
        GsfInfile* dir = GSF_INFILE(dirIn.get());
        const Bytes guids =
            readStream(dir, layout::valueStreamName(layout::GuidStreamTag)).value_or(Bytes{});
        const Bytes entries =
            readStream(dir, layout::valueStreamName(layout::EntryStreamTag)).value_or(Bytes{});
        const Bytes strings =
            readStream(dir, layout::valueStreamName(layout::StringStreamTag)).value_or(Bytes{});
        for (std::size_t off = 0; off + 8 <= entries.size(); off += 8) {
            const std::uint32_t key = mapi::readLe32(&entries[off]);
            const std::uint32_t iak = mapi::readLe32(&entries[off + 4]);
            const std::uint32_t index = iak >> 16;
            const std::uint32_t gi = (iak >> 1) & 0x7FFF;
            PropertyName name;
            if (gi == layout::GuidIndexMapi) {
                name.guid = mapi::PS_MAPI;
            } else if (gi == layout::GuidIndexPublicStrings) {
                name.guid = mapi::PS_PUBLIC_STRINGS;
            } else if (gi >= 3 && (gi - 3 + 1) * 16 <= guids.size()) {
                std::copy_n(guids.begin() + long(gi - 3) * 16, 16, name.guid.bytes.begin());
            } else {
                throw Damaged{"a named property refers to a missing property set"};
            }
            if (iak & 1) {
                if (std::size_t(key) + 4 > strings.size())
                    throw Damaged{"a property name lies outside the string stream"};
                const std::uint32_t len = mapi::readLe32(&strings[key]);
                if (std::size_t(key) + 4 + len > strings.size())
                    throw Damaged{"a property name runs past the string stream"};
                name.name = mapi::fromUtf16le(
                    Bytes(strings.begin() + key + 4, strings.begin() + key + 4 + len));
            } else {
                name.lid = key;
            }
            names_[std::uint16_t(layout::FirstNamedId + index)] = std::move(name);
        }
    }

    void message(GsfInfile* dir, Message& m, Level level) {
        const std::size_t header =
            level == Level::Top ? layout::TopHeaderSize : layout::EmbeddedHeaderSize;
        const Bytes props = readStream(dir, layout::PropertiesStream).value_or(Bytes{});
        if (props.size() < header)
            throw Damaged{"a message has no property stream"};
        properties(dir, m, props, header, nullptr);
        for (const auto& [index, name] : children(dir, layout::RecipientPrefix)) {
            GRef<GsfInput> sub = child(dir, name);
            mapi::Recipient r;
            bag(GSF_INFILE(sub.get()), r, nullptr);
            m.recipients.push_back(std::move(r));
        }
        for (const auto& [index, name] : children(dir, layout::AttachmentPrefix)) {
            GRef<GsfInput> sub = child(dir, name);
            mapi::Attachment a;
            bag(GSF_INFILE(sub.get()), a, &a);
            m.attachments.push_back(std::move(a));
        }
    }

private:
    // The storages below dir whose names start with prefix, in the order of their numbers.
    static std::vector<std::pair<std::uint32_t, std::string>> children(GsfInfile* dir,
                                                                       const char* prefix) {
        std::vector<std::pair<std::uint32_t, std::string>> out;
        const int n = gsf_infile_num_children(dir);
        const std::size_t plen = std::strlen(prefix);
        for (int i = 0; i < n; ++i) {
            const char* name = gsf_infile_name_by_index(dir, i);
            if (!name || std::strncmp(name, prefix, plen) != 0)
                continue;
            GRef<GsfInput> sub(gsf_infile_child_by_index(dir, i));
            if (!sub || !isStorage(sub.get()))
                throw Damaged{std::string(name) + " is not a storage"};
            out.emplace_back(std::uint32_t(std::strtoul(name + plen, nullptr, 16)), name);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    void bag(GsfInfile* dir, PropertyBag& b, mapi::Attachment* attachment) {
        const Bytes props = readStream(dir, layout::PropertiesStream).value_or(Bytes{});
        if (props.size() < layout::ChildHeaderSize)
            throw Damaged{"a recipient or attachment has no property stream"};
        properties(dir, b, props, layout::ChildHeaderSize, attachment);
    }

    void properties(GsfInfile* dir, PropertyBag& b, const Bytes& props, std::size_t header,
                    mapi::Attachment* attachment) {
        for (std::size_t off = header; off + layout::EntrySize <= props.size();
             off += layout::EntrySize) {
            const std::uint32_t tag = mapi::readLe32(&props[off]);
            const std::uint32_t size = mapi::readLe32(&props[off + 8]);
            Property p;
            p.id = std::uint16_t(tag >> 16);
            p.type = std::uint16_t(tag);
            if (p.id >= layout::FirstNamedId) {
                if (auto it = names_.find(p.id); it != names_.end())
                    p.name = it->second;
            }
            const std::uint16_t base = mapi::baseType(p.type);
            if (base == mapi::PtObject) {
                if (attachment && p.id == mapi::tags::AttachDataBinary &&
                    !mapi::isMultiValued(p.type))
                    embedded(dir, *attachment);
                continue;
            }
            if (!mapi::isKnownType(p.type) || base == mapi::PtUnspecified)
                continue;
            if (!mapi::isMultiValued(p.type)) {
                if (base == mapi::PtNull) {
                    // no value
                } else if (const std::size_t n = layout::inlineSize(p.type)) {
                    p.value.assign(props.begin() + long(off + 8),
                                   props.begin() + long(off + 8 + n));
                } else {
                    p.value = readStream(dir, layout::valueStreamName(tag)).value_or(Bytes{});
                    const std::size_t unit = base == mapi::PtUnicode   ? 2
                                             : base == mapi::PtString8 ? 1
                                                                       : 0;
                    if (unit && size >= unit && size - unit < p.value.size())
                        p.value.resize(size - unit);
                }
                b.props.push_back(std::move(p));
                continue;
            }
            const Bytes main = readStream(dir, layout::valueStreamName(tag)).value_or(Bytes{});
            if (const std::size_t n = mapi::fixedSize(base)) {
                for (std::size_t i = 0; i + n <= main.size(); i += n)
                    p.values.emplace_back(main.begin() + long(i), main.begin() + long(i + n));
            } else {
                const std::size_t step = base == mapi::PtBinary ? 8 : 4;
                const std::size_t unit = base == mapi::PtUnicode   ? 2
                                         : base == mapi::PtString8 ? 1
                                                                   : 0;
                for (std::size_t i = 0; i + step <= main.size(); i += step) {
                    const std::uint32_t length = mapi::readLe32(&main[i]);
                    Bytes v = readStream(dir, layout::valueStreamName(tag, std::uint32_t(i / step)))
                                  .value_or(Bytes{});
                    if (v.size() > length)
                        v.resize(length);
                    if (unit && v.size() == length)
                        dropTerminator(v, unit);
                    p.values.push_back(std::move(v));
                }
            }
            b.props.push_back(std::move(p));
        }
    }

    void embedded(GsfInfile* dir, mapi::Attachment& a) {
        GRef<GsfInput> sub = child(dir, layout::EmbeddedStorage);
        if (!sub || !isStorage(sub.get()))
            return;
        if (GRef<GsfInput> props = child(GSF_INFILE(sub.get()), layout::PropertiesStream); !props) {
            // Not a message but an OLE object's own storage: kept as a compound-file image.
            try {
                a.props.push_back({mapi::tags::AttachDataBinary,
                                   mapi::PtObject,
                                   std::nullopt,
                                   imageOf(GSF_INFILE(sub.get())),
                                   {}});
            } catch (const std::string& e) {
                throw Damaged{e};
            }
            return;
        }
        if (++depth_ > 64)
            throw Damaged{"embedded messages are nested too deeply"};
        auto m = std::make_shared<Message>();
        message(GSF_INFILE(sub.get()), *m, Level::Embedded);
        --depth_;
        a.embedded = std::move(m);
    }

    std::map<std::uint16_t, PropertyName> names_;
    int depth_ = 0;
};

} // namespace

Message readMsg(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    GErrorHolder openError;
    GRef<GsfInput> input(gsf_input_stdio_new(name.constData(), openError.out()));
    if (!input)
        throw Failure(failures::PathNotFound,
                      QStringLiteral("Cannot open \"%1\": %2.")
                          .arg(path, QString::fromUtf8(openError.message())));
    GErrorHolder oleError;
    GRef<GsfInfile> root(gsf_infile_msole_new(input.get(), oleError.out()));
    if (!root)
        throw Failure(failures::FileAccess,
                      QStringLiteral("\"%1\" is not an Outlook message file: %2.")
                          .arg(path, QString::fromUtf8(oleError.message())));
    try {
        Reader reader;
        reader.readNames(root.get());
        Message m;
        reader.message(root.get(), m, Level::Top);
        return m;
    } catch (const Damaged& d) {
        throw Failure(failures::FileAccess,
                      QStringLiteral("The message file \"%1\" is damaged: %2.")
                          .arg(path, QString::fromStdString(d.what)));
    }
}

} // namespace talvenor::msg
