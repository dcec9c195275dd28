#include "SingleInstance.h"

#include "Log.h"
#include "Paths.h"
#include "Processes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>

SingleInstance::SingleInstance(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *other = m_server.nextPendingConnection()) {
            other->write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
            other->disconnectFromServer();
            connect(other, &QLocalSocket::disconnected, other, &QObject::deleteLater);
            Q_EMIT anotherStart();
        }
    });
}

SingleInstance::Claim SingleInstance::claim()
{
    QString why;
    const QString folder = Platform::privateFolder(&why);
    if (folder.isEmpty()) {
        Platform::logLine(QStringLiteral("cannot keep other starts away: ") + why);
        return Unguarded;
    }
    const QString path = folder + QStringLiteral("/ambrel.socket");
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(1000)) {
        const QDeadlineTimer deadline(2000);
        while (!probe.canReadLine() && probe.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        m_owner = probe.canReadLine() ? probe.readLine().trimmed().toLongLong() : 0;
        if (m_owner > 0)
            return Running;
        m_owner = Platform::peerProcess(probe.socketDescriptor()).value_or(0);
        return Silent;
    }
    // Nobody answers: what is there was left by an Ambrel that died.
    QLocalServer::removeServer(path);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        Platform::logLine(QStringLiteral("cannot keep other starts away: ") +
                          m_server.errorString());
        return Unguarded;
    }
    return Claimed;
}
