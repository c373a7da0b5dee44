#include "session.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "paths.h"

#include <QFile>
#include <QFileInfo>

#include <new>
#include <optional>

namespace talvenor {

using namespace automation;

namespace {
struct Pending {
    int step;
    Failure failure;
};

// Whether the store's file is still what it was when its conversion started: there, readable
// and as long. A file that was not there to begin with (a store the mail program finds by
// another name) is not judged.
class StoreFileWatch {
public:
    explicit StoreFileWatch(QString path) : path_(std::move(path)) {
        const QFileInfo info(path_);
        if (info.isFile())
            size_ = info.size();
    }
    bool readable() const {
        if (size_ < 0)
            return true;
        const QFileInfo now(path_);
        QFile file(path_);
        return now.isFile() && now.size() == size_ && file.open(QIODevice::ReadOnly);
    }

private:
    QString path_;
    qint64 size_ = -1;
};

} // namespace

void ConversionSession::PST2MSG(const QString& pstPath, const QString& outputFile,
                                IRunObserver* observer) {
    WindowOutcomes window(messages_, false);
    IRunObserver& out = observer ? *observer : window;

    const StoreFileWatch watch(pstPath);
    WalkOptions walkOptions;
    walkOptions.observer = &out;
    walkOptions.storeReadable = [&watch] { return watch.readable(); };
    walkOptions.storeName = paths::getFileName(pstPath);
    std::optional<Pending> pending;
    std::unique_ptr<Application> application;
    std::unique_ptr<Namespace> ns;
    std::unique_ptr<Folder> root;
    bool attached = false;
    int step = 0;

    // Steps 100 to 118: the first failure skips the rest and goes to 120.
    try {
        step = 100;
        pointer_.setMode(PointerMode::Busy);
        step = 102;
        application = factory_.create(ApplicationClass);
        step = 104;
        ns = application->getNamespace(MapiNamespace);
        step = 106;
        ns->addStore(QLatin1Char('"') + pstPath + QLatin1Char('"'));
        attached = true;
        step = 108;
        root = ns->lastFolder();
        step = 110;
        MailWalk(messages_, events_, std::move(walkOptions)).getMailItems(*root, outputFile);
        step = 112;
        ns->removeStore(*root);
        attached = false;
        step = 114;
        ns.reset();
        step = 116;
        application.reset();
        step = 118;
        pointer_.setMode(PointerMode::Default);
    } catch (const Failure& f) {
        pending = Pending{step, f};
    } catch (const std::bad_alloc&) {
        pending = Pending{step, Failure(Cause::OutOfMemory, failures::OutOfMemory,
                                        QStringLiteral("Out of memory"))};
    } catch (const std::exception& e) {
        pending =
            Pending{step, Failure(Cause::Other, failures::Internal, QString::fromUtf8(e.what()))};
    }

    // A store left attached after a failure would stay open in the session: detach it.
    if (attached && ns) {
        try {
            if (!root)
                root = ns->lastFolder();
            ns->removeStore(*root);
        } catch (const std::exception&) {
            // Releasing the namespace below closes the store all the same.
        }
    }
    root.reset();
    ns.reset();
    application.reset();

    pointer_.setMode(PointerMode::Default); // 120
    if (!pending)                           // 122
        return;
    // The cause decides how it is told (in use by another program: steps 124 to 128); the
    // run goes on with the next file.
    out.fileFailed({pending->failure.cause(),
                    pending->failure.description(),
                    {QStringLiteral("PST2MSG"), pending->step}});
}

} // namespace talvenor
