// The host's screen on arbitrary bytes: the real Screen (its batching, the
// scroll tracker that lets plain lines scroll off unseen, VtermGuard) over
// libvterm built from its Debian source with the same sanitizers. The first
// byte picks the screen size, the length of the pieces written and how many
// pieces make a batch, so that sequences split across writes and batches
// long enough to skip lines are both reached. Checked: no memory error,
// undefined behaviour or hang in either, the cursor stays on the screen, and
// every cell can be read.
#include "../host/screen.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// Sizes the host accepts: 2 to 1000 columns, 1 to 1000 rows.
constexpr QSize sizes[] = {{80, 24}, {2, 1}, {9, 2}, {17, 5}, {200, 50}, {300, 3}, {2, 40}, {132, 24}};

volatile qsizetype cellSink; // keeps the cell reads

void checkCursor(Screen &screen, QSize size)
{
    const QPoint cursor = screen.cursor();
    if (cursor.x() < 1 || cursor.x() > size.width() || cursor.y() < 1 || cursor.y() > size.height())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The screen's batch timer needs an application object; its event loop never runs.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QSize screenSize = sizes[data[0] % (sizeof sizes / sizeof sizes[0])];
    const std::size_t piece = 1 + ((data[0] >> 3) & 3) * 40;
    const int piecesPerBatch = 1 + (data[0] >> 5) * 2;
    std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

    Screen screen(screenSize, [](const QByteArray &) {});
    for (int written = 1; !input.empty(); ++written) {
        const std::string_view part = input.substr(0, piece);
        input.remove_prefix(part.size());
        screen.write(part.data(), qint64(part.size()));
        if (written % piecesPerBatch == 0)
            checkCursor(screen, screenSize);
    }
    checkCursor(screen, screenSize);
    cellSink = cellSink + screen.region(1, 1, screenSize.height(), screenSize.width()).size() + screen.title().size();
    return 0;
}
