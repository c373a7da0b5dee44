#pragma once

#include "automation.h"
#include "isourcelist.h"
#include "session.h"
#include "ui.h"

#include <QString>

namespace talvenor {

// The output rule as the window's controls hold it; read afresh for every file.
class IOutputOptions {
public:
    virtual ~IOutputOptions() = default;
    virtual bool option1() const = 0;  // "Save results to this folder:"
    virtual bool option2() const = 0;  // "Save results in folder of original file"
    virtual QString text1() const = 0; // the folder of Option1
};

// The progress bar: a value from 0 to 100 and a text drawn on the bar.
class IProgress {
public:
    virtual ~IProgress() = default;
    virtual void setValue(int value) = 0;
    virtual void setText(const QString& text) = 0;
};

// Whether new files can be created in a folder.
class IFolderAccess {
public:
    virtual ~IFolderAccess() = default;
    virtual bool canWrite(const QString& folder) const = 0;
};

// Asks the operating system, which also knows about read-only mounts.
class SystemFolderAccess : public IFolderAccess {
public:
    bool canWrite(const QString& folder) const override;
};

// Converts one PST file into message files beside the output path.
class IFileConverter {
public:
    virtual ~IFileConverter() = default;
    virtual void PST2MSG(const QString& pstPath, const QString& outputFile) = 0;
};

class SessionConverter : public IFileConverter {
public:
    explicit SessionConverter(ConversionSession& session) : session_(session) {}
    void PST2MSG(const QString& pstPath, const QString& outputFile) override {
        session_.PST2MSG(pstPath, outputFile);
    }

private:
    ConversionSession& session_;
};

namespace runtext {
inline const QString NoFiles = QStringLiteral("No files added.");
inline const QString NoFolder =
    QStringLiteral("Folder does not exist. Please select another folder.");
inline const QString NoRule =
    QStringLiteral("Please choose where to save the results: \"Save results to this folder:\" "
                   "or \"Save results in folder of original file\".");
inline const QString Done = QStringLiteral("Done.");
inline const QString Processing = QStringLiteral("Processing: ");
inline const QString AtRest = QStringLiteral("Progress Bar");
} // namespace runtext

// The output path of one PST file under each rule.
QString outputPathInFolder(const QString& folder, const QString& pstPath);
QString outputPathBesideSource(const QString& pstPath);

// "Start Converting": converts every file of the source list, top to bottom, in one batch.
// The list is not changed by the run; while IsConverting() is true the window keeps every
// command that removes or reorders entries from doing so, so that each entry is converted
// exactly once.
class ConversionRun {
public:
    ConversionRun(ISourceList& list, IOutputOptions& options, IProgress& progress,
                  IPointer& pointer, IEventLoop& events, IMessageBox& messages,
                  IFileConverter& converter, const IFolderAccess& access)
        : list_(list), options_(options), progress_(progress), pointer_(pointer), events_(events),
          messages_(messages), converter_(converter), access_(access) {}

    void PushButton2_Click();
    bool IsConverting() const { return converting_; }

private:
    void say(const QString& text);

    ISourceList& list_;
    IOutputOptions& options_;
    IProgress& progress_;
    IPointer& pointer_;
    IEventLoop& events_;
    IMessageBox& messages_;
    IFileConverter& converter_;
    const IFolderAccess& access_;
    bool converting_ = false;
};

} // namespace talvenor
