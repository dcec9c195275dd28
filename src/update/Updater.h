// Self-update: the updater that polls the feed and stages a new version, the handling of its
// state changes, and the restart of Ambrel from its installed tree.
//
// Feed: GET "<origin>/update/osx/<version>". 204 means no update. 200 carries a JSON object
// with at least "url" (the archive, absolute or relative to the feed) and "name". Anything else
// is a failed check. The archive is a gzip-compressed tar of the whole bundle, laid out like the
// install prefix: "bin/ambrel", "share/ambrel/...".
#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryDir;

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
    // every stall of the archive download.
    explicit Updater(const QNetworkRequest &updateRequest, QObject *parent = nullptr);
    ~Updater() override;

    int state() const { return m_state; }
    QNetworkRequest updateRequest() const { return m_request; }

    // Checks as soon as the event loop runs, then every interval, for as long as the updater
    // lives.
    void startAutomaticChecksWithInterval(double seconds);

    // Installs the staged archive over the bundle and restarts Ambrel from it. A failed install
    // leaves the old bundle whole and the updater idle.
    void relaunchToInstallUpdate();

    // Where Ambrel's resources are installed; the bundle is two levels up. Defaults to
    // Platform::resourceURL().
    void setResourceURL(const QUrl &resourceURL) { m_resourceURL = resourceURL; }

Q_SIGNALS:
    // Emitted on every change of state, repeated values included.
    void stateChanged(int state);

protected:
    void setState(int state);

private:
    void check();
    void feedFinished();
    void downloadFinished();
    void discardStaging();

    QNetworkRequest m_request;
    int m_state = Idle;
    QNetworkAccessManager *m_network;
    QTimer m_timer;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QTemporaryDir> m_staging;
    std::unique_ptr<QFile> m_archive;
    QString m_stagedArchive;
    std::optional<QUrl> m_resourceURL;
};

// The feed request for this version of Ambrel at the given origin ("https://host[:port]").
QNetworkRequest updateRequest(const QString &origin);

// The updater for the feed of AMBREL_UPDATE_HOST. It never returns null; when the feed URL does
// not parse, the updater logs that and never checks.
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
