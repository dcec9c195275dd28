// Self-update: the updater that polls the feed and stages a signed newer version, the handling
// of its state changes, and the restart of Ambrel from its installed tree.
//
// Feed: GET "<origin>/update/osx/<version>". 204 means no update. 200 carries a JSON object
// with "url" (the archive, absolute or relative to the feed), "name" and "signature" (the text
// of the archive's minisign .minisig file, whose trusted comment names the version, "ambrel
// 0.2.0"). Anything else is a failed check. The archive is a gzip-compressed tar of the whole
// bundle, laid out like the install prefix: "bin/ambrel", "share/ambrel/...".
#pragma once

#include "Installer.h"
#include "Signature.h"

#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <memory>
#include <optional>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryDir;
class QThread;

// How much the updater takes in at most, and for how long.
struct UpdateLimits {
    qint64 feedBytes = qint64(64) * 1024;
    qint64 archiveBytes = qint64(256) * 1024 * 1024;
    int feedMs = 60 * 1000;
    int downloadMs = 15 * 60 * 1000;
    UnpackLimits unpacked;
};

class Updater : public QObject {
    Q_OBJECT
public:
    enum State {
        Idle = 0,
        CheckingForUpdate = 1,
        DownloadingUpdate = 2,
        AwaitingRelaunch = 3,
    };

    // The request's URL and transfer timeout are used for the feed; the timeout also bounds
    // every stall of the archive download. Archives must be signed with `key`; with none,
    // the updater never checks.
    Updater(const QNetworkRequest &updateRequest, std::optional<PublicKey> key,
            QObject *parent = nullptr);
    ~Updater() override;

    int state() const { return m_state; }

    // Checks as soon as the event loop runs, then every interval, for as long as the updater
    // lives.
    void startAutomaticChecksWithInterval(double seconds);

    // Installs the staged archive over the bundle, off the GUI thread, and restarts Ambrel
    // from it. A failed install leaves the old bundle whole and the updater idle.
    void relaunchToInstallUpdate();
    // Ambrel is quitting: an install under way is cancelled and nothing is started.
    void cancel();
    // This updater never checks; the reason is logged when checks would start.
    void disable(const QString &why) { m_off = why; }

    // Where Ambrel's resources are installed; the bundle is two levels up. Defaults to
    // Platform::resourceURL().
    void setResourceURL(const QUrl &resourceURL) { m_resourceURL = resourceURL; }
    void setLimits(const UpdateLimits &limits) { m_limits = limits; }

Q_SIGNALS:
    // Emitted on every change of state, repeated values included.
    void stateChanged(int state);

protected:
    void setState(int state);

private:
    void check();
    QNetworkReply *get(const QUrl &url, qint64 limit, int deadlineMs);
    QNetworkReply *takeReply();
    void giveUp(const char *stage, const QString &why);
    void feedFinished();
    void downloadFinished();
    void installFinished(bool installed);
    void discardStaging();
    QUrl resources() const;

    QNetworkRequest m_request;
    std::optional<PublicKey> m_key;
    QString m_off;
    UpdateLimits m_limits;
    int m_state = Idle;
    QNetworkAccessManager *m_network;
    QTimer m_timer;
    QPointer<QNetworkReply> m_reply;
    QString m_replyProblem; // why the reply was cut short
    std::unique_ptr<SignatureCheck> m_signature;
    QString m_version;
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QFile> m_archive;
    QString m_stagedArchive;
    std::optional<QUrl> m_resourceURL;
    QThread *m_install = nullptr;
    std::atomic_bool m_cancel = false;
};

// The feed request for this version of Ambrel at the given origin ("https://host[:port]").
QNetworkRequest updateRequest(const QString &origin);

// The updater for the feed of AMBREL_UPDATE_HOST, with the key built in. It never returns
// null; when it cannot update (no key, a tree the package manager owns, a feed URL that does
// not parse) it says so in one log line and never checks.
Updater *makeUpdater(QObject *parent);

// Handles one change notice: logs the observed updater's state and, at "awaiting relaunch",
// asks `updater` (the delegate's own) to install and relaunch. A key path other than "state",
// or an object that is not an Updater, is ignored.
void reportUpdaterState(const std::optional<QString> &keyPath, QObject *object, Updater *updater);

// The bundle for a resources URL: two path components up.
QUrl bundleURL(const QUrl &resourceURL);

// Logs "restart <bundle URL>", starts Ambrel from the bundle and, only when that started, asks
// the application to quit. Returns whether it asked. An empty resources URL does nothing.
bool restartApplication(const QUrl &resourceURL);
void restartApplication();
