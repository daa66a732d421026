// The script author's reference and editor definitions against the modules
// as built. tests/data/names_in_step.lua, run by the real runner, prints
// every public name the modules define that docs/reference.md, the
// lua-language-server files under types/ or the luacheck standard lack, and
// every name they give that no module defines. Every fenced block marked
// "lua runnable" in the reference runs under morvane-host as its first line
// says, and must exit with 0.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifndef MORVANE_HOST_PATH
#error "tst_docs needs the morvane-host target"
#endif

class Docs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void namesInStep()
    {
        QProcess runner;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORVANE_TAB"), QStringLiteral("t1"));
        environment.insert(QStringLiteral("MORVANE_STREAM_START"), QStringLiteral("0"));
        environment.remove(QStringLiteral("MORVANE_SOCKET"));
        runner.setProcessEnvironment(environment);
        runner.setWorkingDirectory(QStringLiteral(MORVANE_SOURCE_DIR));
        runner.start(QStringLiteral(MORVANE_LUA_PATH), {QStringLiteral("tests/data/names_in_step.lua")});
        QVERIFY(runner.waitForFinished(30000));
        QVERIFY2(runner.exitCode() == 0, runner.readAllStandardError().constData());
        QCOMPARE(QString::fromUtf8(runner.readAllStandardOutput()), QString());
    }

    // The blocks fenced with "```lua runnable"; the first line of each reads
    // "-- run: morvane-host ARGUMENTS example.lua [SCRIPT ARGUMENTS]", split as
    // QProcess::splitCommand does (double quotes group words).
    void examples_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QStringList>("command");
        QFile reference(QStringLiteral(MORVANE_SOURCE_DIR "/docs/reference.md"));
        QVERIFY(reference.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(reference.readAll()).split(QLatin1Char('\n'));
        const QString prefix = QStringLiteral("-- run: morvane-host ");
        int found = 0;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].trimmed() != QLatin1String("```lua runnable"))
                continue;
            const QString name = QStringLiteral("reference.md line %1").arg(i + 1);
            QStringList body;
            for (++i; i < lines.size() && lines[i].trimmed() != QLatin1String("```"); ++i)
                body << lines[i];
            const QStringList command = body.value(0).startsWith(prefix) ? QProcess::splitCommand(body.first().mid(prefix.size()))
                                                                         : QStringList();
            QVERIFY2(command.contains(QStringLiteral("example.lua")),
                     qPrintable(name + QStringLiteral(": no \"-- run: morvane-host ... example.lua\" first line")));
            QTest::newRow(qPrintable(name)) << body.join(QLatin1Char('\n')) + QLatin1Char('\n') << command;
            ++found;
        }
        QVERIFY(found > 0);
    }

    void examples()
    {
        QFETCH(QString, code);
        QFETCH(QStringList, command);
        QTemporaryDir dir;
        const QString script = dir.filePath(QStringLiteral("example.lua"));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(code.toUtf8());
        file.close();
        const qsizetype at = command.indexOf(QStringLiteral("example.lua"));
        QProcess host;
        host.setWorkingDirectory(dir.path());
        host.start(QStringLiteral(MORVANE_HOST_PATH), command.mid(0, at)
                       + QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH), script} + command.mid(at + 1));
        host.closeWriteChannel();
        // A host still running after 60 s fails here; the process goes with the test.
        QVERIFY2(host.waitForFinished(60000), "still running after 60 s");
        const QString output = QString::fromUtf8(host.readAllStandardOutput() + host.readAllStandardError());
        QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0,
                 qPrintable(QStringLiteral("exit %1:\n%2").arg(host.exitCode()).arg(output)));
    }
};

QTEST_GUILESS_MAIN(Docs)
#include "tst_docs.moc"
