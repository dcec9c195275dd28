#include "Autostart.h"
#include "FdCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestAutostart : public QObject {
    Q_OBJECT

    QTemporaryDir config;

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void write(const QString &path, const QByteArray &text)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }
    static void validate()
    {
        QProcess check;
        check.start(QStringLiteral("desktop-file-validate"), {LaunchAtLogin::entryPath()});
        QVERIFY(check.waitForFinished());
        QVERIFY2(check.exitCode() == 0 && check.readAll().isEmpty(),
                 read(LaunchAtLogin::entryPath()).constData());
    }

private Q_SLOTS:
    void init()
    {
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QDir(config.filePath(QStringLiteral("autostart"))).removeRecursively();
        QFile::remove(config.filePath(QStringLiteral("autostart")));
    }

    // GLib's desktop-entry reader starts what the entry names.
    void programPathRoundTrips_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("percent") << QStringLiteral("100% ambrel %f");
        QTest::newRow("spaces") << QStringLiteral("my tools/am brel");
        QTest::newRow("quotes") << QStringLiteral("it's \"ambrel\"");
        QTest::newRow("backslash and shell") << QStringLiteral("a\\b $HOME `x` ;|&<>~*?#()");
        QTest::newRow("non-ASCII") << QStringLiteral("ämbrel");
    }
    void programPathRoundTrips()
    {
        QFETCH(QString, name);
        const QString program = config.filePath(QStringLiteral("bin/") + name);
        // GLib looks for the program before it turns %% into %; only the real one is started.
        for (const QString &path :
             {program, QString(program).replace(QLatin1Char('%'), QStringLiteral("%%"))}) {
            write(path, "#!/bin/sh\ntouch \"$0.ran\"\n");
            QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        }
        QVERIFY(LaunchAtLogin::setEnabled(true, program));
        validate();
        QCOMPARE(QProcess::execute(QStringLiteral("gio"),
                                   {QStringLiteral("launch"), LaunchAtLogin::entryPath()}),
                 0);
        QTRY_VERIFY(QFile::exists(program + QStringLiteral(".ran")));
    }

    // The user's keys, groups and comments outlive both switches; Ambrel's own entry goes.
    void existingEntry_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("wasEnabled");
        QTest::addColumn<bool>("keptWhenOff");
        const QByteArray user = "# mine\n[Desktop Entry]\nName=Old\nName[de]=Alt\n"
                                "Type=Application\nExec=old\nX-Delay=5\n";
        QTest::newRow("none") << QByteArray() << false << false;
        QTest::newRow("user's") << user + "\n# more\n[X-Extra]\nKey=value\n" << true << true;
        QTest::newRow("Hidden") << user + "Hidden = true\n" << false << true;
        QTest::newRow("GNOME off") << user + "X-GNOME-Autostart-enabled=false\n" << false << true;
    }
    void existingEntry()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, wasEnabled);
        QFETCH(bool, keptWhenOff);
        if (!text.isEmpty())
            write(LaunchAtLogin::entryPath(), text);
        QCOMPARE(LaunchAtLogin::isEnabled(), wasEnabled);
        for (bool enabled : {true, false, true, false}) {
            QVERIFY(LaunchAtLogin::setEnabled(enabled, QStringLiteral("/usr/bin/ambrel")));
            QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
            QCOMPARE(QFile::exists(LaunchAtLogin::entryPath()), enabled || keptWhenOff);
            const QByteArray now = read(LaunchAtLogin::entryPath());
            if (now.isEmpty())
                continue;
            validate();
            QVERIFY(now.contains("\nExec=/usr/bin/ambrel\n"));
            for (const QByteArray &line : text.split('\n')) {
                if (!line.startsWith("Name=") && !line.startsWith("Exec=") &&
                    !line.contains("true") && !line.contains("false"))
                    QVERIFY2(now.contains(line + '\n'), line.constData());
            }
        }
    }

    // Refused with one log line, the entry as it was: a path no Exec= line can hold, a folder
    // that cannot be made, an entry that is no key file.
    void refused_data()
    {
        QTest::addColumn<QString>("configHome");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("file");
        const QString config = this->config.path(), ambrel = QStringLiteral("/usr/bin/ambrel");
        QTest::newRow("newline") << config << QStringLiteral("/opt/am\nbrel") << QString();
        QTest::newRow("escape") << config << QStringLiteral("/opt/am\x1b[0mbrel") << QString();
        QTest::newRow("autostart is a file") << config << ambrel << QStringLiteral("autostart");
        QTest::newRow("under /proc") << QStringLiteral("/proc/self/x") << ambrel << QString();
        QTest::newRow("not a key file")
            << config << ambrel << QStringLiteral("autostart/ambrel.desktop");
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
        if (!file.isEmpty())
            QCOMPARE(read(config.filePath(file)), QByteArray("what is this\n"));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
