#include "Updater.h"

#include "Installer.h"
#include "Log.h"
#include "Paths.h"
#include "Processes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace {

constexpr bool isHostName(std::string_view host)
{
    if (host.empty())
        return false;
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c == '[' ||
                        c == ']';
        if (!ok)
            return false;
    }
    return true;
}
static_assert(isHostName(AMBREL_UPDATE_HOST),
              "AMBREL_UPDATE_HOST must be a bare host name, optionally with a port");

// Plain HTTP only reaches a server on this machine, which is how the tests serve the feed.
bool isAcceptedURL(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    return url.scheme() == QLatin1String("http") && QHostAddress(url.host()).isLoopback();
}

QString describeURL(const QUrl &url)
{
    return url.isValid() ? url.toDisplayString() : url.errorString();
}

} // namespace

Updater::Updater(const QNetworkRequest &updateRequest, QObject *parent)
    : QObject(parent), m_request(updateRequest), m_network(new QNetworkAccessManager(this))
{
    connect(&m_timer, &QTimer::timeout, this, &Updater::check);
}

Updater::~Updater() = default;

void Updater::setState(int state)
{
    m_state = state;
    Q_EMIT stateChanged(state);
}

void Updater::startAutomaticChecksWithInterval(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0) {
        Platform::logLine(QStringLiteral("update checks not started: the interval is not a "
                                         "positive number of seconds"));
        return;
    }
    if (!isAcceptedURL(m_request.url())) {
        Platform::logLine(
            QStringLiteral("update checks not started: the feed is not an HTTPS URL: ") +
            describeURL(m_request.url()));
        return;
    }
    const double ms = std::min(seconds * 1000.0, double(std::numeric_limits<int>::max()));
    m_timer.start(std::max(1, int(std::lround(ms))));
    // From the event loop, so that an observer connected right after this call sees it too.
    QTimer::singleShot(0, this, &Updater::check);
}

void Updater::check()
{
    if (m_state != Idle) // The last check or download is still under way.
        return;
    setState(CheckingForUpdate);
    m_reply = m_network->get(m_request);
    connect(m_reply, &QNetworkReply::finished, this, &Updater::feedFinished);
}

void Updater::discardStaging()
{
    m_archive.reset();
    m_staging.reset();
    m_stagedArchive.clear();
}

void Updater::feedFinished()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const auto fail = [this](const QString &why) {
        Platform::logLine(QStringLiteral("update check failed: ") + why);
        setState(Idle);
    };

    if (reply->error() != QNetworkReply::NoError)
        return fail(reply->errorString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 204)
        return setState(Idle);
    if (status != 200)
        return fail(QStringLiteral("the feed answered HTTP %1").arg(status));

    QJsonParseError parseError;
    const QJsonDocument feed = QJsonDocument::fromJson(reply->readAll(), &parseError);
    const QJsonValue url = feed.object().value(QLatin1String("url"));
    if (parseError.error != QJsonParseError::NoError || !feed.isObject() || !url.isString() ||
        url.toString().isEmpty() || !feed.object().value(QLatin1String("name")).isString())
        return fail(QStringLiteral("the feed did not answer a JSON object with \"url\" and "
                                   "\"name\""));
    const QUrl archiveURL = reply->url().resolved(QUrl(url.toString()));
    if (!isAcceptedURL(archiveURL))
        return fail(QStringLiteral("the update is not offered over HTTPS: ") + url.toString());

    m_staging =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ambrel-update-XXXXXX"));
    m_archive = std::make_unique<QFile>(m_staging->filePath(QStringLiteral("update.tar.gz")));
    if (!m_staging->isValid() || !m_archive->open(QIODevice::WriteOnly)) {
        const QString why =
            QStringLiteral("cannot stage the update: ") +
            (m_staging->isValid() ? m_archive->errorString() : m_staging->errorString());
        discardStaging();
        return fail(why);
    }

    setState(DownloadingUpdate);
    QNetworkRequest request(archiveURL);
    // A stalled download ends like a stalled check.
    request.setTransferTimeout(m_request.transferTimeout());
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (m_archive->write(m_reply->readAll()) < 0)
            m_reply->abort();
    });
    connect(m_reply, &QNetworkReply::finished, this, &Updater::downloadFinished);
}

void Updater::downloadFinished()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const auto fail = [this](const QString &why) {
        Platform::logLine(QStringLiteral("update download failed: ") + why);
        discardStaging();
        setState(Idle);
    };

    if (m_archive->error() != QFileDevice::NoError)
        return fail(m_archive->errorString());
    if (reply->error() != QNetworkReply::NoError)
        return fail(reply->errorString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        return fail(QStringLiteral("the server answered HTTP %1").arg(status));
    if (m_archive->write(reply->readAll()) < 0 || !m_archive->flush())
        return fail(m_archive->errorString());
    if (m_archive->size() == 0)
        return fail(QStringLiteral("the archive is empty"));
    m_archive->close();
    m_stagedArchive = m_archive->fileName();
    m_archive.reset();
    setState(AwaitingRelaunch);
}

void Updater::relaunchToInstallUpdate()
{
    if (m_state != AwaitingRelaunch) {
        Platform::logLine(QStringLiteral("no update is staged to install"));
        return;
    }
    if (m_stagedArchive.isEmpty()) {
        Platform::logLine(
            QStringLiteral("the update is already installed, waiting for the restart"));
        return;
    }
    const QUrl resources = m_resourceURL.value_or(Platform::resourceURL());
    bool installed = false;
    if (resources.isEmpty())
        Platform::logLine(QStringLiteral("cannot install the update: Ambrel does not run from an "
                                         "installed tree"));
    else
        installed = installUpdate(m_stagedArchive, bundleURL(resources).toLocalFile());
    discardStaging();
    if (installed && restartApplication(resources))
        return;
    setState(Idle);
}

QNetworkRequest updateRequest(const QString &origin)
{
    // The version goes in as it is, unescaped.
    QNetworkRequest request(
        QUrl(origin + QStringLiteral("/update/osx/" AMBREL_VERSION), QUrl::StrictMode));
    request.setTransferTimeout(60000);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::PreferNetwork);
    return request;
}

Updater *makeUpdater(QObject *parent)
{
    // Tests point Ambrel at a feed of their own; plain http is taken only from loopback.
    const QNetworkRequest request = updateRequest(qEnvironmentVariable(
        "AMBREL_UPDATE_ORIGIN", QStringLiteral("https://" AMBREL_UPDATE_HOST)));
    if (!request.url().isValid())
        Platform::logLine(QStringLiteral("the update feed URL is not valid, Ambrel will not "
                                         "update itself: ") +
                          request.url().errorString());
    return new Updater(request, parent);
}

void reportUpdaterState(const std::optional<QString> &keyPath, QObject *object, Updater *updater)
{
    if (!keyPath || *keyPath != QLatin1String("state"))
        return;
    const auto *observed = qobject_cast<Updater *>(object);
    if (!observed)
        return;
    switch (observed->state()) {
    case Updater::Idle:
        Platform::logLine(QStringLiteral("SQRLUpdaterStateIdle"));
        break;
    case Updater::CheckingForUpdate:
        Platform::logLine(QStringLiteral("SQRLUpdaterStateCheckingForUpdate"));
        break;
    case Updater::DownloadingUpdate:
        Platform::logLine(QStringLiteral("SQRLUpdaterStateDownloadingUpdate"));
        break;
    case Updater::AwaitingRelaunch:
        Platform::logLine(QStringLiteral("SQRLUpdaterStateAwaitingRelaunch"));
        if (updater)
            updater->relaunchToInstallUpdate();
        break;
    default:
        Platform::logLine(QStringLiteral("unknown state"));
        break;
    }
}

static QUrl deletingLastPathComponent(QUrl url)
{
    QString path = url.path(QUrl::FullyDecoded);
    if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    path.truncate(path.lastIndexOf(QLatin1Char('/')) + 1);
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

QUrl bundleURL(const QUrl &resourceURL)
{
    return deletingLastPathComponent(deletingLastPathComponent(resourceURL));
}

bool restartApplication(const QUrl &resourceURL)
{
    if (resourceURL.isEmpty())
        return false;
    const QString bundleText = QString::fromUtf8(bundleURL(resourceURL).toEncoded());
    Platform::logLine(QStringLiteral("restart ") + bundleText);
    const QString program =
        QDir(bundleURL(resourceURL).toLocalFile()).absoluteFilePath(QStringLiteral("bin/ambrel"));
    if (!Platform::startDetached(program)) {
        // Quitting now would leave the user with no Ambrel at all.
        Platform::logLine(QStringLiteral("restart failed: cannot start Ambrel from ") + bundleText);
        return false;
    }
    QCoreApplication::quit();
    return true;
}

void restartApplication()
{
    restartApplication(Platform::resourceURL());
}
