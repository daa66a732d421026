// A simulated terminal application behind FakeApp: tabs with a received-text
// stream (positions in UTF-16 units, as the application counts them), screen
// rows, cursor, options and recorded sends, plus the application-wide
// operations (tabs, connect, clipboard, dialogs, ...).
#pragma once

#include "fake_app.h"

#include <QJsonArray>
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
    bool logging = false;
    bool zmodemActive = false;
    QString caption = QStringLiteral("Tab");
    QString status = QStringLiteral("Connected");
    QString profileId;         // empty: the reply has no profileId
    QStringList rows = QStringList(24, QString());
    int columns = 80;
    int row = 1, column = 1;   // cursor, 1-based
    QJsonObject options;       // config.get / config.set
    QList<QByteArray> sent;    // bytes of every send and send.bytes, in order
    QStringList actions;       // `action` names received
    int streamRequests = 0;    // `stream` requests served so far
    int infoRequests = 0;      // `info` requests served so far

    // Text that arrives once `stream` has been asked `afterStreams` times.
    struct Arrival { int afterStreams; QString text; };
    QList<Arrival> arrivals;
    // Changes applied once `info` has been asked `afterInfos` times.
    struct InfoEvent { int afterInfos; std::function<void(SimTab &)> apply; };
    QList<InfoEvent> infoEvents;
    // Changes applied once `stream` has been asked `afterStreams` times.
    struct StreamEvent { int afterStreams; std::function<void(SimTab &)> apply; };
    QList<StreamEvent> streamEvents;

    void receive(const QString &text) { stream += text; }
    void arriveAfter(int afterStreams, const QString &text) { arrivals.append({afterStreams, text}); }
    QString sentText() const;  // all sends joined, as UTF-8 text
};

class SimTerminal {
public:
    // Installs itself as the fallback of `app`; the first tab is "tab-1".
    explicit SimTerminal(FakeApp &app);

    SimTab &tab(const QString &id = QStringLiteral("tab-1"));
    SimTab &addTab(const QString &id);
    void closeTab(const QString &id);
    QStringList tabOrder;                  // ids in tab order
    QString activeTab = QStringLiteral("tab-1");

    QString clipboard;
    QString version = QStringLiteral("Morvane Terminal 1.0");
    QJsonArray sessions;                   // `profiles` reply
    // Queued dialog replies per operation ("dialog.prompt", ...); when a queue
    // is empty the dialog answers with a default result.
    QMap<QString, QList<QJsonObject>> dialogReplies;
    int quitRequests = 0;
    int nextTabNumber = 2;

    // Extra handling for one operation, asked before the built-in one.
    void override(const QString &op, Handler handler) { m_overrides.insert(op, std::move(handler)); }

    // The environment of a run: the app's, plus MORVANE_TAB=tab-1 unless
    // `withTab` is false.
    QProcessEnvironment environment(bool withTab = true) const;

private:
    std::optional<Reply> handle(const QJsonObject &request);
    std::optional<Reply> tabOperation(SimTab &tab, const QString &op, const QJsonObject &request);

    FakeApp &m_app;
    QMap<QString, SimTab> m_tabs;
    QHash<QString, Handler> m_overrides;
};
