#include "UrlActions.h"

#include "MenuItem.h"
#include "NetworkAddress.h"
#include "Platform.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

// A tag outside the port range would make a URL that names no service.
static std::optional<qint64> portOf(const QAction &sender)
{
    const qint64 port = MenuItem::tag(&sender);
    if (port < 1 || port > 65535) {
        Platform::logLine(QStringLiteral("not a port: %1").arg(port));
        return std::nullopt;
    }
    return port;
}

QString urlText(const QString &host, qint64 port)
{
    // One arg() call: a host with an escaped zone holds "%25", which a second call would read
    // as a placeholder.
    return QStringLiteral("http://%1:%2").arg(host, QString::number(port));
}

void openInBrowser(const QAction &sender)
{
    const std::optional<qint64> port = portOf(sender);
    if (!port)
        return;
    if (QDesktopServices::openUrl(QUrl(urlText(QStringLiteral("localhost"), *port))))
        Platform::printLine(QStringLiteral("default browser was successfully opened"));
}

void copyNetworkURL(const QAction &sender)
{
    const std::optional<qint64> port = portOf(sender);
    if (!port)
        return;
    const QString host = localNetworkAddress().value_or(QStringLiteral("localhost"));
    auto *data = new QMimeData; // The clipboard takes ownership.
    data->setText(urlText(host, *port));
    QGuiApplication::clipboard()->setMimeData(data);
}
