// The host's screen on arbitrary bytes: VtermGuard and libvterm, built from
// its Debian source with the same sanitizers, fed the input in pieces. The
// first byte picks the screen size and the length of the pieces, so that
// sequences split across writes are reached too. Checked: no memory error
// or undefined behaviour in either, the cursor stays on the screen, and
// every cell can be read.
#include "../host/vterm_guard.h"

#include <vterm.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct Size {
    int rows;
    int columns;
};
// Sizes the host accepts: 2 to 1000 columns, 1 to 1000 rows.
constexpr Size sizes[] = {{24, 80}, {1, 2}, {2, 9}, {5, 17}, {50, 200}, {3, 300}, {40, 2}, {24, 132}};

volatile std::uint32_t cellSink; // keeps the cell reads

void discardOutput(const char *, size_t, void *) {}

// Reads the title as the host does.
int onTermProp(VTermProp prop, VTermValue *value, void *)
{
    if (prop == VTERM_PROP_TITLE && value->string)
        cellSink = cellSink + std::uint32_t(std::strlen(value->string));
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const Size screenSize = sizes[data[0] % (sizeof sizes / sizeof sizes[0])];
    const std::size_t piece = 1 + (data[0] >> 3) * 7;
    std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

    VTerm *vt = vterm_new(screenSize.rows, screenSize.columns);
    vterm_set_utf8(vt, 1);
    vterm_output_set_callback(vt, discardOutput, nullptr);
    VTermScreen *screen = vterm_obtain_screen(vt);
    VTermScreenCallbacks callbacks{};
    callbacks.settermprop = onTermProp;
    vterm_screen_set_callbacks(screen, &callbacks, nullptr);
    vterm_screen_reset(screen, 1);

    VtermGuard guard;
    while (!input.empty()) {
        const std::string_view part = input.substr(0, piece);
        input.remove_prefix(part.size());
        const std::string guarded = guard.filter(part);
        vterm_input_write(vt, guarded.data(), guarded.size());

        VTermPos cursor;
        vterm_state_get_cursorpos(vterm_obtain_state(vt), &cursor);
        if (cursor.row < 0 || cursor.row >= screenSize.rows || cursor.col < 0 || cursor.col >= screenSize.columns)
            std::abort();
    }
    VTermPos position;
    VTermScreenCell cell;
    for (position.row = 0; position.row < screenSize.rows; ++position.row)
        for (position.col = 0; position.col < screenSize.columns; ++position.col)
            if (vterm_screen_get_cell(screen, position, &cell))
                cellSink = cellSink + cell.chars[0] + std::uint32_t(cell.width);
    vterm_free(vt);
    return 0;
}
