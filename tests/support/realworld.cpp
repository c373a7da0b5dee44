#include "realworld.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace talvenor::testing {

QString realWorldFolder() {
    return QDir::cleanPath(QStringLiteral(TALVENOR_SOURCE_DIR) +
                           QStringLiteral("/../shared/realworld"));
}

bool findRealWorldStores(QStringList& stores) {
    const QDir dir(realWorldFolder());
    stores.clear();
    for (const QString& name : dir.entryList({QStringLiteral("*.pst")}, QDir::Files, QDir::Name))
        stores << dir.filePath(name);
    if (!stores.isEmpty())
        return true;
    const QByteArray line = "the real stores are missing from " + realWorldFolder().toUtf8() +
                            ", so this check did not run";
    if (!qEnvironmentVariableIsEmpty("CI"))
        ADD_FAILURE() << line.constData();
    else
        std::printf("%s\n", line.constData());
    return false;
}

} // namespace talvenor::testing
