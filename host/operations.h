// The operation table: what each request of the application API does to the
// host's tabs, profiles, clipboard and dialogs, and what it answers.
#pragma once

#include "api_reply.h"
#include "dialogs.h"
#include "tab.h"

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
    qint64 keepBytes = 4 * 1024 * 1024;
    QList<Profile> profiles;
    QHash<QString, QList<QJsonObject>> answers;  // queued dialog replies per operation
};

class Operations : public QObject {
    Q_OBJECT
public:
    // Longest JSON text of a `stream` reply, envelope aside: what the client
    // accepts as one reply line.
    static constexpr qint64 maxReplyText = 16 * 1024 * 1024 - 256;
    // How long a `stream` request with nothing new may be held.
    static constexpr int holdMs = 20;

    explicit Operations(const HostSettings &settings, QObject *parent = nullptr);
    ~Operations() override;

    // Opens the first tab; its id is what the script is started with.
    Tab *openFirstTab(QString *error);
    void handle(const QJsonObject &request, const Responder &respond);
    // Ends every child process; nothing is left running afterwards.
    void shutdown();

Q_SIGNALS:
    void quitRequested();

private:
    using TabOperation = ApiReply (Operations::*)(Tab *, const QJsonObject &);
    using AppOperation = ApiReply (Operations::*)(const QJsonObject &);

    Tab *openTab(const QString &command, const Profile *profile, QString *error);
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
    void releaseHeld(Tab *tab, bool force);
    // Answers the held request at `index` and lets it go.
    void answerHeld(qsizetype index);
    // Tells the tab whether a request is held for its text.
    void noteWaiting(Tab *tab) const;
    ApiReply streamReply(Tab *tab, qint64 position) const;

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
    ApiReply dialog(const QJsonObject &request);
    ApiReply quit(const QJsonObject &request);

    HostSettings m_settings;
    QList<Tab *> m_tabs;           // in tab order
    QString m_activeTab;
    int m_nextTabNumber = 1;
    QString m_clipboard;
    Dialogs m_dialogs;
    QList<HeldStream> m_held;
    QHash<QString, TabOperation> m_tabOperations;
    QHash<QString, AppOperation> m_appOperations;
};
