// Fetching as the compatibility globals do it: hold-back of escape sequences
// cut off at the end of a fetch, stripping, raw mode, CP437 and the pending
// cap, checked against the simulated terminal and against the real captures
// in tests/data split at every offset.
#include "sim_terminal.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString text(const char *utf8) { return QString::fromUtf8(utf8); }

// Runs `script` against a simulated tab with `first` received at the start
// and `second` arriving at the second fetch.
struct Rig {
    FakeApp app;
    SimTerminal sim{app};

    QByteArray output(const QByteArray &script)
    {
        RunOptions options;
        options.environment = sim.environment();
        options.environment.remove(QStringLiteral("MORVANE_STREAM_START"));
        const RunResult result = runScript(&app, withShow(script), options);
        if (result.exitCode != 0)
            qWarning("script failed (%d): %s", result.exitCode, result.err.constData());
        return result.out;
    }
};

// Splits a real capture at every character boundary into two fetches and
// compares the pending text with that of one fetch. The `stream` request is
// answered inside the script, so one run covers every split: each split
// reloads the module for a fresh state.
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
local differ, splits = {}, 0
for at = 1, units - 1 do
  if byte_at[at] then
    splits = splits + 1
    if pending_after({at, units}) ~= whole then
      differ[#differ + 1] = at
    end
  end
end
io.write(splits, ' ', #whole, ' ', tostring(whole:find('[\0-\7\11\12\14-\31]') ~= nil), ' ',
         #differ, ' ', table.concat(differ, ',', 1, math.min(#differ, 10)), '\n')
)lua";

} // namespace

class VantorixFetch : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoFetches_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("raw");
        QTest::addColumn<QByteArray>("expected"); // pending after each fetch

        const QString ones63 = QString(61, QLatin1Char('1'));  // ESC [ and 61 bytes: 63
        const QString ones64 = QString(62, QLatin1Char('1'));
        const QString title64 = QString(60, QLatin1Char('t')); // ESC ] 0 ; and 60 bytes: 64

        QTest::newRow("CSI split in its parameters")
            << text("abc\033[1;3") << text("2mdef") << false << QByteArray("\"abc\"\n\"abcdef\"");
        QTest::newRow("CSI split after an intermediate byte")
            << text("a\033[ ") << text("qb") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("63-byte CSI tail held back")
            << (text("a\033[") + ones63) << text("mb") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("64-byte CSI tail passed on")
            << (text("a\033[") + ones64) << text("mb") << false
            << ("\"a[" + ones64.toLatin1() + "\"\n\"a[" + ones64.toLatin1() + "mb\"");
        QTest::newRow("lone ESC")
            << text("a\033") << text("7b") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("character-set designation")
            << text("a\033(") << text("Bb") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("OSC until its BEL")
            << text("a\033]0;ti") << text("tle\007b") << false << QByteArray("\"a\"\n\"ab\"");
        // Regression: only the final ESC used to be held, and "]0;title" leaked.
        QTest::newRow("OSC split between ESC and backslash")
            << text("a\033]0;title\033") << text("\\b") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("OSC with another escape inside")
            << text("a\033]0;t\033[1m") << text("x\007b") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("ended OSC is not held")
            << text("a\033]0;t\007b\033") << text("[1mc") << false << QByteArray("\"ab\"\n\"abc\"");
        // The held tail is measured in UTF-16 units: an accented letter counts one,
        // an emoji two. A wrong count would fetch "a" again or lose "b".
        QTest::newRow("OSC title with non-ASCII text")
            << text("a\033]0;h\303\251llo \360\237\230\200") << text("\007b") << false << QByteArray("\"a\"\n\"ab\"");
        QTest::newRow("64-byte OSC tail passed on")
            << (text("a\033]0;") + title64) << text("\007b") << false
            << ("\"a]0;" + title64.toLatin1() + "\"\n\"a]0;" + title64.toLatin1() + "b\"");
        QTest::newRow("controls removed, BS TAB LF CR DEL kept")
            << (text("a") + QChar(0) + text("\001\007\010\011\012\013\014\015\016\037\177z")) << QString() << false
            << QByteArray("\"a\\8\\9\\10\\13\\127z\"\n\"a\\8\\9\\10\\13\\127z\"");
        QTest::newRow("short escapes and designations removed")
            << text("\0337a\0338\033(Bb\033)0c\033=d\033>e\033<f\033Mg") << QString() << false
            << QByteArray("\"abcdefg\"\n\"abcdefg\"");
        QTest::newRow("unknown escape keeps what follows ESC")
            << text("a\033#8b") << text("\033Pq\033\\c") << false << QByteArray("\"a#8b\"\n\"a#8bq\\92c\"");
        QTest::newRow("raw mode keeps everything")
            << text("a\033[1") << text("mb\007\000") << true << QByteArray("\"a\\27[1\"\n\"a\\27[1mb\\7\"");
    }

    void twoFetches()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, raw);
        QFETCH(QByteArray, expected);

        Rig rig;
        rig.sim.tab().arriveAfter(0, first);
        rig.sim.tab().arriveAfter(1, second);
        QCOMPARE(rig.output(QByteArray(raw ? "raw(1) " : "raw(false) ") + "show(buffer()) show(buffer())"), expected + '\n');
    }

    // Raw mode applies to the fetches made while it is on. clear() does not
    // fetch: "two" is still with the application and the next fetch brings it.
    void rawModeAndClear()
    {
        Rig rig;
        int fetch = 0;
        for (const char *arrival : {"\033[1mA", "\033[1mB", "\033[1mC", "two"})
            rig.sim.tab().arriveAfter(fetch++, text(arrival));
        QCOMPARE(rig.output("buffer() raw(true) buffer() raw(nil) show(buffer()) clear() show(buffer())"),
                 QByteArray("\"A\\27[1mBC\"\n\"two\"\n"));
        QCOMPARE(rig.sim.tab().streamRequests, 4);
    }

    void cp437_data()
    {
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QString>("received");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("box drawing and letters")
            << text("CP437") << text("\342\224\214\342\224\200\342\224\220 \303\251\303\237\342\226\221\302\240")
            << QByteArray("\"\\218\\196\\191 \\130\\225\\176\\255\"");
        QTest::newRow("outside the code page")
            << text("CP437") << text("\342\202\254\360\237\230\200x\303\200") << QByteArray("\"??x?\"");
        QTest::newRow("ASCII unchanged") << text("CP437") << text("plain\ttext") << QByteArray("\"plain\\9text\"");
        QTest::newRow("other encoding") << text("UTF-8") << text("\342\224\200") << QByteArray("\"\\226\\148\\128\"");
        QTest::newRow("name must match exactly") << text("cp437") << text("\342\224\200") << QByteArray("\"\\226\\148\\128\"");
    }

    void cp437()
    {
        QFETCH(QString, encoding);
        QFETCH(QString, received);
        QFETCH(QByteArray, expected);

        Rig rig;
        SimTab &tab = rig.sim.tab();
        tab.options.insert(QStringLiteral("encoding"), encoding);
        tab.arriveAfter(0, received);
        tab.rows[0] = received + QStringLiteral("  ");
        // Received text and screen rows are converted alike; expect and the
        // triggers match the converted bytes.
        QCOMPARE(rig.output("local fired = '' on('[\\128-\\255]+', function(t) fired = fired .. t end, 'lua') "
                            "local pending = buffer() show(pending) show(screen(1) == pending:gsub('%s+$', '')) "
                            "show(expect(pending, 1) ~= nil, fired == pending:gsub('[^\\128-\\255]', ''))"),
                 expected + "\ntrue\ntrue, true\n");
    }

    void pendingCap_data()
    {
        QTest::addColumn<int>("firstSize");
        QTest::addColumn<QByteArray>("use");
        QTest::addColumn<int>("secondSize");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("at the cap kept whole") << 1000000 << QByteArray() << 0 << QByteArray("1000000, true");
        QTest::newRow("over the cap cut to the last 500000") << 1000001 << QByteArray() << 0 << QByteArray("500000, true");
        QTest::newRow("over the cap in two fetches") << 600000 << QByteArray() << 400001 << QByteArray("500000, true");
        // Text that expect used up no longer counts towards the cap.
        QTest::newRow("used text does not count") << 600000 << QByteArray("expect('|')") << 500000
                                                  << QByteArray("799999, true");
    }

    void pendingCap()
    {
        QFETCH(int, firstSize);
        QFETCH(QByteArray, use);
        QFETCH(int, secondSize);
        QFETCH(QByteArray, expected);

        // Each block ends in "$", so the kept part shows that the end survived;
        // the second block arrives at the third fetch, after `use`.
        const auto block = [](int size, QChar fill) {
            QString made(size, fill);
            made[size / 2] = QLatin1Char('|');
            made[size - 1] = QLatin1Char('$');
            return made;
        };
        Rig rig;
        rig.sim.tab().arriveAfter(0, block(firstSize, QLatin1Char('a')));
        if (secondSize > 0)
            rig.sim.tab().arriveAfter(2, block(secondSize, QLatin1Char('b')));
        QCOMPARE(rig.output("buffer() " + use + " buffer() local b = buffer() show(#b, b:sub(-1) == '$')"), expected + '\n');
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

        QFile raw(QStringLiteral(MORVANE_SOURCE_DIR "/tests/data/") + capture + QStringLiteral(".raw"));
        QVERIFY2(raw.open(QIODevice::ReadOnly), qPrintable(raw.fileName() + QStringLiteral(" is missing")));
        // The application hands over text: decode as it would.
        QTemporaryDir directory;
        QFile decoded(directory.filePath(QStringLiteral("capture.txt")));
        QVERIFY(decoded.open(QIODevice::WriteOnly));
        decoded.write(QString::fromUtf8(raw.readAll()).toUtf8());
        decoded.close();

        RunOptions options;
        options.arguments = QStringList{decoded.fileName(), encoding};
        const RunResult result = runScript(nullptr, splitScript, options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
        const QList<QByteArray> fields = result.out.trimmed().split(' ');
        QVERIFY2(fields.size() >= 4, result.out.constData());
        QVERIFY2(fields[0].toInt() > 100, "too few split points");
        QVERIFY2(fields[1].toInt() > 0, "nothing reached pending");
        QCOMPARE(fields[2], QByteArray("false"));  // no control character survived
        QVERIFY2(fields[3] == "0", ("splits that changed the pending text at offsets " + fields.value(4)).constData());
    }
};

QTEST_GUILESS_MAIN(VantorixFetch)
#include "tst_vantorix_fetch.moc"
