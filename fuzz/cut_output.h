// The input of the targets that feed terminal output in pieces: a count of
// cuts (low three bits of the first byte), that many cut bytes (each taken
// modulo the output's length), then the output itself.
#pragma once

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

struct CutOutput {
    QByteArray output;
    QList<qsizetype> cuts;  // in order; each piece ends at a cut
};

// Nothing when the input is too short to hold its cuts.
inline std::optional<CutOutput> cutOutput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return std::nullopt;
    const int cutCount = data[0] & 7;
    if (size < 1 + static_cast<std::size_t>(cutCount))
        return std::nullopt;
    CutOutput input;
    input.output = QByteArray(reinterpret_cast<const char *>(data + 1 + cutCount),
                              static_cast<qsizetype>(size - 1 - cutCount));
    for (int i = 0; i < cutCount; ++i)
        input.cuts.append(data[1 + i] % (input.output.size() + 1));
    std::sort(input.cuts.begin(), input.cuts.end());
    return input;
}
