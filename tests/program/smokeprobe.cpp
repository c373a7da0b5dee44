// Watches an X display for the program's window as a user would see it: waits until a window
// with the given title is mapped, saves a picture of the whole screen, then asks the window to
// close through the window manager protocol (as the close box does).
//
//   smokeprobe "Talvenor Software" shot.png [seconds]
//
// Exit status 0 when the window appeared and the picture was saved.
#include <QImage>
#include <QString>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

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

Window findWindow(Display* d, Window w, const char* title) {
    char* raw = nullptr;
    if (XFetchName(d, w, &raw) && raw) {
        std::unique_ptr<char, XFreeDeleter> name(raw);
        XWindowAttributes a;
        if (QString::fromUtf8(name.get()) == QString::fromUtf8(title) &&
            XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable)
            return w;
    }
    Window root, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &n))
        return 0;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    for (unsigned int i = 0; i < n; ++i)
        if (Window found = findWindow(d, children[i], title))
            return found;
    return 0;
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: smokeprobe TITLE OUTPUT.png [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 30;
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    Display* d = display.get();
    Window window = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!(window = findWindow(d, DefaultRootWindow(d), argv[1]))) {
        if (std::chrono::steady_clock::now() > until) {
            std::fprintf(stderr, "no window titled \"%s\" within %d s\n", argv[1], seconds);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("window 0x%lx appeared\n", window);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let it paint
    const QImage shot = grabScreen(d);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "could not save the screen picture\n");
        return 1;
    }
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &close);
    XFlush(d);
    return 0;
}
