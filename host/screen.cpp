// The screen over libvterm: the emulator runs in UTF-8 with its screen layer
// and its alternate screen (modes 1047 and 1049, the last with the cursor
// saved and restored; mode 47, which the emulator lacks, is switched as 1047
// where the scroll tracker finds it), so that a full-screen program's screen is read while
// it runs and the main screen comes back as it was when it exits; the only
// screen callback taken is the title. A batch is given to the
// emulator in at most two writes: everything up to where the tail of plain
// text begins, then that tail from the last screenful of lines on.
#include "screen.h"

#include <vterm.h>

#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

constexpr qsizetype screenBatchBytes = 1024 * 1024;
constexpr int screenDelayMs = 5;

// The last character in `text` that prints: an ASCII character from the
// space on, or a whole UTF-8 sequence; empty when there is none.
QByteArrayView lastPrinted(QByteArrayView text)
{
    qsizetype end = text.size();
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const auto c = static_cast<unsigned char>(text.at(i));
        if (c >= 0x80 && c < 0xC0)
            continue;  // inside a sequence: its start comes first
        if (c >= 0x20 && c != 0x7F)
            return text.sliced(i, end - i);
        end = i;
    }
    return {};
}

} // namespace

void setScreenTitle(Screen *screen, const char *title)
{
    screen->m_title = QString::fromUtf8(title);
}

namespace {

int onTermProp(VTermProp prop, VTermValue *value, void *user)
{
    if (prop == VTERM_PROP_TITLE && value->string)
        setScreenTitle(static_cast<Screen *>(user), value->string);
    return 1;
}

VTermScreenCallbacks makeScreenCallbacks()
{
    VTermScreenCallbacks callbacks{};
    callbacks.settermprop = onTermProp;
    return callbacks;
}

const VTermScreenCallbacks screenCallbacks = makeScreenCallbacks();

} // namespace

Screen::Screen(QSize size, Answer answer)
    : m_size(size), m_answer(std::move(answer)), m_scroll(size.height())
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(screenDelayMs);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { update(); });
    m_vterm = vterm_new(size.height(), size.width());
    vterm_set_utf8(m_vterm, 1);
    vterm_output_set_callback(m_vterm, &Screen::outputCallback, this);
    m_screen = vterm_obtain_screen(m_vterm);
    vterm_screen_set_callbacks(m_screen, &screenCallbacks, this);
    vterm_screen_enable_altscreen(m_screen, 1);
    vterm_screen_reset(m_screen, 1);
}

Screen::~Screen()
{
    vterm_free(m_vterm);
}

void Screen::write(const char *data, qint64 size)
{
    m_pending.append(data, size);
    if (m_pending.size() >= screenBatchBytes)
        update();
    else if (!m_timer.isActive())
        m_timer.start();
}

void Screen::update()
{
    m_timer.stop();
    if (m_pending.isEmpty())
        return;
    const QByteArray received = std::exchange(m_pending, QByteArray());
    const std::string guarded = m_guard.filter(std::string_view(received.constData(), size_t(received.size())));
    const QByteArray pending = QByteArray::fromRawData(guarded.data(), qsizetype(guarded.size()));
    const bool wholeScreenBefore = m_scroll.wholeScreen();
    // The scroll tracker's idea of plain text need not be libvterm's (an
    // escape that libvterm leaves open across a byte it ignores, say); the
    // guard follows libvterm's parser, so the tail is the shorter of the two.
    const qsizetype plainFrom = std::max(m_scroll.scan(pending), qsizetype(m_guard.plainTailStart()));
    // Plain lines followed by a screenful more of plain lines scroll off
    // without leaving a trace: the screen and the cursor end the same
    // whether the emulator sees them or not, and skipping them saves a
    // scroll of the whole screen per line. Only the text after the last
    // escape sequence is looked at, so the margins are known for it.
    qsizetype skipTo = plainFrom;
    if (m_scroll.wholeScreen() && (plainFrom > 0 || wholeScreenBefore)) {
        int lines = 0;
        for (qsizetype i = pending.size() - 1; i > plainFrom; --i) {
            if (pending.at(i) == '\n' && pending.at(i - 1) == '\r' && ++lines > m_size.height()) {
                skipTo = i - 1;  // the cut keeps this CR LF
                break;
            }
        }
    }
    // Mode 47 is switched here, in its place among what the emulator sees
    // (all such sequences lie before the tail of plain text).
    qsizetype written = 0;
    for (const ScrollTracker::AlternateSwitch &alternate : m_scroll.alternateSwitches()) {
        vterm_input_write(m_vterm, pending.constData() + written, static_cast<size_t>(alternate.end - written));
        written = alternate.end;
        VTermValue on;
        on.boolean = alternate.on;
        vterm_state_set_termprop(vterm_obtain_state(m_vterm), VTERM_PROP_ALTSCREEN, &on);
    }
    vterm_input_write(m_vterm, pending.constData() + written, static_cast<size_t>(plainFrom - written));
    // The emulator repeats (CSI b) the last character it printed, and the
    // guard lets a repeat through only after a plain character it has seen:
    // the last character of skipped text is written too, on a line that
    // scrolls off, so that both agree on what a repeat repeats.
    const QByteArrayView lastSkipped = lastPrinted(QByteArrayView(pending).sliced(plainFrom, skipTo - plainFrom));
    vterm_input_write(m_vterm, lastSkipped.data(), static_cast<size_t>(lastSkipped.size()));
    vterm_input_write(m_vterm, pending.constData() + skipTo, static_cast<size_t>(pending.size() - skipTo));
}

QPoint Screen::cursor()
{
    update();
    VTermPos position;
    vterm_state_get_cursorpos(vterm_obtain_state(m_vterm), &position);
    return QPoint(position.col + 1, position.row + 1);
}

void Screen::outputCallback(const char *data, size_t size, void *user)
{
    // The emulator's answers to the child's queries (cursor reports and the like).
    static_cast<Screen *>(user)->m_answer(QByteArray(data, static_cast<qsizetype>(size)));
}

QString Screen::region(int top, int left, int bottom, int right)
{
    update();
    top = std::max(top, 1);
    left = std::max(left, 1);
    bottom = std::min(bottom, m_size.height());
    right = std::min(right, m_size.width());
    if (top > bottom || left > right)
        return QString();
    QStringList rows;
    for (int row = top; row <= bottom; ++row) {
        QString line;
        for (int column = left; column <= right; ++column) {
            VTermScreenCell cell;
            VTermPos position{row - 1, column - 1};
            if (!vterm_screen_get_cell(m_screen, position, &cell))
                continue;
            if (cell.chars[0] == static_cast<uint32_t>(-1))
                continue;  // the right half of a wide character
            if (cell.chars[0] == 0) {
                line.append(QLatin1Char(' '));
                continue;
            }
            for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i]; ++i) {
                const char32_t ch = cell.chars[i];
                line.append(QString::fromUcs4(&ch, 1));
            }
            if (cell.width > 1)
                column += cell.width - 1;
        }
        rows.append(line);
    }
    return rows.join(QLatin1Char('\n'));
}

void Screen::clear()
{
    update();
    // Through the guard too, which must see every byte libvterm parses.
    const std::string clear = m_guard.filter("\x1b[H\x1b[2J");
    vterm_input_write(m_vterm, clear.data(), clear.size());
}

void Screen::reset()
{
    update();
    vterm_screen_reset(m_screen, 1);
    m_scroll.reset();
}

void Screen::resize(QSize size)
{
    update();
    m_size = size;
    vterm_set_size(m_vterm, size.height(), size.width());
    m_scroll = ScrollTracker(size.height());
}
