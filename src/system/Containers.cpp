#include "Containers.h"

#include "Log.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <unistd.h>

namespace Platform {

namespace {

constexpr long requestMs = 2000;
constexpr long stopGraceMs = 10000;
// A listing of a thousand containers is far below this; a daemon that sends more is broken.
constexpr qsizetype replyLimit = qsizetype(16) << 20;

struct Transfer {
    CURL *easy = nullptr;
    const std::atomic<bool> *cancel = nullptr;
    // Takes each piece of the body; false stops the transfer.
    std::function<bool(QByteArrayView)> sink;
};

size_t received(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    return transfer->sink(QByteArrayView(data, qsizetype(size * count))) ? size * count : 0;
}

// libcurl asks at least once a second, also while a stream is idle.
int progressed(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto *cancel = static_cast<Transfer *>(context)->cancel;
    return cancel && cancel->load() ? 1 : 0;
}

struct Reply {
    long status = 0;
    QString failure; // why no answer came; empty when one did
};

// One HTTP request over the unix socket; `timeoutMs` 0 for a stream without end.
Reply perform(const QString &socket, const char *method, const QByteArray &path, long timeoutMs,
              Transfer &transfer)
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_NOTHING) == CURLE_OK;
    if (!initialised)
        return {0, QStringLiteral("libcurl cannot start")};
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                   curl_easy_cleanup);
    if (!easy)
        return {0, QStringLiteral("libcurl cannot start")};
    transfer.easy = easy.get();
    const QByteArray socketPath = QFile::encodeName(socket);
    const QByteArray url = "http://localhost" + path;
    char error[CURL_ERROR_SIZE] = {};
    CURL *e = easy.get();
    curl_easy_setopt(e, CURLOPT_UNIX_SOCKET_PATH, socketPath.constData());
    curl_easy_setopt(e, CURLOPT_URL, url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, requestMs);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, received);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, progressed);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer);
    if (qstrcmp(method, "POST") == 0) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, 0L);
    }
    const CURLcode code = curl_easy_perform(e);
    Reply reply;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
    if (code != CURLE_OK) {
        reply.failure =
            QStringLiteral("the container API at %1: %2")
                .arg(printable(socket),
                     QString::fromUtf8(*error ? error : curl_easy_strerror(code)).trimmed());
    }
    return reply;
}

// A whole answer, within the limit.
Reply request(const QString &socket, const char *method, const QByteArray &path, long timeoutMs,
              const std::atomic<bool> *cancel, QByteArray *body)
{
    Transfer transfer;
    transfer.cancel = cancel;
    transfer.sink = [body](QByteArrayView piece) {
        if (body->size() + piece.size() > replyLimit)
            return false;
        body->append(piece);
        return true;
    };
    return perform(socket, method, path, timeoutMs, transfer);
}

// The API's own words for a refusal, else its status.
QString refusal(long status, const QByteArray &body)
{
    const QString message = QJsonDocument::fromJson(body)[QLatin1String("message")].toString();
    return message.isEmpty() ? QStringLiteral("the container API answered %1").arg(status)
                             : QStringLiteral("the container API: ") + printable(message);
}

bool isContainerId(const QString &id)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{12,64}$"));
    return hex.match(id).hasMatch();
}

// RFC 3339 as the API writes it (nanoseconds, "Z" or an offset) to clock ticks since boot.
qint64 ticksSinceBoot(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(?:\.(\d{1,9}))?(Z|[+-]\d\d:\d\d)$)"));
    const QRegularExpressionMatch m = form.match(text);
    const QDateTime when = QDateTime::fromString(m.captured(1) + m.captured(3), Qt::ISODate);
    if (!m.hasMatch() || !when.isValid())
        return -1;
    const qint64 ms =
        when.toMSecsSinceEpoch() + m.captured(2).left(3).leftJustified(3, u'0').toLongLong();
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const qint64 bootMs = qint64(boot.tv_sec) * 1000 + boot.tv_nsec / 1000000;
    const qint64 sinceBootMs = bootMs - (QDateTime::currentMSecsSinceEpoch() - ms);
    return qMax<qint64>(0, sinceBootMs) * sysconf(_SC_CLK_TCK) / 1000;
}

std::optional<RunningContainer> container(const QJsonObject &o)
{
    static const QRegularExpression address(QStringLiteral("^[0-9A-Fa-f:.]*$"));
    RunningContainer c;
    c.id = o[QLatin1String("Id")].toString();
    c.name = o[QLatin1String("Names")][0].toString();
    if (c.name.startsWith(u'/'))
        c.name.remove(0, 1);
    c.image = o[QLatin1String("Image")].toString();
    for (const QJsonValue value : o[QLatin1String("Ports")].toArray()) {
        const qint64 host = value[QLatin1String("PublicPort")].toInteger();
        const qint64 own = value[QLatin1String("PrivatePort")].toInteger();
        QString ip = value[QLatin1String("IP")].toString();
        if (value[QLatin1String("Type")] != QLatin1String("tcp") || host <= 0 || host > 65535 ||
            own <= 0 || own > 65535 || !address.match(ip).hasMatch())
            continue;
        const PublishedPort port{ip.isEmpty() ? QStringLiteral("0.0.0.0") : ip, quint16(host),
                                 quint16(own)};
        if (!c.ports.contains(port))
            c.ports.append(port);
    }
    std::sort(c.ports.begin(), c.ports.end(), [](const PublishedPort &a, const PublishedPort &b) {
        return std::tie(a.port, a.address) < std::tie(b.port, b.address);
    });
    if (!isContainerId(c.id) || c.ports.isEmpty())
        return std::nullopt;
    return c;
}

} // namespace

std::optional<QString> containerApiSocket(QString *why)
{
    QStringList candidates;
    const QString host = qEnvironmentVariable("DOCKER_HOST");
    if (host.startsWith(QLatin1String("unix://"))) {
        candidates.append(host.mid(7));
    } else if (!host.isEmpty()) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            logLine(QStringLiteral("DOCKER_HOST %1 is not a unix:// socket; looking for the "
                                   "container API elsewhere")
                        .arg(printable(host)));
    }
    candidates.append(QStringLiteral("/var/run/docker.sock"));
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty()) {
        candidates.append(runtime + QStringLiteral("/docker.sock"));
        candidates.append(runtime + QStringLiteral("/podman/podman.sock"));
    }
    why->clear();
    for (const QString &candidate : candidates) {
        // Connecting to a unix socket takes write permission.
        if (::access(QFile::encodeName(candidate).constData(), R_OK | W_OK) == 0)
            return candidate;
        if (errno != ENOENT && why->isEmpty())
            *why = QStringLiteral("cannot use the container API at %1: %2")
                       .arg(printable(candidate), QString::fromLocal8Bit(std::strerror(errno)));
    }
    return std::nullopt;
}

std::optional<QList<RunningContainer>> runningContainers(const QString &socket, QString *why,
                                                         const std::atomic<bool> *cancel)
{
    QByteArray body;
    Reply reply = request(socket, "GET", "/containers/json", requestMs, cancel, &body);
    if (reply.failure.isEmpty() && reply.status != 200)
        reply.failure = refusal(reply.status, body);
    const QJsonDocument list = QJsonDocument::fromJson(body);
    if (reply.failure.isEmpty() && !list.isArray())
        reply.failure = QStringLiteral("the container API sent no list of containers");
    if (!reply.failure.isEmpty()) {
        *why = reply.failure;
        return std::nullopt;
    }
    QList<RunningContainer> containers;
    for (const QJsonValue value : list.array()) {
        std::optional<RunningContainer> c = container(value.toObject());
        if (!c)
            continue;
        // The listing tells when it was made; only the container itself when it (re)started.
        QByteArray details;
        reply = request(socket, "GET", "/containers/" + c->id.toLatin1() + "/json", requestMs,
                        cancel, &details);
        if (reply.failure.isEmpty() && reply.status == 404)
            continue; // it went meanwhile
        c->startTime = ticksSinceBoot(
            QJsonDocument::fromJson(details)[QLatin1String("State")][QLatin1String("StartedAt")]
                .toString());
        containers.append(*c);
    }
    return containers;
}

bool endContainer(const QString &socket, const QString &id, bool gently, QString *why,
                  const std::atomic<bool> *cancel)
{
    if (!isContainerId(id)) {
        *why = QStringLiteral("not a container id: %1").arg(printable(id));
        return false;
    }
    QByteArray body;
    const Reply reply =
        request(socket, "POST", "/containers/" + id.toLatin1() + (gently ? "/stop" : "/kill"),
                gently ? stopGraceMs + requestMs : requestMs, cancel, &body);
    // 304: it had already stopped; 404: it is gone.
    if (reply.failure.isEmpty() &&
        (reply.status == 204 || reply.status == 304 || reply.status == 404))
        return true;
    *why = reply.failure.isEmpty() ? refusal(reply.status, body) : reply.failure;
    return false;
}

QString watchContainerEvents(const QString &socket, const std::function<void()> &changed,
                             const std::atomic<bool> &cancel)
{
    const QByteArray filters =
        QUrl::toPercentEncoding(QStringLiteral(R"({"type":["container"],"event":)"
                                               R"(["start","stop","die"]})"));
    // One JSON object a line; a line of a megabyte is no event.
    constexpr qsizetype longestLine = qsizetype(1) << 20;
    QByteArray line;
    QByteArray refused;
    Transfer transfer;
    transfer.cancel = &cancel;
    transfer.sink = [&](QByteArrayView piece) {
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) {
            refused.append(piece.first(qMin(piece.size(), longestLine - refused.size())));
            return true;
        }
        line.append(piece);
        for (qsizetype end; (end = line.indexOf('\n')) >= 0; line.remove(0, end + 1)) {
            if (QJsonDocument::fromJson(line.first(end)).isObject())
                changed();
        }
        return line.size() < longestLine;
    };
    const Reply reply = perform(socket, "GET", "/events?filters=" + filters, 0, transfer);
    if (cancel.load())
        return {};
    if (!reply.failure.isEmpty())
        return reply.failure;
    return reply.status == 200 ? QStringLiteral("the container API's event stream ended")
                               : refusal(reply.status, refused);
}

} // namespace Platform
