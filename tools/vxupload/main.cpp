// vxupload: uploads files through the upload plugin, the way a desktop host drives it.
#include "VXCommandLine.h"
#include "VXProgressView.h"
#include "VXSignalWatcher.h"
#include "VXUploadExitCodes.h"
#include "VXUploadSession.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

QPointer<VXProgressView> g_pView;

// Qt's log messages, the plugin's among them, go through the view while it exists.
void routeMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QString line = qFormatLogMessage(type, context, message);
    if (g_pView)
        g_pView->slotLogLine(line);
    else
        std::fprintf(stderr, "%s\n", qPrintable(line));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vxupload"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VXUPLOAD_VERSION));
    QFile in, out, err;
    in.open(STDIN_FILENO, QIODevice::ReadOnly);
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);

    VXCommandLine commandLine;
    if (!commandLine.parse(QCoreApplication::arguments(), &in)) {
        err.write("vxupload: " + commandLine.errorText().toUtf8() +
                  "\nTry 'vxupload --help' for more information.\n");
        return VXExit::Usage;
    }
    if (commandLine.action() == VXCommandLine::Action::Help) {
        out.write(commandLine.helpText().toUtf8());
        return VXExit::Success;
    }
    if (commandLine.action() == VXCommandLine::Action::Version) {
        out.write("vxupload " VXUPLOAD_VERSION "\n");
        return VXExit::Success;
    }

    VXUploadSession session;
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString pluginPath = VXCommandLine::pluginPath(
        commandLine.pluginOption(), qEnvironmentVariable("VXUPLOAD_PLUGIN"),
        {appDir, appDir + QStringLiteral("/" VXUPLOAD_INSTALLED_PLUGIN_DIR)});
    QString error;
    if (!session.loadPlugin(pluginPath, &error)) {
        err.write("vxupload: cannot use the plugin " + pluginPath.toUtf8() + ": "
                  + error.toUtf8() + '\n');
        return VXExit::Usage;
    }

    VXProgressView::Mode mode = VXProgressView::Mode::Plain;
    if (commandLine.outputMode() == VXCommandLine::OutputMode::Json)
        mode = VXProgressView::Mode::Json;
    else if (commandLine.outputMode() == VXCommandLine::OutputMode::Auto &&
             ::isatty(STDOUT_FILENO) && qEnvironmentVariable("TERM") != QLatin1String("dumb"))
        mode = VXProgressView::Mode::Terminal;
    VXProgressView view(mode, &out, &err, VXProgressView::terminalColumns(STDOUT_FILENO));
    g_pView = &view;
    qInstallMessageHandler(&routeMessage);
    QObject::connect(&session, &VXUploadSession::sglJobSubmitted, &view,
                     &VXProgressView::slotJobSubmitted);
    QObject::connect(&session, &VXUploadSession::sglJobProgress, &view,
                     &VXProgressView::slotJobProgress);
    QObject::connect(&session, &VXUploadSession::sglJobFinished, &view,
                     &VXProgressView::slotJobFinished);
    QObject::connect(&session, &VXUploadSession::sglNotice, &view, &VXProgressView::slotNotice);
    QObject::connect(&session, &VXUploadSession::sglFinished, &view,
                     &VXProgressView::slotRunFinished);
    // Queued: the run may end inside start(), before the event loop runs.
    QObject::connect(&session, &VXUploadSession::sglFinished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);

    VXSignalWatcher signalWatcher({SIGINT, SIGTERM});
    QObject::connect(&signalWatcher, &VXSignalWatcher::sglSignalled, &session,
                     [&session, &view](int signalNumber) {
                         view.slotNotice(QStringLiteral("%1: stopping every unfinished job")
                                             .arg(QLatin1String(::strsignal(signalNumber))));
                         session.slotStop(VXExit::Interrupted);
                     });

    session.start(commandLine.jobs(), commandLine.timeoutMs());
    return app.exec();
}
