// Code page 437, the character set of DOS-era programs and bulletin boards:
// each byte is one character, 0x00 to 0x7F as in ASCII (controls stay
// controls, as on a terminal set to that character set), 0x80 to 0xFF box
// drawing, accented letters and symbols.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The characters of `bytes` read as code page 437.
QString decodeCp437(QByteArrayView bytes);
// `text` as code page 437 bytes; a character the code page lacks becomes '?'.
QByteArray encodeCp437(const QString &text);
