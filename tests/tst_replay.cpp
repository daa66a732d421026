// Recording and replay end to end: a script recorded against a real shell
// and replayed with no shell at all prints the same and ends the same; a
// replay that is sent something else names the event; a recording stays
// valid JSON lines however the host ends, and an outside reader of the
// format prints its output unchanged.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#ifndef MORVANE_HOST_PATH
#error "tst_replay needs the morvane-host target"
#endif

namespace {

const QString shellCommand = QStringLiteral("exec env PS1='$ ' ENV= /bin/sh");
// The host's status for a replay that went another way than its recording.
constexpr int mismatchStatus = 3;

struct HostRun {
    int exitCode = -1;
    QByteArray out;
    QString err;
    qint64 ms = 0;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

void startHost(QProcess &host, const QString &directory, const QStringList &arguments, const QStringList &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(directory);
    host.start(QStringLiteral(MORVANE_HOST_PATH), QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH)} + arguments);
    host.closeWriteChannel();
}

HostRun runHost(const QString &directory, const QStringList &arguments, const QStringList &environment = {})
{
    QProcess host;
    QElapsedTimer clock;
    clock.start();
    startHost(host, directory, arguments, environment);
    HostRun run;
    if (!host.waitForFinished(60000)) {
        host.kill();
        host.waitForFinished();
    }
    run.ms = clock.elapsed();
    run.exitCode = host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -1;
    run.out = host.readAllStandardOutput();
    run.err = QString::fromUtf8(host.readAllStandardError());
    return run;
}

// The lines of a recording, each parsed; fails the test on a line that is not JSON.
QList<QJsonDocument> recordingLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QJsonDocument> documents;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        documents.append(QJsonDocument::fromJson(line, &error));
        if (error.error != QJsonParseError::NoError) {
            qWarning("not JSON: %s", line.constData());
            return {};
        }
    }
    return documents;
}

// The text of every event of `kind`, joined.
QString eventText(const QList<QJsonDocument> &lines, const QString &kind)
{
    QString text;
    for (const QJsonDocument &line : lines.mid(1))
        if (line.array().at(1).toString() == kind)
            text += line.array().at(2).toString();
    return text;
}

} // namespace

class Replay : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void mismatch_data();
    void mismatch();
    void recordingSurvives_data();
    void recordingSurvives();
    void replaySpeed();
    void usage_data();
    void usage();
};

void Replay::roundTrip_data()
{
    QTest::addColumn<QByteArray>("script");    // empty: examples/demo.lua
    QTest::addColumn<int>("status");
    QTest::newRow("demo") << QByteArray() << 0;
    QTest::newRow("script error") << QByteArray(R"lua(
local app = require('morvane').app
local s = app.Screen
print(app:GetScriptTab().Caption)
s:Send("echo '@@'X\r")
print(s:WaitForString('@@X', 5))
error('stopped on purpose')
)lua") << 1;
    // The program's end is the recording's end: waits see the disconnection.
    QTest::newRow("program exits") << QByteArray(R"lua(
local m = require('morvane')
local s = m.app.Screen
s:Send("echo hi''there; exit\r")
print(s:WaitForString('hithere', 5))
print(pcall(s.WaitForString, s, 'never', 10))
print(m.app.Session.Connected)
)lua") << 0;
}

void Replay::roundTrip()
{
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("work")));
    const QString work = dir.filePath(QStringLiteral("work"));
    QString scriptPath = QStringLiteral(MORVANE_SOURCE_DIR "/examples/demo.lua");
    if (!script.isEmpty()) {
        scriptPath = dir.filePath(QStringLiteral("script.lua"));
        writeFile(scriptPath, script);
    }
    const QString recording = dir.filePath(QStringLiteral("session.cast"));
    const QString refreshed = dir.filePath(QStringLiteral("refreshed.cast"));
    const HostRun live = runHost(work, {QStringLiteral("-c"), shellCommand, QStringLiteral("--record"), recording, scriptPath});
    QVERIFY2(live.exitCode == status, qPrintable(QStringLiteral("live status %1: %2").arg(live.exitCode).arg(live.err)));

    // No shell to be found, and a command that would leave a mark if it ran.
    const QString marker = dir.filePath(QStringLiteral("started"));
    const HostRun replay = runHost(work,
        {QStringLiteral("-c"), QStringLiteral("touch ") + marker, QStringLiteral("--replay"), recording,
         QStringLiteral("--record"), refreshed, scriptPath},
        {QStringLiteral("PATH=/nonexistent"), QStringLiteral("SHELL=/nonexistent/sh")});
    QVERIFY2(replay.exitCode == status, qPrintable(QStringLiteral("replay status %1: %2").arg(replay.exitCode).arg(replay.err)));
    QCOMPARE(QString::fromUtf8(replay.out).split(QLatin1Char('\n')), QString::fromUtf8(live.out).split(QLatin1Char('\n')));
    QVERIFY2(!QFile::exists(marker), "the replay started the command");
    qInfo("%s: live %lld ms, replay %lld ms", QTest::currentDataTag(), live.ms, replay.ms);

    // Replaying while recording writes what the replay saw: the same text each way.
    const QList<QJsonDocument> original = recordingLines(recording);
    const QList<QJsonDocument> again = recordingLines(refreshed);
    QVERIFY(original.size() > 2 && again.size() > 2);
    QCOMPARE(again.first().object().value(QLatin1String("command")).toString(), shellCommand);
    QCOMPARE(eventText(again, QStringLiteral("o")), eventText(original, QStringLiteral("o")));
    QCOMPARE(eventText(again, QStringLiteral("i")), eventText(original, QStringLiteral("i")));

    // An outside reader of the format prints the recorded output as it was.
    // It insists on a terminal of its own: `script` gives it one.
    const QString printed = dir.filePath(QStringLiteral("printed"));
    QProcess reader;
    reader.start(QStringLiteral("script"), {QStringLiteral("-qec"), QStringLiteral("asciinema cat '%1' > '%2'").arg(recording, printed),
                                            QStringLiteral("/dev/null")});
    QVERIFY(reader.waitForFinished(30000));
    QVERIFY2(reader.exitCode() == 0, reader.readAll().constData());
    QFile printedFile(printed);
    QVERIFY(printedFile.open(QIODevice::ReadOnly));
    QCOMPARE(printedFile.readAll(), eventText(original, QStringLiteral("o")).toUtf8());
}

void Replay::mismatch_data()
{
    QTest::addColumn<QByteArray>("sent");       // Lua string literal
    QTest::addColumn<QString>("message");       // after "Replay mismatch at "; %1: the event's number, line and time
    QTest::newRow("another command") << QByteArray("'echo two\\r'")
                                     << QString("%1: expected \"echo o''ne\\r\", sent \"echo two\\r\"");
    QTest::newRow("control bytes escaped") << QByteArray("'echo on\\27[A\\r'")
                                           << QString("%1: expected \"echo o''ne\\r\", sent \"echo on\\e[A\\r\"");
    QTest::newRow("more than was recorded") << QByteArray("\"echo o''ne\\recho extra\\r\"")
                                            << QString("the end of the recording (%2 s): expected nothing more, sent \"echo extra\\r\"");
}

void Replay::mismatch()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray script = R"lua(
local s = require('morvane').app.Screen
s:Send(SENT)
assert(s:WaitForString('one\r\n', 5))
print('answered')
)lua";
    const QString recorded = dir.filePath(QStringLiteral("recorded.lua"));
    const QString replayed = dir.filePath(QStringLiteral("replayed.lua"));
    writeFile(recorded, QByteArray(script).replace("SENT", "\"echo o''ne\\r\""));
    writeFile(replayed, QByteArray(script).replace("SENT", sent));
    const QString recording = dir.filePath(QStringLiteral("session.cast"));
    const HostRun live = runHost(dir.path(), {QStringLiteral("-c"), shellCommand, QStringLiteral("--record"), recording, recorded});
    QVERIFY2(live.exitCode == 0, qPrintable(live.err));

    const QList<QJsonDocument> lines = recordingLines(recording);
    qsizetype input = 1;
    while (input < lines.size() && lines.at(input).array().at(1).toString() != QLatin1String("i"))
        ++input;
    QVERIFY(input < lines.size());
    const QString gate = QStringLiteral("event %1 (line %2, %3 s)")
                             .arg(input).arg(input + 1)
                             .arg(lines.at(input).array().at(0).toDouble(), 0, 'f', 6);
    const QString last = QString::number(lines.last().array().at(0).toDouble(), 'f', 6);

    // A gate that does not open holds back the output after it; bytes left
    // over at the end are found only after the recorded output went out.
    const bool atGate = message.contains(QLatin1String("%1"));
    const HostRun replay = runHost(dir.path(), {QStringLiteral("--replay"), recording, replayed});
    QCOMPARE(replay.exitCode, mismatchStatus);
    const QString expected = QStringLiteral("Replay mismatch at ") + message.replace(QLatin1String("%1"), gate).replace(QLatin1String("%2"), last);
    QVERIFY2(replay.err.contains(expected), qPrintable(replay.err + QStringLiteral("\nexpected: ") + expected));
    if (atGate)
        QVERIFY2(!replay.out.contains("answered"), replay.out.constData());
}

void Replay::recordingSurvives_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    QTest::newRow("SIGTERM") << QString("wait") << int(SIGTERM) << 128 + SIGTERM;
    QTest::newRow("SIGINT") << QString("wait") << int(SIGINT) << 128 + SIGINT;
    QTest::newRow("quit") << QString("quit") << 0 << 0;
    QTest::newRow("script error") << QString("error") << 0 << 1;
}

void Replay::recordingSurvives()
{
    QFETCH(QString, how);
    QFETCH(int, signal);
    QFETCH(int, status);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Bytes that are not UTF-8, then a character split across two reads.
    writeFile(dir.filePath(QStringLiteral("script.lua")), R"lua(
local m = require('morvane')
local s = m.app.Screen
s:Send("printf '\\377\\376 caf\\303'; sleep 0.3; printf '\\251 do''ne\\n'\r")
assert(s:WaitForString('done', 10))
print('ready')
io.stdout:flush()
if arg[1] == 'quit' then m.app:Quit() elseif arg[1] == 'error' then error('on purpose') end
__morvane_native.sleep(20000)
)lua");
    const QString recording = dir.filePath(QStringLiteral("session.cast"));
    QProcess host;
    startHost(host, dir.path(),
              {QStringLiteral("-c"), shellCommand, QStringLiteral("--record"), recording,
               dir.filePath(QStringLiteral("script.lua")), how},
              {});
    QByteArray out;
    while (!out.contains("ready") && host.waitForReadyRead(10000))
        out += host.readAllStandardOutput();
    QVERIFY2(out.contains("ready"), out.constData());
    if (signal != 0)
        ::kill(static_cast<pid_t>(host.processId()), signal);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), status);

    const QList<QJsonDocument> lines = recordingLines(recording);
    QVERIFY2(lines.size() > 2, "a line is not JSON, or the recording is empty");
    QCOMPARE(lines.first().object().value(QLatin1String("version")).toInt(), 2);
    QCOMPARE(lines.first().object().value(QLatin1String("width")).toInt(), 80);
    for (const QJsonDocument &line : lines.mid(1))
        QVERIFY(line.isArray() && line.array().size() == 3 && line.array().at(0).isDouble());
    QVERIFY(eventText(lines, QStringLiteral("i")).startsWith(QLatin1String("printf '")));
    const QString output = eventText(lines, QStringLiteral("o"));
    QVERIFY2(output.contains(QStringLiteral("\uFFFD\uFFFD caf\u00e9 done\r\n")), qPrintable(output));
}

// Recorded gaps come back divided by the speed; without one, not at all.
void Replay::replaySpeed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = dir.filePath(QStringLiteral("script.lua"));
    writeFile(script, R"lua(
local s = require('morvane').app.Screen
s:Send("sleep 1; echo do''ne\r")
assert(s:WaitForString('done', 10))
)lua");
    const QString recording = dir.filePath(QStringLiteral("session.cast"));
    const HostRun live = runHost(dir.path(), {QStringLiteral("-c"), shellCommand, QStringLiteral("--record"), recording, script});
    QVERIFY2(live.exitCode == 0, qPrintable(live.err));
    const HostRun fast = runHost(dir.path(), {QStringLiteral("--replay"), recording, script});
    QVERIFY2(fast.exitCode == 0, qPrintable(fast.err));
    const HostRun halved = runHost(dir.path(), {QStringLiteral("--replay"), recording, QStringLiteral("--replay-speed"), QStringLiteral("2"), script});
    QVERIFY2(halved.exitCode == 0, qPrintable(halved.err));
    qInfo("a 1 s gap: live %lld ms, replay %lld ms, replay at speed 2 %lld ms", live.ms, fast.ms, halved.ms);
    QVERIFY2(halved.ms >= 500, qPrintable(QString::number(halved.ms)));
    QVERIFY2(fast.ms < live.ms, qPrintable(QString::number(fast.ms)));
}

void Replay::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("file");       // written to x.cast first
    QTest::addColumn<QString>("message");
    QTest::newRow("speed without a replay") << QStringList{"--replay-speed", "2", "x.lua"} << QByteArray() << QString("--replay-speed needs --replay.");
    QTest::newRow("speed of 0") << QStringList{"--replay", "x.cast", "--replay-speed", "0", "x.lua"}
                                << QByteArray("{\"version\":2,\"width\":80,\"height\":24}\n") << QString("--replay-speed must be a number above 0.");
    QTest::newRow("speed not a number") << QStringList{"--replay", "x.cast", "--replay-speed", "fast", "x.lua"}
                                        << QByteArray("{\"version\":2,\"width\":80,\"height\":24}\n") << QString("--replay-speed must be a number above 0.");
    QTest::newRow("missing recording") << QStringList{"--replay", "none.cast", "x.lua"} << QByteArray() << QString("Cannot read the recording none.cast");
    QTest::newRow("broken recording") << QStringList{"--replay", "x.cast", "x.lua"}
                                      << QByteArray("{\"version\":2,\"width\":80,\"height\":24}\n[0.1, \"o\"\n")
                                      << QString("The recording x.cast is not valid: line 2: not JSON");
    QTest::newRow("record where no file can be") << QStringList{"--record", "/nonexistent/x.cast", "x.lua"} << QByteArray()
                                                 << QString("Cannot write the recording /nonexistent/x.cast");
}

void Replay::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!file.isEmpty())
        writeFile(dir.filePath(QStringLiteral("x.cast")), file);
    const HostRun run = runHost(dir.path(), arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(Replay)
#include "tst_replay.moc"
