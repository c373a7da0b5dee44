#include "storagecopy.h"

#include <cstring>

namespace talvenor::msg {

namespace {
constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

void copyClassId(GsfInfile* from, GsfOutfile* to) {
    std::uint8_t clsid[16];
    if (GSF_IS_INFILE_MSOLE(from) && GSF_IS_OUTFILE_MSOLE(to) &&
        gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(from), clsid))
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(to), clsid);
}
} // namespace

bool isCompoundFile(const mapi::Bytes& bytes) {
    return bytes.size() >= 512 && std::memcmp(bytes.data(), Signature, sizeof Signature) == 0;
}

void copyStorage(GsfInfile* from, GsfOutfile* to, GDateTime* stamp) {
    copyClassId(from, to);
    const int n = gsf_infile_num_children(from);
    for (int i = 0; i < n; ++i) {
        const char* name = gsf_infile_name_by_index(from, i);
        GRef<GsfInput> child(gsf_infile_child_by_index(from, i));
        if (!name || !child)
            throw std::string("an element of an attached storage cannot be read");
        const bool isDir =
            GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        GDateTime* own = gsf_input_get_modtime(child.get());
        OutRef out(isDir ? newStorage(to, name, own ? own : stamp)
                         : gsf_outfile_new_child(to, name, FALSE));
        if (!out)
            throw std::string("cannot copy an attached storage");
        if (isDir) {
            copyStorage(GSF_INFILE(child.get()), out.dir(), stamp);
        } else {
            std::uint8_t buf[8192];
            gsf_off_t left = gsf_input_size(child.get());
            while (left > 0) {
                const std::size_t n = std::size_t(std::min<gsf_off_t>(left, sizeof buf));
                if (!gsf_input_read(child.get(), n, buf) || !gsf_output_write(out.get(), n, buf))
                    throw std::string("cannot copy a stream of an attached storage");
                left -= gsf_off_t(n);
            }
        }
        if (!out.close())
            throw std::string("cannot finish a copy of an attached storage");
    }
}

void copyImageInto(const mapi::Bytes& image, GsfOutfile* to, GDateTime* stamp) {
    GRef<GsfInput> in(gsf_input_memory_new(image.data(), gsf_off_t(image.size()), FALSE));
    GErrorHolder error;
    GRef<GsfInfile> root(in ? gsf_infile_msole_new(in.get(), error.out()) : nullptr);
    if (!root)
        throw std::string("an attached storage is damaged: ") + error.message();
    copyStorage(root.get(), to, stamp);
}

mapi::Bytes imageOf(GsfInfile* from) {
    GRef<GsfOutput> mem(gsf_output_memory_new());
    {
        OutRef root(GSF_OUTPUT(gsf_outfile_msole_new(mem.get())));
        if (!root)
            throw std::string("cannot copy an attached storage");
        copyStorage(from, root.dir(), nullptr);
        if (!root.close())
            throw std::string("cannot copy an attached storage");
    }
    if (!gsf_output_is_closed(mem.get()))
        gsf_output_close(mem.get());
    const auto* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(mem.get()));
    return mapi::Bytes(bytes, bytes + gsf_output_size(mem.get()));
}

} // namespace talvenor::msg
