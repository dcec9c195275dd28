// Signatures made by the real minisign CLI, checked on real files; the versions they vouch for.
#include "Signature.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class SignatureTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::optional<PublicKey> m_key;

    // Runs minisign in the test's folder, where file names need no path.
    void minisign(const QString &arguments, const QStringList &more = {})
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(QStringLiteral("minisign"), arguments.split(u' ') + more);
        QVERIFY2(process.waitForFinished() && process.exitCode() == 0,
                 process.readAllStandardError().constData());
    }

    QByteArray read(const char *name) const
    {
        QFile file(m_dir.filePath(QLatin1String(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void write(const char *name, const QByteArray &data) const
    {
        QFile file(m_dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }

    // The .minisig text of `file` signed with the secret key `key`; `options` may add -l.
    QString sign(const char *file, const char *key, const char *options = "")
    {
        minisign(QStringLiteral("-S -s %1 -m %2 -x sig%3")
                     .arg(QLatin1String(key), QLatin1String(file), QLatin1String(options)),
                 {QStringLiteral("-t"), QStringLiteral("ambrel 0.2.0")});
        return QString::fromUtf8(read("sig"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        minisign(QStringLiteral("-G -W -p one.pub -s one.key"));
        m_key = parsePublicKey(QString::fromUtf8(read("one.pub"))); // comment line and all
        QVERIFY(m_key);
        // Larger than one read, so the hash spans chunks.
        QByteArray archive;
        for (int i = 0; i < 100000; ++i)
            archive += QByteArray::number(i * 7919 % 65521);
        write("archive", archive);
        archive[archive.size() / 2] = char(archive[archive.size() / 2] ^ 1);
        write("flipped", archive);
    }

    void verify_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("error");
        const QString good = sign("archive", "one.key"), legacy = sign("archive", "one.key", " -l");
        const auto row = [](const char *name, const char *file, const QString &sig,
                            const char *error) {
            QTest::newRow(name) << QString::fromLatin1(file) << sig << QString::fromLatin1(error);
        };
        const char *mismatch = "the signature does not match the archive";
        row("prehashed", "archive", good, "");
        row("legacy", "archive", legacy, "");
        row("CRLF lines", "archive", QString(good).replace(u'\n', QStringLiteral("\r\n")), "");
        row("flipped byte, legacy", "flipped", legacy, mismatch);
        row("altered trusted comment", "archive",
            QString(good).replace(QStringLiteral("ambrel 0.2.0"), QStringLiteral("ambrel 9.2.0")),
            "the trusted comment does not match the signature");
        row("truncated", "archive", good.left(good.size() - 20), "the signature is malformed");
        row("bad base64", "archive", QString(good).replace(u'=', u'*'),
            "the signature is malformed");
    }
    void verify()
    {
        QFETCH(QString, file);
        QFETCH(QString, signature);
        QFETCH(QString, error);
        QString why;
        const auto verified = verifyFile(m_dir.filePath(file), signature, *m_key, &why);
        QCOMPARE(why, error);
        QCOMPARE(verified ? verified->trustedComment : QString(),
                 error.isEmpty() ? QStringLiteral("ambrel 0.2.0") : QString());
    }

    void versions_data()
    {
        QTest::addColumn<QString>("trustedComment");
        QTest::addColumn<QString>("running");
        QTest::addColumn<bool>("newer");
        const auto row = [](const char *comment, const char *running, bool newer) {
            QTest::addRow("%s vs %s", comment, running)
                << QString::fromUtf8(comment) << QString::fromLatin1(running) << newer;
        };
        row("ambrel 0.2.0", "0.1.0", true);
        row("ambrel 0.10.0", "0.9.9", true);
        row("ambrel 1.0", "0.9.9", true);
        row("ambrel 1.0", "1.0.0", false);
        row("ambrel 0.2.0 ", "0.1.0", false);
        row("Ambrel 0.2.0", "0.1.0", false);
        row("timestamp:1 ambrel 0.2.0", "0.1.0", false);
        row("ambrel 01.2.0", "0.1.0", false);
        row("ambrel \u0663.0", "0.1.0", false); // an Arabic-Indic three
        row("ambrel 9999999999.0", "0.1.0", false);
        row("ambrel 0.2.0", "0.1.x", false);
    }
    void versions()
    {
        QFETCH(QString, trustedComment);
        QFETCH(QString, running);
        QFETCH(bool, newer);
        const auto version = versionInTrustedComment(trustedComment);
        QCOMPARE(version && isNewerVersion(*version, running), newer);
    }
};

QTEST_GUILESS_MAIN(SignatureTest)
#include "tst_signature.moc"
