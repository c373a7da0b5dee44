// Starts the program and watches an X display for its window as a user would see it: once a
// window with the given title is shown and has painted, saves a picture of the whole screen,
// asks the window to close through the window manager protocol (as the close box does) and
// waits for the program to end. It waits on events only (X events and the program's end),
// never for a time, so a slow or loaded machine takes longer but gives the same result; the
// test's own time-out catches a program that hangs.
//
//   smokeprobe "Talvenor Software" shot.png PROGRAM [ARGUMENTS...]
//
// Exit status 0 when the window appeared, the picture was saved and the program then ended
// with status 0.
#include <QImage>
#include <QString>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
struct XFreeDeleter {
    void operator()(void* p) const { XFree(p); }
};
struct ImageDeleter {
    void operator()(XImage* i) const { XDestroyImage(i); }
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

bool viewableWithTitle(Display* d, Window w, const char* title) {
    char* raw = nullptr;
    if (!XFetchName(d, w, &raw) || !raw)
        return false;
    std::unique_ptr<char, XFreeDeleter> name(raw);
    XWindowAttributes a;
    return QString::fromUtf8(name.get()) == QString::fromUtf8(title) &&
           XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

QImage grabScreen(Display* d) {
    const Window root = DefaultRootWindow(d);
    XWindowAttributes a;
    XGetWindowAttributes(d, root, &a);
    std::unique_ptr<XImage, ImageDeleter> img(
        XGetImage(d, root, 0, 0, a.width, a.height, AllPlanes, ZPixmap));
    if (!img)
        return {};
    QImage out(a.width, a.height, QImage::Format_RGB32);
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(img.get(), x, y);
            out.setPixel(x, y, qRgb((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff));
        }
    return out;
}

// A window that shows more than one colour has painted its contents, not only its background.
bool painted(Display* d, Window w, const QImage& screen) {
    XWindowAttributes a;
    Window child;
    int x = 0, y = 0;
    if (!XGetWindowAttributes(d, w, &a) ||
        !XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child))
        return false;
    const QImage inside = screen.copy(x, y, a.width, a.height);
    for (int j = 0; j < inside.height(); ++j)
        for (int i = 0; i < inside.width(); ++i)
            if (inside.pixel(i, j) != inside.pixel(0, 0))
                return true;
    return false;
}

void askToClose(Display* d, Window w) {
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = w;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &close);
    XFlush(d);
}

// The program's windows come and go while the probe looks at them: a request about one that
// has just gone fails, and that is no reason to stop (every answer the probe uses is checked).
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

QString describe(int status) {
    return WIFSIGNALED(status) ? QStringLiteral("signal %1").arg(WTERMSIG(status))
                               : QStringLiteral("status %1").arg(WEXITSTATUS(status));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: smokeprobe TITLE OUTPUT.png PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const char* title = argv[1];
    const QString output = QString::fromLocal8Bit(argv[2]);
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    Display* d = display.get();
    int damageEvent = 0, damageError = 0;
    int major = 1, minor = 1; // the version this probe speaks, asked for before any request
    if (!XDamageQueryExtension(d, &damageEvent, &damageError) ||
        !XDamageQueryVersion(d, &major, &minor)) {
        std::fprintf(stderr, "the X display has no Damage extension\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line reaches the log, even if killed
    XSetErrorHandler(ignoreXError);
    // Told of every top-level window from before the program can make one.
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, False);

    const pid_t program = ::fork();
    if (program < 0) {
        std::perror("fork");
        return 2;
    }
    if (program == 0) {
        ::close(ConnectionNumber(d));
        ::execvp(argv[3], argv + 3);
        std::perror(argv[3]);
        ::_exit(127);
    }
    const Fd ended(int(::syscall(SYS_pidfd_open, program, 0)));
    if (ended.get() < 0) {
        std::perror("pidfd_open");
        ::kill(program, SIGKILL);
        return 2;
    }

    std::map<Window, Damage> watched;
    Window window = 0;
    bool damaged = false, closing = false;
    for (;;) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == CreateNotify && e.xcreatewindow.parent == DefaultRootWindow(d)) {
                const Window w = e.xcreatewindow.window;
                XSelectInput(d, w, PropertyChangeMask | StructureNotifyMask);
                watched[w] = XDamageCreate(d, w, XDamageReportNonEmpty);
            } else if (e.type == damageEvent + XDamageNotify) {
                const auto& n = reinterpret_cast<const XDamageNotifyEvent&>(e);
                XDamageSubtract(d, n.damage, None, None);
                damaged = damaged || n.drawable == window || window == 0;
            } else if (e.type == DestroyNotify) {
                watched.erase(e.xdestroywindow.window);
            }
        }
        if (!closing && !window) {
            for (const auto& [w, damage] : watched)
                if (viewableWithTitle(d, w, title)) {
                    // It may have painted before the probe began to watch it: look at once,
                    // and again at each change from then on.
                    window = w;
                    damaged = true;
                    std::printf("window 0x%lx appeared\n", window);
                    break;
                }
        }
        if (!closing && window && damaged) {
            damaged = false;
            const QImage shot = grabScreen(d);
            if (painted(d, window, shot)) {
                if (shot.isNull() || !shot.save(output, "PNG")) {
                    std::fprintf(stderr, "could not save the screen picture\n");
                    ::kill(program, SIGKILL);
                    return 1;
                }
                askToClose(d, window);
                closing = true;
            }
        }

        // The requests above may have read events off the connection into Xlib's queue,
        // where no poll sees them: then only look whether the program ended.
        const bool queued = XEventsQueued(d, QueuedAfterFlush) > 0;
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {ended.get(), POLLIN, 0}};
        if (::poll(fds, 2, queued ? 0 : -1) < 0 && errno != EINTR) {
            std::perror("poll");
            return 2;
        }
        if (fds[1].revents) {
            int status = 0;
            ::waitpid(program, &status, 0);
            if (!closing) {
                std::fprintf(stderr, "the program ended (%s) before its window \"%s\" showed\n",
                             qPrintable(describe(status)), title);
                return 1;
            }
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::fprintf(stderr, "the program ended with %s after its window was closed\n",
                             qPrintable(describe(status)));
                return 1;
            }
            return 0;
        }
    }
}
