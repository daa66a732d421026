#include "sim_terminal.h"

namespace {

const QStringList tabOperations{"info", "stream", "send", "send.bytes", "screen.region", "config.get", "disconnect"};

// Applies, in order, the events that are due once `served` requests of their
// kind have been answered.
void applyDue(QList<SimTab::Event> &events, int served, SimTab &tab)
{
    for (qsizetype i = 0; i < events.size();) {
        if (events.at(i).after <= served)
            events.takeAt(i).apply(tab);
        else
            ++i;
    }
}

} // namespace

SimTerminal::SimTerminal(FakeApp &app)
    : m_app(app)
{
    m_app.setFallback([this](const QJsonObject &request) { return handle(request); });
}

QProcessEnvironment SimTerminal::environment() const
{
    QProcessEnvironment environment = m_app.environment();
    environment.insert(QStringLiteral("MORVANE_TAB"), QStringLiteral("tab-1"));
    return environment;
}

RunResult SimTerminal::run(const QByteArray &script, const QStringList &changes) const
{
    RunOptions options;
    options.environment = environment();
    for (const QString &change : changes) {
        if (change.contains(QLatin1Char('=')))
            options.environment.insert(change.section(QLatin1Char('='), 0, 0), change.section(QLatin1Char('='), 1));
        else
            options.environment.remove(change);
    }
    options.timeoutMs = 20000;
    return runScript(&m_app, script, options);
}

Reply SimTerminal::handle(const QJsonObject &request)
{
    const QString op = request.value(QStringLiteral("op")).toString();
    const QString id = request.value(QStringLiteral("tab")).toString();
    const auto number = [&request](const char *name) { return request.value(QLatin1String(name)).toInt(); };
    SimTab &tab = m_tab;
    // The user types the message back, or "***" for a password; an empty
    // message is cancelled.
    if (op.startsWith(QLatin1String("dialog."))) {
        const QString message = request.value("message").toString();
        return Reply::ok(QJsonObject{{"text", request.value("password").toBool() ? QStringLiteral("***") : message},
                                     {"cancelled", message.isEmpty()}, {"yes", true}, {"button", "OK"}});
    }
    if (!tabOperations.contains(op))
        return Reply::ok(QJsonObject{});
    if (id != QLatin1String("tab-1") && !(op == QLatin1String("info") && id == QLatin1String("active")))
        return Reply::error(QStringLiteral("No such tab: ") + id);
    if (op == QLatin1String("info")) {
        applyDue(tab.infoEvents, tab.infoRequests++, tab);
        return Reply::ok(QJsonObject{{"id", "tab-1"}, {"streamEnd", double(tab.stream.size())}, {"active", tab.active},
                                     {"connected", tab.active}, {"locked", tab.locked}, {"row", tab.row},
                                     {"column", tab.column}, {"rows", int(tab.rows.size())}, {"columns", 80}});
    }
    if (op == QLatin1String("stream")) {
        applyDue(tab.streamEvents, tab.streamRequests++, tab);
        const qint64 position = qBound<qint64>(0, qint64(request.value("position").toDouble()), tab.stream.size());
        return Reply::ok(QJsonObject{{"text", tab.stream.mid(position)}, {"start", double(position)},
                                     {"end", double(tab.stream.size())}});
    }
    if (op == QLatin1String("send") || op == QLatin1String("send.bytes")) {
        tab.sent.append(op == QLatin1String("send") ? request.value("text").toString().toUtf8()
                                                     : QByteArray::fromBase64(request.value("base64").toString().toLatin1()));
        return Reply::ok(QJsonObject{{"sent", tab.active}});
    }
    if (op == QLatin1String("screen.region"))
        return Reply::ok(QJsonObject{{"text", tab.rows.mid(number("top") - 1, number("bottom") - number("top") + 1).join('\n')}});
    if (op == QLatin1String("config.get"))
        return Reply::ok(QJsonObject{{"value", tab.options.value(request.value("key").toString())}});
    tab.active = false; // disconnect
    return Reply::ok(QJsonObject{});
}
