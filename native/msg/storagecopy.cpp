#include "storagecopy.h"

#include <cstring>
#include <limits>

namespace talvenor::msg {

namespace {
constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint64_t FiletimeUnixEpoch = 116444736000000000ULL;
// Deeper nesting than any real object has: a directory that loops back on itself.
constexpr int MaxDepth = 64;

void copyClassId(GsfInfile* from, cfb::Tree& tree, cfb::Tree::Id to) {
    std::uint8_t clsid[16];
    if (GSF_IS_INFILE_MSOLE(from) && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(from), clsid))
        tree.setClassId(to, clsid);
}

std::uint64_t filetimeOf(GDateTime* t) {
    if (!t)
        return 0;
    const gint64 unix = g_date_time_to_unix(t);
    if (unix < -gint64(FiletimeUnixEpoch / 10000000ULL))
        return 0;
    return std::uint64_t(std::int64_t(FiletimeUnixEpoch) + unix * 10000000LL +
                         g_date_time_get_microsecond(t) * 10LL);
}

void copy(GsfInfile* from, cfb::Tree& tree, cfb::Tree::Id to, std::uint64_t stamp,
          std::uint64_t limit, int depth) {
    if (depth > MaxDepth)
        throw std::string("the storages of an attached storage are nested too deeply");
    copyClassId(from, tree, to);
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
                tree.setTimes(sub, stamp, own ? own : stamp);
                copy(GSF_INFILE(child.get()), tree, sub, stamp, limit, depth + 1);
                continue;
            }
            const gsf_off_t size = gsf_input_size(child.get());
            if (size < 0 || std::uint64_t(size) > limit)
                throw std::string("a stream of an attached storage is larger than the storage");
            cfb::Bytes bytes(static_cast<std::size_t>(size));
            if (size > 0 && !gsf_input_read(child.get(), bytes.size(), bytes.data()))
                throw std::string("cannot copy a stream of an attached storage");
            tree.addStream(to, name, std::move(bytes));
        } catch (const cfb::Error& e) {
            throw std::string("cannot copy an attached storage: ") + e.what();
        }
    }
}
} // namespace

bool isCompoundFile(const mapi::Bytes& bytes) {
    return bytes.size() >= 512 && std::memcmp(bytes.data(), Signature, sizeof Signature) == 0;
}

void copyStorage(GsfInfile* from, cfb::Tree& tree, cfb::Tree::Id to, std::uint64_t stamp,
                 std::uint64_t limit) {
    copy(from, tree, to, stamp, limit, 0);
}

void copyImageInto(const mapi::Bytes& image, cfb::Tree& tree, cfb::Tree::Id to,
                   std::uint64_t stamp) {
    try {
        cfb::copyImage(image, tree, to, stamp);
    } catch (const cfb::Error& e) {
        throw std::string("an attached storage cannot be copied: ") + e.what();
    }
}

mapi::Bytes imageOf(GsfInfile* from) {
    cfb::Tree tree;
    copyStorage(from, tree, cfb::Tree::Root, 0, std::numeric_limits<std::uint64_t>::max());
    try {
        return tree.build();
    } catch (const cfb::Error& e) {
        throw std::string("cannot copy an attached storage: ") + e.what();
    }
}

} // namespace talvenor::msg
