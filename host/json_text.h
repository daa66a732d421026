// Text inside JSON strings: how a byte of UTF-8 text is escaped, and how many
// bytes that takes. The two are kept side by side because the stream caps a
// reply by the cost before the socket server writes it with the escaping.
#pragma once

#include <QByteArray>

// Bytes that a byte of UTF-8 text takes inside a JSON string.
int jsonCost(unsigned char c);

// Appends `size` bytes of UTF-8 text to `out`, escaped for a JSON string.
void appendEscaped(QByteArray &out, const char *data, qsizetype size);
