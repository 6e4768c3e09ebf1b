#include "VXUploadSession.h"

#include "IVXFileUpload.h"
#include "VXCommandLine.h"
#include "VXFormat.h"
#include "VXHostRelay.h"
#include "VXResultCodes.h"
#include "VXSignalWatcher.h"
#include "VXTerminalProgress.h"
#include "VXUploadExitCodes.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

VXUploadSession* VXUploadSession::s_pMessageSession = nullptr;

VXUploadSession::VXUploadSession(QObject* parent) : QObject(parent)
{
    m_timeoutTimer.setSingleShot(true);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &VXUploadSession::slotTimeout);
}

VXUploadSession::~VXUploadSession()
{
    if (s_pMessageSession == this) {
        qInstallMessageHandler(m_previousMessageHandler);
        s_pMessageSession = nullptr;
    }
    // The plugin keeps sockets and timers of this thread; they must go while the application
    // object still exists, not in the loader's clean-up at process exit.
    delete m_pPluginRoot;
}

bool VXUploadSession::prepare(const VXCommandLine& commandLine, QFile* out, QIODevice* err,
                              QString* error)
{
    const QString pluginPath = commandLine.pluginPath();
    m_loader.setFileName(pluginPath);
    QObject* root = m_loader.instance();
    m_pFileUpload = qobject_cast<IVXFileUpload*>(root);
    if (!m_pFileUpload) {
        const QString reason =
            root ? QStringLiteral("its root object (%1) does not implement IVXFileUpload (%2)")
                       .arg(QString::fromLatin1(root->metaObject()->className()),
                            QLatin1String(IVXFileUpload_iid))
                 : m_loader.errorString();
        *error = QStringLiteral("cannot use the plugin %1: %2").arg(pluginPath, reason);
        return false;
    }
    m_pPluginRoot = root;
    if (!commandLine.reportPath().isEmpty()) {
        m_reportFile.setFileName(commandLine.reportPath());
        // Unbuffered: each report is in the file as soon as its job has ended.
        if (!m_reportFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot write the report file '%1': %2")
                         .arg(m_reportFile.fileName(), m_reportFile.errorString());
            return false;
        }
    }
    const VXCommandLine::OutputMode mode = commandLine.outputMode();
    if (mode == VXCommandLine::OutputMode::Json)
        m_writerList.emplace_back(new VXLineReportWriter(out, &VXFormat::jsonLine));
    else if (mode == VXCommandLine::OutputMode::Auto && ::isatty(out->handle()) &&
             qEnvironmentVariable("TERM") != QLatin1String("dumb"))
        m_writerList.emplace_back(
            new VXTerminalProgress(out, VXTerminalProgress::terminalColumns(out->handle())));
    else
        m_writerList.emplace_back(new VXLineReportWriter(out, &VXFormat::plainLine));
    if (m_reportFile.isOpen())
        m_writerList.emplace_back(new VXLineReportWriter(&m_reportFile, &VXFormat::jsonLine));

    m_pErr = err;
    s_pMessageSession = this;
    m_previousMessageHandler = qInstallMessageHandler(&VXUploadSession::routeMessage);
    return true;
}

void VXUploadSession::start(const QList<QJsonObject>& jobList, int timeoutMs, int resubmitCount)
{
    Q_ASSERT(m_pFileUpload);
    m_retryPolicy = VXRetryPolicy(resubmitCount);
    m_pHostRelay = new VXHostRelay(this);
    connect(m_pHostRelay, &VXHostRelay::sglUploadFinished, this,
            &VXUploadSession::slotUploadFinished);
    connect(m_pHostRelay, &VXHostRelay::sglUploadProgress, this,
            &VXUploadSession::slotUploadProgress);
    m_pFileUpload->initUploadManager(m_pHostRelay);

    auto* signalWatcher = new VXSignalWatcher({SIGINT, SIGTERM}, this);
    connect(signalWatcher, &VXSignalWatcher::sglSignalled, this, [this](int signalNumber) {
        if (m_bFinished)
            return;
        notice(QStringLiteral("%1: stopping every unfinished job")
                   .arg(QLatin1String(::strsignal(signalNumber))));
        slotStop(VXExit::Interrupted);
    });

    // Every job is known before the first submission: a report that arrives inside a
    // submission call must neither look unknown nor end the run early.
    for (const QJsonObject& job : jobList) {
        m_tracker.addJob(job);
        for (const auto& writer : m_writerList)
            writer->jobSubmitted(job);
    }
    if (timeoutMs > 0)
        m_timeoutTimer.start(timeoutMs);
    m_bSubmitting = true;
    for (const QJsonObject& job : jobList) {
        if (m_bFinished) // stopped from within a report
            break;
        m_pFileUpload->uploadFileByPost(job);
    }
    m_bSubmitting = false;
    if (!m_bFinished && m_tracker.isDone())
        finish(m_tracker.exitCode());
}

void VXUploadSession::slotStop(int exitCode)
{
    if (m_bFinished)
        return;
    if (m_pFileUpload) {
        for (const QJsonObject& job : m_tracker.pendingJobs())
            m_pFileUpload->stopUploadFileByPost(job);
    }
    finish(exitCode);
}

void VXUploadSession::routeMessage(QtMsgType type, const QMessageLogContext& context,
                                   const QString& message)
{
    s_pMessageSession->writeDiagnostic(qFormatLogMessage(type, context, message).toUtf8() + '\n');
}

void VXUploadSession::writeDiagnostic(const QByteArray& text)
{
    if (!m_pErr)
        return;
    // Standard error ends up in CI logs too: no signed URL gets there, whoever logged it.
    const QByteArray line = VXFormat::printableText(QString::fromUtf8(text)).toUtf8();
    // Standard output's writer may have to lift its live view around the line.
    if (m_writerList.empty())
        m_pErr->write(line);
    else
        m_writerList.front()->writeDiagnostic(m_pErr, line);
}

void VXUploadSession::notice(const QString& text)
{
    writeDiagnostic("vxupload: " + text.toUtf8() + '\n');
}

void VXUploadSession::slotUploadFinished(int code, const QJsonObject& report)
{
    if (m_bFinished)
        return;
    const QString key = VXJobTracker::jobKey(report);
    if (code != 0 && m_tracker.isPending(key) && retryLater(code, report, key))
        return;
    switch (m_tracker.finishJob(code, report)) {
    case VXJobTracker::Match::Final:
        for (const auto& writer : m_writerList)
            writer->jobFinished(code, report, key);
        break;
    case VXJobTracker::Match::Duplicate:
        notice(QStringLiteral("warning: a further report for '%1' (%2) was ignored")
                   .arg(key, VXResult::text(code)));
        return;
    case VXJobTracker::Match::Unknown:
        notice(QStringLiteral("warning: a report for the unknown job '%1' (%2) was ignored")
                   .arg(key, VXResult::text(code)));
        return;
    }
    // While submitting, start() decides: the remaining jobs still have to be handed over.
    if (!m_bSubmitting && m_tracker.isDone())
        finish(m_tracker.exitCode());
}

void VXUploadSession::slotUploadProgress(const QJsonObject& report, int percent)
{
    // Progress of a job that has already ended (or was stopped) would redraw a finished line.
    const QString key = VXJobTracker::jobKey(report);
    if (m_bFinished || !m_tracker.isPending(key))
        return;
    for (const auto& writer : m_writerList)
        writer->jobProgress(key, percent);
}

bool VXUploadSession::retryLater(int code, const QJsonObject& report, const QString& key)
{
    const QJsonObject job = m_tracker.job(key);
    if (!m_retryPolicy.shouldRetry(code, report, job, m_tracker.retryCount(key)))
        return false;
    m_tracker.addRetry(key);
    const int retry = m_tracker.retryCount(key);
    const int pauseMs = VXRetryPolicy::pauseMs(retry);
    notice(QStringLiteral("retrying '%1' in %2 s after: %3 (%4 of %5)")
               .arg(job.value(QLatin1String("remotePath")).toString())
               .arg(pauseMs / 1000)
               .arg(VXFormat::errorText(code, report))
               .arg(retry)
               .arg(m_retryPolicy.maxRetries()));
    // The job stays pending meanwhile: a stop or the time-out ends the run with it unreported.
    QTimer::singleShot(pauseMs, this, [this, job, key] {
        if (!m_bFinished && m_tracker.isPending(key))
            m_pFileUpload->uploadFileByPost(job);
    });
    return true;
}

void VXUploadSession::slotTimeout()
{
    if (m_bFinished)
        return;
    notice(QStringLiteral("time-out: %1 of %2 jobs unfinished after %3 s; stopping them")
               .arg(m_tracker.pendingCount())
               .arg(m_tracker.submittedCount())
               .arg(m_timeoutTimer.interval() / 1000.0));
    slotStop(VXExit::JobFailed);
}

void VXUploadSession::finish(int exitCode)
{
    m_bFinished = true;
    m_timeoutTimer.stop();
    for (const auto& writer : m_writerList)
        writer->runFinished(exitCode);
    emit sglFinished(exitCode);
}
