// The screen of a tab: a libvterm emulator fed with what the child sends,
// read back as text and a cursor position. Output is fed in batches (after a
// few milliseconds, or at once when a megabyte is waiting, or when the
// screen is read), so that plain lines that would scroll off the screen
// within one batch can be skipped. The emulator's answers to the child's
// queries go to the `answer` callback; the screen knows nothing of the
// process behind it.
#pragma once

#include "scroll_tracker.h"
#include "vterm_guard.h"

#include <QByteArray>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QTimer>
#include <functional>

struct VTerm;
struct VTermScreen;

class Screen {
public:
    using Answer = std::function<void(const QByteArray &)>;

    Screen(QSize size, Answer answer);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    // Takes received bytes; the emulator sees them with the next update.
    void write(const char *data, qint64 size);
    // Brings the emulator up to date with what was received.
    void update();
    // Cursor position, 1-based: column in x, row in y.
    QPoint cursor();
    QString region(int top, int left, int bottom, int right);
    void clear();
    void reset();
    // A new size; what was on the screen is kept as far as it fits.
    void resize(QSize size);
    // The title the child last set, empty if none.
    QString title() const { return m_title; }

private:
    static void outputCallback(const char *data, size_t size, void *user);
    friend void setScreenTitle(Screen *screen, const char *title);

    QSize m_size;
    Answer m_answer;
    VTerm *m_vterm = nullptr;
    VtermGuard m_guard; // every byte for m_vterm goes through it
    VTermScreen *m_screen = nullptr;
    QString m_title;
    // Received bytes not yet given to the emulator: it is fed in batches, so
    // that plain text that would scroll off the screen at once can be skipped.
    QByteArray m_pending;
    QTimer m_timer;
    ScrollTracker m_scroll;
};
