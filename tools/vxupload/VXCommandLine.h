#ifndef VXCOMMANDLINE_H
#define VXCOMMANDLINE_H

#include <QCommandLineParser>
#include <QJsonArray>
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
    // Auto: progress bars on a terminal, plain lines otherwise (the caller decides).
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
    QString pluginOption() const { return m_pluginOption; } // empty when --plugin is not given
    int timeoutMs() const { return m_iTimeoutMs; }          // 0: no overall time limit
    QString helpText() const;

    // The plugin file to load: the --plugin option, else the environment's value, else the
    // default folders in order; a folder stands for libVXFileUpload.so inside it. With neither
    // option nor environment, the first default folder that holds the file wins (the first
    // default when none does, so that the loader's error names a sensible path).
    static QString pluginPath(const QString& option, const QString& environment,
                              const QStringList& defaultFolders);
    // FILE[:REMOTE] -> local file and remote path (see helpText for the rule). False with a
    // reason when the argument names no file or no remote path can be derived.
    static bool splitFileArgument(const QString& argument, QString* file, QString* remote,
                                  QString* error);

private:
    bool fail(const QString& text);
    bool parseFields(const QStringList& values, QJsonObject* fields);
    bool readJobsFile(const QString& path, QIODevice* standardInput, QJsonArray* jobArray);
    bool jobsFromArray(const QJsonArray& jobArray, const QString& source,
                       const QJsonObject& defaults);
    bool jobsFromFiles(const QStringList& files, const QJsonObject& defaults);
    bool addJob(QJsonObject job, const QString& where);

    QCommandLineParser m_parser;
    QString m_errorText;
    Action m_action = Action::Run;
    OutputMode m_outputMode = OutputMode::Auto;
    QList<QJsonObject> m_jobList;
    QStringList m_jobKeyList;
    QString m_pluginOption;
    int m_iTimeoutMs = 0;
};

#endif // VXCOMMANDLINE_H
