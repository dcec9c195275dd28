#include "AppDelegate.h"
#include "CommandLine.h"
#include "ContainerPorts.h"
#include "Installer.h"
#include "Log.h"
#include "Paths.h"
#include "Scanner.h"
#include "Signals.h"
#include "SingleInstance.h"
#include "Updater.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <optional>
#include <unistd.h>

namespace {

// Qt ends the process with qFatal when no platform plugin can connect to a display. While the
// application object is made, hold Qt's messages back and turn that into one clear line.
QtMessageHandler qtHandler = nullptr;
QList<std::pair<QtMsgType, QString>> heldMessages;
bool holdingMessages = false;

const char noDisplay[] = "ambrel: cannot connect to a display; Ambrel lives in a desktop's tray "
                         "(run 'ambrel --list' to print the listening processes here)";

void startupMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (holdingMessages && type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", noDisplay);
        std::fflush(stderr);
        ::_exit(1);
    }
    if (holdingMessages) {
        heldMessages.append({type, text});
        return;
    }
    qtHandler(type, context, text);
}

bool platformIsChosen(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

// Qt's own options, which QApplication takes out of the command line itself: those that take
// a value, then those that do not. Either may be written with one dash or two.
const QStringList qtOptionsWithValue = {QStringLiteral("platform"),
                                        QStringLiteral("platformpluginpath"),
                                        QStringLiteral("platformtheme"),
                                        QStringLiteral("plugin"),
                                        QStringLiteral("qwindowgeometry"),
                                        QStringLiteral("qwindowicon"),
                                        QStringLiteral("qwindowtitle"),
                                        QStringLiteral("display"),
                                        QStringLiteral("geometry"),
                                        QStringLiteral("title"),
                                        QStringLiteral("name"),
                                        QStringLiteral("style"),
                                        QStringLiteral("stylesheet"),
                                        QStringLiteral("session"),
                                        QStringLiteral("qmljsdebugger"),
                                        QStringLiteral("visual"),
                                        QStringLiteral("ncols"),
                                        QStringLiteral("im"),
                                        QStringLiteral("inputstyle")};
const QStringList qtFlags = {QStringLiteral("reverse"),    QStringLiteral("widgetcount"),
                             QStringLiteral("nograb"),     QStringLiteral("dograb"),
                             QStringLiteral("sync"),       QStringLiteral("cmap"),
                             QStringLiteral("testability")};

// The command line without Qt's own options, for Ambrel's parser.
QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        QString name = argument;
        if (i == 0 || !name.startsWith(QLatin1Char('-'))) {
            kept.append(argument);
            continue;
        }
        name.remove(0, name.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (qtOptionsWithValue.contains(name.left(equals))) {
            if (equals < 0)
                ++i; // its value
        } else if (!qtFlags.contains(name)) {
            kept.append(argument);
        }
    }
    return kept;
}

void describe(QCoreApplication &app)
{
    app.setApplicationName(QStringLiteral("ambrel"));
    app.setApplicationVersion(QStringLiteral(AMBREL_VERSION));
    app.setOrganizationName(QStringLiteral("Ambrel"));
}

// A port as a user writes it: 1 to 65535 in plain digits, no sign, no leading zero.
std::optional<qint64> portNumber(const QString &text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || QString::number(port) != text)
        return std::nullopt;
    return port;
}

// --help, --version and --list need no display. Returns the exit status when the command
// line asked for one of them (or was wrong: 64, with one line), and the engine to list with.
std::pair<std::optional<int>, ScanEngine> handleCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    describe(app);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ambrel shows in the tray how many processes listen on a TCP port, and "
                       "lists them in its menu."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption list(
        {QStringLiteral("l"), QStringLiteral("list")},
        QStringLiteral("Print the processes listening on a TCP port, as the menu shows them."));
    const QCommandLineOption scanner(
        QStringLiteral("scanner"),
        QStringLiteral("List with <engine>: native (the kernel's socket table, the default) or "
                       "lsof. The setting \"scanner\" keeps a choice."),
        QStringLiteral("engine"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list: print JSON (see the README)."));
    const QCommandLineOption stop(
        QStringLiteral("stop"),
        QStringLiteral("End the processes listening on <port>: SIGTERM, then SIGKILL to those "
                       "still there 3 s later. Exit status 0 once they ended, 1 when nothing "
                       "listens there, 2 when one could not be ended, 64 for a usage error."),
        QStringLiteral("port"));
    const QCommandLineOption kill(
        QStringLiteral("kill"),
        QStringLiteral("Kill the processes listening on <port> at once (SIGKILL); exit status as "
                       "for --stop."),
        QStringLiteral("port"));
    parser.addOptions({list, json, scanner, stop, kill});
    const auto usage = [](const QString &why) {
        std::fprintf(stderr, "ambrel: %s\n", Platform::printable(why).toUtf8().constData());
        return std::pair<std::optional<int>, ScanEngine>{64, ScanEngine::Native};
    };
    const QStringList arguments = withoutQtOptions(QCoreApplication::arguments());
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    parser.process(arguments); // exits for --help, --help-all and --version
    const std::optional<ScanEngine> engine = chosenEngine(parser.value(scanner));
    if (!engine)
        return usage(QStringLiteral("unknown scanner '%1': choose native or lsof")
                         .arg(parser.value(scanner)));
    const QStringList ports = parser.values(stop) + parser.values(kill);
    if (parser.isSet(stop) && parser.isSet(kill))
        return usage(QStringLiteral("--stop and --kill cannot be used together"));
    if (ports.size() > 1)
        return usage(QStringLiteral("--%1 takes one port")
                         .arg(QLatin1String(parser.isSet(stop) ? "stop" : "kill")));
    const bool ending = !ports.isEmpty();
    if (!parser.isSet(list) && !ending)
        return {std::nullopt, *engine};
    const std::optional<qint64> port = ending ? portNumber(ports.front()) : std::nullopt;
    if (ending && !port)
        return usage(QStringLiteral("not a port: '%1'").arg(ports.front()));
    QString why;
    std::optional<QList<Listener>> processes;
    if (*engine == ScanEngine::Native)
        processes = listSocketsOnce(&why);
    if (!processes)
        processes = listOnce(Platform::lsofLaunchPath(), &why);
    if (!processes) {
        std::fprintf(stderr, "ambrel: %s\n", Platform::printable(why).toUtf8().constData());
        return {1, *engine};
    }
    processes = withContainersOnce(*processes);
    if (ending)
        return {endProcessOnPort(*processes, *port, parser.isSet(stop)), *engine};
    if (parser.isSet(json)) {
        const QByteArray text = listingJson(*processes);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return {0, *engine};
    }
    for (const Listener &process : *processes) {
        // A title that needed the pid to tell it apart ends with it already.
        const QString who = process.container
                                ? QStringLiteral("container ") + process.container->id.left(12)
                            : process.othersPort ? QStringLiteral("user %1").arg(process.user)
                                                 : QStringLiteral("pid %1").arg(process.pid);
        const QString title = process.title.isEmpty() ? processTitle(process) : process.title;
        const QString tail = QStringLiteral("(%1)").arg(who);
        Platform::printLine(title.endsWith(tail) ? title : title + QStringLiteral("  ") + tail);
    }
    return {0, *engine};
}

} // namespace

int main(int argc, char **argv)
{
    const auto [status, engine] = handleCommandLine(argc, argv);
    if (status)
        return *status;

    if (!platformIsChosen(argc, argv) && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "%s (neither DISPLAY nor WAYLAND_DISPLAY is set)\n", noDisplay);
        return 1;
    }

    qtHandler = qInstallMessageHandler(startupMessageHandler);
    holdingMessages = true;
    QApplication app(argc, argv);
    holdingMessages = false;
    for (const auto &[type, text] : std::as_const(heldMessages))
        qtHandler(type, QMessageLogContext(), text);
    heldMessages.clear();

    describe(app);
    app.setApplicationDisplayName(QStringLiteral("Ambrel"));
    app.setDesktopFileName(QStringLiteral("ambrel"));
    app.setWindowIcon(QIcon(QStringLiteral(":/images/menuTemplateInverted.svg")));
    app.setQuitOnLastWindowClosed(false);
    Platform::quitOnTerminationSignals();

    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Running:
        std::printf("ambrel: already running (pid %lld)\n",
                    static_cast<long long>(instance.owner()));
        return 0;
    case SingleInstance::Silent:
        std::fprintf(
            stderr, "ambrel: another Ambrel%s holds this session but does not answer\n",
            instance.owner() ? qPrintable(QStringLiteral(" (pid %1)").arg(instance.owner())) : "");
        return 1;
    case SingleInstance::Claimed:
        // No other Ambrel of this user runs: what an interrupted update left is nobody's.
        removeUpdateLeftovers(bundleURL(Platform::resourceURL()).toLocalFile());
        break;
    case SingleInstance::Unguarded:
        break;
    }
    QObject::connect(&instance, &SingleInstance::anotherStart, [] {
        Platform::logLine(QStringLiteral("another start of Ambrel was turned away"));
    });

    AppDelegate delegate;
    delegate.useEngine(engine);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    app.exec();
    return 0;
}
