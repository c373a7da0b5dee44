#pragma once

// The few things the core asks of the user interface. The window implements them with
// Qt widgets; tests implement them with recorders.

#include <QString>

namespace talvenor {

enum class MessageButtons { Ok, YesNo };
enum class MessageIcon { None, Warning };
enum class MessageAnswer { Ok, Yes, No };

struct Message {
    QString text; // keeps its CR LF and bare CR characters; only drawing turns them into breaks
    QString title;
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
};

// Shows a modal message and returns the user's answer.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual MessageAnswer show(const Message& message) = 0;
};

// Lets the window's event loop run, so that it paints and takes input during long work.
class IEventLoop {
public:
    virtual ~IEventLoop() = default;
    virtual void yield() = 0;
};

// The main window's pointer; Busy is what "the window is busy" means everywhere.
enum class PointerMode { Default = 0, Busy = 11, Hand = 99 };

class IPointer {
public:
    virtual ~IPointer() = default;
    virtual PointerMode mode() const = 0;
    virtual void setMode(PointerMode mode) = 0;
    bool isBusy() const { return mode() == PointerMode::Busy; }
};

// Ends the process at once.
class IProcess {
public:
    virtual ~IProcess() = default;
    virtual void exit(int code) = 0;
};

} // namespace talvenor
