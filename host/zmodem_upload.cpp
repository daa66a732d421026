// The upload's sender runs as a QProcess; its standard error is dropped, its
// output is copied to the child as it comes. When it ends, whatever output is
// left goes to the child too, and the tab's output returns to the screen.
#include "zmodem_upload.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

ZmodemUpload::ZmodemUpload(ToChild toChild, QObject *parent)
    : QObject(parent), m_toChild(std::move(toChild))
{
}

ZmodemUpload::~ZmodemUpload()
{
    if (m_transfer) {
        m_transfer->disconnect(this);
        m_transfer->kill();
        m_transfer->waitForFinished(1000);
    }
}

bool ZmodemUpload::prepare(const QStringList &files, bool childRunning, QString *error)
{
    if (m_transfer) {
        *error = QStringLiteral("A ZMODEM transfer is already running in this tab.");
        return false;
    }
    if (!childRunning) {
        *error = QStringLiteral("Session is not connected.");
        return false;
    }
    QString sz = QStandardPaths::findExecutable(QStringLiteral("sz"));
    if (sz.isEmpty())
        sz = QStandardPaths::findExecutable(QStringLiteral("lsz"));
    if (sz.isEmpty()) {
        *error = QStringLiteral("ZMODEM upload needs the program sz (package lrzsz), which was not found.");
        return false;
    }
    if (files.isEmpty()) {
        *error = QStringLiteral("Give one or more files to upload.");
        return false;
    }
    for (const QString &file : files) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            *error = QStringLiteral("Cannot read the file to upload: %1").arg(file);
            return false;
        }
    }
    m_sender = sz;
    return true;
}

void ZmodemUpload::start(const QStringList &files)
{
    m_transfer = new QProcess(this);
    m_transfer->setProgram(m_sender);
    m_transfer->setArguments(QStringList{QStringLiteral("--")} + files);
    m_transfer->setStandardErrorFile(QProcess::nullDevice());
    connect(m_transfer, &QProcess::readyReadStandardOutput, this, [this] {
        m_toChild(m_transfer->readAllStandardOutput());
    });
    connect(m_transfer, &QProcess::finished, this, &ZmodemUpload::finish);
    connect(m_transfer, &QProcess::errorOccurred, this, [this](QProcess::ProcessError failure) {
        if (failure == QProcess::FailedToStart)
            finish();
    });
    m_transfer->start();
}

void ZmodemUpload::fromChild(const char *data, qint64 size)
{
    m_transfer->write(data, size);
}

void ZmodemUpload::cancel()
{
    if (!m_transfer)
        return;
    m_transfer->disconnect(this);
    m_transfer->kill();
    m_transfer->waitForFinished(1000);
    // Eight cancels then backspaces: the receiver's abort sequence.
    m_toChild(QByteArray(8, '\x18') + QByteArray(8, '\b'));
    finish();
}

void ZmodemUpload::finish()
{
    if (!m_transfer)
        return;
    QProcess *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->disconnect(this);
    if (transfer->state() == QProcess::NotRunning)
        m_toChild(transfer->readAllStandardOutput());
    transfer->deleteLater();
}
