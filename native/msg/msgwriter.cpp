#include "failure.h"
#include "gsfhandles.h"
#include "msgfile.h"
#include "msglayout.h"
#include "safefile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace talvenor::msg {

using mapi::Bytes;
using mapi::Message;
using mapi::Property;
using mapi::PropertyBag;
using mapi::PropertyName;

namespace {

// Thrown inside the writer when libgsf reports a failure; turned into a Failure at the top,
// where the cause (the sink's errno, or libgsf's own message) is known.
struct GsfWriteError {
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

    template <typename StreamWriter> void write(GsfOutfile* root, StreamWriter&& stream) const {
        OutRef dir(gsf_outfile_new_child(root, layout::NameIdStorage, TRUE));
        if (!dir)
            throw GsfWriteError{"cannot create the named-property storage"};
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
        stream(dir.dir(), layout::valueStreamName(layout::GuidStreamTag), guids);
        stream(dir.dir(), layout::valueStreamName(layout::EntryStreamTag), entries);
        stream(dir.dir(), layout::valueStreamName(layout::StringStreamTag), strings);
        for (const auto& [tag, bytes] : mapping)
            stream(dir.dir(), layout::valueStreamName(tag), bytes);
        if (!dir.close())
            throw GsfWriteError{"cannot finish the named-property storage"};
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

enum class Level { Top, Embedded, Child };

class Writer {
public:
    explicit Writer(const NameTable& names) : names_(names) {}

    void stream(GsfOutfile* dir, const std::string& name, const std::uint8_t* data,
                std::size_t size) {
        OutRef s(gsf_outfile_new_child(dir, name.c_str(), FALSE));
        if (!s)
            throw GsfWriteError{"cannot create stream " + name};
        if (size > 0 && !gsf_output_write(s.get(), size, data))
            throw GsfWriteError{"cannot write stream " + name};
        if (!s.close())
            throw GsfWriteError{"cannot finish stream " + name};
    }
    void stream(GsfOutfile* dir, const std::string& name, const Bytes& data) {
        stream(dir, name, data.data(), data.size());
    }

    void message(GsfOutfile* dir, const Message& m, Level level) {
        Bytes props(8, 0); // reserved
        const auto recipients = std::uint32_t(m.recipients.size());
        const auto attachments = std::uint32_t(m.attachments.size());
        append32(props, recipients);  // next recipient id
        append32(props, attachments); // next attachment id
        append32(props, recipients);
        append32(props, attachments);
        if (level == Level::Top)
            props.resize(layout::TopHeaderSize, 0);
        std::set<std::uint32_t> written;
        if (level == Level::Top) {
            // Readers decide from this mask whether the strings of the file are Unicode.
            std::uint32_t mask = layout::StoreUnicodeOk;
            if (const Property* p = m.find(mapi::tags::StoreSupportMask);
                p && p->type == mapi::PtInteger32 && p->value.size() >= 4)
                mask |= mapi::readLe32(p->value.data());
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::StoreSupportMask) << 16) | mapi::PtInteger32;
            fixedEntry(props, tag, mapi::le32(mask));
            written.insert(tag);
        }
        properties(dir, m, props, written);
        for (std::uint32_t i = 0; i < recipients; ++i) {
            OutRef r(gsf_outfile_new_child(dir, layout::recipientStorageName(i).c_str(), TRUE));
            if (!r)
                throw GsfWriteError{"cannot create a recipient storage"};
            Bytes rp(layout::ChildHeaderSize, 0);
            std::set<std::uint32_t> rw;
            properties(r.dir(), m.recipients[i], rp, rw);
            stream(r.dir(), layout::PropertiesStream, rp);
            if (!r.close())
                throw GsfWriteError{"cannot finish a recipient storage"};
        }
        for (std::uint32_t i = 0; i < attachments; ++i)
            attachment(dir, m.attachments[i], i);
        stream(dir, layout::PropertiesStream, props);
    }

private:
    static void fixedEntry(Bytes& props, std::uint32_t tag, const Bytes& value) {
        append32(props, tag);
        append32(props, layout::FlagReadable | layout::FlagWritable);
        Bytes v = value;
        v.resize(8, 0);
        append(props, v);
    }
    static void streamEntry(Bytes& props, std::uint32_t tag, std::uint32_t size) {
        append32(props, tag);
        append32(props, layout::FlagReadable | layout::FlagWritable);
        append32(props, size);
        append32(props, 0);
    }

    void attachment(GsfOutfile* parent, const mapi::Attachment& a, std::uint32_t index) {
        OutRef dir(
            gsf_outfile_new_child(parent, layout::attachmentStorageName(index).c_str(), TRUE));
        if (!dir)
            throw GsfWriteError{"cannot create an attachment storage"};
        Bytes props(layout::ChildHeaderSize, 0);
        std::set<std::uint32_t> written;
        if (a.embedded) {
            OutRef sub(gsf_outfile_new_child(dir.dir(), layout::EmbeddedStorage, TRUE));
            if (!sub)
                throw GsfWriteError{"cannot create an embedded message storage"};
            message(sub.dir(), *a.embedded, Level::Embedded);
            if (!sub.close())
                throw GsfWriteError{"cannot finish an embedded message storage"};
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::AttachDataBinary) << 16) | mapi::PtObject;
            streamEntry(props, tag, layout::ObjectSize);
            written.insert(tag);
        }
        properties(dir.dir(), a, props, written);
        stream(dir.dir(), layout::PropertiesStream, props);
        if (!dir.close())
            throw GsfWriteError{"cannot finish an attachment storage"};
    }

    // Appends the entries of the bag to props and writes the value streams into dir.
    void properties(GsfOutfile* dir, const PropertyBag& bag, Bytes& props,
                    std::set<std::uint32_t>& written) {
        for (const Property& p : bag.props) {
            std::uint16_t id = p.id;
            if (p.name) {
                auto mapped = names_.idFor(*p.name);
                if (!mapped)
                    continue;
                id = *mapped;
            } else if (id >= layout::FirstNamedId) {
                continue; // a named-range id without its name means nothing in another file
            }
            const std::uint16_t type = p.type;
            const std::uint16_t base = mapi::baseType(type);
            if (base == mapi::PtObject || base == mapi::PtUnspecified || !mapi::isKnownType(type))
                continue;
            const std::uint32_t tag = (std::uint32_t(id) << 16) | type;
            if (!written.insert(tag).second)
                continue;
            if (!mapi::isMultiValued(type)) {
                if (base == mapi::PtNull) {
                    fixedEntry(props, tag, {});
                } else if (layout::inlineSize(type) != 0) {
                    Bytes v = p.value;
                    v.resize(layout::inlineSize(type), 0);
                    fixedEntry(props, tag, v);
                } else {
                    // Strings are stored without their terminator; the size counts it.
                    const std::uint32_t extra = base == mapi::PtUnicode   ? 2
                                                : base == mapi::PtString8 ? 1
                                                                          : 0;
                    Bytes v = p.value;
                    if (base == mapi::PtGuid)
                        v.resize(16, 0);
                    stream(dir, layout::valueStreamName(tag), v);
                    streamEntry(props, tag, std::uint32_t(v.size()) + extra);
                }
                continue;
            }
            if (mapi::fixedSize(base) != 0) {
                // Fixed-size multi-values: one stream with the values one after another.
                Bytes all;
                for (const Bytes& v : p.values) {
                    Bytes b = v;
                    b.resize(mapi::fixedSize(base), 0);
                    append(all, b);
                }
                stream(dir, layout::valueStreamName(tag), all);
                streamEntry(props, tag, std::uint32_t(all.size()));
                continue;
            }
            // Variable-size multi-values: a length stream and one stream per value; here each
            // string keeps its terminator and its length counts it.
            Bytes lengths;
            for (std::uint32_t i = 0; i < p.values.size(); ++i) {
                Bytes v = p.values[i];
                if (base == mapi::PtUnicode) {
                    v.push_back(0);
                    v.push_back(0);
                } else if (base == mapi::PtString8) {
                    v.push_back(0);
                }
                append32(lengths, std::uint32_t(v.size()));
                if (base == mapi::PtBinary)
                    append32(lengths, 0);
                stream(dir, layout::valueStreamName(tag, i), v);
            }
            stream(dir, layout::valueStreamName(tag), lengths);
            streamEntry(props, tag, std::uint32_t(lengths.size()));
        }
    }

    const NameTable& names_;
};

// The bridge from stdio (which libgsf writes through) to an OutputSink.
struct CookieState {
    OutputSink* sink = nullptr;
    int error = 0;
    std::int64_t end = 0;
};

ssize_t cookieWrite(void* cookie, const char* buf, size_t size) {
    auto* s = static_cast<CookieState*>(cookie);
    errno = 0;
    if (!s->sink->write(reinterpret_cast<const std::uint8_t*>(buf), size)) {
        if (!s->error)
            s->error = errno ? errno : EIO;
        return 0;
    }
    s->end = std::max(s->end, s->sink->position());
    return ssize_t(size);
}

int cookieSeek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<CookieState*>(cookie);
    std::int64_t target = *offset;
    if (whence == SEEK_CUR)
        target += s->sink->position();
    else if (whence == SEEK_END)
        target += s->end;
    if (!s->sink->seek(target))
        return -1;
    *offset = target;
    return 0;
}

int cookieClose(void*) {
    return 0;
}

std::optional<std::uint64_t> fileTime(const Message& m) {
    for (std::uint16_t id :
         {mapi::tags::MessageDeliveryTime, mapi::tags::ClientSubmitTime, mapi::tags::CreationTime})
        if (auto t = m.time(id))
            return t;
    return std::nullopt;
}

} // namespace

void writeMsg(const Message& message, const QString& path, const WriteOptions& options) {
    PendingFile file(path);
    std::unique_ptr<OutputSink> sink = file.sink();
    if (options.interpose)
        sink = options.interpose(std::move(sink));
    CookieState state{sink.get()};
    const cookie_io_functions_t io{nullptr, cookieWrite, cookieSeek, cookieClose};
    FilePtr fp(fopencookie(&state, "w", io));
    if (!fp)
        throw fileFailure(errno, path);
    std::setvbuf(fp.get(), nullptr, _IOFBF, 1 << 16);

    auto failed = [&](const std::string& what) {
        if (state.error)
            return fileFailure(state.error, path);
        return Failure(
            failures::FileAccess,
            QStringLiteral("Cannot save \"%1\": %2.").arg(path, QString::fromStdString(what)));
    };
    try {
        const QByteArray name = QFile::encodeName(path);
        OutRef out(gsf_output_stdio_new_FILE(name.constData(), fp.get(), TRUE));
        if (!out)
            throw GsfWriteError{"cannot open the output"};
        OutRef root(GSF_OUTPUT(gsf_outfile_msole_new(out.get())));
        if (!root)
            throw GsfWriteError{"cannot start the compound file"};
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), layout::MessageClassId);

        NameTable names;
        names.collect(message);
        Writer writer(names);
        writer.message(root.dir(), message, Level::Top);
        names.write(root.dir(), [&](GsfOutfile* dir, const std::string& n, const Bytes& b) {
            writer.stream(dir, n, b);
        });
        if (!root.close())
            throw GsfWriteError{"cannot finish the compound file"};
        if (!out.close())
            throw GsfWriteError{"cannot finish the output"};
    } catch (const GsfWriteError& e) {
        throw failed(e.what);
    }
    if (std::fflush(fp.get()) != 0 || state.error)
        throw failed("cannot write the file");
    errno = 0;
    if (!sink->flush()) {
        state.error = errno ? errno : EIO;
        throw failed("cannot write the file");
    }
    fp.reset();
    file.setModificationTime(fileTime(message));
    file.commit();
}

} // namespace talvenor::msg
