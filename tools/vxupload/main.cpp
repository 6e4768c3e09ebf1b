// vxupload: uploads files through the upload plugin, the way a desktop host drives it.
#include "VXCommandLine.h"
#include "VXUploadExitCodes.h"
#include "VXUploadSession.h"

#include <QCoreApplication>
#include <QFile>

#include <unistd.h>

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
    QString error;
    if (!session.prepare(commandLine, &out, &err, &error)) {
        err.write("vxupload: " + error.toUtf8() + '\n');
        return VXExit::Usage;
    }
    // Queued: the run may end inside start(), before the event loop runs.
    QObject::connect(&session, &VXUploadSession::sglFinished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    session.start(commandLine.jobs(), commandLine.timeoutMs(), commandLine.resubmitCount());
    return app.exec();
}
