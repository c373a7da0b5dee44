#pragma once

// Stand-ins for the window's controls as the conversion run sees them.

#include "conversionrun.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <functional>

namespace talvenor::testing {

struct FakeOptions : IOutputOptions {
    bool option1() const override { return o1; }
    bool option2() const override { return o2; }
    QString text1() const override { return t1; }
    bool o1 = true;
    bool o2 = false;
    QString t1;
};

struct RecordingProgress : IProgress {
    void setValue(int v) override {
        value = v;
        values << v;
    }
    void setText(const QString& t) override {
        text = t;
        texts << t;
    }
    int value = 0;
    QString text = QStringLiteral("Progress Bar");
    QList<int> values;
    QStringList texts;
};

struct Conversion {
    QString pst;
    QString output;
    int progressValue;
    QString progressText;
    bool busy;
};

struct RecordingConverter : IFileConverter {
    RecordingConverter(const RecordingProgress& p, const IPointer& ptr)
        : progress(p), pointer(ptr) {}
    void PST2MSG(const QString& pst, const QString& out, IRunObserver& walk) override {
        done.append({pst, out, progress.value, progress.text, pointer.isBusy()});
        if (onConvert)
            onConvert();
        if (onWalk)
            onWalk(walk);
    }
    const RecordingProgress& progress;
    const IPointer& pointer;
    QList<Conversion> done;
    std::function<void()> onConvert;
    std::function<void(IRunObserver&)> onWalk;
};

struct FakeFolderAccess : IFolderAccess {
    std::optional<Cause> refusal(const QString& folder) const override {
        return refused.contains(folder) ? std::optional<Cause>(refused.value(folder))
                                        : std::nullopt;
    }
    QMap<QString, Cause> refused;
};

} // namespace talvenor::testing
