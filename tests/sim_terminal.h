// A simulated terminal application behind FakeApp, with just what the module
// tests need: tabs with a received-text stream (positions in UTF-16 units, as
// the application counts them), screen rows, cursor, options and recorded
// sends, events due after a number of polls, and queued dialog answers. Any
// other operation succeeds with an empty result; the tests check the request.
#pragma once

#include "fake_app.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

struct SimTab {
    QString id;
    QString stream;            // everything received, as UTF-16
    qint64 held = 0;           // positions below this are no longer held (truncated)
    bool active = true;        // session running
    bool connected = true;
    bool locked = false;
    QString profileId;         // empty: the reply has no profileId
    QStringList rows = QStringList(24, QString());
    int row = 1, column = 1;   // cursor, 1-based
    QJsonObject options;       // config.get / config.set
    QList<QByteArray> sent;    // bytes of every send and send.bytes, in order
    int streamRequests = 0;    // `stream` requests served so far
    int infoRequests = 0;      // `info` requests served so far

    // Changes applied once `stream` (or `info`) has been asked `after` times.
    struct Event { int after; std::function<void(SimTab &)> apply; };
    QList<Event> streamEvents, infoEvents;

    void receive(const QString &text) { stream += text; }
    void arriveAfter(int afterStreams, const QString &text)
    {
        streamEvents.append({afterStreams, [text](SimTab &tab) { tab.receive(text); }});
    }
};

class SimTerminal {
public:
    // Installs itself as the fallback of `app`; the first tab is "tab-1".
    explicit SimTerminal(FakeApp &app);

    SimTab &tab(const QString &id = QStringLiteral("tab-1"));
    SimTab &addTab(const QString &id);
    QString activeTab = QStringLiteral("tab-1");
    // Queued dialog replies per operation ("dialog.prompt", ...); when a queue
    // is empty the dialog answers as a user who accepts the default.
    QMap<QString, QList<QJsonObject>> dialogReplies;

    // Extra handling for one operation, asked before the built-in one.
    void override(const QString &op, Handler handler) { m_overrides.insert(op, std::move(handler)); }

    // The environment of a run: the app's, plus MORVANE_TAB=tab-1 unless
    // `withTab` is false.
    QProcessEnvironment environment(bool withTab = true) const;

private:
    std::optional<Reply> handle(const QJsonObject &request);
    Reply tabOperation(SimTab &tab, const QString &op, const QJsonObject &request);

    FakeApp &m_app;
    QMap<QString, SimTab> m_tabs;
    QStringList m_order;
    int m_nextTab = 2;
    QHash<QString, Handler> m_overrides;
};
