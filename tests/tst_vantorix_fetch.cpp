// Fetching as the compatibility globals do it, against the real captures in
// tests/data split at every offset: escape sequences cut off at the end of a
// fetch are held back until they are whole, so where the text was split
// never changes what the script gets. The rows for the limits are among the
// scripts of tst_vantorix.
#include "fake_app.h"

#include <QtTest>

namespace {

// Splits a real capture at every character boundary into two fetches and
// compares the pending text with that of one fetch; prints the first offsets
// where they differ. The `stream` request is answered inside the script, so
// one run covers every split: each split reloads the module for a fresh state.
const char splitScript[] = R"lua(
local native = __morvane_native
local capture = assert(native.read_file(arg[1]))
local encoding = arg[2]
-- With no character beyond the BMP, a stream position counts characters.
assert(not capture:find('[\240-\247]'), 'a character beyond the BMP')
local units = assert(utf8.len(capture))
local delivered
native.rpc = function(request)
  if request.op == 'info' then return {id = 'sim', streamEnd = 0, active = true} end
  if request.op == 'config.get' then return {value = request.key == 'encoding' and encoding or nil} end
  if request.op == 'stream' then
    local text = capture:sub(utf8.offset(capture, request.position + 1), utf8.offset(capture, delivered + 1) - 1)
    return {text = text, start = request.position, ['end'] = delivered}
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
  if pending_after({at, units}) ~= whole then
    differ[#differ + 1] = at
  end
end
io.write(table.concat(differ, ',', 1, math.min(#differ, 10)))
)lua";

} // namespace

class VantorixFetch : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
