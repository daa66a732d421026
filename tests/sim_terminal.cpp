#include "sim_terminal.h"

#include <QJsonDocument>

namespace {

QString field(const QJsonObject &request, const char *name)
{
    return request.value(QLatin1String(name)).toString();
}

int number(const QJsonObject &request, const char *name, int fallback = 0)
{
    return request.value(QLatin1String(name)).toInt(fallback);
}

// Takes out and applies, in order, the entries that are due once `served`
// requests of their kind have been answered.
template <typename Entry, typename Due, typename Apply>
void applyDue(QList<Entry> &entries, Due due, Apply apply)
{
    for (qsizetype i = 0; i < entries.size();) {
        if (due(entries.at(i)))
            apply(entries.takeAt(i));
        else
            ++i;
    }
}

} // namespace

QString SimTab::sentText() const
{
    QByteArray all;
    for (const QByteArray &bytes : sent)
        all += bytes;
    return QString::fromUtf8(all);
}

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
    tabOrder.append(id);
    return tab;
}

void SimTerminal::closeTab(const QString &id)
{
    m_tabs.remove(id);
    tabOrder.removeAll(id);
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

    const auto newTab = [this](const QString &profileId) {
        SimTab &tab = addTab(QStringLiteral("tab-%1").arg(nextTabNumber++));
        tab.profileId = profileId;
        return Reply::ok(QJsonObject{{QStringLiteral("id"), tab.id}});
    };
    const auto dialog = [this, &op](const QJsonObject &fallback) {
        QList<QJsonObject> &queued = dialogReplies[op];
        return Reply::ok(queued.isEmpty() ? fallback : queued.takeFirst());
    };

    if (op == QLatin1String("tabs")) {
        QJsonArray tabs;
        for (const QString &id : tabOrder)
            tabs.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("caption"), m_tabs[id].caption}});
        return Reply::ok(QJsonObject{{QStringLiteral("tabs"), tabs}});
    }
    if (op == QLatin1String("connect"))
        return newTab(field(request, "profileId"));
    if (op == QLatin1String("profiles"))
        return Reply::ok(QJsonObject{{QStringLiteral("sessions"), sessions}});
    if (op == QLatin1String("version"))
        return Reply::ok(QJsonObject{{QStringLiteral("version"), version}});
    if (op == QLatin1String("clipboard.get"))
        return Reply::ok(QJsonObject{{QStringLiteral("text"), clipboard}});
    if (op == QLatin1String("clipboard.set")) {
        clipboard = field(request, "text");
        return Reply::ok();
    }
    if (op == QLatin1String("dialog.message"))
        return dialog(QJsonObject{{QStringLiteral("button"), QStringLiteral("OK")}});
    if (op == QLatin1String("dialog.prompt"))
        return dialog(QJsonObject{{QStringLiteral("text"), field(request, "default")}, {QStringLiteral("cancelled"), false}});
    if (op == QLatin1String("dialog.confirm"))
        return dialog(QJsonObject{{QStringLiteral("yes"), true}});
    if (op == QLatin1String("dialog.file"))
        return dialog(QJsonObject{});
    if (op == QLatin1String("quit")) {
        ++quitRequests;
        return Reply::ok();
    }

    QString id = field(request, "tab");
    if (op == QLatin1String("info") && id == QLatin1String("active"))
        id = activeTab;
    auto found = m_tabs.find(id);
    if (found == m_tabs.end())
        return Reply::error(QStringLiteral("No such tab: ") + id);
    return tabOperation(*found, op, request);
}

std::optional<Reply> SimTerminal::tabOperation(SimTab &tab, const QString &op, const QJsonObject &request)
{
    if (op == QLatin1String("info")) {
        applyDue(tab.infoEvents, [&tab](const SimTab::InfoEvent &event) { return event.afterInfos <= tab.infoRequests; },
                 [&tab](const SimTab::InfoEvent &event) { event.apply(tab); });
        ++tab.infoRequests;
        QJsonObject info{
            {QStringLiteral("id"), tab.id},
            {QStringLiteral("streamEnd"), double(tab.stream.size())},
            {QStringLiteral("active"), tab.active},
            {QStringLiteral("locked"), tab.locked},
            {QStringLiteral("row"), tab.row},
            {QStringLiteral("column"), tab.column},
            {QStringLiteral("rows"), int(tab.rows.size())},
            {QStringLiteral("columns"), tab.columns},
            {QStringLiteral("connected"), tab.connected},
            {QStringLiteral("status"), tab.status},
            {QStringLiteral("logging"), tab.logging},
            {QStringLiteral("caption"), tab.caption},
        };
        if (!tab.profileId.isEmpty())
            info.insert(QStringLiteral("profileId"), tab.profileId);
        return Reply::ok(info);
    }
    if (op == QLatin1String("stream")) {
        applyDue(tab.arrivals, [&tab](const SimTab::Arrival &arrival) { return arrival.afterStreams <= tab.streamRequests; },
                 [&tab](const SimTab::Arrival &arrival) { tab.receive(arrival.text); });
        applyDue(tab.streamEvents, [&tab](const SimTab::StreamEvent &event) { return event.afterStreams <= tab.streamRequests; },
                 [&tab](const SimTab::StreamEvent &event) { event.apply(tab); });
        ++tab.streamRequests;
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
        const int top = qMax(1, number(request, "top", 1));
        const int bottom = qMin(int(tab.rows.size()), number(request, "bottom", 1));
        const int left = qMax(1, number(request, "left", 1));
        const int right = qMin(tab.columns, number(request, "right", tab.columns));
        QStringList lines;
        for (int row = top; row <= bottom; ++row)
            lines.append(tab.rows.at(row - 1).mid(left - 1, qMax(0, right - left + 1)));
        return Reply::ok(QJsonObject{{QStringLiteral("text"), lines.join(QLatin1Char('\n'))}});
    }
    if (op == QLatin1String("selection"))
        return Reply::ok(QJsonObject{{QStringLiteral("text"), QString()}});
    if (op == QLatin1String("action")) {
        tab.actions.append(field(request, "action"));
        return Reply::ok();
    }
    if (op == QLatin1String("config.get"))
        return Reply::ok(QJsonObject{{QStringLiteral("value"), tab.options.value(field(request, "key"))}});
    if (op == QLatin1String("config.set")) {
        tab.options.insert(field(request, "key"), request.value(QStringLiteral("value")));
        return Reply::ok();
    }
    if (op == QLatin1String("caption")) {
        tab.caption = field(request, "value");
        return Reply::ok();
    }
    if (op == QLatin1String("clone") || op == QLatin1String("sftp")) {
        const QString profileId = tab.profileId;
        SimTab &copy = addTab(QStringLiteral("tab-%1").arg(nextTabNumber++));
        copy.profileId = profileId;
        return Reply::ok(QJsonObject{{QStringLiteral("id"), copy.id}});
    }
    if (op == QLatin1String("log.start")) {
        tab.logging = true;
        return Reply::ok(QJsonObject{{QStringLiteral("logging"), true}});
    }
    if (op == QLatin1String("log.stop")) {
        tab.logging = false;
        return Reply::ok();
    }
    if (op == QLatin1String("zmodem.upload")) {
        tab.zmodemActive = true;
        return Reply::ok(QJsonObject{{QStringLiteral("queued"), request.value(QStringLiteral("files")).toArray().size()}});
    }
    if (op == QLatin1String("zmodem.status"))
        return Reply::ok(QJsonObject{{QStringLiteral("active"), tab.zmodemActive}});
    if (op == QLatin1String("zmodem.cancel")) {
        tab.zmodemActive = false;
        return Reply::ok();
    }
    if (op == QLatin1String("disconnect")) {
        tab.active = tab.connected = false;
        return Reply::ok();
    }
    if (op == QLatin1String("activate")) {
        activeTab = tab.id;
        return Reply::ok();
    }
    if (op == QLatin1String("close")) {
        const QString id = tab.id; // the tab goes away with its id
        closeTab(id);
        return Reply::ok();
    }
    if (op == QLatin1String("clear") || op == QLatin1String("profile.save"))
        return Reply::ok();
    return std::nullopt;
}
