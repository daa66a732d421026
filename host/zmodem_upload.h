// A ZMODEM upload through `sz` (lrzsz): while it runs, what the child sends
// goes to the sender's standard input instead of the screen and the stream,
// and what the sender writes goes to the child through `toChild`.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QProcess;

class ZmodemUpload : public QObject {
public:
    using ToChild = std::function<void(const QByteArray &)>;

    explicit ZmodemUpload(ToChild toChild, QObject *parent = nullptr);
    // Kills a sender that still runs.
    ~ZmodemUpload() override;

    // Checks that `files` can be uploaded now; keeps the sender found for start.
    bool prepare(const QStringList &files, bool childRunning, QString *error);
    void start(const QStringList &files);
    bool active() const { return m_transfer != nullptr; }
    // Hands what the child sent to the sender.
    void fromChild(const char *data, qint64 size);
    // Stops the sender and tells the receiver to abort.
    void cancel();

private:
    void finish();

    ToChild m_toChild;
    QString m_sender;
    QProcess *m_transfer = nullptr;
};
