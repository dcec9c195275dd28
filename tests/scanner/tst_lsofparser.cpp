#include "LsofParser.h"

#include "../FdCapture.h"

#include <QTest>

using Records = QList<ListeningProcess>;
Q_DECLARE_METATYPE(ListeningProcess)

namespace QTest {
template <> char *toString(const ListeningProcess &p)
{
    return qstrdup(QStringLiteral("%1/%2/%3").arg(p.pid(), p.port(), p.cmd()).toUtf8().constData());
}
} // namespace QTest

static ListeningProcess rec(const char *pid, const char *port, const char *cmd)
{
    return ListeningProcess(QString::fromUtf8(pid), QString::fromUtf8(port),
                            QString::fromUtf8(cmd));
}

class TestLsofParser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<Records>("expected");
        QTest::newRow("one process") << "p471\ncnode\nn127.0.0.1:3000\n"
                                     << Records{rec("471", "3000", "node")};
        QTest::newRow("v4 and v6 socket, then a wildcard")
            << "p10\ncA\nn127.0.0.1:5000\nn[::1]:5000\np20\ncB\nn*:80\n"
            << Records{rec("10", "5000", "A"), rec("20", "80", "B")};
        QTest::newRow("first port wins") << "p10\ncA\nn127.0.0.1:80\nn127.0.0.1:443\n"
                                         << Records{rec("10", "80", "A")};
        QTest::newRow("shared socket") << "p10\ncA\nn*:80\np11\ncA\nn*:80\n"
                                       << Records{rec("10", "80", "A"), rec("11", "80", "A")};
        QTest::newRow("pid repeated in one chunk") << "p10\ncA\nn*:80\nm\np10\ncA\nn*:81\n"
                                                   << Records{rec("10", "80", "A")};
        QTest::newRow("other fields and marker ignored") << "p10\nf5\ncA\ntIPv4\nn*:80\nm\nx\n"
                                                         << Records{rec("10", "80", "A")};
        QTest::newRow("missing command keeps the previous one")
            << "p10\ncA\nn*:80\np11\nn*:81\n"
            << Records{rec("10", "80", "A"), rec("11", "81", "A")};
        QTest::newRow("name before any pid") << "n*:80\np10\ncA\nn*:81\n"
                                             << Records{rec("", "80", ""), rec("10", "81", "A")};
        QTest::newRow("name without a port") << "p10\ncA\nnsomething\n"
                                             << Records{rec("10", "", "A")};
        QTest::newRow("colon inside the name") << "p10\ncA\nna:1:2\n"
                                               << Records{rec("10", "2", "A")};
        QTest::newRow("empty") << "" << Records{};
    }

    void parse()
    {
        QFETCH(QString, listing);
        QFETCH(Records, expected);
        const auto lines = splitLsofChunk(listing.toUtf8());
        QVERIFY(lines);
        QCOMPARE(parseListeningProcesses(*lines), expected);
    }

    void splitTrimsOnlyTheEnds()
    {
        const auto bare = splitLsofChunk("p1\n\ncA\r\nn*:80");
        QCOMPARE(*bare, (QStringList{QStringLiteral("p1"), QString(), QStringLiteral("cA\r"),
                                     QStringLiteral("n*:80")}));
        QCOMPARE(*splitLsofChunk("\n\r\np1\n\ncA\r\nn*:80\n\n\xe2\x80\xa8"), *bare);
        QCOMPARE(*splitLsofChunk(""), QStringList{QString()});
        QCOMPARE(*splitLsofChunk("\n\n"), QStringList{QString()});
    }

    void invalidUtf8IsDroppedWithOneLine()
    {
        FdCapture out(STDOUT_FILENO);
        QVERIFY(!splitLsofChunk("\xff\xfe\xfd"));
        QVERIFY(!splitLsofChunk("p1\ncA\xc3"));
        QCOMPARE(out.release(), QByteArray("Error decoding data: 3 bytes\n"
                                           "Error decoding data: 6 bytes\n"));
    }

    void regexMatchesWholeMatches()
    {
        const QString port = QStringLiteral(":([0-9]*)$");
        QCOMPARE(regexMatches(port, QStringLiteral("127.0.0.1:631")),
                 QStringList{QStringLiteral(":631")});
        QCOMPARE(regexMatches(port, QStringLiteral("[::1]:443")),
                 QStringList{QStringLiteral(":443")});
        QCOMPARE(regexMatches(port, QStringLiteral("nocolon")), QStringList{});
        QCOMPARE(regexMatches(QStringLiteral("a."), QStringLiteral("abacad")),
                 (QStringList{QStringLiteral("ab"), QStringLiteral("ac"), QStringLiteral("ad")}));

        FdCapture out(STDOUT_FILENO);
        QCOMPARE(regexMatches(QStringLiteral("["), QStringLiteral("x")), QStringList{QString()});
        QVERIFY(out.release().startsWith("invalid regex: "));
        // A bad pattern must not poison the next call with a good one.
        QCOMPARE(regexMatches(port, QStringLiteral("*:80")), QStringList{QStringLiteral(":80")});
    }

    void listingSplitAnywhereComesOutWhole()
    {
        const QByteArray first = "p471\ncnöde\nn127.0.0.1:3000\np9\ncx\nn*:22\n";
        const QByteArray stream = first + "m\n";
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            LsofListingBuffer buffer;
            const auto head = buffer.append(QByteArrayView(stream).first(cut));
            const auto tail = buffer.append(QByteArrayView(stream).sliced(cut));
            QVERIFY2(bool(head) != bool(tail), qPrintable(QString::number(cut)));
            QCOMPARE(head ? *head : *tail, first);
            QCOMPARE(buffer.pendingSize(), 0);
        }
    }

    void severalListingsInOneReadGiveTheLast()
    {
        LsofListingBuffer buffer;
        QCOMPARE(*buffer.append("p1\ncA\nn*:1\nm\np2\ncB\nn*:2\nm\np3"),
                 QByteArray("p2\ncB\nn*:2\n"));
        QCOMPARE(*buffer.append("\ncC\nn*:3\nm\n"), QByteArray("p3\ncC\nn*:3\n"));
        // An empty listing is a listing: nothing listens.
        QCOMPARE(*buffer.append("m\n"), QByteArray());
        // "m" inside a line is no marker.
        QVERIFY(!buffer.append("p4\ncm\nnm\n"));
        QCOMPARE(*buffer.append("m\n"), QByteArray("p4\ncm\nnm\n"));
    }

    void overflowDropsUpToTheNextListing()
    {
        LsofListingBuffer buffer(64);
        QVERIFY(!buffer.append(QByteArray(50, 'x')));
        QVERIFY(!buffer.append(QByteArray(50, 'y'))); // over the limit: dropped
        QVERIFY(buffer.pendingSize() <= 1);
        QVERIFY(!buffer.append("\np1\ncA\nn*:1\nm\n")); // the end of the dropped listing
        QCOMPARE(*buffer.append("p2\ncB\nn*:2\nm\n"), QByteArray("p2\ncB\nn*:2\n"));
    }

    void clearForgetsAPartialListing()
    {
        LsofListingBuffer buffer;
        QVERIFY(!buffer.append("p1\ncA\nn*:1"));
        buffer.clear();
        QCOMPARE(*buffer.append("p2\ncB\nn*:2\nm\n"), QByteArray("p2\ncB\nn*:2\n"));
    }
};

QTEST_GUILESS_MAIN(TestLsofParser)
#include "tst_lsofparser.moc"
