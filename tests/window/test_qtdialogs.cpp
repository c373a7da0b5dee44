#include "addfiles.h"
#include "qtfiledialog.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace talvenor;

namespace {

QStringList shownNames(QFileDialog& dialog) {
    auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"));
    if (!view)
        return {};
    QStringList names;
    const QModelIndex root = view->rootIndex();
    for (int r = 0; r < view->model()->rowCount(root); ++r)
        names << view->model()->index(r, 0, root).data().toString();
    names.sort();
    return names;
}

TEST(QtFileDialogSetup, PstFilterShowsUpperCaseNamesAndFoldersButNoOtherFiles) {
    QTemporaryDir dir;
    for (const char* name : {"a.pst", "ARCHIVE.PST", "notes.txt", "b.pst.bak"}) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));

    QFileDialog dialog;
    QtFileDialog::configure(dialog, {QString(), AddFilesTitle, PstFilter, true});
    dialog.setDirectory(dir.path());
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(),
              QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
    EXPECT_EQ(dialog.nameFilters(), QStringList({"PST Files (*.pst)"}));
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
    const QStringList expected{"ARCHIVE.PST", "a.pst", "sub"};
    const bool shown = QTest::qWaitFor([&] { return shownNames(dialog) == expected; }, 5000);
    EXPECT_TRUE(shown) << shownNames(dialog).join(", ").toStdString();
}

} // namespace
