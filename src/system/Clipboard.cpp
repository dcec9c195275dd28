#include "Clipboard.h"

#include "Log.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>

namespace Platform {

bool copyWithWlCopy(const QString &text)
{
    const QString program = QStringLiteral("wl-copy");
    QProcess child;
    // wl-copy forks a server for the clipboard that keeps the output open: wait for the first
    // process to exit, never for the end of what it writes.
    child.setStandardOutputFile(QProcess::nullDevice());
    // The type is given so that wl-copy does not run xdg-mime to guess it.
    child.start(program, {QStringLiteral("--type"), QStringLiteral("text/plain")});
    if (!child.waitForStarted(5000)) {
        logLine(QStringLiteral("cannot run %1 to copy: %2").arg(program, child.errorString()));
        return false;
    }
    child.write(text.toUtf8());
    child.closeWriteChannel();
    if (!child.waitForFinished(5000)) {
        child.kill();
        child.waitForFinished(1000);
        logLine(QStringLiteral("%1 did not finish within 5 s; nothing copied").arg(program));
        return false;
    }
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        return true;
    QString why = printable(
        QString::fromUtf8(child.readAllStandardError().trimmed()).section(u'\n', 0, 0).left(300));
    if (why.isEmpty())
        why = QStringLiteral("exit status %1").arg(child.exitCode());
    logLine(QStringLiteral("%1 failed: %2").arg(program, why));
    return false;
}

bool copyText(const QString &text)
{
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return copyWithWlCopy(text);
    auto *data = new QMimeData; // The clipboard takes ownership.
    data->setText(text);
    QGuiApplication::clipboard()->setMimeData(data);
    return true;
}

} // namespace Platform
