// The script author's reference and editor definitions against the modules
// as built. The real runner lists the public names the modules define
// (tests/data/public_names.lua); docs/reference.md, the lua-language-server
// files under types/ and the luacheck standard must name each of them and
// nothing else. Every fenced block marked "lua runnable" in the reference
// runs under morvane-host as its first line says, and must exit with 0.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#ifndef MORVANE_HOST_PATH
#error "tst_docs needs the morvane-host target"
#endif

namespace {

using Names = QSet<QString>;

// Globals the definitions may name although no module defines them: the
// table scripts fill with pre-set dialog answers, and the native table
// itself (its fields are checked one by one).
const Names fromElsewhere{QStringLiteral("vantorix_answers"), QStringLiteral("__morvane_native")};

QString sourcePath(const QString &relative)
{
    return QStringLiteral(MORVANE_SOURCE_DIR "/") + relative;
}

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// Runs the runner on `script` with no terminal and returns its output lines;
// an empty set when it fails.
Names runnerLines(const QString &script, QString *failure)
{
    QProcess runner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORVANE_TAB"), QStringLiteral("t1"));
    environment.insert(QStringLiteral("MORVANE_STREAM_START"), QStringLiteral("0"));
    environment.remove(QStringLiteral("MORVANE_SOCKET"));
    runner.setProcessEnvironment(environment);
    runner.setWorkingDirectory(QStringLiteral(MORVANE_SOURCE_DIR));
    runner.start(QStringLiteral(MORVANE_LUA_PATH), {script});
    if (!runner.waitForFinished(30000) || runner.exitCode() != 0) {
        *failure = QString::fromUtf8(runner.readAllStandardError());
        return {};
    }
    const QStringList lines = QString::fromUtf8(runner.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return Names(lines.begin(), lines.end());
}

// A name's qualifier ("Screen" of "Screen.Send"), empty for a global.
QString qualifier(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.left(dot);
}

// Entry headings: a level-3 or level-4 heading that opens with a code span
// holding a name, `Qualifier.Name`, `Qualifier:Name(...)` or `global(...)`.
Names referenceNames(const QString &text)
{
    static const QRegularExpression heading(QStringLiteral(
        "^#{3,4} `([A-Za-z_][A-Za-z0-9_]*)(?:[.:]([A-Za-z_][A-Za-z0-9_]*))?"), QRegularExpression::MultilineOption);
    Names names;
    for (const QRegularExpressionMatch &match : heading.globalMatch(text)) {
        const QString member = match.captured(2);
        names.insert(member.isEmpty() ? match.captured(1) : match.captured(1) + QLatin1Char('.') + member);
    }
    return names;
}

// Names in the lua-language-server files: fields of "---@class morvane.X"
// (qualifier X) or of "---@class morvane", functions "function Q.name(" and
// "function Q:name(", global functions and global assignments.
Names typeNames(const QString &text)
{
    static const QRegularExpression classLine(QStringLiteral("^---@class ([A-Za-z_.]+)"));
    static const QRegularExpression fieldLine(QStringLiteral("^---@field ([A-Za-z_][A-Za-z0-9_]*)"));
    static const QRegularExpression functionLine(QStringLiteral(
        "^function ([A-Za-z_][A-Za-z0-9_]*)(?:[.:]([A-Za-z_][A-Za-z0-9_]*))?\\("));
    static const QRegularExpression globalLine(QStringLiteral("^([A-Za-z_][A-Za-z0-9_]*) *="));
    Names names;
    QString currentClass;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        QRegularExpressionMatch match;
        if ((match = classLine.match(line)).hasMatch()) {
            currentClass = match.captured(1);
            if (currentClass.startsWith(QLatin1String("morvane.")))
                currentClass = currentClass.mid(8);
        } else if ((match = fieldLine.match(line)).hasMatch()) {
            names.insert(currentClass + QLatin1Char('.') + match.captured(1));
        } else if ((match = functionLine.match(line)).hasMatch()) {
            const QString member = match.captured(2);
            names.insert(member.isEmpty() ? match.captured(1) : match.captured(1) + QLatin1Char('.') + member);
        } else if ((match = globalLine.match(line)).hasMatch()) {
            names.insert(match.captured(1));
        }
    }
    return names;
}

QString listed(const Names &names)
{
    QStringList sorted(names.begin(), names.end());
    sorted.sort();
    return sorted.join(QStringLiteral(", "));
}

struct Example {
    int line = 0;
    QString code;
    QStringList hostArguments;
    QStringList scriptArguments;
};

} // namespace

Q_DECLARE_METATYPE(Example)

namespace {

// The blocks fenced with "```lua runnable"; the first line of each reads
// "-- run: morvane-host ARGUMENTS example.lua [SCRIPT ARGUMENTS]", split as
// QProcess::splitCommand does (double quotes group words).
QList<Example> runnableExamples(const QString &text, QString *problem)
{
    QList<Example> examples;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed() != QLatin1String("```lua runnable"))
            continue;
        Example example;
        example.line = i + 1;
        QStringList body;
        for (++i; i < lines.size() && lines[i].trimmed() != QLatin1String("```"); ++i)
            body << lines[i];
        example.code = body.join(QLatin1Char('\n')) + QLatin1Char('\n');
        const QString prefix = QStringLiteral("-- run: morvane-host ");
        const QStringList words = body.isEmpty() || !body.first().startsWith(prefix)
            ? QStringList() : QProcess::splitCommand(body.first().mid(prefix.size()));
        const qsizetype script = words.indexOf(QStringLiteral("example.lua"));
        if (script < 0) {
            *problem += QStringLiteral("line %1: no \"-- run: morvane-host ... example.lua\" first line\n").arg(example.line);
            continue;
        }
        example.hostArguments = words.mid(0, script);
        example.scriptArguments = words.mid(script + 1);
        examples << example;
    }
    return examples;
}

} // namespace

class Docs : public QObject {
    Q_OBJECT

    Names m_defined;
    QList<Example> m_examples;

private Q_SLOTS:
    void initTestCase()
    {
        QString failure;
        m_defined = runnerLines(sourcePath(QStringLiteral("tests/data/public_names.lua")), &failure);
        QVERIFY2(m_defined.size() > 100, qPrintable(QStringLiteral("the module names: ") + failure));
        QString problem;
        m_examples = runnableExamples(readText(sourcePath(QStringLiteral("docs/reference.md"))), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(!m_examples.isEmpty());
    }

    // Names the modules define that a file lacks, and names it has that no
    // module defines. A file answers for the names whose qualifiers it
    // covers; the luacheck standard for the globals and the native table.
    void namesInStep_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<Names>("named");
        QTest::addColumn<Names>("qualifiers");

        Names definedQualifiers;
        for (const QString &name : std::as_const(m_defined))
            definedQualifiers.insert(qualifier(name));

        QTest::newRow("reference") << QStringLiteral("docs/reference.md")
                                   << referenceNames(readText(sourcePath(QStringLiteral("docs/reference.md"))))
                                   << definedQualifiers;

        Names typed;
        const QStringList typeFiles = QDir(sourcePath(QStringLiteral("types"))).entryList({QStringLiteral("*.lua")});
        for (const QString &file : typeFiles)
            if (file != QLatin1String("morvane_std.lua"))
                typed += typeNames(readText(sourcePath(QStringLiteral("types/") + file)));
        QTest::newRow("types") << QStringLiteral("types/*.lua") << typed << definedQualifiers;

        // The standard, as luacheck reads it: array entries are globals, keyed
        // entries are tables whose `fields` are listed too. `print` is Lua's
        // own and already in the Lua 5.4 standard.
        QString failure;
        Names standard = runnerLines(sourcePath(QStringLiteral("tests/data/std_names.lua")), &failure);
        QVERIFY2(!standard.isEmpty(), qPrintable(failure));
        standard.insert(QStringLiteral("print"));
        QTest::newRow("luacheck standard") << QStringLiteral("types/morvane_std.lua") << standard
                                           << Names{QString(), QStringLiteral("regex"), QStringLiteral("__morvane_native")};
    }

    void namesInStep()
    {
        QFETCH(QString, source);
        QFETCH(Names, named);
        QFETCH(Names, qualifiers);
        Names expected;
        for (const QString &name : std::as_const(m_defined))
            if (qualifiers.contains(qualifier(name)))
                expected.insert(name);
        Names stale;
        for (const QString &name : std::as_const(named))
            if (qualifiers.contains(qualifier(name)) && !expected.contains(name) && !fromElsewhere.contains(name))
                stale.insert(name);
        const Names missing = expected - named;
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("%1 lacks: %2").arg(source, listed(missing))));
        QVERIFY2(stale.isEmpty(), qPrintable(QStringLiteral("%1 names what no module defines: %2").arg(source, listed(stale))));
    }

    void examples_data()
    {
        QTest::addColumn<Example>("example");
        for (const Example &example : std::as_const(m_examples))
            QTest::newRow(qPrintable(QStringLiteral("reference.md line %1").arg(example.line))) << example;
    }

    void examples()
    {
        QFETCH(Example, example);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString script = dir.filePath(QStringLiteral("example.lua"));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(example.code.toUtf8());
        file.close();

        QProcess host;
        host.setWorkingDirectory(dir.path());
        host.start(QStringLiteral(MORVANE_HOST_PATH),
                   example.hostArguments + QStringList{QStringLiteral("--runner"), QStringLiteral(MORVANE_LUA_PATH), script}
                       + example.scriptArguments);
        host.closeWriteChannel();
        const bool finished = host.waitForFinished(60000);
        if (!finished) {
            host.kill();
            host.waitForFinished();
        }
        const QString output = QString::fromUtf8(host.readAllStandardOutput() + host.readAllStandardError());
        QVERIFY2(finished, qPrintable(QStringLiteral("still running after 60 s:\n") + output));
        QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0,
                 qPrintable(QStringLiteral("exit %1:\n%2").arg(host.exitCode()).arg(output)));
    }
};

QTEST_GUILESS_MAIN(Docs)
#include "tst_docs.moc"
