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
#include <QThread>

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

Updater::Updater(const QNetworkRequest &updateRequest, std::optional<PublicKey> key,
                 QObject *parent)
    : QObject(parent), m_request(updateRequest), m_key(std::move(key)),
      m_network(new QNetworkAccessManager(this))
{
    connect(&m_timer, &QTimer::timeout, this, &Updater::check);
}

Updater::~Updater()
{
    cancel();
}

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
    if (!m_off.isEmpty() || !m_key) {
        Platform::logLine(m_off.isEmpty() ? QStringLiteral("update checks not started: this "
                                                           "build has no key to check updates with")
                                          : m_off);
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

// A GET whose every redirect passes the checks of the first URL, whose body is cut off past
// `limit` bytes, and which ends after `deadlineMs` however slowly the bytes come.
QNetworkReply *Updater::get(const QUrl &url, qint64 limit, int deadlineMs)
{
    QNetworkRequest request(m_request);
    request.setUrl(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    m_replyProblem.clear();
    QNetworkReply *reply = m_network->get(request);
    const auto cut = [this, reply](const QString &why) {
        m_replyProblem = why;
        reply->abort();
    };
    connect(reply, &QNetworkReply::redirected, reply, [reply, cut](const QUrl &target) {
        if (isAcceptedURL(target))
            Q_EMIT reply->redirectAllowed();
        else
            cut(QStringLiteral("redirected to a URL that is not HTTPS: ") + describeURL(target));
    });
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, limit, cut] {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > limit)
            cut(QStringLiteral("the answer is larger than %1 bytes").arg(limit));
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [limit, cut](qint64 received) {
        if (received > limit)
            cut(QStringLiteral("the answer is larger than %1 bytes").arg(limit));
    });
    QTimer::singleShot(deadlineMs, reply, [reply, deadlineMs, cut] {
        if (reply->isRunning())
            cut(QStringLiteral("no whole answer within %1 s").arg(deadlineMs / 1000));
    });
    return reply;
}

void Updater::check()
{
    if (m_state != Idle) // The last check, download or install is still under way.
        return;
    setState(CheckingForUpdate);
    m_reply = get(m_request.url(), m_limits.feedBytes, m_limits.feedMs);
    connect(m_reply, &QNetworkReply::finished, this, &Updater::feedFinished);
}

void Updater::discardStaging()
{
    m_signature.reset();
    m_archive.reset();
    m_staging.reset();
    m_stagedArchive.clear();
}

// The reply's failure in words, ours first: an abort of our own says only "cancelled".
static QString failure(const QNetworkReply &reply, const QString &ours)
{
    if (!ours.isEmpty())
        return ours;
    if (reply.error() != QNetworkReply::NoError)
        return reply.errorString();
    return {};
}

// The finished reply, which goes once control returns to the event loop.
QNetworkReply *Updater::takeReply()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    return reply;
}

void Updater::giveUp(const char *stage, const QString &why)
{
    Platform::logLine(QStringLiteral("update %1 failed: ").arg(QLatin1String(stage)) + why);
    discardStaging();
    setState(Idle);
}

void Updater::feedFinished()
{
    QNetworkReply *reply = takeReply();
    const auto fail = [this](const QString &why) {
        giveUp("check", why);
    };

    if (const QString why = failure(*reply, m_replyProblem); !why.isEmpty())
        return fail(why);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 204)
        return setState(Idle);
    if (status != 200)
        return fail(QStringLiteral("the feed answered HTTP %1").arg(status));

    QJsonParseError parseError;
    const QJsonDocument feed = QJsonDocument::fromJson(reply->readAll(), &parseError);
    const QJsonObject offer = feed.object();
    const QJsonValue url = offer.value(QLatin1String("url"));
    if (parseError.error != QJsonParseError::NoError || !feed.isObject() || !url.isString() ||
        url.toString().isEmpty() || !offer.value(QLatin1String("name")).isString())
        return fail(QStringLiteral("the feed did not answer a JSON object with \"url\" and "
                                   "\"name\""));
    const QUrl archiveURL = reply->url().resolved(QUrl(url.toString()));
    if (!isAcceptedURL(archiveURL))
        return fail(QStringLiteral("the update is not offered over HTTPS: ") + url.toString());
    // The signature's trusted comment is the publisher's word on the version: an update that
    // is not newer is not even downloaded.
    m_signature = std::make_unique<SignatureCheck>(
        *m_key, offer.value(QLatin1String("signature")).toString());
    if (!m_signature->isValid())
        return fail(m_signature->error());
    const std::optional<QString> version = versionInTrustedComment(m_signature->trustedComment());
    if (!version)
        return fail(QStringLiteral("the signature names no version: ") +
                    m_signature->trustedComment());
    if (!isNewerVersion(*version, QStringLiteral(AMBREL_VERSION)))
        return fail(QStringLiteral("version %1 is not newer than " AMBREL_VERSION).arg(*version));
    m_version = *version;

    m_staging =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ambrel-update-XXXXXX"));
    m_archive = std::make_unique<QFile>(m_staging->filePath(QStringLiteral("update.tar.gz")));
    if (!m_staging->isValid() || !m_archive->open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("cannot stage the update: ") +
                    (m_staging->isValid() ? m_archive->errorString() : m_staging->errorString()));
    }

    setState(DownloadingUpdate);
    m_reply = get(archiveURL, m_limits.archiveBytes, m_limits.downloadMs);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        const QByteArray bytes = m_reply->readAll();
        m_signature->addData(bytes);
        if (m_archive->write(bytes) < 0) {
            m_replyProblem = m_archive->errorString();
            m_reply->abort();
        }
    });
    connect(m_reply, &QNetworkReply::finished, this, &Updater::downloadFinished);
}

void Updater::downloadFinished()
{
    QNetworkReply *reply = takeReply();
    const auto fail = [this](const QString &why) {
        giveUp("download", why);
    };

    if (const QString why = failure(*reply, m_replyProblem); !why.isEmpty())
        return fail(why);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        return fail(QStringLiteral("the server answered HTTP %1").arg(status));
    const QByteArray rest = reply->readAll();
    m_signature->addData(rest);
    if (m_archive->write(rest) < 0 || !m_archive->flush())
        return fail(m_archive->errorString());
    m_archive->close();
    QString why;
    if (!m_signature->finish(&why))
        return fail(why);
    Platform::logLine(
        QStringLiteral("update %1 downloaded, its signature verified").arg(m_version));
    m_stagedArchive = m_archive->fileName();
    m_archive.reset();
    setState(AwaitingRelaunch);
}

QUrl Updater::resources() const
{
    return m_resourceURL.value_or(Platform::resourceURL());
}

void Updater::relaunchToInstallUpdate()
{
    if (m_state != AwaitingRelaunch || m_install) {
        Platform::logLine(QStringLiteral("no update is staged to install"));
        return;
    }
    if (resources().isEmpty()) {
        Platform::logLine(QStringLiteral("cannot install the update: Ambrel does not run from an "
                                         "installed tree"));
        discardStaging();
        return setState(Idle);
    }
    // Unpacking takes seconds and the menu must go on working meanwhile.
    const QString archive = m_stagedArchive;
    const QString bundle = bundleURL(resources()).toLocalFile();
    const UnpackLimits limits = m_limits.unpacked;
    auto installed = std::make_shared<std::atomic_bool>(false);
    m_install = QThread::create([this, archive, bundle, limits, installed] {
        installed->store(installUpdate(archive, bundle, &m_cancel, limits));
    });
    connect(m_install, &QThread::finished, this,
            [this, installed] { installFinished(installed->load()); });
    m_install->start();
}

void Updater::installFinished(bool installed)
{
    if (!m_install)
        return; // cancelled, and gone already
    m_install->deleteLater();
    m_install = nullptr;
    discardStaging();
    if (m_cancel)
        return;
    if (installed && restartApplication(resources()))
        return;
    setState(Idle);
}

void Updater::cancel()
{
    m_cancel = true;
    m_timer.stop();
    if (m_reply)
        m_reply->abort();
    if (m_install) {
        disconnect(m_install, nullptr, this, nullptr);
        m_install->wait();
        delete m_install;
        m_install = nullptr;
        discardStaging();
    }
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
    QString origin = QStringLiteral("https://" AMBREL_UPDATE_HOST);
#ifdef AMBREL_TEST_HOOKS
    // Builds for testing may point Ambrel at a feed of their own.
    origin = qEnvironmentVariable("AMBREL_UPDATE_ORIGIN", origin);
#endif
    const QNetworkRequest request = updateRequest(origin);
    QString why;
    auto *updater = new Updater(request, updatePublicKey(&why), parent);
    const QUrl resources = Platform::resourceURL();
    if (!resources.isEmpty() && !isAmbrelsOwnTree(bundleURL(resources).toLocalFile()))
        updater->disable(QStringLiteral("updates come from the package manager"));
    else if (!why.isEmpty())
        updater->disable(QStringLiteral("the built-in update key is not valid: ") + why);
    else if (!request.url().isValid())
        updater->disable(QStringLiteral("the update feed URL is not valid: ") +
                         request.url().errorString());
    return updater;
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
