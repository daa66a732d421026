#include "sim_terminal.h"

#include <QJsonArray>

namespace {

QString field(const QJsonObject &request, const char *name)
{
    return request.value(QLatin1String(name)).toString();
}

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
    addTab(QStringLiteral("tab-1"));
    m_app.setFallback([this](const QJsonObject &request) { return handle(request); });
}

SimTab &SimTerminal::tab(const QString &id)
{
    auto found = m_tabs.find(id);
    if (found == m_tabs.end())
        qFatal("no simulated tab %s", qPrintable(id));
    return *found;
}

SimTab &SimTerminal::addTab(const QString &id)
{
    SimTab &tab = m_tabs[id];
    tab.id = id;
    m_order.append(id);
    return tab;
}

QProcessEnvironment SimTerminal::environment(bool withTab) const
{
    QProcessEnvironment environment = m_app.environment();
    if (withTab)
        environment.insert(QStringLiteral("MORVANE_TAB"), QStringLiteral("tab-1"));
    return environment;
}

std::optional<Reply> SimTerminal::handle(const QJsonObject &request)
{
    const QString op = field(request, "op");
    auto override = m_overrides.constFind(op);
    if (override != m_overrides.constEnd()) {
        if (std::optional<Reply> chosen = (*override)(request))
            return chosen;
    }
    if (op.startsWith(QLatin1String("dialog."))) {
        QList<QJsonObject> &queued = dialogReplies[op];
        const QJsonObject accepted{{QStringLiteral("button"), QStringLiteral("OK")}, {QStringLiteral("yes"), true},
                                   {QStringLiteral("text"), field(request, "default")}, {QStringLiteral("cancelled"), false}};
        return Reply::ok(queued.isEmpty() ? accepted : queued.takeFirst());
    }
    if (op == QLatin1String("tabs")) {
        QJsonArray tabs;
        for (const QString &id : m_order)
            tabs.append(QJsonObject{{QStringLiteral("id"), id}});
        return Reply::ok(QJsonObject{{QStringLiteral("tabs"), tabs}});
    }
    if (op == QLatin1String("connect")) {
        SimTab &tab = addTab(QStringLiteral("tab-%1").arg(m_nextTab++));
        return Reply::ok(QJsonObject{{QStringLiteral("id"), tab.id}});
    }
    if (!request.contains(QStringLiteral("tab")))
        return Reply::ok(QJsonObject{});
    QString id = field(request, "tab");
    if (op == QLatin1String("info") && id == QLatin1String("active"))
        id = activeTab;
    auto found = m_tabs.find(id);
    if (found == m_tabs.end())
        return Reply::error(QStringLiteral("No such tab: ") + id);
    return tabOperation(*found, op, request);
}

Reply SimTerminal::tabOperation(SimTab &tab, const QString &op, const QJsonObject &request)
{
    if (op == QLatin1String("info")) {
        applyDue(tab.infoEvents, tab.infoRequests++, tab);
        QJsonObject info{
            {QStringLiteral("id"), tab.id},
            {QStringLiteral("streamEnd"), double(tab.stream.size())},
            {QStringLiteral("active"), tab.active},
            {QStringLiteral("locked"), tab.locked},
            {QStringLiteral("row"), tab.row},
            {QStringLiteral("column"), tab.column},
            {QStringLiteral("rows"), int(tab.rows.size())},
            {QStringLiteral("columns"), 80},
            {QStringLiteral("connected"), tab.connected},
            {QStringLiteral("caption"), QStringLiteral("Tab")},
            {QStringLiteral("status"), QStringLiteral("Connected")},
            {QStringLiteral("logging"), false},
        };
        if (!tab.profileId.isEmpty())
            info.insert(QStringLiteral("profileId"), tab.profileId);
        return Reply::ok(info);
    }
    if (op == QLatin1String("stream")) {
        applyDue(tab.streamEvents, tab.streamRequests++, tab);
        qint64 position = qint64(request.value(QStringLiteral("position")).toDouble());
        const bool truncated = position < tab.held;
        position = qBound<qint64>(tab.held, position, tab.stream.size());
        return Reply::ok(QJsonObject{
            {QStringLiteral("text"), tab.stream.mid(position)},
            {QStringLiteral("start"), double(position)},
            {QStringLiteral("end"), double(tab.stream.size())},
            {QStringLiteral("truncated"), truncated},
        });
    }
    if (op == QLatin1String("send") || op == QLatin1String("send.bytes")) {
        tab.sent.append(op == QLatin1String("send") ? field(request, "text").toUtf8()
                                                     : QByteArray::fromBase64(field(request, "base64").toLatin1()));
        return Reply::ok(QJsonObject{{QStringLiteral("sent"), tab.active && tab.connected}});
    }
    if (op == QLatin1String("screen.region")) {
        const auto number = [&request](const char *name) { return request.value(QLatin1String(name)).toInt(); };
        QStringList lines;
        for (int row = qMax(1, number("top")); row <= qMin(int(tab.rows.size()), number("bottom")); ++row)
            lines.append(tab.rows.at(row - 1).mid(number("left") - 1, qMax(0, number("right") - number("left") + 1)));
        return Reply::ok(QJsonObject{{QStringLiteral("text"), lines.join(QLatin1Char('\n'))}});
    }
    if (op == QLatin1String("config.get"))
        return Reply::ok(QJsonObject{{QStringLiteral("value"), tab.options.value(field(request, "key"))}});
    if (op == QLatin1String("config.set"))
        tab.options.insert(field(request, "key"), request.value(QStringLiteral("value")));
    if (op == QLatin1String("clone")) {
        const QString profileId = tab.profileId;
        SimTab &copy = addTab(QStringLiteral("tab-%1").arg(m_nextTab++));
        copy.profileId = profileId;
        return Reply::ok(QJsonObject{{QStringLiteral("id"), copy.id}});
    }
    if (op == QLatin1String("disconnect"))
        tab.active = tab.connected = false;
    if (op == QLatin1String("close")) {
        m_order.removeAll(tab.id);
        m_tabs.remove(QString(tab.id)); // a copy: the id goes away with the tab
    }
    return Reply::ok(QJsonObject{});
}
