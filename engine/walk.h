#pragma once

#include "automation.h"
#include "itemobserver.h"
#include "ui.h"

#include <QString>

namespace talvenor {

// Saves every mail item below a store's root folder as one message file into the output
// folder of the PST being converted, depth first, post-order. Failures are reported with the
// uniform error report and the walk goes on.
class MailWalk {
public:
    MailWalk(IMessageBox& messages, IEventLoop& events, IItemObserver* observer = nullptr)
        : messages_(messages), events_(events), observer_(observer) {}

    // pOutputFile: output folder + PST name without extension + ".msg"; its folder receives
    // the files and its name gives the name of items without a subject.
    void getMailItems(automation::Folder& pFld, const QString& pOutputFile);

private:
    IMessageBox& messages_;
    IEventLoop& events_;
    IItemObserver* observer_;
};

namespace naming {
// The bare name for items without a subject: "archive (no subject)" for ".../archive.msg".
QString fallbackName(const QString& outputFile);
// The characters a file name cannot hold, each replaced by one space.
QString replaceForbidden(QString name);
// The name shortened at a character boundary so that name + suffix + ".msg" fits in one
// file-name component (255 bytes of UTF-8).
QString fitName(const QString& name, const QString& suffix);
// The n-th candidate file name: "NAME.msg", then "NAME (2).msg", "NAME (3).msg", ...
QString candidate(const QString& name, int n);
constexpr int MaxNameBytes = 255;
} // namespace naming

} // namespace talvenor
