#pragma once

// Real folder trees in a temporary folder for the scan tests.

#include "failure.h"
#include "settings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <ostream>

// Readable texts in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace talvenor::testing {

class Tree {
public:
    Tree() { EXPECT_TRUE(dir_.isValid()); }
    // The tree's root, without a trailing "/".
    QString root() const { return dir_.path(); }
    QString path(const QString& relative) const { return root() + QLatin1Char('/') + relative; }
    // The entry a folder-tree command puts into its folder list.
    QString entry(const QString& relative = QString()) const {
        return relative.isEmpty() ? root() + QLatin1Char('/') : path(relative) + QLatin1Char('/');
    }

    void folder(const QString& relative) const { ASSERT_TRUE(QDir().mkpath(path(relative))); }
    void file(const QString& relative) const {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path(relative)).path()));
        QFile f(path(relative));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << relative.toStdString();
        f.write("x");
    }
    void link(const QString& relative, const QString& target) const {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(path(relative)).constData()),
                  0);
    }

private:
    QTemporaryDir dir_;
};

// The settings store in memory.
class MemorySettings : public ISettings {
public:
    QString readSetting(const QString& key, const QString& defaultText) const override {
        return values.value(key, defaultText);
    }
    void writeSetting(const QString& key, const QString& value) override {
        if (failWrites)
            throw Failure(75, QStringLiteral("Path/File access error"));
        values[key] = value;
    }
    QMap<QString, QString> values;
    bool failWrites = false;
};

} // namespace talvenor::testing
