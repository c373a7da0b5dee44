#pragma once

// Runs another program (a peer reader of the files we write) to its end and keeps what it said.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace talvenor::testing {

struct ToolRun {
    int exitCode = -1; // -1 when the program could not start, crashed or ran out of time
    QString out;
    QString err;
};

inline ToolRun runTool(const QString& program, const QStringList& args, int timeoutMs = 300000) {
    QProcess p;
    p.start(program, args);
    ToolRun r;
    if (!p.waitForStarted(30000) || !p.waitForFinished(timeoutMs))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace talvenor::testing
