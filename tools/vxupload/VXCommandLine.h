#ifndef VXCOMMANDLINE_H
#define VXCOMMANDLINE_H

#include <QCommandLineParser>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;

// Turns vxupload's arguments into a list of upload jobs and the run's settings. It does no I/O
// beyond reading a jobs file (or the given standard input for "--jobs -"), so that every usage
// error can be checked without a plugin. A failed parse leaves a one-line reason in errorText();
// the caller prints it and exits with VXExit::Usage.
class VXCommandLine
{
public:
    enum class Action { Run, Help, Version };
    // Auto: progress bars on a terminal, plain lines otherwise (the session decides).
    enum class OutputMode { Auto, Plain, Json };

    VXCommandLine();

    // arguments include the program name first, as QCoreApplication::arguments() gives them.
    // standardInput (not owned, may be null) is read whole for "--jobs -".
    bool parse(const QStringList& arguments, QIODevice* standardInput);

    QString errorText() const { return m_errorText; }
    Action action() const { return m_action; }
    OutputMode outputMode() const { return m_outputMode; }
    // Every job has non-empty string "localPath" (absolute), "remotePath" and "bucketName";
    // no two jobs share a job key.
    QList<QJsonObject> jobs() const { return m_jobList; }
    int timeoutMs() const { return m_iTimeoutMs; } // 0: no overall time limit
    // How often a job that failed for a transient reason is submitted again (--resubmit).
    int resubmitCount() const { return m_iResubmitCount; }
    QString helpText() const;

    // The plugin file to load: --plugin, else as VXPluginPath::locate finds it. Always absolute.
    QString pluginPath() const;
    QString reportPath() const { return m_reportPath; } // empty when --report is not given

private:
    bool fail(const QString& text);
    bool parseFields(const QStringList& values, QJsonObject* fields);
    // The jobs of a JSON array in the file at path ("-": standardInput).
    bool jobsFromJson(const QString& path, QIODevice* standardInput, const QJsonObject& defaults);
    bool jobsFromFiles(const QStringList& files, const QJsonObject& defaults);
    bool addJob(QJsonObject job, const QString& where);

    QCommandLineParser m_parser;
    QString m_errorText;
    Action m_action = Action::Run;
    OutputMode m_outputMode = OutputMode::Auto;
    QList<QJsonObject> m_jobList;
    QStringList m_jobKeyList;
    QString m_pluginOption;
    QString m_reportPath;
    int m_iTimeoutMs = 0;
    int m_iResubmitCount = 0;
};

#endif // VXCOMMANDLINE_H
