#include "storefactory.h"

#include "failure.h"

#if TALVENOR_HAVE_NATIVESTORE
#include "nativestore.h"
#endif
#if TALVENOR_HAVE_MSGWRITER
#include "msgfile.h"
#endif

namespace talvenor {

namespace {
// A build without a store reader: the start-up check explains and the program ends.
class NoStore : public automation::ApplicationFactory {
public:
    std::unique_ptr<automation::Application> create(const QString&) override {
        throw Failure(429, QStringLiteral("ActiveX component can't create object"));
    }
};
} // namespace

std::unique_ptr<automation::ApplicationFactory>
makeStoreFactory([[maybe_unused]] IEventLoop& events,
                 [[maybe_unused]] const ReadingHelper& helper) {
#if TALVENOR_HAVE_NATIVESTORE
    nativestore::StoreOptions options;
    options.helperProgram = helper.program;
    options.helperArguments = helper.arguments;
    // The window paints while the reading helper opens a store or reads a large item.
    options.whileWaiting = [&events] { events.yield(); };
#if TALVENOR_HAVE_MSGWRITER
    // The output folders a PST file's messages go into, opened as the first message needs
    // them; synced and closed as the file ends, so that the next file (or the next run of
    // the window) opens its folder anew by name.
    auto files = std::make_shared<msg::MessageFiles>();
    options.writer = [files](const mapi::Message& message, const QString& path) {
        files->save(message, path);
    };
    options.storeDetached = [files] {
        struct Closer {
            msg::MessageFiles& files;
            ~Closer() { files.close(); }
        } closer{*files};
        files->sync();
    };
#endif
    return std::make_unique<nativestore::NativeApplicationFactory>(std::move(options));
#else
    return std::make_unique<NoStore>();
#endif
}

} // namespace talvenor
