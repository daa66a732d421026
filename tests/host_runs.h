// Running morvane-host with the real runner, for the tests that drive it end
// to end: each run in a directory of its own, with the test's environment
// and what a row adds to it.
#pragma once

#include "fake_app.h"

#include <QProcess>
#include <QtTest>

#ifndef MORVANE_HOST_PATH
#error "the host's end-to-end tests need the morvane-host target"
#endif

// Starts the host in `directory` with `arguments` after the runner's path;
// `environment` (NAME=VALUE entries) is added to the test's own.
inline void startHost(QProcess &host, const QString &directory, const QStringList &arguments, const QStringList &environment = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(directory);
    host.start(QStringLiteral(MORVANE_HOST_PATH), QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH)} + arguments);
}

struct HostRun {
    int status = -1;  // -1: it crashed, or it was killed after a minute
    QString out;
    QString err;
};

inline HostRun runHost(const QString &directory, const QStringList &arguments, const QStringList &environment = {})
{
    QProcess host;
    startHost(host, directory, arguments, environment);
    host.closeWriteChannel();
    if (!host.waitForFinished(60000))
        host.kill();
    host.waitForFinished();
    return {host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -1, QString::fromUtf8(host.readAllStandardOutput()),
            QString::fromUtf8(host.readAllStandardError())};
}
