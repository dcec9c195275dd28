// What a broken or hostile lsof pipe can deliver: Ambrel keeps its last good menu or shows the
// sound result, says so in at most one line, and follows the next good listing.
#include "../FdCapture.h"
#include "../FedDelegate.h"
#include "ProcessEntries.h"
#include "StatusItem.h"

#include <QTemporaryDir>
#include <QTest>

static QByteArray processes(int count)
{
    QByteArray out;
    for (int i = 1; i <= count; ++i) {
        const QByteArray n = QByteArray::number(i);
        out += "p" + n + "\ncproc" + n + "\nn*:" + QByteArray::number(i % 60000 + 1) + "\n";
    }
    return out;
}

static QByteArrayList bytewise(const QByteArray &stream)
{
    QByteArrayList reads;
    for (const char c : stream)
        reads.append(QByteArray(1, c));
    return reads;
}

class TestBadInput : public QObject {
    Q_OBJECT

    QTemporaryDir config;

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    void menuStaysSound_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("diagnostics");

        const QByteArray tenMB(10'000'000, 'x');
        QTest::newRow("lines of 10 MB")
            << QByteArrayList{"p1\ncA\nn*:80\np2\nc" + tenMB +
                              "\nn*:81\np3\ncB\nn*:" + QByteArray(10'000'000, '0') + "82\nm\n"}
            << 3 << QStringLiteral("82 · B") << 0;
        QTest::newRow("control characters and direction marks")
            << QByteArrayList{"p1\ncA\x01\r\x1b[0m\xe2\x80\xae"
                              "evil\nn*:80\nm\n"}
            << 1 << QStringLiteral("80 · A\uFFFD\uFFFD\uFFFD[0m\uFFFDevil") << 0;
        // lsof repeats the listing every 3 s: one line for it, not one every 3 s.
        const QByteArray undecodable = "p1\ncA\nn*:80\np2\ncB\xff\xfe\nn*:81\np3\ncC\nn*:82\nm\n";
        QTest::newRow("invalid UTF-8 inside, twice")
            << QByteArrayList{undecodable, undecodable} << 1 << QStringLiteral("5000 · A") << 1;
        QTest::newRow("pid and port of 30 digits")
            << QByteArrayList{"p123456789012345678901234567890\ncBig\nn*:80\n"
                              "p7\ncSeven\nn*:123456789012345678901234567890\n"
                              "p8\ncGood\nn*:8\nm\n"}
            << 1 << QStringLiteral("8 · Good") << 0;
        QTest::newRow("100,000 processes")
            << QByteArrayList{processes(100'000) + "m\n"} << int(maxProcessEntries)
            << QStringLiteral("40001 · proc100000") << 1;
        QTest::newRow("one byte per read")
            << bytewise("p1\ncnöde\nn*:80\nm\n" + processes(500) + "m\n") << 500
            << QStringLiteral("501 · proc500") << 0;
        // Past the cap the listing is dropped up to its marker; an "m" that ends a dropped line
        // is no marker, so what follows it is still the dropped listing.
        QTest::newRow("no marker within the cap")
            << QByteArrayList{QByteArray(LsofListingBuffer::defaultLimit, 'x') + "m",
                              "\np9\ncTail\nn*:9\nm\n"}
            << 1 << QStringLiteral("5000 · A") << 1;
    }

    void menuStaysSound()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(int, count);
        QFETCH(QString, first);
        QFETCH(int, diagnostics);

        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn*:5000\nm\n");
        FdCapture out(STDOUT_FILENO);
        FdCapture err(STDERR_FILENO);
        for (const QByteArray &read : std::as_const(reads))
            feed(d, read);
        const QByteArray said = out.release() + err.release();
        QCOMPARE(said.count('\n'), diagnostics);

        QCOMPARE(d.processEntries.size(), count);
        QCOMPARE(d.statusBarItem->title(), QString::number(count));
        const QList<QAction *> items = d.statusBarMenu->actions();
        QCOMPARE(items.size(), 7 + count);
        QCOMPARE(items[1]->text(), first);
        for (const QAction *entry : items.sliced(1, count))
            QVERIFY2(entry->text().size() < 120, qPrintable(entry->text().left(200)));

        feed(d, "p11\ncB\nn*:6000\nm\n");
        QCOMPARE(d.processEntries.size(), 1);
        QCOMPARE(d.statusBarMenu->actions()[1]->text(), QStringLiteral("6000 · B"));
    }
};

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
