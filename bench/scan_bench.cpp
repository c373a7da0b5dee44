// Times the "Add All PST File(s) In Folder" scan of a large folder tree (folder list, listing
// and filter of every folder, appending to a plain list) against `find DIR -iname '*.pst'`
// on the same tree in the same run.

#include "addfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace talvenor;

namespace {

class PlainList : public ISourceList {
public:
    int count() const override { return int(items.size()); }
    QString text(int position) const override { return items.at(position - 1); }
    void append(const QString& text) override { items.append(text); }
    QStringList items;
};

class NoSettings : public ISettings {
public:
    QString readSetting(const QString&, const QString& d) const override { return d; }
    void writeSetting(const QString&, const QString&) override {}
};

class FixedPicker : public IFolderPicker {
public:
    explicit FixedPicker(QString folder) : folder_(std::move(folder)) {}
    QString browseForFolder(const QString&, const QString&) override { return folder_; }

private:
    QString folder_;
};

class Pointer : public IPointer {
public:
    PointerMode mode() const override { return mode_; }
    void setMode(PointerMode m) override { mode_ = m; }

private:
    PointerMode mode_ = PointerMode::Default;
};

class Messages : public IMessageBox {
public:
    MessageAnswer show(const Message& m) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(m.text));
        return MessageAnswer::Ok;
    }
};

class Events : public IEventLoop {
public:
    void yield() override { ++yields; }
    long yields = 0;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

// 20 x 20 x 50 leaf folders (20,420 folders below the root), ten files in each leaf: one in
// ten a PST file (some spelt .PST), the rest other mail and text files.
bool buildTree(const QByteArray& root, long& folders, long& files, long& pstFiles) {
    static const char* const other[] = {".txt", ".eml", ".msg", ".doc", ".pst.bak"};
    char path[4096];
    for (int a = 0; a < 20; ++a) {
        std::snprintf(path, sizeof path, "%s/d%02d", root.constData(), a);
        if (::mkdir(path, 0755) != 0)
            return false;
        ++folders;
        for (int b = 0; b < 20; ++b) {
            std::snprintf(path, sizeof path, "%s/d%02d/e%02d", root.constData(), a, b);
            if (::mkdir(path, 0755) != 0)
                return false;
            ++folders;
            for (int c = 0; c < 50; ++c) {
                std::snprintf(path, sizeof path, "%s/d%02d/e%02d/f%02d", root.constData(), a, b, c);
                if (::mkdir(path, 0755) != 0)
                    return false;
                ++folders;
                for (int f = 0; f < 10; ++f) {
                    const bool pst = f == 0;
                    const char* ext = pst ? ((a + b + c) % 7 == 0 ? ".PST" : ".pst") : other[f % 5];
                    char file[4200];
                    std::snprintf(file, sizeof file, "%s/mail%d%s", path, f, ext);
                    Fd fd(::open(file, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                    if (!fd.ok())
                        return false;
                    ++files;
                    pstFiles += pst;
                }
            }
        }
    }
    return true;
}

struct Run {
    double ms;
    long found;
};

Run runOurs(const QString& root) {
    PlainList list;
    NoSettings settings;
    FixedPicker picker(root);
    Pointer pointer;
    Messages messages;
    Events events;
    AddFolderCommand command(list, settings, picker, pointer, messages, events);
    QElapsedTimer timer;
    timer.start();
    command.PushButton4_Click();
    return {timer.nsecsElapsed() / 1e6, long(list.items.size())};
}

Run runFind(const QString& root) {
    QProcess find;
    QElapsedTimer timer;
    timer.start();
    find.start(QStringLiteral("find"), {root, QStringLiteral("-iname"), QStringLiteral("*.pst")});
    find.waitForFinished(-1);
    const QByteArray out = find.readAllStandardOutput();
    const double ms = timer.nsecsElapsed() / 1e6;
    return {ms, long(out.count('\n'))};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // scan_bench [FOLDER]: the tree is built in FOLDER (kept, and reused when it is already
    // there) or else in a temporary folder.
    std::unique_ptr<QTemporaryDir> temporary;
    QString root;
    if (argc > 1) {
        root = QFile::decodeName(argv[1]);
    } else {
        temporary = std::make_unique<QTemporaryDir>();
        if (!temporary->isValid()) {
            std::fprintf(stderr, "cannot create a temporary folder\n");
            return 1;
        }
        root = temporary->path();
    }
    long folders = 20 + 20 * 20 + 20 * 20 * 50, files = 200000, pstFiles = 20000;
    if (QFileInfo::exists(root + QStringLiteral("/d19/e19/f49/mail1.eml"))) {
        std::printf("tree: reusing %s\n", qPrintable(root));
    } else {
        folders = files = pstFiles = 0;
        QElapsedTimer build;
        build.start();
        ::mkdir(QFile::encodeName(root).constData(), 0755);
        if (!buildTree(QFile::encodeName(root), folders, files, pstFiles)) {
            std::perror("building the tree");
            return 1;
        }
        std::printf("tree: built in %.1f s under %s\n", build.elapsed() / 1000.0, qPrintable(root));
    }
    std::printf("tree: %ld folders, %ld files (%ld PST)\n", folders, files, pstFiles);
    const QDir dir(root);
    // One warm-up each, so that both read the tree from the same warm cache; then the best of
    // three, alternating.
    runFind(dir.path());
    runOurs(dir.path());
    double ours = 1e300, find = 1e300;
    long oursFound = 0, findFound = 0;
    for (int i = 0; i < 3; ++i) {
        const Run o = runOurs(dir.path());
        const Run f = runFind(dir.path());
        ours = std::min(ours, o.ms);
        find = std::min(find, f.ms);
        oursFound = o.found;
        findFound = f.found;
    }
    std::printf("ours: %.1f ms, %ld PST files\n", ours, oursFound);
    std::printf("find: %.1f ms, %ld PST files\n", find, findFound);
    if (oursFound != pstFiles || findFound != pstFiles)
        std::printf("warning: expected %ld PST files\n", pstFiles);
    std::printf("ratio: %.2f\n", ours / find);
    return 0;
}
