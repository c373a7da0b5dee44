// Opens arbitrary bytes as a personal-folders file and walks it through the automation
// surface, reading every message whole. The store is read in this process by the product's own
// producer and record stream (the fuzzer wants to see the crash). Inputs of 512 bytes and more
// get a header that passes the reader's checksum, so that the fuzzer spends its time behind the
// header.
#include "pstbytes.h"

#include <failure.h>
#include <nativestore.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

using namespace talvenor;

namespace {

// Hostile files can claim huge counts; the walk stays bounded per input.
constexpr int MaxVisits = 2000;

void walk(automation::Folder& folder, int& budget, int depth) {
    if (depth > 64 || --budget < 0)
        return;
    folder.name();
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders && budget > 0; ++i) {
        try {
            auto sub = folder.folder(i);
            walk(*sub, budget, depth + 1);
        } catch (const Failure&) {
        }
    }
    try {
        auto items = folder.items();
        const int count = items->count();
        for (int j = 1; j <= count && --budget > 0; ++j) {
            try {
                auto item = items->item(j);
                item->itemClass();
                item->subject();
                item->damage();
                item->saveAs(QStringLiteral("/nonexistent/fuzz.msg"));
            } catch (const Failure&) {
            }
        }
    } catch (const Failure&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() >= 512)
        talvenor::testing::fixPstHeader(bytes, (bytes[10] & 1) == 0);

    const int fd = ::memfd_create("fuzz.pst", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        ::close(fd);
        return 0;
    }
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);

    nativestore::StoreOptions options;
    options.containment = nativestore::Containment::None; // the fuzzer wants to see crashes
    // Every mail item is handed over whole, as the message-file writer gets it.
    options.writer = [](const mapi::Message& message, const QString&) {
        volatile std::size_t seen = message.props.size() + message.attachments.size();
        (void)seen;
    };
    nativestore::NativeApplicationFactory factory(options);
    try {
        auto application = factory.create(automation::ApplicationClass);
        auto ns = application->getNamespace(automation::MapiNamespace);
        ns->addStore(QLatin1Char('"') + path + QLatin1Char('"'));
        auto root = ns->lastFolder();
        int budget = MaxVisits;
        walk(*root, budget, 0);
        ns->removeStore(*root);
    } catch (const Failure&) {
    }
    ::close(fd);
    return 0;
}
