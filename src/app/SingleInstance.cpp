#include "SingleInstance.h"

#include "Log.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QStandardPaths>

// In the user's runtime folder, which only the user may enter.
static QString socketPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/ambrel.socket");
}

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

std::optional<qint64> SingleInstance::claim()
{
    const QString path = socketPath();
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(1000)) {
        while (!probe.canReadLine() && probe.waitForReadyRead(1000)) {
        }
        return probe.readLine().trimmed().toLongLong();
    }
    // Nobody answers: what is there was left by an Ambrel that died.
    QLocalServer::removeServer(path);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path))
        Platform::logLine(QStringLiteral("cannot keep other starts away: ") +
                          m_server.errorString());
    return std::nullopt;
}
