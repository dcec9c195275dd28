// Arbitrary bytes from the lsof pipe, cut into arbitrary reads, through the scanner into the
// menu; after every read the menu must still be one that Ambrel could show.
//
// Input: the low five bits of the first byte say how many read lengths follow (each byte + 1);
// the reads take those lengths in turn until the bytes run out. None: one read of everything.
#include "LsofTask.h"
#include "MenuItem.h"
#include "Scanner.h"
#include "StatusMenu.h"

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

static Scanner *scanner;
static StatusMenu *menu;
static qsizetype shownCount = -1;

static void require(bool holds, const char *what, const QString &detail = {})
{
    if (holds)
        return;
    std::fprintf(stderr, "menu broken: %s %s\n", what, detail.toUtf8().constData());
    std::abort();
}

static void checkMenu()
{
    const QList<QAction *> entries = menu->entries();
    for (const QAction *entry : entries) {
        // Kill ends the process its tag names: the one in its text.
        const QAction *kill = entry->menu()->actions().constLast();
        require(kill->text() == u"Kill Process (id %1)"_s.arg(MenuItem::tag(kill)) &&
                    MenuItem::tag(kill) > 0,
                "pid tag differs from the kill item", kill->text());
    }
    require(menu->emptyItem()->isVisible() == entries.isEmpty(), "an empty list shown as not");
    require(shownCount == entries.size() || (shownCount < 0 && entries.isEmpty()),
            "count differs from the number of entries", QString::number(shownCount));
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    // Only the fuzzer feeds this scanner: its child is never started.
    scanner = new Scanner(&app);
    menu = new StatusMenu(&app);
    QObject::connect(scanner, &Scanner::processesChanged, menu, &StatusMenu::showProcesses);
    QObject::connect(menu, &StatusMenu::processesShown, menu,
                     [](qsizetype count) { shownCount = count; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t lengths = qMin<std::size_t>(data[0] & 0x1f, size - 1);
    const QByteArrayView stream(data + 1 + lengths, qsizetype(size - 1 - lengths));
    for (qsizetype at = 0, turn = 0; at < stream.size(); ++turn) {
        const qsizetype length = lengths ? data[1 + turn % lengths] + 1 : stream.size();
        scanner->handleLsofOutput(stream.sliced(at, qMin(length, stream.size() - at)));
        checkMenu();
        at += length;
    }
    // The child ends, so the next input starts on a fresh stream.
    Q_EMIT scanner->task()->ended();
    checkMenu();
    // What an event loop would do between reads: delete the dropped submenus, then let the
    // posted-event list shrink, which only a pass over every event does.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
    return 0;
}
