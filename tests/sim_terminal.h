// A simulated terminal application behind FakeApp, with just what the module
// tests need: one tab with a received-text stream (positions in UTF-16
// units, as the application counts them), screen rows, cursor, options and
// recorded sends, events due after a number of polls, and dialogs. Any other
// request succeeds with an empty result unless the FakeApp has an answer.
#pragma once

#include "fake_app.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

struct SimTab {
    QString stream;            // everything received, as UTF-16
    bool active = true;        // session running
    bool locked = false;
    QStringList rows = QStringList(24, QString());
    int row = 3, column = 7;   // cursor, 1-based, somewhere in the middle
    QJsonObject options;       // config.get
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
    // The session ends at this `info`, and what was still to come arrives with
    // its end: a program's last words.
    void endAfter(int afterInfos)
    {
        infoEvents.append({afterInfos, [](SimTab &tab) {
                               tab.active = false;
                               while (!tab.streamEvents.isEmpty())
                                   tab.streamEvents.takeFirst().apply(tab);
                           }});
    }
};

class SimTerminal {
public:
    // Installs itself as the fallback of `app`. Every tab id, "active"
    // included, names the one tab.
    explicit SimTerminal(FakeApp &app);

    SimTab &tab() { return m_tab; }

    // The environment of a run: the app's, plus MORVANE_TAB=tab-1.
    QProcessEnvironment environment() const;

    // Runs `script` in that environment changed by `changes` (NAME=value
    // sets, NAME unsets).
    RunResult run(const QByteArray &script, const QStringList &changes = {}) const;

private:
    Reply handle(const QJsonObject &request);

    FakeApp &m_app;
    SimTab m_tab;
};
