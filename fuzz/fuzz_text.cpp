// strip and find on arbitrary bytes. strip is checked against a plain
// scanner for the two escape forms it removes; find against a naive search.
#include "natives.h"

#include <lauxlib.h>
#include <lua.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char16_t escape = 0x1b;
constexpr char16_t bell = 0x07;

// The end of a CSI sequence starting at `at` (ESC "["), or -1.
qsizetype csiEnd(const QString &text, qsizetype at)
{
    qsizetype i = at + 2;
    while (i < text.size() && text.at(i).unicode() >= 0x30 && text.at(i).unicode() <= 0x3f)
        ++i;
    while (i < text.size() && text.at(i).unicode() >= 0x20 && text.at(i).unicode() <= 0x2f)
        ++i;
    if (i < text.size() && text.at(i).unicode() >= 0x40 && text.at(i).unicode() <= 0x7e)
        return i + 1;
    return -1;
}

// The end of an OSC sequence starting at `at` (ESC "]"): just past the
// first BEL or ESC "\" after it, or -1 when it never ends.
qsizetype oscEnd(const QString &text, qsizetype at)
{
    for (qsizetype i = at + 2; i < text.size(); ++i) {
        if (text.at(i).unicode() == bell)
            return i + 1;
        if (text.at(i).unicode() == escape && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\\'))
            return i + 2;
    }
    return -1;
}

QString referenceStrip(const QString &text)
{
    QString kept;
    for (qsizetype i = 0; i < text.size();) {
        qsizetype end = -1;
        if (text.at(i).unicode() == escape && i + 1 < text.size()) {
            if (text.at(i + 1) == QLatin1Char('['))
                end = csiEnd(text, i);
            else if (text.at(i + 1) == QLatin1Char(']'))
                end = oscEnd(text, i);
        }
        if (end < 0) {
            kept.append(text.at(i));
            ++i;
        } else {
            i = end;
        }
    }
    return kept;
}

qsizetype naiveIndex(const QString &text, const QString &pattern)
{
    for (qsizetype i = 0; i + pattern.size() <= text.size(); ++i) {
        if (QStringView(text).mid(i, pattern.size()) == pattern)
            return i;
    }
    return -1;
}

QByteArray stringAt(lua_State *L, int index)
{
    size_t length = 0;
    const char *bytes = lua_tolstring(L, index, &length);
    if (!bytes)
        std::abort();
    return QByteArray(bytes, qsizetype(length));
}

void checkStrip(lua_State *L, const QByteArray &input)
{
    lua_settop(L, 0);
    lua_pushlstring(L, input.constData(), size_t(input.size()));
    if (fuzz::call(L, fuzz::strip, 1) != LUA_OK || lua_gettop(L) != 1)
        std::abort();
    const QByteArray expected = referenceStrip(QString::fromUtf8(input)).toUtf8();
    if (stringAt(L, 1) != expected)
        std::abort();
}

void checkFind(lua_State *L, const QByteArray &textBytes, const QByteArray &patternBytes, bool insensitive)
{
    lua_settop(L, 0);
    lua_pushlstring(L, textBytes.constData(), size_t(textBytes.size()));
    lua_pushlstring(L, patternBytes.constData(), size_t(patternBytes.size()));
    lua_pushboolean(L, insensitive);
    if (fuzz::call(L, fuzz::find, 3) != LUA_OK || lua_gettop(L) != 3)
        std::abort();
    const QString text = QString::fromUtf8(textBytes);
    const QString pattern = QString::fromUtf8(patternBytes);
    const lua_Integer position = lua_tointeger(L, 1);
    const lua_Integer end = lua_tointeger(L, 2);
    const QByteArray before = stringAt(L, 3);
    if (position < 0) {
        if (position != -1 || end != -1 || !before.isEmpty())
            std::abort();
        if (!insensitive && naiveIndex(text, pattern) != -1)
            std::abort();
        return;
    }
    if (position + pattern.size() > text.size() || end != position + pattern.size())
        std::abort();
    if (before != QStringView(text).left(position).toUtf8())
        std::abort();
    const QStringView found = QStringView(text).mid(position, pattern.size());
    if (insensitive ? found.compare(pattern, Qt::CaseInsensitive) != 0 : naiveIndex(text, pattern) != position)
        std::abort();
}

} // namespace

// Input: one flag byte (bit 0: case-insensitive), one pattern length byte,
// the pattern, then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool insensitive = data[0] & 1;
    const size_t patternLength = qMin<size_t>(data[1] % 48, size - 2);
    const QByteArray pattern(reinterpret_cast<const char *>(data + 2), qsizetype(patternLength));
    const QByteArray text(reinterpret_cast<const char *>(data + 2 + patternLength), qsizetype(size - 2 - patternLength));
    lua_State *L = fuzz::newState();
    checkStrip(L, text);
    checkFind(L, text, pattern, insensitive);
    lua_close(L);
    return 0;
}
