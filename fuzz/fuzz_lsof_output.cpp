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

// The decimal number a title or kill item shows for its tag; 0 when it shows none.
static qint64 shownNumber(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? value : 0;
}

static void checkMenu()
{
    static const QStringList fixedTail = {QStringLiteral("No listening processes"),
                                          QStringLiteral("-"),
                                          QStringLiteral("Preferences"),
                                          QStringLiteral("Open at Login"),
                                          QStringLiteral("About Ambrel"),
                                          QStringLiteral("-"),
                                          QStringLiteral("Quit")};
    const QList<QAction *> items = menu->menu()->actions();
    require(items.size() >= 1 + fixedTail.size(), "fixed items missing");
    require(items[0]->text() == QLatin1String("Listening Processes") && !items[0]->menu(),
            "header not at index 0");
    const qsizetype entries = items.size() - 1 - fixedTail.size();
    for (qsizetype i = 0; i < fixedTail.size(); ++i) {
        const QAction *item = items[1 + entries + i];
        require((item->isSeparator() ? QStringLiteral("-") : item->text()) == fixedTail[i],
                "fixed items out of order", item->text());
    }
    for (qsizetype i = 1; i <= entries; ++i) {
        const QString title = items[i]->text();
        // A line per address, a separator, then Open, Copy, Stop and Kill.
        require(items[i]->menu() && items[i]->menu()->actions().size() >= 5,
                "entry without submenu", title);
        const QList<QAction *> actions = items[i]->menu()->actions();
        const qsizetype dot = title.indexOf(QStringLiteral(" · "));
        const qint64 port = dot > 0 ? shownNumber(title.left(dot)) : 0;
        require(port > 0 && MenuItem::tag(actions[actions.size() - 4]) == port,
                "port tag differs from the title", title);
        const QString kill = actions.constLast()->text();
        const QString killPrefix = QStringLiteral("Kill Process (id ");
        require(kill.startsWith(killPrefix) && kill.endsWith(QLatin1Char(')')), "kill item", kill);
        const qint64 pid = shownNumber(kill.mid(killPrefix.size()).chopped(1));
        require(pid > 0 && MenuItem::tag(actions.constLast()) == pid,
                "pid tag differs from the kill item", kill);
    }
    require(menu->entries().size() == entries, "listed entries differ from the menu");
    require(shownCount == entries || (shownCount < 0 && entries == 0),
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
