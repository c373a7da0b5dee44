// Raw access to written message files for the tests, independent of readMsg, and a check of
// their structure against the files the mail program writes.
#pragma once

#include "gsfhandles.h"
#include "mapi/mapi.h"

#include <QFile>
#include <QString>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace msgtest {

using namespace talvenor::mapi;
using talvenor::msg::GErrorHolder;
using talvenor::msg::GRef;

// Raw access to the streams of a written file, independent of readMsg.
class RawFile {
public:
    explicit RawFile(const QString& path) {
        GErrorHolder e1, e2;
        input_ = GRef<GsfInput>(gsf_input_stdio_new(QFile::encodeName(path).constData(), e1.out()));
        if (input_)
            root_ = GRef<GsfInfile>(gsf_infile_msole_new(input_.get(), e2.out()));
    }
    bool ok() const { return bool(root_); }
    GsfInfile* root() const { return root_.get(); }

    // path like "__attach_version1.0_#00000000/__properties_version1.0"; nullopt when missing.
    std::optional<Bytes> stream(const std::string& path) const {
        GRef<GsfInput> in = open(path);
        if (!in || (GSF_IS_INFILE(in.get()) && gsf_infile_num_children(GSF_INFILE(in.get())) >= 0))
            return std::nullopt;
        Bytes b(static_cast<std::size_t>(gsf_input_size(in.get())));
        if (!b.empty())
            gsf_input_read(in.get(), b.size(), b.data());
        return b;
    }
    bool isStorage(const std::string& path) const {
        GRef<GsfInput> in = open(path);
        return in && GSF_IS_INFILE(in.get()) && gsf_infile_num_children(GSF_INFILE(in.get())) >= 0;
    }

private:
    GRef<GsfInput> open(const std::string& path) const {
        GRef<GsfInput> cur;
        GsfInfile* dir = root_.get();
        std::size_t start = 0;
        while (true) {
            const std::size_t slash = path.find('/', start);
            const std::string part = path.substr(start, slash - start);
            if (!dir)
                return {};
            cur = GRef<GsfInput>(gsf_infile_child_by_name(dir, part.c_str()));
            if (!cur || slash == std::string::npos)
                return cur;
            dir = GSF_IS_INFILE(cur.get()) ? GSF_INFILE(cur.get()) : nullptr;
            parents_.push_back(std::move(cur));
            start = slash + 1;
        }
    }
    GRef<GsfInput> input_;
    GRef<GsfInfile> root_;
    mutable std::vector<GRef<GsfInput>> parents_;
};

struct Entry {
    std::uint32_t flags;
    Bytes value; // 8 bytes
    std::uint32_t size() const { return readLe32(value.data()); }
};

// The entries of a property stream after a header of headerSize bytes.
inline std::map<std::uint32_t, Entry> entries(const Bytes& props, std::size_t headerSize) {
    std::map<std::uint32_t, Entry> out;
    for (std::size_t off = headerSize; off + 16 <= props.size(); off += 16)
        out[readLe32(&props[off])] = {
            readLe32(&props[off + 4]),
            Bytes(props.begin() + long(off) + 8, props.begin() + long(off) + 16)};
    return out;
}

// What in the file at path differs from the files of the mail program: the flags of each
// property entry, recipients' row ids, attachments' numbers and rendering positions, the sizes
// of messages and attachments (left out), the entry of an embedded message, and the
// store-support mask: a Unicode file's on the message (and the Unicode flag on any other) when
// unicode, else none and no Unicode string. Empty when the file is as the mail program writes it.
std::vector<std::string> structureFaults(const QString& path, bool unicode);

} // namespace msgtest
