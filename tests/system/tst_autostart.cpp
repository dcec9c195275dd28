// Launch at login against GLib's own tools: what we write validates and starts what it names.
#include "Autostart.h"
#include "Helpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAutostart : public QObject {
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
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
