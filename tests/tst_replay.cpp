// Recording and replay end to end: a script recorded against a real shell
// and replayed with no shell at all prints the same and ends the same, and
// the replay, recorded again, holds the same session; a replay sent
// something else than its recording ends the host and says where; an
// outside reader of the format prints the recorded output unchanged.
#include "host_runs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

const QString shellCommand = QStringLiteral("exec env PS1='$ ' ENV= /bin/sh");

// The command in a recording's header and the text of every event of
// `kind`, after a '|'; "not JSON" when a line is not.
QString recorded(const QString &path, const char *kind)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("not readable");
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QString text = QJsonDocument::fromJson(lines.first()).object().value(QLatin1String("command")).toString() + QLatin1Char('|');
    for (const QByteArray &line : lines.mid(1)) {
        const QJsonArray event = QJsonDocument::fromJson(line).array();
        if (event.size() != 3 || !event.at(0).isDouble())
            return QStringLiteral("not JSON: ") + QString::fromUtf8(line);
        if (event.at(1).toString() == QLatin1String(kind))
            text += event.at(2).toString();
    }
    return text;
}

} // namespace

class Replay : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
};

void Replay::roundTrip_data()
{
    QTest::addColumn<QByteArray>("script");    // run live, and replayed
    QTest::addColumn<QString>("sent");         // given to the replayed script to send instead, when not empty
    QTest::addColumn<QString>("speed");        // --replay-speed, when not empty
    QTest::addColumn<int>("status");           // of the replay
    QTest::addColumn<QString>("message");      // of a replay sent something else, after where

    // The program's end is the recording's end: waits see the disconnection.
    // A replay's caption is the recorded command, and a script that fails
    // ends the replay as it ended the live run (each row with this script
    // fails live).
    const QByteArray exits = R"lua(
local m = require('morvane')
local s = m.app.Screen
print(m.app:GetScriptTab().Caption)
s:Send(arg[1] or "echo hi''there; exit\r")
print(s:WaitForString('hithere', 5))
print(pcall(s.WaitForString, s, 'never', 10))
print(m.app.Session.Connected)
error('stopped on purpose')
)lua";
    QTest::newRow("program exits, script fails") << exits << QString() << QString() << 1 << QString();
    // Recorded gaps come back divided by the speed: half a second here, not
    // two (the replay runs where PATH leads nowhere); the output due while
    // the script is not asking for any comes all the same (and so is in the
    // replay's own recording).
    QTest::newRow("gaps at speed 4") << QByteArray(R"lua(
local s, n = require('morvane').app.Screen, __morvane_native
local started, bound = n.now(), os.getenv('PATH') == '/nonexistent' and 1.5 or 10
s:Send("sleep 2; echo do''ne; sleep 1; echo la''st\r")
local found, took = s:WaitForString('done', 10), n.now() - started
print(found, took > 0.45 and took < bound)
n.sleep(2500)
)lua") << QString() << QString("4") << 0 << QString();
    // Bytes left over at the end are found only once the recorded output went out.
    QTest::newRow("another command") << exits << QString("echo two\r") << QString() << 3
                                     << QString(R"(: expected "echo hi''there; exit\r", sent "echo two\r")");
    QTest::newRow("more than was recorded") << exits << QString("echo hi''there; exit\recho extra\r") << QString() << 3
                                            << QString(R"( s): expected nothing more, sent "echo extra\r")");
}

void Replay::roundTrip()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, sent);
    QFETCH(QString, speed);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString scriptPath = dir.filePath(QStringLiteral("script.lua"));
    writeFile(scriptPath, script);
    const QString recording = dir.filePath(QStringLiteral("session.cast"));
    const QString refreshed = dir.filePath(QStringLiteral("refreshed.cast"));
    const HostRun live = runHost(dir.path(), {QStringLiteral("-c"), shellCommand, QStringLiteral("--record"), recording, scriptPath});
    // The rows that send something else run a script that fails live.
    QVERIFY2(live.status == (message.isEmpty() ? status : 1), qPrintable(live.err));

    // No shell to be found, and a command that would leave a mark if it ran.
    QStringList arguments{QStringLiteral("-c"), QStringLiteral("/usr/bin/touch started"), QStringLiteral("--replay"), recording,
                          QStringLiteral("--record"), refreshed};
    if (!speed.isEmpty())
        arguments << QStringLiteral("--replay-speed") << speed;
    arguments << scriptPath;
    if (!sent.isEmpty())
        arguments << sent;
    const HostRun replay = runHost(dir.path(), arguments, {QStringLiteral("PATH=/nonexistent"), QStringLiteral("SHELL=/nonexistent/sh")});
    QVERIFY2(replay.status == status, qPrintable(replay.err));
    QVERIFY2(!QFile::exists(dir.filePath(QStringLiteral("started"))), "the replay started the command");
    if (!message.isEmpty()) {
        QVERIFY2(replay.err.startsWith(QLatin1String("Replay mismatch at ")) && replay.err.contains(message), qPrintable(replay.err));
        return;
    }
    QCOMPARE(replay.out, live.out);
    // Replaying while recording writes what the replay saw: the same text
    // each way, under the recorded command.
    const QString output = recorded(recording, "o");
    QVERIFY2(output.startsWith(shellCommand + QLatin1Char('|')), qPrintable(output));
    QCOMPARE(recorded(refreshed, "o"), output);
    QCOMPARE(recorded(refreshed, "i"), recorded(recording, "i"));

    // An outside reader of the format prints the recorded output as it was.
    // It insists on a terminal of its own: `script` gives it one.
    QProcess reader;
    reader.setWorkingDirectory(dir.path());
    reader.start(QStringLiteral("script"),
                 {QStringLiteral("-qec"), QStringLiteral("asciinema cat '%1' > printed").arg(recording), QStringLiteral("/dev/null")});
    QVERIFY(reader.waitForFinished(30000));
    QFile printed(dir.filePath(QStringLiteral("printed")));
    QVERIFY(printed.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(printed.readAll()), output.mid(shellCommand.size() + 1));
}

QTEST_GUILESS_MAIN(Replay)
#include "tst_replay.moc"
