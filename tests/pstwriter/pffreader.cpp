#include "pffreader.h"

#include <libpff.h>

#include <stdexcept>

namespace talvenor::pstwriter::test {

namespace {

// Owning wrappers of libpff handles.
struct ErrorHolder {
    libpff_error_t* e = nullptr;
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder() {
        if (e)
            libpff_error_free(&e);
    }
    libpff_error_t** out() { return &e; }
    [[noreturn]] void raise(const std::string& what) {
        char text[1024] = {};
        if (e)
            libpff_error_sprint(e, text, sizeof text);
        throw std::runtime_error(what + ": " + text);
    }
};

template <typename T, int (*Free)(T**, libpff_error_t**)> class Handle {
public:
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Handle() {
        if (p_)
            Free(&p_, nullptr);
    }
    T* get() const { return p_; }
    T** out() { return &p_; }

private:
    T* p_ = nullptr;
};

using File = Handle<libpff_file_t, libpff_file_free>;
using Item = Handle<libpff_item_t, libpff_item_free>;
using RecordSet = Handle<libpff_record_set_t, libpff_record_set_free>;
using RecordEntry = Handle<libpff_record_entry_t, libpff_record_entry_free>;

mapi::PropertyBag readBag(libpff_record_set_t* set) {
    mapi::PropertyBag bag;
    ErrorHolder err;
    int n = 0;
    if (libpff_record_set_get_number_of_entries(set, &n, err.out()) != 1)
        err.raise("cannot count entries");
    for (int i = 0; i < n; ++i) {
        RecordEntry entry;
        if (libpff_record_set_get_entry_by_index(set, i, entry.out(), err.out()) != 1)
            err.raise("cannot read entry");
        std::uint32_t id = 0;
        std::uint32_t type = 0;
        libpff_record_entry_get_entry_type(entry.get(), &id, nullptr);
        libpff_record_entry_get_value_type(entry.get(), &type, nullptr);
        mapi::Property p;
        p.id = std::uint16_t(id);
        p.type = std::uint16_t(type);
        std::size_t size = 0;
        mapi::Bytes data;
        if (libpff_record_entry_get_data_size(entry.get(), &size, nullptr) == 1 && size > 0) {
            data.resize(size);
            if (libpff_record_entry_get_data(entry.get(), data.data(), size, err.out()) != 1)
                err.raise("cannot read value");
        }
        if (mapi::isMultiValued(p.type))
            p.values = splitMultiValue(p.type, data);
        else
            p.value = std::move(data);
        libpff_name_to_id_map_entry_t* name = nullptr;
        if (libpff_record_entry_get_name_to_id_map_entry(entry.get(), &name, nullptr) == 1 &&
            name) {
            mapi::PropertyName pn;
            libpff_name_to_id_map_entry_get_guid(name, pn.guid.bytes.data(), 16, nullptr);
            std::uint8_t kind = 0;
            libpff_name_to_id_map_entry_get_type(name, &kind, nullptr);
            if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC) {
                std::uint32_t lid = 0;
                libpff_name_to_id_map_entry_get_number(name, &lid, nullptr);
                pn.lid = lid;
            } else {
                std::size_t s = 0;
                libpff_name_to_id_map_entry_get_utf16_string_size(name, &s, nullptr);
                std::vector<std::uint16_t> u(s + 1);
                libpff_name_to_id_map_entry_get_utf16_string(name, u.data(), u.size(), nullptr);
                for (std::size_t k = 0; k < s && u[k]; ++k)
                    pn.name += char16_t(u[k]);
            }
            p.name = pn;
        }
        bag.props.push_back(std::move(p));
    }
    return bag;
}

mapi::PropertyBag readItemBag(libpff_item_t* item, int set = 0) {
    ErrorHolder err;
    RecordSet rs;
    if (libpff_item_get_record_set_by_index(item, set, rs.out(), err.out()) != 1)
        err.raise("cannot read record set");
    return readBag(rs.get());
}

ReadMessage readMessage(libpff_item_t* msg) {
    ReadMessage m;
    ErrorHolder err;
    m.props = readItemBag(msg);
    Item recipients;
    if (libpff_message_get_recipients(msg, recipients.out(), nullptr) == 1 && recipients.get()) {
        int sets = 0;
        libpff_item_get_number_of_record_sets(recipients.get(), &sets, nullptr);
        for (int i = 0; i < sets; ++i)
            m.recipients.push_back(readItemBag(recipients.get(), i));
    }
    int count = 0;
    if (libpff_message_get_number_of_attachments(msg, &count, err.out()) != 1)
        err.raise("cannot count attachments");
    for (int i = 0; i < count; ++i) {
        Item att;
        if (libpff_message_get_attachment(msg, i, att.out(), err.out()) != 1)
            err.raise("cannot open attachment");
        ReadAttachment a;
        a.props = readItemBag(att.get());
        int type = 0;
        libpff_attachment_get_type(att.get(), &type, nullptr);
        if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
            Item inner;
            if (libpff_attachment_get_item(att.get(), inner.out(), err.out()) != 1)
                err.raise("cannot open embedded message");
            a.embedded = std::make_shared<ReadMessage>(readMessage(inner.get()));
        } else if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
            size64_t size = 0;
            if (libpff_attachment_get_data_size(att.get(), &size, nullptr) == 1 && size > 0) {
                a.data.resize(size);
                std::size_t at = 0;
                while (at < a.data.size()) {
                    const ssize_t n = libpff_attachment_data_read_buffer(
                        att.get(), a.data.data() + at, a.data.size() - at, err.out());
                    if (n <= 0)
                        err.raise("cannot read attachment data");
                    at += std::size_t(n);
                }
            }
        }
        m.attachments.push_back(std::move(a));
    }
    return m;
}

ReadFolder readFolder(libpff_item_t* folder) {
    ReadFolder f;
    ErrorHolder err;
    f.props = readItemBag(folder);
    std::size_t size = 0;
    if (libpff_folder_get_utf8_name_size(folder, &size, nullptr) == 1 && size > 0) {
        std::string name(size, '\0');
        libpff_folder_get_utf8_name(folder, reinterpret_cast<std::uint8_t*>(name.data()), size,
                                    nullptr);
        f.name = name.c_str();
    }
    int n = 0;
    if (libpff_folder_get_number_of_sub_messages(folder, &n, err.out()) != 1)
        err.raise("cannot count messages of " + f.name);
    for (int i = 0; i < n; ++i) {
        Item msg;
        if (libpff_folder_get_sub_message(folder, i, msg.out(), err.out()) != 1)
            err.raise("cannot open a message of " + f.name);
        f.messages.push_back(readMessage(msg.get()));
    }
    if (libpff_folder_get_number_of_sub_folders(folder, &n, err.out()) != 1)
        err.raise("cannot count sub-folders of " + f.name);
    for (int i = 0; i < n; ++i) {
        Item sub;
        if (libpff_folder_get_sub_folder(folder, i, sub.out(), err.out()) != 1)
            err.raise("cannot open a sub-folder of " + f.name);
        f.folders.push_back(readFolder(sub.get()));
    }
    return f;
}

std::size_t visitFolder(libpff_item_t* folder,
                        const std::function<void(const ReadMessage&)>& visit) {
    ErrorHolder err;
    std::size_t count = 0;
    int n = 0;
    if (libpff_folder_get_number_of_sub_messages(folder, &n, err.out()) != 1)
        err.raise("cannot count messages");
    for (int i = 0; i < n; ++i) {
        Item msg;
        if (libpff_folder_get_sub_message(folder, i, msg.out(), err.out()) != 1)
            err.raise("cannot open a message");
        visit(readMessage(msg.get()));
        ++count;
    }
    if (libpff_folder_get_number_of_sub_folders(folder, &n, err.out()) != 1)
        err.raise("cannot count sub-folders");
    for (int i = 0; i < n; ++i) {
        Item sub;
        if (libpff_folder_get_sub_folder(folder, i, sub.out(), err.out()) != 1)
            err.raise("cannot open a sub-folder");
        count += visitFolder(sub.get(), visit);
    }
    return count;
}

// The root item must be released before the file: declare the file first.
void openFile(const std::string& path, File& file, Item& root) {
    ErrorHolder err;
    if (libpff_file_initialize(file.out(), err.out()) != 1)
        err.raise("cannot initialise libpff");
    if (libpff_file_open(file.get(), path.c_str(), LIBPFF_OPEN_READ, err.out()) != 1)
        err.raise("cannot open " + path);
    if (libpff_file_get_root_folder(file.get(), root.out(), err.out()) != 1)
        err.raise("no root folder in " + path);
}

} // namespace

const ReadFolder* ReadFolder::child(const std::string& n) const {
    for (const ReadFolder& f : folders)
        if (f.name == n)
            return &f;
    return nullptr;
}

std::vector<mapi::Bytes> splitMultiValue(std::uint16_t type, const mapi::Bytes& raw) {
    std::vector<mapi::Bytes> out;
    const std::size_t fixed = mapi::fixedSize(mapi::baseType(type));
    if (fixed != 0) {
        for (std::size_t at = 0; at + fixed <= raw.size(); at += fixed)
            out.emplace_back(raw.begin() + long(at), raw.begin() + long(at + fixed));
        return out;
    }
    if (raw.size() < 4)
        return out;
    const std::uint32_t count = mapi::readLe32(raw.data());
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t start = mapi::readLe32(raw.data() + 4 + 4 * i);
        const std::size_t end = i + 1 < count ? mapi::readLe32(raw.data() + 8 + 4 * i) : raw.size();
        out.emplace_back(raw.begin() + long(start), raw.begin() + long(end));
    }
    return out;
}

ReadFolder readPst(const std::string& path) {
    File file;
    Item root;
    openFile(path, file, root);
    ReadFolder f = readFolder(root.get());
    libpff_file_close(file.get(), nullptr);
    return f;
}

std::size_t forEachPstMessage(const std::string& path,
                              const std::function<void(const ReadMessage&)>& visit) {
    File file;
    Item root;
    openFile(path, file, root);
    const std::size_t count = visitFolder(root.get(), visit);
    libpff_file_close(file.get(), nullptr);
    return count;
}

} // namespace talvenor::pstwriter::test
