#include "session.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "walk.h"

#include <cstdlib>
#include <optional>

namespace talvenor {

using namespace automation;

QString inUseMessageText() {
    return QStringLiteral("Error #0731: Please make sure that Your PST files are not used by "
                          "another application.\r\n\r\nPlease email ") +
           SupportEmail +
           QStringLiteral(" with a screenshot of this message if you have any questions.");
}

namespace {
struct Pending {
    int step;
    std::int32_t number;
    QString description;
};
} // namespace

void ConversionSession::PST2MSG(const QString& pstPath, const QString& outputFile) {
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
        MailWalk(messages_, events_, observer_).getMailItems(*root, outputFile);
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
        pending = Pending{step, f.number(), f.description()};
    } catch (const std::exception& e) {
        pending = Pending{step, failures::Internal, QString::fromUtf8(e.what())};
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
    if (std::abs(static_cast<long long>(pending->number)) == 2147467259LL) { // 124
        messages_.show({inUseMessageText(), applicationTitle(), MessageButtons::Ok,
                        MessageIcon::None}); // 126
        return;                               // 128
    }
    // Any other failure is the user's to know about; the run goes on with the next file.
    messages_.show(errorReportMessage(pending->description,
                                      windowLocation(QStringLiteral("PST2MSG")), pending->step));
}

} // namespace talvenor
