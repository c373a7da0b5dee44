#pragma once

// Recorders that stand in for the window in tests: they remember what the core asked of the
// user and answer from a script.

#include "ui.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>

namespace talvenor::testing {

class RecordingMessageBox : public IMessageBox {
public:
    MessageAnswer show(const Message& message) override {
        shown.append(message);
        if (onShow)
            onShow(message);
        if (!answers.empty()) {
            MessageAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return message.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    }
    QStringList texts() const {
        QStringList t;
        for (const auto& m : shown)
            t << m.text;
        return t;
    }

    QList<Message> shown;
    std::deque<MessageAnswer> answers;
    std::function<void(const Message&)> onShow;
};

class CountingEventLoop : public IEventLoop {
public:
    void yield() override {
        ++yields;
        if (onYield)
            onYield();
    }
    int yields = 0;
    std::function<void()> onYield;
};

class RecordingPointer : public IPointer {
public:
    PointerMode mode() const override { return current; }
    void setMode(PointerMode m) override {
        current = m;
        history.append(m);
    }
    PointerMode current = PointerMode::Default;
    QList<PointerMode> history;
};

class RecordingProcess : public IProcess {
public:
    void exit(int code) override {
        exited = true;
        exitCode = code;
    }
    bool exited = false;
    int exitCode = 0;
};

} // namespace talvenor::testing
