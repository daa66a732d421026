// The script author's reference and editor definitions against the modules
// as built. tests/data/names_in_step.lua, run by the real runner, prints
// every public name the modules define that docs/reference.md, the
// lua-language-server files under types/ or the luacheck standard lack, and
// every name they give that no module defines. Every fenced block marked
// "lua runnable" in the reference runs under morvane-host as its first line
// says, and must exit with 0.
#include "fake_app.h"
#include "host_runs.h"

#include <QTemporaryDir>

class Docs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void namesInStep()
    {
        RunOptions options;
        options.environment = QProcessEnvironment::systemEnvironment();
        options.environment.insert(QStringLiteral("MORVANE_TAB"), QStringLiteral("t1"));
        options.environment.insert(QStringLiteral("MORVANE_STREAM_START"), QStringLiteral("0"));
        options.environment.remove(QStringLiteral("MORVANE_SOCKET"));
        options.workingDirectory = QStringLiteral(MORVANE_SOURCE_DIR);
        const RunResult result = runRunner({QStringLiteral("tests/data/names_in_step.lua")}, options);
        QVERIFY2(result.finished && result.exitCode == 0, result.err.constData());
        QCOMPARE(result.outText(), QString());
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
            const QStringList command = QProcess::splitCommand(body.value(0).mid(prefix.size()));
            QVERIFY2(body.value(0).startsWith(prefix) && command.contains(QStringLiteral("example.lua")),
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
        writeFile(script, code.toUtf8());
        const qsizetype at = command.indexOf(QStringLiteral("example.lua"));
        // A host still running after a minute is killed and fails here.
        const HostRun run = runHost(dir.path(), command.mid(0, at) + QStringList{script} + command.mid(at + 1));
        QVERIFY2(run.status == 0, qPrintable(QStringLiteral("exit %1:\n%2%3").arg(run.status).arg(run.out, run.err)));
    }
};

QTEST_GUILESS_MAIN(Docs)
#include "tst_docs.moc"
