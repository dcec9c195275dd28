// The operating-system layer against real files, processes and interface lists, and launch at
// login against GLib's own tools: what we write validates and starts what it names.
#include "Autostart.h"
#include "Clipboard.h"
#include "Helpers.h"
#include "ListeningSockets.h"
#include "Network.h"
#include "Paths.h"
#include "ProcessSignals.h"
#include "Processes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sched.h>

using namespace Qt::StringLiterals;

class TestSystem : public QObject {
    Q_OBJECT
    QTemporaryDir config;

    static void write(const QString &path, const QByteArray &text, QFile::Permissions mode = {})
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        QVERIFY(!mode || file.setPermissions(mode));
    }

private Q_SLOTS:
    void init()
    {
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QDir(config.filePath(u"autostart"_s)).removeRecursively();
        QFile::remove(config.filePath(u"autostart"_s));
    }

    // Switched on and off twice over whatever entry was there: the user's keys, groups and
    // comments outlive both switches, Ambrel's own entry goes, and what is left validates and
    // GLib's reader starts the program it names, however odd its path.
    void switchedOverEntry_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("wasEnabled");
        for (const char *name : {"100% ambrel %f", "my tools/am brel", "it's \"ambrel\"",
                                 "a\\b $HOME `x` ;|&<>~*?#()", "ämbrel"})
            QTest::newRow(name) << QByteArray() << QString::fromUtf8(name) << false;
        const QByteArray user = "# mine\n[Desktop Entry]\nName=Old\nName[de]=Alt\n"
                                "Type=Application\nExec=old\nX-Delay=5\n";
        QTest::newRow("user's") << user + "\n# more\n[X-Extra]\nKey=value\n" << u"a"_s << true;
        QTest::newRow("Hidden") << user + "Hidden = true\n" << u"a"_s << false;
        QTest::newRow("GNOME off") << user + "X-GNOME-Autostart-enabled=false\n" << u"a"_s << false;
    }
    void switchedOverEntry()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, name);
        QFETCH(bool, wasEnabled);
        const QString program = config.filePath(u"bin/"_s + name),
                      path = LaunchAtLogin::entryPath();
        // GLib looks for the program before it turns %% into %; only the real one is started.
        for (const QString &script : {program, QString(program).replace(u'%', u"%%"_s)})
            write(script, "#!/bin/sh\ntouch \"$0.ran\"\n", QFile::ReadOwner | QFile::ExeOwner);
        if (!text.isEmpty())
            write(path, text);
        QCOMPARE(LaunchAtLogin::isEnabled(), wasEnabled);
        for (bool enabled : {true, false, true, false, true}) {
            QVERIFY(LaunchAtLogin::setEnabled(enabled, program));
            QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
            QCOMPARE(QFile::exists(path), enabled || !text.isEmpty());
            if (!QFile::exists(path))
                continue;
            QProcess check;
            check.start(u"desktop-file-validate"_s, {path});
            QVERIFY(check.waitForFinished());
            const QByteArray now = readFile(path);
            QVERIFY2(check.exitCode() == 0 && check.readAll().isEmpty(), now.constData());
            for (const QByteArray &line : text.split('\n'))
                if (!line.startsWith("Name=") && !line.startsWith("Exec=") &&
                    !line.contains("true") && !line.contains("false"))
                    QVERIFY2(now.contains(line + '\n'), line.constData());
        }
        QCOMPARE(QProcess::execute(u"gio"_s, {u"launch"_s, path}), 0);
        QTRY_VERIFY(QFile::exists(program + u".ran"_s));
    }

    // Refused with one log line, the entry as it was: a path no Exec= line can hold, a folder
    // that cannot be made, an entry that is no key file.
    void refused_data()
    {
        QTest::addColumn<QString>("configHome");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("file");
        const QString config = this->config.path(), ambrel = u"/usr/bin/ambrel"_s;
        QTest::newRow("newline") << config << u"/opt/am\nbrel"_s << QString();
        QTest::newRow("escape") << config << u"/opt/am\x1b[0mbrel"_s << QString();
        QTest::newRow("autostart is a file") << config << ambrel << u"autostart"_s;
        QTest::newRow("under /proc") << u"/proc/self/x"_s << ambrel << QString();
        QTest::newRow("not a key file") << config << ambrel << u"autostart/ambrel.desktop"_s;
    }
    void refused()
    {
        QFETCH(QString, configHome);
        QFETCH(QString, program);
        QFETCH(QString, file);
        if (!file.isEmpty())
            write(config.filePath(file), "what is this\n");
        qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
        FdCapture log(STDERR_FILENO);
        QVERIFY(!LaunchAtLogin::setEnabled(true, program));
        QCOMPARE(log.release().count('\n'), 1);
        QVERIFY(!LaunchAtLogin::isEnabled());
        QVERIFY(file.isEmpty() || readFile(config.filePath(file)) == "what is this\n");
    }
    // Copy Network URL's address, from real interfaces in a network namespace of the row's own:
    // the interface of the default route with the lowest metric, by its exact name; its last
    // IPv4 address, else its last IPv6 one (Linux lists link-local ones last) in brackets, its
    // zone escaped.
    void localNetworkAddress_data()
    {
        QTest::addColumn<QString>("setup"); // `up NAME` makes an interface with no address
        QTest::addColumn<QString>("address");
        const std::tuple<const char *, const char *, const char *> rows[] = {
            {"no default route", "", "up eth0; addr 192.0.2.1/24 dev eth0"},
            {"last ipv4, even before ipv6", "192.0.2.11",
             "up eth0; for a in 2001:db8::1/64 192.0.2.10/24 192.0.2.11/24 2001:db8::2/64; do addr "
             "$a dev eth0; done; ip route add default via 192.0.2.1"},
            {"near names, none exact", "",
             "up eth0; up eth01; up ETH0; addr 192.0.2.1/24 dev eth01; addr 198.51.100.1/24 dev "
             "ETH0; ip route add default dev eth0"},
            {"the default route with the lowest metric", "198.51.100.1",
             "up eth0; up eth1; addr 192.0.2.1/24 dev eth0; addr 198.51.100.1/24 dev eth1; ip "
             "route add default dev eth0 metric 600; ip route add default dev eth1"},
            {"ipv6 only", "[fe80::1%25eth0]",
             "up eth0; addr 2001:db8::1/64 dev eth0; addr fe80::1/64 dev eth0; ip route add "
             "default dev eth0"}};
        for (const auto &[name, address, setup] : rows)
            QTest::newRow(name) << QString::fromUtf8(setup) << QString::fromUtf8(address);
    }

    void localNetworkAddress()
    {
        QFETCH(QString, setup);
        QFETCH(QString, address);
        if (::geteuid() != 0)
            QSKIP("needs root, for a network namespace");
        QCOMPARE(::unshare(CLONE_NEWNET), 0);
        const QString helpers =
            u"up() { ip link add $1 type bridge; ip link set $1 addrgenmode none; "
            "ip link set $1 up; }\naddr() { ip addr add \"$@\"; }\n"_s;
        QCOMPARE(QProcess::execute(u"sh"_s, {u"-ec"_s, helpers + setup}), 0);
        QCOMPARE(Platform::localNetworkAddress().value_or(QString()), address);
    }

    // A name with parentheses and spaces must not shift the fields after it.
    void startTimeNamesOneProcess()
    {
        QTemporaryDir dir;
        const QString odd = dir.filePath(u"x) (y z"_s);
        QVERIFY(QFile::copy(u"/bin/sleep"_s, odd));
        QProcess first;
        first.start(odd, {u"1000"_s});
        QVERIFY(first.waitForStarted());
        QTest::qWait(30); // a tick or more apart
        const auto second = sleeper();
        const auto a = Platform::processStartTime(first.processId());
        const auto b = Platform::processStartTime(second->processId());
        QVERIFY(a && b && *a > 0 && *a < *b && *b - *a < 500); // ticks, 5 s at most
        QCOMPARE(Platform::processStartTime(first.processId()), a);
        // Started with standard input closed, descriptor 0 goes to the next file opened; errno
        // holds what an earlier call left. Neither is a failure.
        const int in = ::dup(STDIN_FILENO);
        ::close(STDIN_FILENO);
        errno = ENOSYS;
        QCOMPARE(Platform::ProcessHandle(second->processId(), *b).state(),
                 Platform::ProcessHandle::Open);
        errno = EINTR;
        QCOMPARE(processArguments(second->processId()).value(1), u"1000"_s);
        QCOMPARE(::dup2(in, STDIN_FILENO), STDIN_FILENO);
        ::close(in);
        const qint64 pid = first.processId();
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(Platform::processStartTime(pid), std::nullopt);
        QCOMPARE(Platform::processStartTime(0), std::nullopt);
    }

    // The Wayland copy through wl-copy (a stand-in on PATH): the text on its input; a failure or
    // a hang is one log line and no copy.
    void copyThroughWlCopy()
    {
        QTemporaryDir bin;
        qputenv("PATH", bin.path().toUtf8() + ':' + qgetenv("PATH"));
        const std::tuple<const char *, bool, const char *> rows[] = {
            {"cat > \"$0.got\"", true, ""},
            {"echo 'no seat' >&2; exit 1", false, "wl-copy failed: no seat"},
            {"exec sleep 10", false, "wl-copy did not finish within 5 s; nothing copied"}};
        for (const auto &[script, copied, said] : rows) {
            write(bin.filePath(u"wl-copy"_s), "#!/bin/sh\n" + QByteArray(script),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            FdCapture err(STDERR_FILENO);
            QCOMPARE(Platform::copyWithWlCopy(u"http://[::1]:80"_s), copied);
            QCOMPARE(logLines(err.release()).join(u'\n'), QString::fromUtf8(said));
        }
        QCOMPARE(readFile(bin.filePath(u"wl-copy.got"_s)), "http://[::1]:80");
    }

    // The single instance's folder: the runtime folder where only this user may enter it, else
    // /tmp/ambrel-UID.
    void privateFolder()
    {
        QTemporaryDir own, open;
        QFile::setPermissions(open.path(), QFile::Permissions(0x7777));
        const QString fallback = u"/tmp/ambrel-%1"_s.arg(::getuid());
        for (const auto &[runtime, used] :
             {std::pair{own.path(), own.path()}, {open.path(), fallback}, {QString(), fallback}}) {
            qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
            QString why;
            QCOMPARE(Platform::privateFolder(&why), used);
        }
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_system.moc"
