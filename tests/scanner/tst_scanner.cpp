// lsof's stream to the list of processes: what any pipe may deliver, the child's life, and the
// real lsof against a real socket.
#include "ContainerPorts.h"
#include "Helpers.h"
#include "LsofTask.h"
#include "Paths.h"
#include "Scanner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sched.h>

using namespace Qt::StringLiterals;

// Each process's title and pid, and every endpoint where it has more than one.
static QStringList titles(const QList<Listener> &processes)
{
    QStringList result;
    for (const Listener &p : processes) {
        QStringList endpoints(p.endpoints.size());
        std::ranges::transform(p.endpoints, endpoints.begin(), endpointText);
        result.append(processTitle(p) + u" /%1"_s.arg(p.pid) +
                      (endpoints.size() > 1 ? u' ' + endpoints.join(u',') : QString()));
    }
    return result;
}

// Forks children A and B, prints their pids, listens and prints the port. On a line of input
// it hands the socket to A and ends; A hands it on to B once the file argv[1] exists; B closes
// its copy, and opens a file in its fd, once argv[1] is gone.
static const char handOverScript[] = R"(import os, socket, sys, time
pairs, kids = [socket.socketpair() for _ in range(2)], []
for i in range(2):
    if (pid := os.fork()) == 0:
        fd = socket.recv_fds(pairs[i][1], 1, 1)[1][0]
        while os.path.exists(sys.argv[1]) == (i == 1): time.sleep(0.05)
        if i == 0: socket.send_fds(pairs[1][0], [b"s"], [fd])
        else: os.close(fd); f = open("/dev/null")
        time.sleep(60)
    kids.append(pid)
s = socket.create_server(("127.0.0.1", 0))
print(*kids, flush=True); print(s.getsockname()[1], flush=True)
sys.stdin.readline(); socket.send_fds(pairs[0][0], [b"s"], [s.fileno()])
)";

// A container API on the unix socket argv[1] that answers on cue, and prints each request: one
// container, a stop that ends it (204), finds it gone (404, ids from "dead") or fails (500).
static const char containerApi[] = R"(import http.server as h, json, socketserver, sys, time
class A(h.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def answer(self, status, body):
        print(self.command, self.path, flush=True)
        self.send_response_only(status); self.send_header("Content-Length", len(body))
        self.end_headers(); self.wfile.write(body)
    def do_GET(self):
        if self.path.startswith("/events"):
            self.send_response_only(200); self.end_headers(); time.sleep(60)
        ports = [dict(Type="tcp", IP="::", PublicPort=18080, PrivatePort=80),
                 dict(Type="tcp", IP="", PublicPort=1, PrivatePort=1),
                 dict(Type="udp", IP="", PublicPort=53, PrivatePort=53)]
        c = dict(Id="c0ffee" * 10 + "0000", Names=["/web-1"], Image="busybox", Ports=ports)
        self.answer(200, json.dumps([c] if self.path == "/containers/json" else {}).encode())
    def do_POST(self):
        self.answer(*{"d": (404, b"{}"), "b": (500, b'{"message": "boom"}')}.get(
            self.path[12], (204, b"")))
socketserver.ThreadingUnixStreamServer(sys.argv[1], A).serve_forever()
)";

class TestScanner : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;

    qsizetype starts() const { return readFile(scratch.filePath(u"starts"_s)).count('\n'); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("STAND_IN_DIR", scratch.path().toUtf8());
        // As root, a network of our own: only this test's sockets listen there.
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0)
            QCOMPARE(QProcess::execute(u"ip"_s, u"link set lo up"_s.split(u' ')), 0);
    }

    // Each row's reads follow a first good listing ("5000 · A /10"); the list shown is newest
    // first, and at most one diagnostic line is printed for the whole row.
    void readsGiveProcesses_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<int>("diagnostics");
        // One read each, no diagnostic; the list shown one title a line.
        const std::tuple<const char *, const char *, const char *> rows[] = {
            {"v4 and v6 of one process, a wildcard, first port wins",
             "p99000010\ncA\nn127.0.0.1:5000\nn[::1]:5001\nn10.1.2.3:"
             "5002\np99000020\ncB\nf5\ntIPv4\nn*:80\nm\n",
             "80 · B /99000020\n5000 · A /99000010 127.0.0.1:5000 — this machine only,[::1]:5001 — "
             "this machine only,10.1.2.3:5002 — this address's network"},
            {"shared socket, pid repeated, command carried, colons in the name",
             "p99000011\ncS\nn*:80\np99000012\nn*:80\np99000011\ncS\nn*:81\np99000013\ncT\nna:1:"
             "2\nm\n",
             "2 · T /99000013\n80 · S /99000012\n80 · S /99000011 *:80 — all networks,*:81 — all "
             "networks"},
            {"records that cannot name a process or a port",
             "n*:1\np0\ncZero\nn*:2\np-1\ncNeg\nn*:3\np5\ncNoPort\nnx\np "
             "9\ncPadded\nn*:9\np9\r\ncCr\nn*:10\n"
             "p123456789012345678901234567890\ncBig\nn*:80\np7\ncSeven\nn*:"
             "123456789012345678901234567890\np+8\ncGood\nn*:04\nm\n",
             "4 · Good /8"},
            {"text shown as it is, never as controls",
             "p1\nca\tb\xf0\x9f\x9a\x80&c\x01\r\x1b[0m\xe2\x80\xae"
             "d\nn*:80\nm\n",
             "80 · a b🚀&c\uFFFD\uFFFD\uFFFD[0m\uFFFDd /1"},
            {"two listings in one read: the last", "p1\nca\nn*:1\nm\np2\ncb\nn*:2\nm\n",
             "2 · b /2"}};
        for (const auto &[name, read, shown] : rows)
            QTest::newRow(name) << QByteArrayList{read} << QString::fromUtf8(shown).split(u'\n')
                                << 0;
        const QString first = u"5000 · A /99000010"_s;
        const QByteArray undecodable = "p1\ncA\nn*:80\np2\ncB\xff\xfe\nn*:81\nm\n";
        QTest::newRow("invalid UTF-8, twice: the last good list, one line")
            << QByteArrayList{undecodable, undecodable} << QStringList{first} << 1;
        QTest::newRow("a name of 10 MB: cut")
            << QByteArrayList{"p1\nc" + QByteArray(10'000'000, 'x') + "\nn*:80\nm\n"}
            << QStringList{u"80 · "_s + QString(100, u'x') + u"… /1"_s} << 0;
        QByteArrayList bytes;
        for (const char c : QByteArray("p1\ncnöde\nn*:80\nm\n"))
            bytes.append(QByteArray(1, c));
        QTest::newRow("one byte per read, a listing cut inside a character")
            << bytes << QStringList{u"80 · nöde /1"_s} << 0;
        // Past the cap the bytes are dropped up to the next marker; an "m" that ends a dropped
        // line is no marker, so what follows it is still dropped.
        QTest::newRow("no marker within the cap")
            << QByteArrayList{QByteArray(LsofListingBuffer::defaultLimit, 'x') + "m",
                              "\np9\ncTail\nn*:9\nm\n"}
            << QStringList{first} << 1;
    }

    void readsGiveProcesses()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QStringList, shown);
        QFETCH(int, diagnostics);
        Scanner scanner;
        scanner.handleLsofOutput("p99000010\ncA\nn*:5000\nm\n");
        FdCapture out(STDOUT_FILENO), err(STDERR_FILENO);
        for (const QByteArray &read : std::as_const(reads))
            scanner.handleLsofOutput(read);
        QCOMPARE((out.release() + err.release()).count('\n'), diagnostics);
        QCOMPARE(titles(scanner.processes()), shown);
        scanner.handleLsofOutput("p99000011\ncB\nn*:6000\nm\n"); // and the next good one shows
        QCOMPARE(titles(scanner.processes()), QStringList{u"6000 · B /99000011"_s});
    }

    void cappedAndSaidOnce()
    {
        Scanner scanner;
        FdCapture err(STDERR_FILENO);
        QByteArray many;
        for (int i = 1; i <= 100'000; ++i)
            many += u"p%1\ncp%1\nn*:%2\n"_s.arg(i).arg(i % 60000 + 1).toUtf8();
        scanner.handleLsofOutput(many + "m\n");
        QCOMPARE(logLines(err.release()).size(), 1);
        QCOMPARE(scanner.processes().size(), maxListeners);
    }

    // On real sockets the lsof engine gives the native engine's records, save what lsof cannot
    // tell: a wildcard's family, IPv6-only, other users' sockets. The native engine steps aside
    // for lsof where the kernel's table cannot be read, and shows a failure while it runs.
    void enginesAgree()
    {
        QTcpServer servers[6]; // the first makes room for the last: the port of the lowest fd
        int i = 0;
        for (const auto any :
             {QHostAddress::LocalHost, QHostAddress::LocalHost, QHostAddress::LocalHostIPv6,
              QHostAddress::AnyIPv4, QHostAddress::AnyIPv6, QHostAddress::Any})
            QVERIFY(servers[i++].listen(any));
        servers[0].close();
        servers[5].close();
        QVERIFY(servers[5].listen(QHostAddress::Any));
        const auto asLsofSees = [](QList<Listener> processes) {
            processes.removeIf([](const Listener &p) { return p.othersPort; });
            for (Listener &p : processes)
                for (Endpoint &e : p.endpoints) {
                    e.v6only = false;
                    if (e.address == u"0.0.0.0"_s || e.address == u"::"_s)
                        e.address = u"*"_s;
                }
            return processes;
        };
        QString why;
        QList<Listener> native;
        QTRY_COMPARE(asLsofSees(native = listSocketsOnce(&why).value_or(QList<Listener>())),
                     listOnce(Platform::lsofLaunchPath(), &why).value_or(QList<Listener>()));
        const auto own = std::ranges::find(native, qApp->applicationPid(), &Listener::pid);
        QVERIFY(own != native.cend());
        QStringList shown;
        for (const Endpoint &e : own->endpoints)
            shown.append(e.address + u' ' + exposureText(exposure(e)));
        QCOMPARE(shown.join(u','), u":: all networks,127.0.0.1 this machine only,"
                                   "::1 this machine only,0.0.0.0 all networks,:: "
                                   "all IPv6 networks"_s);
        QCOMPARE(own->port, servers[5].serverPort());

        Scanner scanner;
        FdCapture err(STDERR_FILENO);
        scanner.start(ScanEngine::Native);
        qputenv("AMBREL_NO_NETLINK", "1");
        QTRY_COMPARE(scanner.problem(), u"cannot open a netlink socket: turned off "
                                        "by AMBREL_NO_NETLINK"_s);
        Scanner fallback;
        fallback.start(ScanEngine::Native);
        const QStringList lines = logLines(err.release());
        qunsetenv("AMBREL_NO_NETLINK");
        QCOMPARE(fallback.engine(), ScanEngine::Lsof);
        QCOMPARE(lines, {u"cannot open a netlink socket: turned off by AMBREL_NO_NETLINK; "
                         "listing with lsof instead"_s});
        servers[5].close(); // and it follows
        QTRY_COMPARE_WITH_TIMEOUT(fallback.processes(), listOnce(Platform::lsofLaunchPath(), &why),
                                  10000);
    }

    // What the socket table does not show: the holder left when the only known one ends (found
    // at once), an older process handed a socket (found by the full pass), and one that closed
    // its copy of a shared socket (found at the next change of sockets).
    void nativeFollowsHolders()
    {
        QProcess python;
        const QString trigger = scratch.filePath(u"hand on"_s);
        python.start(u"/usr/bin/python3"_s,
                     {u"-c"_s, QString::fromLatin1(handOverScript), trigger});
        const auto line = [&python] {
            while (!python.canReadLine() && python.waitForReadyRead(5000)) {
            }
            return python.readLine().trimmed();
        };
        const QList<QByteArray> kids = line().split(' ');
        const qint64 a = kids.value(0).toLongLong(), b = kids.value(1).toLongLong(),
                     port = line().toLongLong();
        Scanner scanner;
        scanner.setFullPassEvery(1000);
        scanner.start(ScanEngine::Native);
        const auto holders = [&] {
            QList<qint64> pids;
            for (const Listener &p : scanner.processes())
                if (p.port == port)
                    pids.append(p.othersPort ? -1 : p.pid);
            return pids;
        };
        QTRY_COMPARE(holders(), QList<qint64>{python.processId()});
        python.write("hand over\n");
        QTRY_COMPARE_WITH_TIMEOUT(holders(), QList<qint64>{a}, 3000);
        scanner.setFullPassEvery(2);
        QFile(trigger).open(QIODevice::WriteOnly);
        QTRY_COMPARE_WITH_TIMEOUT(holders(), QList<qint64>({b, a}), 5000);
        scanner.setFullPassEvery(1000); // B closing its copy, and a change of sockets
        QFile::remove(trigger);
        QTest::qWait(300);
        QTcpServer change;
        QVERIFY(change.listen(QHostAddress::LocalHost));
        QTRY_COMPARE_WITH_TIMEOUT(holders(), QList<qint64>{a}, 3000);
        ::kill(pid_t(a), SIGKILL);
        ::kill(pid_t(b), SIGKILL);
    }

    // Entries of one name told apart by their script, then their folder, then their pid.
    void titlesTellApart()
    {
        QTemporaryDir dir;
        QFile(dir.filePath(u"x.log"_s)).open(QIODevice::WriteOnly);
        QDir(dir.path()).mkdir(u"b"_s);
        QProcess tails[4];
        QByteArray bytes;
        for (int i = 0; i < 4; ++i) {
            tails[i].setWorkingDirectory(dir.filePath(i ? u"b"_s : u"."_s));
            tails[i].start(u"tail"_s, {u"-f"_s, i == 3 ? u"../x.log"_s : u"-"_s});
            QVERIFY(tails[i].waitForStarted());
            bytes += u"p%1\nctail\nn*:%2\n"_s.arg(tails[i].processId()).arg(i + 1).toUtf8();
        }
        Scanner scanner;
        scanner.handleLsofOutput(bytes + "m\n");
        QStringList shown(scanner.processes().size());
        std::ranges::transform(scanner.processes(), shown.begin(), &Listener::title);
        shown.sort();
        QCOMPARE(shown, QStringList({u"1 · tail ("_s + QFileInfo(dir.path()).fileName() + u')',
                                     u"2 · tail (b) (pid %1)"_s.arg(tails[1].processId()),
                                     u"3 · tail (b) (pid %1)"_s.arg(tails[2].processId()),
                                     u"4 · tail x.log"_s}));
        for (QProcess &tail : tails)
            tail.kill(), tail.waitForFinished();
    }

    // The list with a container API: the container's TCP ports, each address once, in place of
    // its proxy's, placed by start time; the API asked again only when the proxies' sockets
    // change; each way a stop ends.
    void containersFromTheApi()
    {
        QProcess api;
        const QString socket = scratch.filePath(u"api"_s);
        api.start(u"/usr/bin/python3"_s, {u"-c"_s, QString::fromLatin1(containerApi), socket});
        QTRY_VERIFY(QFile::exists(socket));
        qputenv("DOCKER_HOST", "unix://" + socket.toUtf8());
        Scanner scanner;
        ContainerPorts containers(&scanner);
        containers.start();
        const auto listed = [&] {
            return api.readAllStandardOutput().count("/containers/json\n");
        };
        const QString web = u"1 · web-1 /0 0.0.0.0:1 — all networks,[::]:18080 — all networks"_s;
        QTRY_COMPARE(titles(containers.listeners()), QStringList{web});
        qsizetype asked = listed();
        QSignalSpy shown(&containers, &ContainerPorts::listenersChanged);
        scanner.handleLsofOutput("p7\ncdocker-proxy\nn*:18080\nn*:9\nm\n");
        QTRY_COMPARE(asked += listed(), 2);
        scanner.handleLsofOutput("p8\ncnode\nn*:3\np7\ncdocker-proxy\nn*:18080\nn*:9\nm\n");
        const auto sorted = [&] {
            QStringList shown = titles(containers.listeners());
            return shown.sort(), shown.join(u'|');
        };
        QTRY_COMPARE(sorted(), web + u"|3 · node /8|9 · docker-proxy /7"_s);
        QTest::qWait(300);
        QCOMPARE(asked + listed(), 2);
        QCOMPARE(shown.size(), 2); // the same containers again change nothing
        QString why;
        for (const char *id : {"c0ffee000000", "dead00000000"})
            QVERIFY2(endContainerNow(QString::fromLatin1(id), true, &why), qPrintable(why));
        QVERIFY(!endContainerNow(u"b0000000000a"_s, false, &why));
        QCOMPARE(why, u"the container API: boom"_s);
        if (::geteuid() == 0) { // a user the socket refuses hears why
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
            QVERIFY(!endContainerNow(u"c0ffee000000"_s, true, &why));
            QCOMPARE(::setresuid(0, 0, 0), 0);
            QVERIFY2(why.endsWith(u"Permission denied"_s), qPrintable(why));
        }
        qunsetenv("DOCKER_HOST");
    }

    // Open in Browser: localhost, unless the port is bound only to addresses of their own.
    void localUrls()
    {
        const std::pair<QList<Endpoint>, const char *> rows[] = {
            {{{u"*"_s, 3000}}, "http://localhost:3000"},
            {{{u"127.0.0.1"_s, 3000}}, "http://localhost:3000"},
            {{{u"192.0.2.10"_s, 3000}, {u"2001:db8::1"_s, 3000}}, "http://192.0.2.10:3000"},
            {{{u"2001:db8::1"_s, 3000}}, "http://[2001:db8::1]:3000"},
            {{{u"192.0.2.10"_s, 3000}, {u"::1"_s, 3000}}, "http://localhost:3000"},
            {{{u"192.0.2.10"_s, 4000}}, "http://localhost:3000"}};
        for (const auto &[endpoints, url] : rows)
            QCOMPARE(localUrl(Listener{1, 1, 3000, u"x"_s, endpoints}, 3000),
                     QString::fromUtf8(url));
    }

    // The stand-in does what the real lsof does not do on cue.
    void childLife_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<int>("delay"); // the next restart delay once started three times
        QTest::newRow("a flood on standard error stalls nothing")
            << QByteArray("stderr-flood") << 10000 << QString() << 200;
        QTest::newRow("ends after each listing: restarted, no back-off")
            << QByteArray("exit") << 10000 << u"lsof ended with exit status 3"_s << 400;
        QTest::newRow("ends with nothing: backs off")
            << QByteArray("exit-silent") << 10000 << u"exit status 4"_s << 800;
        QTest::newRow("one listing, then silence: stalled, cleared, restarted")
            << QByteArray("listen") << 500 << u"the list is out of date"_s << 400;
    }

    void childLife()
    {
        QFETCH(QByteArray, mode);
        QFETCH(int, stallMs);
        QFETCH(QString, problem);
        QFETCH(int, delay);
        Scanner scanner;
        QSignalSpy changes(&scanner, &Scanner::processesChanged);
        scanner.task()->setStallTimeout(stallMs);
        qputenv("STAND_IN_MODE", mode);
        QFile::remove(scratch.filePath(u"starts"_s));
        scanner.task()->setRestartDelays(200, 800);
        scanner.startLsofTask(QStringLiteral(STAND_IN_LSOF), lsofArguments());
        const QString args = scratch.filePath(u"args"_s);
        QTRY_COMPARE(QString::fromUtf8(readFile(args)).split(u'\n', Qt::SkipEmptyParts),
                     lsofArguments());
        if (problem.isEmpty()) {
            QTRY_COMPARE(changes.size(), 1);
            QCOMPARE(scanner.problem(), QString());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(starts() >= 3, 10000);
        QTRY_VERIFY(scanner.problem().contains(problem));
        QCOMPARE(scanner.task()->nextRestartDelay(), delay);
        scanner.stop();
        const qsizetype stopped = starts();
        QTest::qWait(1000);
        QCOMPARE(starts(), stopped); // stopped means stopped, SIGTERM or not
        QCOMPARE(scanner.task()->process()->state(), QProcess::NotRunning);
        // Whenever the child ended or stalled, the list it had given was cleared.
        QVERIFY(std::ranges::any_of(changes, [](const QVariantList &args) {
            return args.first().value<QList<Listener>>().isEmpty();
        }));
    }

    void listOnceIsBounded_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QString>("why");
        QTest::newRow("output past the cap")
            << QByteArray("flood") << u"lsof wrote more than 16777216 bytes"_s;
        QTest::newRow("never ends")
            << QByteArray("listen") << u"lsof did not finish within 0.5 s"_s;
    }

    void listOnceIsBounded()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QString, why);
        qputenv("STAND_IN_MODE", mode);
        QString said;
        const QDeadlineTimer cap(10000);
        QVERIFY(!listOnce(QStringLiteral(STAND_IN_LSOF), &said, mode == "flood" ? 20000 : 500));
        QCOMPARE(said, why);
        QVERIFY(!cap.hasExpired()); // the cap, not the deadline, ended the flood
    }
};

QTEST_GUILESS_MAIN(TestScanner)
#include "tst_scanner.moc"
