#pragma once

// The real main window with scripted dialogs and a settings store in a temporary folder.

#include "failure.h"
#include "form1.h"
#include "quietprogram.h"
#include "recorders.h"
#include "settings.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <utility>

namespace talvenor::testing {

class ScriptedFolderPicker : public IFolderPicker {
public:
    QString browseForFolder(const QString& title, const QString& initialFolder) override {
        calls.append({title, initialFolder});
        if (answers.empty())
            return {};
        QString a = answers.front();
        answers.pop_front();
        return a;
    }
    std::deque<QString> answers;
    QList<std::pair<QString, QString>> calls;
};

class ScriptedFileDialog : public IFileDialog {
public:
    QStringList openFiles(const FileDialogRequest& request) override {
        requests.append(request);
        if (failure)
            throw *failure;
        return answer;
    }
    QStringList answer;
    std::optional<Failure> failure;
    QList<FileDialogRequest> requests;
};

// The store on disk, with every write remembered and writes that can be made to fail.
class RecordingSettings : public ISettings {
public:
    explicit RecordingSettings(const QString& dir) : store(dir) {}
    QString readSetting(const QString& key, const QString& defaultText) const override {
        return store.readSetting(key, defaultText);
    }
    void writeSetting(const QString& key, const QString& value) override {
        writes.append({key, value});
        if (failWrites)
            throw Failure(70, QStringLiteral("Permission denied"));
        store.writeSetting(key, value);
    }
    QStringList writesOf(const QString& key) const {
        QStringList values;
        for (const auto& [k, v] : writes)
            if (k == key)
                values << v;
        return values;
    }
    FileSettings store;
    QList<std::pair<QString, QString>> writes;
    bool failWrites = false;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        form.reset();
        settings = std::make_unique<RecordingSettings>(dir.path());
        form =
            std::make_unique<Form1>(Form1Services{messages, events, *settings, picker, fileDialog},
                                    program.services(dir.path() + "/program"));
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }

    // A second store on the same folder: what the next start of the program reads.
    QString storedAfterRestart(const QString& key, const QString& defaultText = "<absent>") {
        return FileSettings(dir.path()).readSetting(key, defaultText);
    }

    SourceListView& list() { return *form->ListView1; }
    void fill(const QStringList& texts) {
        for (const QString& t : texts)
            list().append(t);
    }
    QStringList texts() {
        QStringList t;
        for (int i = 1; i <= list().count(); ++i)
            t << list().text(i);
        return t;
    }
    QPoint centreOf(int position) {
        return list().visualItemRect(list().topLevelItem(position - 1)).center();
    }

    // Mouse events straight to the list's surface, in its coordinates.
    void mouse(QEvent::Type type, const QPoint& pos, Qt::MouseButtons buttons) {
        QWidget* surface = list().viewport();
        QMouseEvent e(type, QPointF(pos), QPointF(surface->mapToGlobal(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
        QApplication::sendEvent(surface, &e);
    }
    void press(const QPoint& pos) { mouse(QEvent::MouseButtonPress, pos, Qt::LeftButton); }
    void moveHeld(const QPoint& pos) { mouse(QEvent::MouseMove, pos, Qt::LeftButton); }
    void moveFree(const QPoint& pos) { mouse(QEvent::MouseMove, pos, Qt::NoButton); }
    void release(const QPoint& pos) { mouse(QEvent::MouseButtonRelease, pos, Qt::NoButton); }
    void doubleClick(const QPoint& pos) {
        press(pos);
        release(pos);
        mouse(QEvent::MouseButtonDblClick, pos, Qt::LeftButton);
        release(pos);
    }

    QTemporaryDir dir;
    RecordingMessageBox messages;
    CountingEventLoop events;
    std::unique_ptr<RecordingSettings> settings;
    ScriptedFolderPicker picker;
    ScriptedFileDialog fileDialog;
    QuietProgram program;
    std::unique_ptr<Form1> form;
};

} // namespace talvenor::testing
