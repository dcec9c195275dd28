#include "AppDelegate.h"
#include "Platform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <unistd.h>

namespace {

// Qt ends the process with qFatal when no platform plugin can connect to a display. While the
// application object is made, hold Qt's messages back and turn that into one clear line.
QtMessageHandler qtHandler = nullptr;
QList<std::pair<QtMsgType, QString>> heldMessages;
bool holdingMessages = false;

const char noDisplay[] = "ambrel: cannot connect to a display; Ambrel lives in a desktop's tray "
                         "and needs an X11 or Wayland session";

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

void describe(QCoreApplication &app)
{
    app.setApplicationName(QStringLiteral("ambrel"));
    app.setApplicationVersion(QStringLiteral(AMBREL_VERSION));
    app.setOrganizationName(QStringLiteral("Ambrel"));
}

// --help and --version need no display.
void handleCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    describe(app);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ambrel shows in the tray how many processes listen on a TCP port, and "
                       "lists them in its menu."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app); // Exits for --help, --version and unknown options.
}

} // namespace

int main(int argc, char **argv)
{
    handleCommandLine(argc, argv);

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

    AppDelegate delegate;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    app.exec();
    return 0;
}
