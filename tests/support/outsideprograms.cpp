#include "outsideprograms.h"

#include "toolrun.h"

#include <QStandardPaths>
#include <QStringList>

#include <string_view>
#include <vector>

namespace talvenor::testing {

namespace {

struct Check {
    const char* what;    // as the one line names it
    const char* program; // found on PATH
    const char* package; // the Debian package that brings it
    QStringList probe;   // arguments of a run that must succeed; empty: being there is enough
};

// Debian's python3 carries python3-olefile; a python3 earlier on PATH may not.
QString python() {
    const QString p = QStandardPaths::findExecutable("python3", {"/usr/bin", "/bin"});
    return p.isEmpty() ? QStandardPaths::findExecutable("python3") : p;
}

std::vector<Check> checksFor(Outside what) {
    switch (what) {
    case Outside::Msgconvert:
        return {{"msgconvert", "msgconvert", "libemail-outlook-message-perl", {}},
                // msgconvert itself uses it; the package only recommends it
                {"Perl's Email::Address (for msgconvert)",
                 "perl",
                 "libemail-address-perl",
                 {"-MEmail::Address", "-e1"}}};
    case Outside::Olefile:
        return {{"python3", "python3", "python3", {}},
                {"Python's olefile", "python3", "python3-olefile", {"-c", "import olefile"}}};
    case Outside::Pffinfo:
        return {{"pffinfo", "pffinfo", "pff-tools", {}}};
    case Outside::Pffexport:
        return {{"pffexport", "pffexport", "pff-tools", {}}};
    case Outside::Readpst:
        return {{"readpst", "readpst", "pst-utils", {}}};
    }
    return {};
}

} // namespace

QString programFor(Outside what) {
    if (what == Outside::Olefile)
        return python();
    return QStandardPaths::findExecutable(QString::fromLatin1(checksFor(what).front().program));
}

std::string missingOf(std::initializer_list<Outside> needed) {
    for (const Outside what : needed) {
        for (const Check& c : checksFor(what)) {
            const QString program = std::string_view(c.program) == "python3"
                                        ? python()
                                        : QStandardPaths::findExecutable(c.program);
            if (program.isEmpty() ||
                (!c.probe.isEmpty() && runTool(program, c.probe, 60000).exitCode != 0))
                return std::string(c.what) + " is missing: install the Debian package " +
                       c.package + " (tools/deps.sh installs all that the tests need)";
        }
    }
    return {};
}

} // namespace talvenor::testing
