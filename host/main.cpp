// morvane-host: command line and start-up. main parses the options, sets up
// (signals, the socket server, the first tab) and runs morvane-lua on the
// script until it ends; the host's exit status is the script's.
#include "api_server.h"
#include "operations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "%s\nTry 'morvane-host --help' for more information.\n", qPrintable(message));
    std::exit(2);
}

// Reads queued dialog replies: an object mapping each dialog operation to a
// list of replies, each a reply object or a shorthand value.
QHash<QString, QList<QJsonObject>> readAnswers(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        usageError(QStringLiteral("Cannot read the answers file %1: %2").arg(path, file.errorString()));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        usageError(QStringLiteral("The answers file %1 must hold a JSON object of lists.").arg(path));
    static const QHash<QString, QString> shorthand{
        {QStringLiteral("dialog.message"), QStringLiteral("button")},
        {QStringLiteral("dialog.prompt"), QStringLiteral("text")},
        {QStringLiteral("dialog.confirm"), QStringLiteral("yes")},
        {QStringLiteral("dialog.file"), QStringLiteral("path")},
    };
    QHash<QString, QList<QJsonObject>> answers;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!shorthand.contains(it.key()) || !it.value().isArray())
            usageError(QStringLiteral("The answers file %1: \"%2\" is not a dialog operation with a list of replies "
                                      "(dialog.message, dialog.prompt, dialog.confirm, dialog.file).")
                           .arg(path, it.key()));
        for (const QJsonValue &entry : it.value().toArray()) {
            if (entry.isObject()) {
                answers[it.key()].append(entry.toObject());
            } else {
                QJsonObject reply{{shorthand.value(it.key()), entry}};
                if (it.key() == QLatin1String("dialog.prompt"))
                    reply.insert(QStringLiteral("cancelled"), false);
                answers[it.key()].append(reply);
            }
        }
    }
    return answers;
}

QString findRunner(const QString &given)
{
    if (!given.isEmpty()) {
        if (!QFileInfo(given).isExecutable())
            usageError(QStringLiteral("The runner %1 is not an executable file.").arg(given));
        return given;
    }
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/morvane-lua");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("morvane-lua"));
}

// What the command line asks for.
struct Options {
    HostSettings settings;
    QString runner;
    std::optional<QString> tracePath;
    QStringList script;            // the script and its arguments
};

// Parses the command line; a usage error ends the host with status 2.
Options parseOptions()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A headless terminal that runs a Lua script with morvane-lua against real programs:\n"
        "each tab is a child process on a pseudo-terminal."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption commandOption({QStringLiteral("c"), QStringLiteral("command")},
        QStringLiteral("Run the first tab's session as /bin/sh -c CMD (default: $SHELL, else /bin/sh)."), QStringLiteral("CMD"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Screen size (default 80x24)."), QStringLiteral("COLSxROWS"), QStringLiteral("80x24"));
    const QCommandLineOption profileOption(QStringLiteral("profile"), QStringLiteral("A connection profile for connect and profiles (repeatable)."), QStringLiteral("NAME=CMD"));
    const QCommandLineOption answersOption(QStringLiteral("answers"), QStringLiteral("JSON file of queued dialog replies per dialog operation."), QStringLiteral("FILE"));
    const QCommandLineOption runnerOption(QStringLiteral("runner"), QStringLiteral("The morvane-lua to run (default: beside the host, then PATH)."), QStringLiteral("PATH"));
    const QCommandLineOption keepOption(QStringLiteral("keep"), QStringLiteral("Received text held per tab, in MiB (default 16)."), QStringLiteral("MIB"), QStringLiteral("16"));
    const QCommandLineOption traceOption(QStringLiteral("trace"), QStringLiteral("Write every request and reply to FILE, one line each."), QStringLiteral("FILE"));
    parser.addOptions({commandOption, sizeOption, profileOption, answersOption, runnerOption, keepOption, traceOption});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("script"), QStringLiteral("The Lua script to run."));
    parser.addPositionalArgument(QStringLiteral("arguments"), QStringLiteral("The script's arguments."), QStringLiteral("[arguments...]"));
    if (!parser.parse(QCoreApplication::arguments()))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Options options;
    options.script = parser.positionalArguments();
    if (options.script.isEmpty())
        usageError(QStringLiteral("Give the script to run."));

    HostSettings &settings = options.settings;
    if (parser.isSet(commandOption))
        settings.firstCommand = parser.value(commandOption);
    const QRegularExpressionMatch size = QRegularExpression(QStringLiteral("^(\\d{1,4})x(\\d{1,4})$")).match(parser.value(sizeOption));
    if (!size.hasMatch())
        usageError(QStringLiteral("--size must be COLSxROWS, such as 80x24."));
    settings.size = QSize(size.captured(1).toInt(), size.captured(2).toInt());
    if (settings.size.width() < 2 || settings.size.height() < 1 || settings.size.width() > 1000 || settings.size.height() > 1000)
        usageError(QStringLiteral("--size must be between 2x1 and 1000x1000."));
    bool keepOk = false;
    const double keep = parser.value(keepOption).toDouble(&keepOk);
    if (!keepOk || !(keep > 0) || keep > 1024)
        usageError(QStringLiteral("--keep must be a number of MiB above 0 and at most 1024."));
    settings.keepBytes = std::max<qint64>(1, static_cast<qint64>(keep * 1024 * 1024));
    for (const QString &profile : parser.values(profileOption)) {
        const qsizetype equals = profile.indexOf(QLatin1Char('='));
        if (equals <= 0 || equals == profile.size() - 1)
            usageError(QStringLiteral("--profile must be NAME=CMD, got \"%1\".").arg(profile));
        settings.profiles.append(Profile{profile.left(equals), profile.mid(equals + 1), {}});
    }
    if (parser.isSet(answersOption))
        settings.answers = readAnswers(parser.value(answersOption));
    options.runner = findRunner(parser.value(runnerOption));
    if (parser.isSet(traceOption))
        options.tracePath = parser.value(traceOption);
    return options;
}

// Signals become events, so that shutdown runs in the event loop.
bool catchSignals()
{
    if (pipe2(signalPipe, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// Runs the script against the first tab until it ends, the script asks to
// quit or a signal comes; returns the host's exit status.
int runScript(Operations &operations, ApiServer &server, const Options &options)
{
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORVANE_SOCKET"), server.socketPath());
    environment.insert(QStringLiteral("MORVANE_TOKEN"), server.token());
    environment.insert(QStringLiteral("MORVANE_TAB"), operations.nextTabId());
    environment.insert(QStringLiteral("MORVANE_STREAM_START"), QStringLiteral("0"));
    script.setProcessEnvironment(environment);
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.setInputChannelMode(QProcess::ForwardedInputChannel);
    script.setProgram(options.runner);
    script.setArguments(options.script);

    int exitStatus = 1;
    bool ending = false;
    const auto finish = [&](int status) {
        if (ending)
            return;
        ending = true;
        exitStatus = status;
        server.close();
        if (script.state() != QProcess::NotRunning) {
            script.terminate();
            if (!script.waitForFinished(1000)) {
                script.kill();
                script.waitForFinished(1000);
            }
        }
        operations.shutdown();
        QCoreApplication::exit(exitStatus);
    };
    QObject::connect(&script, &QProcess::finished, [&](int code, QProcess::ExitStatus how) {
        finish(how == QProcess::NormalExit ? code : 1);
    });
    QObject::connect(&script, &QProcess::errorOccurred, [&](QProcess::ProcessError failure) {
        if (failure != QProcess::FailedToStart)
            return;
        std::fprintf(stderr, "Cannot start %s: %s\n", qPrintable(options.runner), qPrintable(script.errorString()));
        finish(1);
    });
    QObject::connect(&operations, &Operations::quitRequested, [&] {
        // Give the reply to `quit` a moment to reach the script.
        QTimer::singleShot(50, [&] { finish(0); });
    });
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, [&] {
        char sig = 0;
        if (::read(signalPipe[0], &sig, 1) == 1)
            finish(128 + sig);
    });

    // The runner loads while the first tab starts; its requests are served
    // once the event loop runs, when the tab is there.
    script.start();
    QString error;
    if (!operations.openFirstTab(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        finish(1);
        return 1;
    }
    const int status = QCoreApplication::exec();
    return ending ? exitStatus : status;
}

// Sets up the socket server, then runs the script and opens the first tab.
int serve(const Options &options)
{
    Operations operations(options.settings);
    ApiServer server(&operations);
    QString error;
    if (options.tracePath && !server.setTrace(*options.tracePath, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    if (!server.listen(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return runScript(operations, server, options);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("morvane-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_HOST_VERSION));

    const Options options = parseOptions();
    if (options.runner.isEmpty()) {
        std::fprintf(stderr, "Cannot find morvane-lua beside the host or on PATH; give it with --runner.\n");
        return 1;
    }
    if (!catchSignals())
        return 1;
    return serve(options);
}
