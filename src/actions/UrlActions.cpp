#include "UrlActions.h"

#include "Clipboard.h"
#include "Log.h"
#include "Network.h"

#include <QDesktopServices>
#include <QUrl>

// A number outside the port range would make a URL that names no service.
static bool isPort(qint64 port)
{
    if (port >= 1 && port <= 65535)
        return true;
    Platform::logLine(QStringLiteral("not a port: %1").arg(port));
    return false;
}

QString urlText(const QString &host, qint64 port)
{
    // One arg() call: a host with an escaped zone holds "%25", which a second call would read
    // as a placeholder.
    return QStringLiteral("http://%1:%2").arg(host, QString::number(port));
}

bool openInBrowser(const QString &url)
{
    if (!QDesktopServices::openUrl(QUrl(url)))
        return false;
    Platform::printLine(QStringLiteral("default browser was successfully opened"));
    return true;
}

bool openInBrowser(qint64 port)
{
    return isPort(port) && openInBrowser(urlText(QStringLiteral("localhost"), port));
}

void copyNetworkURL(const QString &url)
{
    Platform::copyText(url);
}

void copyNetworkURL(qint64 port, const QString &boundTo)
{
    if (!isPort(port))
        return;
    const QString host =
        !boundTo.isEmpty() ? (boundTo.contains(u':') ? u'[' + boundTo + u']' : boundTo)
                           : Platform::localNetworkAddress().value_or(QStringLiteral("localhost"));
    copyNetworkURL(urlText(host, port));
}
