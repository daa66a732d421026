// The operation table: what each request of the application API does to the
// host's tabs, profiles, clipboard and dialogs, and what it answers.
#pragma once

#include "api_reply.h"
#include "dialogs.h"
#include "tab.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

class QTimer;

struct Profile {
    QString id;
    QString command;
    QJsonObject options;  // saved with profile.save
};

struct HostSettings {
    QString firstCommand;          // empty: the user's shell
    QSize size{80, 24};
    // As much as one stream reply can carry: a prompt wait reads from where
    // it started, so a long output before its prompt must still be held.
    qint64 keepBytes = 16 * 1024 * 1024;
    QList<Profile> profiles;
    QHash<QString, QList<QJsonObject>> answers;  // queued dialog replies per operation
    Tape firstTabTape;             // the script's tab records or replays
};

class Operations : public QObject {
    Q_OBJECT
public:
    // Longest JSON text of a `stream` reply, envelope aside: what the client
    // accepts as one reply line.
    static constexpr qint64 maxReplyText = 16 * 1024 * 1024 - 256;
    // How long a `stream` request with nothing new may be held.
    static constexpr int holdMs = 20;
    // A script waiting for text pauses between its requests (25 ms in the
    // object model, 30 ms in the compatibility globals); one that comes back
    // sooner is not waiting but checking for more before it uses text it
    // already holds.
    static constexpr int clientPauseMs = 20;

    explicit Operations(const HostSettings &settings, QObject *parent = nullptr);
    ~Operations() override;

    // Opens the first tab; its id is what the script is started with.
    Tab *openFirstTab();
    void handle(const QJsonObject &request, const Responder &respond);
    // Ends every child process; nothing is left running afterwards.
    void shutdown();

Q_SIGNALS:
    void quitRequested();
    // A tab's program has ended; `status` says how.
    void tabEnded(const QString &id, const QString &status);

private:
    using TabOperation = ApiReply (Operations::*)(Tab *, const QJsonObject &);
    using AppOperation = ApiReply (Operations::*)(const QJsonObject &);

    // A new tab; its program starts when a request first addresses it.
    Tab *openTab(const QString &command, const Profile *profile);
    Tab *findTab(const QString &id) const;
    const Profile *findProfile(const QString &id) const;
    QJsonObject defaultOptions(const Profile *profile) const;

    // `stream`: answered at once when there is something new, else held.
    void stream(Tab *tab, const QJsonObject &request, const Responder &respond);
    struct HeldStream {
        QPointer<Tab> tab;
        qint64 position;
        Responder respond;
        QTimer *timer;
    };
    static bool worthAnswering(Tab *tab, qint64 position);
    // Whether a request with nothing new waits for text (see stream()).
    bool worthHolding(Tab *tab, qint64 position) const;
    // Answers at once, noting the reply for worthHolding.
    void answerStream(Tab *tab, qint64 position, const Responder &respond);
    struct LastStream {
        qint64 position = -1;     // what the last reply answered
        bool empty = false;       // it brought nothing worth answering
        qint64 answeredMs = 0;    // when, on m_clock
        bool sentSince = false;   // the script has sent to the tab since
    };
    void releaseHeld(Tab *tab, bool force);
    // Answers the held request at `index` and lets it go.
    void answerHeld(qsizetype index);
    // Tells the tab whether a request is held for its text.
    void noteWaiting(Tab *tab) const;
    ApiReply streamReply(Tab *tab, qint64 position) const;

    ApiReply sendTo(Tab *tab, const QByteArray &bytes);
    ApiReply info(Tab *tab, const QJsonObject &request);
    ApiReply send(Tab *tab, const QJsonObject &request);
    ApiReply sendBytes(Tab *tab, const QJsonObject &request);
    ApiReply screenRegion(Tab *tab, const QJsonObject &request);
    ApiReply selection(Tab *tab, const QJsonObject &request);
    ApiReply action(Tab *tab, const QJsonObject &request);
    ApiReply configGet(Tab *tab, const QJsonObject &request);
    ApiReply configSet(Tab *tab, const QJsonObject &request);
    ApiReply caption(Tab *tab, const QJsonObject &request);
    ApiReply clone(Tab *tab, const QJsonObject &request);
    ApiReply sftp(Tab *tab, const QJsonObject &request);
    ApiReply logStart(Tab *tab, const QJsonObject &request);
    ApiReply logStop(Tab *tab, const QJsonObject &request);
    ApiReply zmodemUpload(Tab *tab, const QJsonObject &request);
    ApiReply zmodemStatus(Tab *tab, const QJsonObject &request);
    ApiReply zmodemCancel(Tab *tab, const QJsonObject &request);
    ApiReply clear(Tab *tab, const QJsonObject &request);
    ApiReply profileSave(Tab *tab, const QJsonObject &request);
    ApiReply disconnectTab(Tab *tab, const QJsonObject &request);
    ApiReply activate(Tab *tab, const QJsonObject &request);
    ApiReply close(Tab *tab, const QJsonObject &request);

    ApiReply connectProfile(const QJsonObject &request);
    ApiReply tabs(const QJsonObject &request);
    ApiReply profiles(const QJsonObject &request);
    ApiReply version(const QJsonObject &request);
    ApiReply clipboardGet(const QJsonObject &request);
    ApiReply clipboardSet(const QJsonObject &request);
    ApiReply quit(const QJsonObject &request);

    HostSettings m_settings;
    QList<Tab *> m_tabs;           // in tab order
    QString m_activeTab;
    int m_nextTabNumber = 1;
    QString m_clipboard;
    Dialogs m_dialogs;
    QList<HeldStream> m_held;
    QHash<QString, LastStream> m_lastStream;  // by tab id
    QElapsedTimer m_clock;
    QHash<QString, TabOperation> m_tabOperations;
    QHash<QString, AppOperation> m_appOperations;
};
