// Echo tracking keeps at most 64 KiB of expected echo; a longer send is not
// tracked at all, so that a reader never waits on an echo it cannot match.
#include "echo_tracker.h"

#include <algorithm>

namespace {

constexpr qsizetype echoLimit = 64 * 1024;

} // namespace

void EchoTracker::sent(const QByteArray &bytes)
{
    QByteArray echo = bytes;
    echo.replace("\r", "\r\n");
    if (onlyEcho() && m_expectedEcho.size() + echo.size() <= echoLimit) {
        m_expectedEcho.append(echo);
    } else {
        m_expectedEcho = echo.size() <= echoLimit ? echo : QByteArray();
        m_sinceSend.clear();
    }
}

void EchoTracker::received(const char *data, qint64 size)
{
    if (m_sinceSend.size() <= m_expectedEcho.size())
        m_sinceSend.append(data, std::min<qint64>(size, m_expectedEcho.size() + 1 - m_sinceSend.size()));
}

bool EchoTracker::onlyEcho() const
{
    return !m_expectedEcho.isEmpty() && m_sinceSend.size() <= m_expectedEcho.size()
        && m_expectedEcho.startsWith(m_sinceSend);
}
