// Fetching as the compatibility globals do it: hold-back of escape sequences
// cut off at the end of a fetch, stripping, raw mode, CP437 and the pending
// cap, checked against the simulated terminal and against the real captures
// in tests/data split at every offset.
#include "sim_terminal.h"

#include <QtTest>

namespace {

// Standard output of `script` run against a simulated tab set up by `setUp`.
QByteArray output(const QByteArray &script, const std::function<void(SimTab &)> &setUp)
{
    FakeApp app;
    SimTerminal sim(app);
    setUp(sim.tab());
    RunOptions options;
    options.environment = sim.environment();
    const RunResult result = runScript(&app, withShow(script), options);
    if (result.exitCode != 0)
        qWarning("script failed (%d): %s", result.exitCode, result.err.constData());
    return result.out;
}

// Splits a real capture at every character boundary into two fetches and
// compares the pending text with that of one fetch; prints the first offsets
// where they differ. The `stream` request is answered inside the script, so
// one run covers every split: each split reloads the module for a fresh state.
const char splitScript[] = R"lua(
local native = __morvane_native
local capture = assert(native.read_file(arg[1]))
local encoding = arg[2]
local byte_at, units = {}, 0   -- byte offset of each stream position
for at, code in utf8.codes(capture) do
  byte_at[units] = at
  units = units + (code >= 0x10000 and 2 or 1)
end
byte_at[units] = #capture + 1
local delivered
native.rpc = function(request)
  if request.op == 'info' then return {id = 'sim', streamEnd = 0, active = true} end
  if request.op == 'config.get' then return {value = request.key == 'encoding' and encoding or nil} end
  if request.op == 'stream' then
    local from = assert(byte_at[request.position], 'position inside a character')
    return {text = capture:sub(from, byte_at[delivered] - 1), start = request.position, ['end'] = delivered}
  end
  error('unexpected request ' .. tostring(request.op))
end
local function pending_after(splits)
  package.loaded.vantorix = nil
  require('vantorix')
  local pending
  for _, at in ipairs(splits) do
    delivered = at
    pending = buffer()
  end
  return pending
end
local whole = pending_after({units})
assert(units > 100 and #whole > 0, 'too short a capture')
assert(not whole:find('[\0-\7\11\12\14-\31]'), 'control characters left')
local differ = {}
for at = 1, units - 1 do
  if byte_at[at] and pending_after({at, units}) ~= whole then
    differ[#differ + 1] = at
  end
end
io.write(table.concat(differ, ',', 1, math.min(#differ, 10)))
)lua";

} // namespace

class VantorixFetch : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The captures split anywhere cover sequences cut in their middle; these
    // rows hold the limits, the stripping and what the captures lack. clear()
    // does not fetch: what was held back comes with the second fetch.
    void twoFetches_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<QByteArray>("mode");       // "raw", or the tab's encoding
        QTest::addColumn<QByteArray>("expected");   // pending after each fetch, joined by "|"; cleared between
        const auto row = [](const char *name, const QByteArray &first, const QByteArray &second, const char *mode,
                            const QByteArray &expected) {
            QTest::newRow(name) << first << second << QByteArray(mode) << expected;
        };
        const QByteArray ones = QByteArray(61, '1');   // ESC [ and these: 63 bytes

        row("63-byte CSI tail held back", "a\033[" + ones, "mb", "", "a|b");
        row("64-byte CSI tail passed on", "a\033[1" + ones, "mb", "", "a[1" + ones + "|mb");
        // Regression: only the final ESC used to be held, and "]0;title" leaked.
        row("OSC split between ESC and backslash", "a\033]0;title\033", "\\b", "", "a|b");
        row("OSC with another escape inside", "a\033]0;t\033[1m", "x\007b", "", "a|b");
        row("ended OSC is not held", "a\033]0;t\007b\033", "[1mc", "", "ab|c");
        // The held tail is measured in UTF-16 units: an accented letter counts
        // one, an emoji two. A wrong count would fetch "a" again or lose "b".
        row("OSC title with non-ASCII text", "a\033]0;h\303\251llo \360\237\230\200", "\007b", "", "a|b");
        row("controls and short escapes removed, BS TAB LF CR DEL kept",
            QByteArray("a\0\001\007\010\011\012\013\014\015\016\037\177z\0337\033(B\033)0\033=\033>\033<\033Mb", 31), "", "",
            "a\010\011\012\015\177zb|");
        row("raw mode keeps everything", "a\033[1", "mb\007", "raw", "a\033[1|mb\007");
        row("CP437 letters and box drawing", "\342\224\214\342\224\200 \303\251\303\237\342\226\221\302\240", "", "CP437",
            "\332\304 \202\341\260\377|");
        row("outside code page 437", "\342\202\254\360\237\230\200x\303\200", "", "CP437", "??x?|");
    }

    void twoFetches()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, expected);
        const QByteArray script = (mode == "raw" ? "raw(1) " : "") + QByteArray("io.write(buffer(), '|') clear() io.write(buffer())");
        QCOMPARE(output(script, [&](SimTab &tab) {
                     tab.options.insert(QStringLiteral("encoding"), QString::fromLatin1(mode));
                     tab.arriveAfter(0, QString::fromUtf8(first));
                     tab.arriveAfter(1, QString::fromUtf8(second));
                 }),
                 expected);
    }

    void pendingCap_data()
    {
        QTest::addColumn<int>("firstSize");
        QTest::addColumn<QByteArray>("use");
        QTest::addColumn<int>("secondSize");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("at the cap kept whole") << 1000000 << QByteArray() << 0 << QByteArray("1000000, true");
        QTest::newRow("over the cap in two fetches") << 600000 << QByteArray() << 400001 << QByteArray("500000, true");
        // Text that expect used up no longer counts towards the cap.
        QTest::newRow("used text does not count") << 600000 << QByteArray("expect('|')") << 500000 << QByteArray("799999, true");
    }

    void pendingCap()
    {
        QFETCH(int, firstSize);
        QFETCH(QByteArray, use);
        QFETCH(int, secondSize);
        QFETCH(QByteArray, expected);
        // Each block ends in "$", so the kept part shows that the end survived;
        // the second block arrives at the third fetch, after `use`.
        const auto block = [](int size, char fill) {
            QString made(size, QLatin1Char(fill));
            made[size / 2] = QLatin1Char('|');
            made[size - 1] = QLatin1Char('$');
            return made;
        };
        QCOMPARE(output("buffer() " + use + " buffer() local b = buffer() show(#b, b:sub(-1) == '$')",
                        [&](SimTab &tab) {
                            tab.arriveAfter(0, block(firstSize, 'a'));
                            tab.arriveAfter(2, secondSize > 0 ? block(secondSize, 'b') : QString());
                        }),
                 expected + '\n');
    }

    void capturesSplitAnywhere_data()
    {
        QTest::addColumn<QString>("capture");
        QTest::addColumn<QString>("encoding");
        for (const char *name : {"bash-prompt-title", "less-page-quit", "ls-color", "top-two-frames", "vim-start-quit"})
            QTest::newRow(name) << QString::fromLatin1(name) << QStringLiteral("UTF-8");
        QTest::newRow("less-page-quit in CP437") << QStringLiteral("less-page-quit") << QStringLiteral("CP437");
    }

    void capturesSplitAnywhere()
    {
        QFETCH(QString, capture);
        QFETCH(QString, encoding);
        // The captures are valid UTF-8, so the text the application hands over
        // is the file as it is.
        RunOptions options;
        options.arguments = QStringList{QStringLiteral(MORVANE_SOURCE_DIR "/tests/data/") + capture + QStringLiteral(".raw"), encoding};
        const RunResult result = runScript(nullptr, splitScript, options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QVERIFY2(result.out.isEmpty(), ("splits that changed the pending text at offsets " + result.out).constData());
    }
};

QTEST_GUILESS_MAIN(VantorixFetch)
#include "tst_vantorix_fetch.moc"
