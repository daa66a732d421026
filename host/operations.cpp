// The operations: requests are looked up by name in two tables, one for
// operations on a tab (the tab named by the request, "active" for the active
// tab) and one for the application. A `stream` request with nothing new is
// held for a moment and answered as soon as its tab receives text.
#include "operations.h"

#include <QTimer>

#include <algorithm>
#include <utility>
#include <pwd.h>
#include <unistd.h>

namespace {

int intField(const QJsonObject &request, const char *name, int fallback)
{
    const QJsonValue value = request.value(QLatin1String(name));
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (number != number)  // NaN
        return fallback;
    return static_cast<int>(qBound(-1e9, number, 1e9));
}

QString loginName()
{
    const QString user = qEnvironmentVariable("USER");
    if (!user.isEmpty())
        return user;
    const passwd *entry = getpwuid(getuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

} // namespace

Operations::Operations(const HostSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_dialogs(settings.answers)
{
    m_clock.start();
    m_tabOperations = {
        {QStringLiteral("info"), &Operations::info},
        {QStringLiteral("send"), &Operations::send},
        {QStringLiteral("send.bytes"), &Operations::sendBytes},
        {QStringLiteral("screen.region"), &Operations::screenRegion},
        {QStringLiteral("selection"), &Operations::selection},
        {QStringLiteral("action"), &Operations::action},
        {QStringLiteral("config.get"), &Operations::configGet},
        {QStringLiteral("config.set"), &Operations::configSet},
        {QStringLiteral("caption"), &Operations::caption},
        {QStringLiteral("clone"), &Operations::clone},
        {QStringLiteral("sftp"), &Operations::sftp},
        {QStringLiteral("log.start"), &Operations::logStart},
        {QStringLiteral("log.stop"), &Operations::logStop},
        {QStringLiteral("zmodem.upload"), &Operations::zmodemUpload},
        {QStringLiteral("zmodem.status"), &Operations::zmodemStatus},
        {QStringLiteral("zmodem.cancel"), &Operations::zmodemCancel},
        {QStringLiteral("clear"), &Operations::clear},
        {QStringLiteral("profile.save"), &Operations::profileSave},
        {QStringLiteral("disconnect"), &Operations::disconnectTab},
        {QStringLiteral("activate"), &Operations::activate},
        {QStringLiteral("close"), &Operations::close},
    };
    m_appOperations = {
        {QStringLiteral("connect"), &Operations::connectProfile},
        {QStringLiteral("tabs"), &Operations::tabs},
        {QStringLiteral("profiles"), &Operations::profiles},
        {QStringLiteral("version"), &Operations::version},
        {QStringLiteral("clipboard.get"), &Operations::clipboardGet},
        {QStringLiteral("clipboard.set"), &Operations::clipboardSet},
        {QStringLiteral("quit"), &Operations::quit},
    };
}

Operations::~Operations()
{
    shutdown();
}

Tab *Operations::openFirstTab()
{
    return openTab(m_settings.firstCommand, nullptr);
}

Tab *Operations::openTab(const QString &command, const Profile *profile)
{
    const QString id = QStringLiteral("tab-%1").arg(m_nextTabNumber++);
    auto *tab = new Tab(id, command, m_settings.size, m_settings.keepBytes, this);
    tab->setTape(std::exchange(m_settings.firstTabTape, Tape{}));  // only the first tab takes it
    tab->options = defaultOptions(profile);
    if (profile)
        tab->profileId = profile->id;
    connect(tab, &Tab::received, this, [this, tab] { releaseHeld(tab, false); });
    connect(tab, &Tab::exited, this, [this, tab] {
        releaseHeld(tab, true);
        Q_EMIT tabEnded(tab->id(), tab->status());
    });
    m_tabs.append(tab);
    if (m_activeTab.isEmpty())
        m_activeTab = id;
    return tab;
}

QJsonObject Operations::defaultOptions(const Profile *profile) const
{
    QJsonObject options{
        {QStringLiteral("encoding"), QStringLiteral("UTF-8")},
        {QStringLiteral("name"), profile ? profile->id : QStringLiteral("Local shell")},
        {QStringLiteral("host"), QStringLiteral("localhost")},
        {QStringLiteral("port"), 0},
        {QStringLiteral("username"), loginName()},
        {QStringLiteral("protocol"), QStringLiteral("local")},
    };
    if (profile)
        for (auto it = profile->options.begin(); it != profile->options.end(); ++it)
            options.insert(it.key(), it.value());
    return options;
}

Tab *Operations::findTab(const QString &id) const
{
    const QString wanted = id == QLatin1String("active") ? m_activeTab : id;
    for (Tab *tab : m_tabs)
        if (tab->id() == wanted)
            return tab;
    return nullptr;
}

const Profile *Operations::findProfile(const QString &id) const
{
    for (const Profile &profile : m_settings.profiles)
        if (profile.id == id)
            return &profile;
    return nullptr;
}

void Operations::handle(const QJsonObject &request, const Responder &respond)
{
    const QString op = request.value(QLatin1String("op")).toString();
    static const QStringList dialogOperations{QStringLiteral("dialog.message"), QStringLiteral("dialog.prompt"),
                                              QStringLiteral("dialog.confirm"), QStringLiteral("dialog.file")};
    if (dialogOperations.contains(op)) {
        m_dialogs.answer(request, respond);
        return;
    }
    if (const auto app = m_appOperations.find(op); app != m_appOperations.end()) {
        respond((this->*app.value())(request));
        return;
    }
    const bool tabOperation = op == QLatin1String("stream") || m_tabOperations.contains(op);
    if (!tabOperation) {
        respond(ApiReply::failure(op.isEmpty() ? QStringLiteral("The request names no operation.")
                                               : QStringLiteral("Unknown operation: %1").arg(op)));
        return;
    }
    const QJsonValue tabValue = request.value(QLatin1String("tab"));
    if (!tabValue.isString()) {
        respond(ApiReply::failure(QStringLiteral("The operation %1 needs a tab.").arg(op)));
        return;
    }
    Tab *tab = findTab(tabValue.toString());
    if (!tab) {
        respond(ApiReply::failure(QStringLiteral("No such tab: %1").arg(tabValue.toString())));
        return;
    }
    // The tab's program starts when the script first addresses the tab, so
    // that the first mark the script takes is the start of the tab's text
    // and nothing the program prints is missed. Closing a tab that never
    // started starts nothing.
    const bool startsNow = !tab->started() && op != QLatin1String("close");
    if (startsNow) {
        QString error;
        if (!tab->start(&error)) {
            respond(ApiReply::failure(error));
            return;
        }
    }
    if (op == QLatin1String("stream")) {
        stream(tab, request, respond);
        return;
    }
    // What the child has written but the host has not read yet counts as
    // received; a child started just now has written nothing yet.
    if (!startsNow)
        tab->drain();
    respond((this->*m_tabOperations.value(op))(tab, request));
}

// ------------------------------------------------------------------ stream

bool Operations::worthAnswering(Tab *tab, qint64 position)
{
    if (!tab->running())
        return true;
    // Nothing new, or only the terminal's echo of what the script just sent:
    // the answer the script waits for is still to come.
    return tab->streamEnd() > position && !tab->onlyEchoSinceSend();
}

void Operations::stream(Tab *tab, const QJsonObject &request, const Responder &respond)
{
    const QJsonValue positionValue = request.value(QLatin1String("position"));
    if (!positionValue.isDouble()) {
        respond(ApiReply::failure(QStringLiteral("stream needs a position.")));
        return;
    }
    const qint64 position = static_cast<qint64>(positionValue.toDouble());
    // New text already taken in is answered at once: reading a fast producer
    // first would only hold the reply back. Otherwise what is waiting in the
    // terminal is read now, and failing that the request is held, if the
    // script is waiting for text.
    if (!worthAnswering(tab, position))
        tab->drain(true);
    if (worthAnswering(tab, position) || !worthHolding(tab, position)) {
        answerStream(tab, position, respond);
        return;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    m_held.append(HeldStream{tab, position, respond, timer});
    tab->setWaitedOn(true);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        const auto held = std::find_if(m_held.cbegin(), m_held.cend(),
                                       [timer](const HeldStream &entry) { return entry.timer == timer; });
        if (held == m_held.cend())
            return;
        const QPointer<Tab> heldTab = held->tab;
        answerHeld(held - m_held.cbegin());
        noteWaiting(heldTab);
    });
    timer->start(holdMs);
}

// Holding answers a waiting script the moment its text arrives. A script is
// waiting when it has sent something since its last reply (the answer is
// still to come), or when it asks again, after its pause, for the position
// whose last reply brought nothing. Any other request with nothing new is
// answered at once: the script only checks for more text before it uses
// what it already holds (the compatibility globals fetch first on every
// readline and expect), and holding it would stall every such call.
bool Operations::worthHolding(Tab *tab, qint64 position) const
{
    const auto last = m_lastStream.constFind(tab->id());
    if (last == m_lastStream.cend())
        return false;
    return last->sentSince
        || (last->empty && last->position == position && m_clock.elapsed() - last->answeredMs >= clientPauseMs);
}

void Operations::answerStream(Tab *tab, qint64 position, const Responder &respond)
{
    m_lastStream.insert(tab->id(), LastStream{position, !worthAnswering(tab, position), m_clock.elapsed(), false});
    respond(streamReply(tab, position));
}

void Operations::releaseHeld(Tab *tab, bool force)
{
    for (qsizetype i = 0; i < m_held.size();) {
        const HeldStream &held = m_held.at(i);
        if (held.tab == tab && (force || worthAnswering(tab, held.position)))
            answerHeld(i);
        else
            ++i;
    }
    noteWaiting(tab);
}

void Operations::answerHeld(qsizetype index)
{
    const HeldStream held = m_held.takeAt(index);
    held.timer->deleteLater();
    if (held.tab)
        answerStream(held.tab, held.position, held.respond);
    else
        held.respond(ApiReply::failure(QStringLiteral("The tab was closed.")));
}

void Operations::noteWaiting(Tab *tab) const
{
    if (!tab)
        return;
    const bool waited = std::any_of(m_held.begin(), m_held.end(), [tab](const HeldStream &held) { return held.tab == tab; });
    tab->setWaitedOn(waited);
}

ApiReply Operations::streamReply(Tab *tab, qint64 position) const
{
    ApiReply reply;
    reply.text = tab->slice(position, maxReplyText);
    return reply;
}

// -------------------------------------------------------- tab operations

ApiReply Operations::info(Tab *tab, const QJsonObject &)
{
    const QPoint cursor = tab->cursor();
    QJsonObject result{
        {QStringLiteral("id"), tab->id()},
        {QStringLiteral("streamEnd"), static_cast<double>(tab->streamEnd())},
        {QStringLiteral("active"), tab->running()},
        {QStringLiteral("connected"), tab->running()},
        {QStringLiteral("status"), tab->status()},
        {QStringLiteral("locked"), tab->locked()},
        {QStringLiteral("logging"), tab->logging()},
        {QStringLiteral("caption"), tab->caption()},
        {QStringLiteral("row"), cursor.y()},
        {QStringLiteral("column"), cursor.x()},
        {QStringLiteral("rows"), tab->size().height()},
        {QStringLiteral("columns"), tab->size().width()},
    };
    if (!tab->profileId.isEmpty())
        result.insert(QStringLiteral("profileId"), tab->profileId);
    return ApiReply::success(result);
}

ApiReply Operations::sendTo(Tab *tab, const QByteArray &bytes)
{
    if (tab->locked())
        return ApiReply::failure(QStringLiteral("Session is locked by a ZMODEM transfer."));
    m_lastStream[tab->id()].sentSince = true;
    return ApiReply::success(QJsonObject{{QStringLiteral("sent"), tab->send(bytes)}});
}

ApiReply Operations::send(Tab *tab, const QJsonObject &request)
{
    const QJsonValue text = request.value(QLatin1String("text"));
    if (!text.isString())
        return ApiReply::failure(QStringLiteral("send needs a text string."));
    return sendTo(tab, tab->encode(text.toString()));
}

ApiReply Operations::sendBytes(Tab *tab, const QJsonObject &request)
{
    const QJsonValue encoded = request.value(QLatin1String("base64"));
    if (!encoded.isString())
        return ApiReply::failure(QStringLiteral("send.bytes needs base64 text."));
    const auto decoded = QByteArray::fromBase64Encoding(encoded.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return ApiReply::failure(QStringLiteral("send.bytes: the base64 text is not valid."));
    return sendTo(tab, *decoded);
}

ApiReply Operations::screenRegion(Tab *tab, const QJsonObject &request)
{
    const QSize size = tab->size();
    const QString text = tab->region(intField(request, "top", 1), intField(request, "left", 1),
                                     intField(request, "bottom", size.height()),
                                     intField(request, "right", size.width()));
    return ApiReply::success(QJsonObject{{QStringLiteral("text"), text}});
}

ApiReply Operations::selection(Tab *, const QJsonObject &)
{
    // A headless terminal has no mouse, so nothing is ever selected.
    return ApiReply::success(QJsonObject{{QStringLiteral("text"), QString()}});
}

ApiReply Operations::action(Tab *tab, const QJsonObject &request)
{
    const QString name = request.value(QLatin1String("action")).toString();
    static const QHash<QString, QByteArray> keys{
        {QStringLiteral("interrupt"), "\x03"},
        {QStringLiteral("eof"), "\x04"},
        {QStringLiteral("suspend"), "\x1a"},
        {QStringLiteral("quit-signal"), "\x1c"},
    };
    if (keys.contains(name))
        return sendTo(tab, keys.value(name));
    if (name == QLatin1String("paste"))
        return sendTo(tab, tab->encode(m_clipboard));
    if (name == QLatin1String("clear")) {
        tab->clearScreen();
        return ApiReply::success();
    }
    if (name == QLatin1String("reset")) {
        tab->resetTerminal();
        return ApiReply::success();
    }
    return ApiReply::failure(QStringLiteral("Unknown action: %1 (known: interrupt, eof, suspend, quit-signal, paste, clear, reset)").arg(name));
}

ApiReply Operations::configGet(Tab *tab, const QJsonObject &request)
{
    const QString key = request.value(QLatin1String("key")).toString();
    QJsonValue value = tab->options.value(key);
    if (value.isUndefined())
        value = QJsonValue::Null;
    return ApiReply::success(QJsonObject{{QStringLiteral("value"), value}});
}

ApiReply Operations::configSet(Tab *tab, const QJsonObject &request)
{
    const QJsonValue key = request.value(QLatin1String("key"));
    if (!key.isString() || key.toString().isEmpty())
        return ApiReply::failure(QStringLiteral("config.set needs a key."));
    const QJsonValue value = request.value(QLatin1String("value"));
    if (value.isUndefined() || value.isNull())
        tab->options.remove(key.toString());
    else
        tab->options.insert(key.toString(), value);
    return ApiReply::success();
}

ApiReply Operations::caption(Tab *tab, const QJsonObject &request)
{
    const QJsonValue value = request.value(QLatin1String("value"));
    tab->captionOverride = value.isString() ? value.toString() : QString();
    return ApiReply::success();
}

ApiReply Operations::clone(Tab *tab, const QJsonObject &)
{
    const Profile *profile = findProfile(tab->profileId);
    Tab *copy = openTab(tab->command(), profile);
    copy->options = tab->options;
    return ApiReply::success(QJsonObject{{QStringLiteral("id"), copy->id()}});
}

ApiReply Operations::sftp(Tab *, const QJsonObject &)
{
    return ApiReply::failure(QStringLiteral("SFTP is not supported by morvane-host."));
}

ApiReply Operations::logStart(Tab *tab, const QJsonObject &)
{
    QString error;
    tab->stopLog();
    if (!tab->startLog(&error))
        return ApiReply::failure(error);
    return ApiReply::success(QJsonObject{{QStringLiteral("logging"), true}});
}

ApiReply Operations::logStop(Tab *tab, const QJsonObject &)
{
    tab->stopLog();
    return ApiReply::success();
}

ApiReply Operations::zmodemUpload(Tab *tab, const QJsonObject &request)
{
    const QJsonValue filesValue = request.value(QLatin1String("files"));
    QStringList files;
    if (filesValue.isString())
        files << filesValue.toString();
    for (const QJsonValue &file : filesValue.toArray()) {
        if (!file.isString())
            return ApiReply::failure(QStringLiteral("zmodem.upload needs a list of file paths."));
        files << file.toString();
    }
    QString error;
    if (!tab->startUpload(files, &error))
        return ApiReply::failure(error);
    return ApiReply::success(QJsonObject{{QStringLiteral("queued"), static_cast<int>(files.size())}});
}

ApiReply Operations::zmodemStatus(Tab *tab, const QJsonObject &)
{
    return ApiReply::success(QJsonObject{{QStringLiteral("active"), tab->locked()}});
}

ApiReply Operations::zmodemCancel(Tab *tab, const QJsonObject &)
{
    tab->cancelUpload();
    return ApiReply::success();
}

ApiReply Operations::clear(Tab *tab, const QJsonObject &)
{
    tab->clearScreen();
    return ApiReply::success();
}

ApiReply Operations::profileSave(Tab *tab, const QJsonObject &)
{
    for (Profile &profile : m_settings.profiles) {
        if (profile.id == tab->profileId) {
            profile.options = tab->options;
            return ApiReply::success();
        }
    }
    // A tab without a profile keeps its options where they are.
    return ApiReply::success();
}

ApiReply Operations::disconnectTab(Tab *tab, const QJsonObject &)
{
    tab->hangUp(2000);
    return ApiReply::success();
}

ApiReply Operations::activate(Tab *tab, const QJsonObject &)
{
    m_activeTab = tab->id();
    return ApiReply::success();
}

ApiReply Operations::close(Tab *tab, const QJsonObject &)
{
    m_tabs.removeOne(tab);
    if (m_activeTab == tab->id())
        m_activeTab = m_tabs.isEmpty() ? QString() : m_tabs.first()->id();
    releaseHeld(tab, true);
    m_lastStream.remove(tab->id());
    tab->terminate();
    tab->deleteLater();
    return ApiReply::success();
}

// -------------------------------------------------- application operations

ApiReply Operations::connectProfile(const QJsonObject &request)
{
    const Profile *profile = nullptr;
    QString command;
    const QJsonValue profileId = request.value(QLatin1String("profileId"));
    const QJsonValue inlineProfile = request.value(QLatin1String("profile"));
    if (profileId.isString()) {
        profile = findProfile(profileId.toString());
        if (!profile)
            return ApiReply::failure(QStringLiteral("Unknown profile: %1").arg(profileId.toString()));
        command = profile->command;
    } else if (inlineProfile.isObject() && inlineProfile.toObject().value(QLatin1String("command")).isString()) {
        command = inlineProfile.toObject().value(QLatin1String("command")).toString();
    } else {
        return ApiReply::failure(QStringLiteral("connect needs a profile id or a table with a command."));
    }
    Tab *tab = openTab(command, profile);
    return ApiReply::success(QJsonObject{{QStringLiteral("id"), tab->id()}});
}

ApiReply Operations::tabs(const QJsonObject &)
{
    QJsonArray list;
    for (Tab *tab : m_tabs)
        list.append(QJsonObject{{QStringLiteral("id"), tab->id()},
                                {QStringLiteral("caption"), tab->caption()},
                                {QStringLiteral("active"), tab->id() == m_activeTab}});
    return ApiReply::success(QJsonObject{{QStringLiteral("tabs"), list}});
}

ApiReply Operations::profiles(const QJsonObject &)
{
    QJsonArray sessions;
    for (const Profile &profile : m_settings.profiles)
        sessions.append(QJsonObject{{QStringLiteral("id"), profile.id}, {QStringLiteral("command"), profile.command}});
    return ApiReply::success(QJsonObject{{QStringLiteral("sessions"), sessions}});
}

ApiReply Operations::version(const QJsonObject &)
{
    return ApiReply::success(QJsonObject{{QStringLiteral("version"), QStringLiteral("morvane-host " MORVANE_HOST_VERSION)}});
}

ApiReply Operations::clipboardGet(const QJsonObject &)
{
    return ApiReply::success(QJsonObject{{QStringLiteral("text"), m_clipboard}});
}

ApiReply Operations::clipboardSet(const QJsonObject &request)
{
    const QJsonValue text = request.value(QLatin1String("text"));
    if (!text.isString())
        return ApiReply::failure(QStringLiteral("clipboard.set needs a text string."));
    m_clipboard = text.toString();
    return ApiReply::success();
}

ApiReply Operations::quit(const QJsonObject &)
{
    // Answered first; the host ends once the reply is on its way.
    QTimer::singleShot(0, this, &Operations::quitRequested);
    return ApiReply::success();
}

void Operations::shutdown()
{
    for (const HeldStream &held : std::as_const(m_held))
        held.timer->deleteLater();
    m_held.clear();
    for (Tab *tab : std::as_const(m_tabs)) {
        tab->terminate();
        delete tab;
    }
    m_tabs.clear();
}
