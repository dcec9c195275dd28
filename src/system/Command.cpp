#include "Command.h"

#include "Log.h"

#include <QProcess>

namespace Platform {

CommandResult runCommand(const QString &program, const QStringList &arguments)
{
    QProcess child;
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments, QIODevice::ReadOnly);
    if (!child.waitForStarted(-1)) {
        const QString why = QStringLiteral("cannot run %1: %2").arg(program, child.errorString());
        logLine(why);
        return {false, why};
    }
    // Drained as it comes, so that a chatty command neither blocks on a full pipe nor piles
    // up in memory.
    constexpr qsizetype kept = 4096;
    QByteArray said;
    do {
        said += child.readAll().left(qMax<qsizetype>(0, kept - said.size()));
    } while (child.waitForReadyRead(-1));
    said += child.readAll().left(qMax<qsizetype>(0, kept - said.size()));
    child.waitForFinished(-1);
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        return {true, {}};
    QString why = printable(QString::fromUtf8(said.trimmed()).section(u'\n', 0, 0).left(300));
    if (why.isEmpty()) {
        why = child.exitStatus() == QProcess::NormalExit
                  ? QStringLiteral("exit status %1").arg(child.exitCode())
                  : QStringLiteral("ended by a signal");
    }
    return {false, why};
}

} // namespace Platform
