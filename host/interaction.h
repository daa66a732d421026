// Hands a tab to the person at the host's terminal once the script is done:
// the terminal goes into raw mode, keys go to the tab's program and its
// output to the terminal, and the tab takes the terminal's size, until the
// program exits or the person types Ctrl-]. The terminal's mode is restored
// when the interaction is destroyed, however the host ends.
#pragma once

#include <QObject>
#include <QPointer>

#include <optional>
#include <termios.h>

class QSocketNotifier;
class Tab;

class Interaction : public QObject {
    Q_OBJECT
public:
    explicit Interaction(Tab *tab, QObject *parent = nullptr);
    ~Interaction() override;

    // Puts the terminal in raw mode and connects it to the tab; false with
    // `error` set when that cannot be done.
    bool start(QString *error);
    // The terminal's size changed (SIGWINCH): the tab follows.
    void followSize();
    // Puts the terminal back as it was; done at the latest on destruction.
    void restore();

Q_SIGNALS:
    // The program exited (its status as a shell reports it) or the person
    // left with Ctrl-] (0).
    void finished(int status);

private:
    void readKeys();

    QPointer<Tab> m_tab;
    std::optional<termios> m_saved;
    QSocketNotifier *m_keys = nullptr;
};
