// morvane-host: command line and start-up. main parses the options, sets up
// (signals, the socket server, the first tab) and runs morvane-lua on the
// script until it ends; the host's exit status is the script's, or 3 when a
// replay sees the script send what the recording does not hold.
#include "api_server.h"
#include "descendants.h"
#include "interaction.h"
#include "operations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
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
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The host's own status for a replay that went another way than its recording.
constexpr int replayMismatchStatus = 3;

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
    bool show = false;              // the script tab's output copied to standard error
    bool interact = false;          // the terminal handed to the script tab after the script
    QStringList script;            // the script and its arguments
};

// The script tab's replay and recording. The recording is read whole before
// the record file is opened, so that one file can be replayed and refreshed;
// a replay runs on the recorded screen size unless --size says otherwise.
void readTape(const QCommandLineParser &parser, const QCommandLineOption &replayOption,
              const QCommandLineOption &speedOption, const QCommandLineOption &recordOption, bool sizeGiven,
              HostSettings &settings)
{
    Tape &tape = settings.firstTabTape;
    QString error;
    if (parser.isSet(replayOption)) {
        std::optional<Recording> recording = readRecording(parser.value(replayOption), &error);
        if (!recording)
            usageError(error);
        if (!sizeGiven)
            settings.size = recording->size;
        tape.replay = std::make_shared<const Recording>(std::move(*recording));
    }
    if (parser.isSet(speedOption)) {
        bool ok = false;
        tape.replaySpeed = parser.value(speedOption).toDouble(&ok);
        if (!ok || !(tape.replaySpeed > 0) || tape.replaySpeed > 1e6)
            usageError(QStringLiteral("--replay-speed must be a number above 0."));
        if (!tape.replay)
            usageError(QStringLiteral("--replay-speed needs --replay."));
    }
    if (parser.isSet(recordOption)) {
        AsciicastWriter::Header header;
        header.size = settings.size;
        header.timestamp = QDateTime::currentSecsSinceEpoch();
        // Without a command the tab runs the shell: the command is the shell's.
        header.shell = tape.replay ? tape.replay->shell : qEnvironmentVariable("SHELL", QStringLiteral("/bin/sh"));
        header.command = tape.replay ? tape.replay->command
                         : !settings.firstCommand.isEmpty() ? settings.firstCommand : header.shell;
        header.term = tape.replay && !tape.replay->term.isEmpty() ? tape.replay->term : QStringLiteral("xterm-256color");
        tape.recorder = std::make_shared<AsciicastWriter>();
        if (!tape.recorder->open(parser.value(recordOption), header, &error))
            usageError(error);
    }
}

// Parses the command line; a usage error ends the host with status 2.
Options parseOptions()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A headless terminal that runs a Lua script with morvane-lua against real programs:\n"
        "each tab is a child process on a pseudo-terminal, started when the script first\n"
        "addresses the tab."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption commandOption({QStringLiteral("c"), QStringLiteral("command")},
        QStringLiteral("Run the first tab's session as /bin/sh -c CMD (default: $SHELL, else /bin/sh)."), QStringLiteral("CMD"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Screen size (default 80x24)."), QStringLiteral("COLSxROWS"), QStringLiteral("80x24"));
    const QCommandLineOption profileOption(QStringLiteral("profile"), QStringLiteral("A connection profile for connect and profiles (repeatable)."), QStringLiteral("NAME=CMD"));
    const QCommandLineOption answersOption(QStringLiteral("answers"), QStringLiteral("JSON file of queued dialog replies per dialog operation."), QStringLiteral("FILE"));
    const QCommandLineOption runnerOption(QStringLiteral("runner"), QStringLiteral("The morvane-lua to run (default: beside the host, then PATH)."), QStringLiteral("PATH"));
    // The default matches the most text the runner takes in one reply.
    const QCommandLineOption keepOption(QStringLiteral("keep"),
        QStringLiteral("Received text held per tab, in MiB (default 16): how far back a wait can still read; older text is dropped."),
        QStringLiteral("MIB"), QStringLiteral("16"));
    const QCommandLineOption traceOption(QStringLiteral("trace"), QStringLiteral("Write every request and reply to FILE, one line each."), QStringLiteral("FILE"));
    const QCommandLineOption showOption(QStringLiteral("show"),
        QStringLiteral("Copy what the script tab's program sends to standard error as it arrives, to watch the session."));
    const QCommandLineOption interactOption(QStringLiteral("interact"),
        QStringLiteral("When the script ends with status 0, hand the script tab to this terminal until its program exits "
                       "(the host exits with its status) or Ctrl-] is typed (status 0)."));
    const QCommandLineOption recordOption(QStringLiteral("record"), QStringLiteral(
        "Record the script tab's session to FILE as asciicast v2, written as it goes. Bytes that are not "
        "UTF-8 (a ZMODEM transfer) are stored as U+FFFD."), QStringLiteral("FILE"));
    const QCommandLineOption replayOption(QStringLiteral("replay"), QStringLiteral(
        "Replay the recording FILE in place of the script tab's program: each recorded input waits for the "
        "script to send it; anything else ends the host with status 3."), QStringLiteral("FILE"));
    const QCommandLineOption replaySpeedOption(QStringLiteral("replay-speed"), QStringLiteral(
        "Keep the recorded gaps, divided by X (default: no delays)."), QStringLiteral("X"));
    parser.addOptions({commandOption, sizeOption, profileOption, answersOption, runnerOption, keepOption, traceOption,
                       showOption, interactOption, recordOption, replayOption, replaySpeedOption});
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
    // Less than about 10 KiB would hold less than a screenful of text.
    if (!keepOk || !(keep >= 0.01) || keep > 1024)
        usageError(QStringLiteral("--keep must be a number of MiB from 0.01 to 1024."));
    settings.keepBytes = std::max<qint64>(1, static_cast<qint64>(keep * 1024 * 1024));
    for (const QString &profile : parser.values(profileOption)) {
        const qsizetype equals = profile.indexOf(QLatin1Char('='));
        if (equals <= 0 || equals == profile.size() - 1)
            usageError(QStringLiteral("--profile must be NAME=CMD, got \"%1\".").arg(profile));
        settings.profiles.append(Profile{profile.left(equals), profile.mid(equals + 1), {}});
    }
    if (parser.isSet(answersOption))
        settings.answers = readAnswers(parser.value(answersOption));
    options.show = parser.isSet(showOption);
    options.interact = parser.isSet(interactOption);
    if (options.interact && !isatty(STDIN_FILENO))
        usageError(QStringLiteral("--interact needs a terminal on standard input to hand the session to."));
    options.runner = findRunner(parser.value(runnerOption));
    if (parser.isSet(traceOption))
        options.tracePath = parser.value(traceOption);
    readTape(parser, replayOption, replaySpeedOption, recordOption, parser.isSet(sizeOption), settings);
    return options;
}

// The soft descriptor limit is often far below the hard one; every tab,
// transfer and connection needs descriptors, so take all that is allowed.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
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
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// Runs the script against the first tab until it ends, the script asks to
// quit or a signal comes; returns the host's exit status.
int runScript(Operations &operations, ApiServer &server, Tab *first, const Options &options)
{
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORVANE_SOCKET"), server.socketPath());
    environment.insert(QStringLiteral("MORVANE_TOKEN"), server.token());
    environment.insert(QStringLiteral("MORVANE_TAB"), first->id());
    environment.insert(QStringLiteral("MORVANE_STREAM_START"), QStringLiteral("0"));
    script.setProcessEnvironment(environment);
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.setInputChannelMode(QProcess::ForwardedInputChannel);
    script.setProgram(options.runner);
    script.setArguments(options.script);

    int exitStatus = 1;
    bool ending = false;
    bool replayFailed = false;
    std::unique_ptr<Interaction> interaction;
    const auto finish = [&](int status) {
        if (ending)
            return;
        ending = true;
        exitStatus = replayFailed ? replayMismatchStatus : status;
        if (interaction)
            interaction->restore();
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
    // With --interact, a script that ends well hands its tab to the terminal.
    const auto handOver = [&] {
        interaction = std::make_unique<Interaction>(first);
        QObject::connect(interaction.get(), &Interaction::finished, [&](int status) { finish(status); });
        QString error;
        if (!interaction->start(&error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            finish(1);
        }
    };
    QObject::connect(&script, &QProcess::finished, [&](int code, QProcess::ExitStatus how) {
        const int status = how == QProcess::NormalExit ? code : 1;
        if (status == 0 && options.interact && !ending)
            handOver();
        else
            finish(status);
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
        if (::read(signalPipe[0], &sig, 1) != 1)
            return;
        if (sig == SIGWINCH) {
            if (interaction)
                interaction->followSize();
            return;
        }
        finish(128 + sig);
    });

    // Noted at once, so that the script's end cannot report its own status
    // first; the host ends on the next turn, outside the request at hand.
    QObject::connect(first, &Tab::replayFailed, &script, [&](const QString &message) {
        std::fprintf(stderr, "Replay mismatch at %s\n", qPrintable(message));
        replayFailed = true;
        QTimer::singleShot(0, [&] { finish(replayMismatchStatus); });
    });
    script.start();
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
    QObject::connect(&operations, &Operations::tabEnded, &server, [&server](const QString &id, const QString &status) {
        server.traceNote(QStringLiteral("%1: %2").arg(id, status));
    });
    if (!server.listen(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    // Its program starts when the script first addresses it.
    Tab *first = operations.openFirstTab();
    if (options.show)
        first->setMirror(STDERR_FILENO);
    return runScript(operations, server, first, options);
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
    // Orphans below the host come back to it, so that none outlives it: a
    // script's background command, a pipe it never closed, a daemon a tab
    // program started in a session of its own.
    descendants::adoptOrphans();
    raiseDescriptorLimit();
    const int status = serve(options);
    descendants::endAll(500);
    return status;
}
