// Echo tracking: what the terminal should echo of what was sent (CR becomes
// CR LF) and the start of what has been received since, so that a reader can
// tell the terminal's echo from the answer that is still to come.
#pragma once

#include <QByteArray>

class EchoTracker {
public:
    // Notes a send; sends that follow nothing but their echo add up.
    void sent(const QByteArray &bytes);
    // Notes received bytes (only as many as can still match the echo are kept).
    void received(const char *data, qint64 size);
    // True while everything received since the last send is (the start of)
    // the terminal's echo of what was sent.
    bool onlyEcho() const;

private:
    QByteArray m_expectedEcho;
    QByteArray m_sinceSend;
};
