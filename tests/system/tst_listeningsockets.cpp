// The native engine's system layer against real sockets and processes, and against lsof.
#include "ListeningSockets.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Listens on 127.0.0.1 and prints the port; on a line of input forks a child that shares the
// socket and prints its pid; on the next, the child closes its copy, opens a file in its fd,
// says so and lives on until its input ends.
static const char sharingScript[] = R"(import os, socket, sys
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
sys.stdin.readline()
pid = os.fork()
if pid: print(pid, flush=True); os.waitpid(pid, 0); sys.exit()
sys.stdin.readline()
s.close()
f = open("/dev/null")
print("closed", flush=True)
sys.stdin.read()
)";

class TestListeningSockets : public QObject {
    Q_OBJECT
    SocketOwners owners;

    // The native record of that pid, if it is listed; every call is a new listing.
    std::optional<NativeRecord> record(qint64 pid)
    {
        for (const NativeRecord &r :
             listListeningProcesses(owners, nullptr).value_or(QList<NativeRecord>()))
            if (r.pid == pid)
                return r;
        return std::nullopt;
    }

    static QByteArray readLine(QProcess &p)
    {
        while (!p.canReadLine() && p.waitForReadyRead(5000)) {
        }
        return p.readLine().trimmed();
    }

private Q_SLOTS:
    void ownSocket_data()
    {
        QTest::addColumn<QString>("address");
        for (const char *address : {"127.0.0.1", "0.0.0.0", "::1", "::"})
            QTest::newRow(address) << QString::fromLatin1(address);
    }

    void ownSocket()
    {
        QFETCH(QString, address);
        QTcpServer server;
        if (!server.listen(QHostAddress(address)))
            QSKIP("no such address here");
        const int family = address.contains(u':') ? AF_INET6 : AF_INET;
        QString error;
        const auto sockets = dumpListeningSockets(&error);
        QVERIFY2(sockets, qPrintable(error));
        const auto it = std::find_if(sockets->begin(), sockets->end(), [&](const auto &s) {
            return s.port == server.serverPort() && s.family == family;
        });
        QVERIFY(it != sockets->end());
        QCOMPARE(it->address, address);
        QCOMPARE(it->uid, getuid());
        const QList<SocketOwners::Owner> expected{{getpid(), int(server.socketDescriptor())}};
        QCOMPARE(owners.resolve({it->inode}).value(it->inode), expected);
    }

    // A process's port is that of its lowest fd; a forked child sharing a socket is listed too,
    // and goes once it closed its copy, when the next listing follows a change of sockets.
    void lowestFdAndSharedSockets()
    {
        std::vector<std::unique_ptr<QTcpServer>> servers;
        for (const char *address : {"0.0.0.0", "127.0.0.1", "0.0.0.0", "127.0.0.1"}) {
            if (servers.size() == 3)
                servers.erase(servers.begin()); // the last server takes its low fd
            servers.push_back(std::make_unique<QTcpServer>());
            QVERIFY(servers.back()->listen(QHostAddress(QString::fromLatin1(address))));
        }
        const auto lowest = std::min_element(servers.begin(), servers.end(), [](auto &a, auto &b) {
            return a->socketDescriptor() < b->socketDescriptor();
        });
        const auto own = record(getpid());
        QVERIFY(own);
        QCOMPARE(own->port, (*lowest)->serverPort());
        QCOMPARE(own->sockets.size(), 3);

        QProcess python;
        python.start(u"python3"_s, {u"-c"_s, QString::fromLatin1(sharingScript)});
        const quint16 port = readLine(python).toUShort();
        python.write("fork\n");
        const qint64 child = readLine(python).toLongLong();
        QCOMPARE(record(child).value_or(NativeRecord()).port, port);
        python.write("close\n");
        QCOMPARE(readLine(python), "closed");
        servers.pop_back(); // a change of sockets
        const auto pids = [&] {
            QList<qint64> found;
            for (const NativeRecord &r :
                 listListeningProcesses(owners, *dumpListeningSockets(nullptr), false))
                found.append(r.pid);
            return found;
        };
        QVERIFY(!pids().contains(child));
        QVERIFY(pids().contains(python.processId()));
        python.closeWriteChannel();
        QVERIFY(python.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(TestListeningSockets)
#include "tst_listeningsockets.moc"
