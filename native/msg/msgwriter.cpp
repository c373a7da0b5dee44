#include "directorytimes.h"
#include "failure.h"
#include "gsfhandles.h"
#include "msgfile.h"
#include "msglayout.h"
#include "safefile.h"
#include "storagecopy.h"

#include <QFile>
#include <QFileInfo>

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

    template <typename StreamWriter>
    void write(GsfOutfile* root, GDateTime* stamp, StreamWriter&& stream) const {
        OutRef dir(newStorage(root, layout::NameIdStorage, stamp));
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

// Store-internal row id and row version of the PST's tables; they mean nothing in a file.
bool isStoreInternal(std::uint16_t id) {
    return id == 0x67F2 || id == 0x67F3;
}

class Writer {
public:
    Writer(const NameTable& names, GDateTime* stamp, bool unicode)
        : names_(names), stamp_(stamp), unicode_(unicode) {}

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
        Entries entries{props, layout::Object::Message};
        if (level == Level::Top) {
            // Readers decide from this mask whether the strings of the file are Unicode.
            const Property* p = m.find(mapi::tags::StoreSupportMask);
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::StoreSupportMask) << 16) | mapi::PtInteger32;
            entries.fixed(tag, supportMask(p && p->type == mapi::PtInteger32 ? p : nullptr));
        }
        properties(dir, m, entries);
        for (std::uint32_t i = 0; i < recipients; ++i) {
            OutRef r(newStorage(dir, layout::recipientStorageName(i).c_str(), stamp_));
            if (!r)
                throw GsfWriteError{"cannot create a recipient storage"};
            Bytes rp(layout::ChildHeaderSize, 0);
            Entries re{rp, layout::Object::Recipient};
            properties(r.dir(), m.recipients[i], re);
            // The row id numbers the recipients as their storages do.
            const std::uint32_t rowId =
                (std::uint32_t(mapi::tags::RowId) << 16) | mapi::PtInteger32;
            if (!m.recipients[i].find(mapi::tags::RowId))
                re.fixed(rowId, mapi::le32(i));
            stream(r.dir(), layout::PropertiesStream, rp);
            if (!r.close())
                throw GsfWriteError{"cannot finish a recipient storage"};
        }
        for (std::uint32_t i = 0; i < attachments; ++i)
            attachment(dir, m.attachments[i], i);
        stream(dir, layout::PropertiesStream, props);
    }

private:
    // The entries of one property stream, each tag once, with the flags of its object.
    struct Entries {
        Entries(Bytes& p, layout::Object o) : props(p), object(o) {}
        Bytes& props;
        layout::Object object;
        std::set<std::uint32_t> written;

        bool add(std::uint32_t tag) { return written.insert(tag).second; }
        void fixed(std::uint32_t tag, const Bytes& value) {
            if (!add(tag))
                return;
            head(tag);
            Bytes v = value;
            v.resize(8, 0);
            append(props, v);
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

    // The store's mask (when it has one) with the Unicode bit as the file's strings are.
    Bytes supportMask(const Property* stored) const {
        std::uint32_t mask =
            stored && stored->value.size() >= 4 ? mapi::readLe32(stored->value.data()) : 0;
        mask &= ~layout::StoreUnicodeOk;
        if (unicode_)
            mask |= layout::StoreUnicodeOk;
        return mapi::le32(mask);
    }

    void attachment(GsfOutfile* parent, const mapi::Attachment& a, std::uint32_t index) {
        OutRef dir(newStorage(parent, layout::attachmentStorageName(index).c_str(), stamp_));
        if (!dir)
            throw GsfWriteError{"cannot create an attachment storage"};
        Bytes props(layout::ChildHeaderSize, 0);
        Entries entries{props, layout::Object::Attachment};
        if (a.embedded) {
            OutRef sub(newStorage(dir.dir(), layout::EmbeddedStorage, stamp_));
            if (!sub)
                throw GsfWriteError{"cannot create an embedded message storage"};
            message(sub.dir(), *a.embedded, Level::Embedded);
            if (!sub.close())
                throw GsfWriteError{"cannot finish an embedded message storage"};
            const std::uint32_t tag =
                (std::uint32_t(mapi::tags::AttachDataBinary) << 16) | mapi::PtObject;
            entries.variable(tag, layout::ObjectSize, layout::EmbeddedMessageReserved);
        } else if (const Property* data = a.find(mapi::tags::AttachDataBinary);
                   data && data->type == mapi::PtObject && isCompoundFile(data->value)) {
            // An OLE object: its storage tree goes below the attachment as it is.
            OutRef sub(newStorage(dir.dir(), layout::EmbeddedStorage, stamp_));
            if (!sub)
                throw GsfWriteError{"cannot create an attached storage"};
            try {
                copyImageInto(data->value, sub.dir(), stamp_);
            } catch (const std::string& e) {
                throw GsfWriteError{e};
            }
            if (!sub.close())
                throw GsfWriteError{"cannot finish an attached storage"};
            entries.variable(data->tag(), layout::ObjectSize);
        }
        properties(dir.dir(), a, entries);
        // The attachment's number and place in the body, as a file of its own has them.
        const auto int32Tag = [](std::uint16_t id) {
            return (std::uint32_t(id) << 16) | mapi::PtInteger32;
        };
        if (!a.find(mapi::tags::AttachNumber))
            entries.fixed(int32Tag(mapi::tags::AttachNumber), mapi::le32(index));
        if (!a.find(mapi::tags::RenderingPosition))
            entries.fixed(int32Tag(mapi::tags::RenderingPosition), mapi::le32(0xFFFFFFFF));
        stream(dir.dir(), layout::PropertiesStream, props);
        if (!dir.close())
            throw GsfWriteError{"cannot finish an attachment storage"};
    }

    // Appends the entries of the bag and writes the value streams into dir.
    void properties(GsfOutfile* dir, const PropertyBag& bag, Entries& entries) {
        for (const Property& p : bag.props) {
            std::uint16_t id = p.id;
            if (p.name) {
                auto mapped = names_.idFor(*p.name);
                if (!mapped)
                    continue;
                id = *mapped;
            } else if (id >= layout::FirstNamedId) {
                continue; // a named-range id without its name means nothing in another file
            } else if (isStoreInternal(id) && entries.object != layout::Object::Message) {
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
                    entries.fixed(tag, supportMask(&p));
                } else if (layout::inlineSize(type) != 0) {
                    Bytes v = p.value;
                    v.resize(layout::inlineSize(type), 0);
                    entries.fixed(tag, v);
                } else {
                    // Strings are stored without their terminator; the size counts it.
                    const std::uint32_t extra = base == mapi::PtUnicode   ? 2
                                                : base == mapi::PtString8 ? 1
                                                                          : 0;
                    Bytes v = p.value;
                    if (base == mapi::PtGuid)
                        v.resize(16, 0);
                    stream(dir, layout::valueStreamName(tag), v);
                    entries.variable(tag, std::uint32_t(v.size()) + extra);
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
                entries.variable(tag, std::uint32_t(all.size()));
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
            entries.variable(tag, std::uint32_t(lengths.size()));
        }
    }

    const NameTable& names_;
    GDateTime* stamp_;
    bool unicode_;
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

constexpr std::uint64_t FiletimeUnixEpoch = 116444736000000000ULL;
constexpr std::uint64_t FiletimeSecond = 10000000ULL;

std::uint64_t nowAsFiletime() {
    return FiletimeUnixEpoch + std::uint64_t(g_get_real_time()) * 10;
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
    // Storages carry the message's time (some readers expect a time on every storage).
    const std::optional<std::uint64_t> when = fileTime(message);
    std::uint64_t stamp = when && *when >= FiletimeUnixEpoch ? *when : nowAsFiletime();
    stamp -= stamp % FiletimeSecond; // libgsf keeps whole seconds; all times of a file agree

    try {
        const QByteArray encoded = QFile::encodeName(path);
        OutRef out(gsf_output_stdio_new_FILE(encoded.constData(), fp.get(), TRUE));
        if (!out)
            throw GsfWriteError{"cannot open the output"};
        OutRef root(GSF_OUTPUT(gsf_outfile_msole_new(out.get())));
        if (!root)
            throw GsfWriteError{"cannot start the compound file"};
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), layout::MessageClassId);
        DateTimeRef stampTime(
            g_date_time_new_from_unix_utc(gint64((stamp - FiletimeUnixEpoch) / FiletimeSecond)));
        gsf_output_set_modtime(root.get(), stampTime.get());

        NameTable names;
        names.collect(message);
        Writer writer(names, stampTime.get(), holdsUnicode(message));
        writer.message(root.dir(), message, Level::Top);
        names.write(root.dir(), stampTime.get(),
                    [&](GsfOutfile* dir, const std::string& n, const Bytes& b) {
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
    fp.reset();
    errno = 0;
    if (!sink->flush() || !stampStorageTimes(*sink, stamp) || !sink->flush()) {
        state.error = errno ? errno : EIO;
        throw failed("cannot write the file");
    }
    file.setModificationTime(fileTime(message));
    file.commit();
}

void writeMsg(const Message& message, const QString& path, const WriteOptions& options) {
    const QFileInfo info(path);
    OutputFolder(info.absolutePath(), FolderCalls{}, path, false)
        .save(message, info.fileName(), options);
}

} // namespace talvenor::msg
