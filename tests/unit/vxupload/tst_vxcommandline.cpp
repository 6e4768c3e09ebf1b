// vxupload's command line: how arguments and jobs files become job objects, and every usage
// error that must end the run before the plugin is touched.
#include "VXCommandLine.h"

#include <QBuffer>
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Placeholders in the rows: @CWD@ is the current folder, @JOBS@ a jobs file holding the row's
// input, @DIR@ a temporary folder.
QString expand(QString text, const QString& jobsFile, const QString& dir)
{
    return text.replace(QLatin1String("@CWD@"), QDir::currentPath())
        .replace(QLatin1String("@JOBS@"), jobsFile)
        .replace(QLatin1String("@DIR@"), dir);
}

QJsonArray toArray(const QList<QJsonObject>& jobs)
{
    QJsonArray array;
    for (const QJsonObject& job : jobs)
        array.append(job);
    return array;
}

} // namespace

class tst_VXCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void jobs_data();
    void jobs();
    void usageErrors_data();
    void usageErrors();
    void settings();
    void helpWinsAndExplains();
    void pluginPath_data();
    void pluginPath();

private:
    QTemporaryDir m_dir;
};

void tst_VXCommandLine::jobs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input"); // standard input, and the content of @JOBS@
    QTest::addColumn<QString>("expected"); // JSON array of the expected jobs

    QTest::newRow("file name is the remote path")
        << QStringList{"--bucket", "b", "a.txt"} << QByteArray()
        << R"([{"bucketName":"b","localPath":"@CWD@/a.txt","remotePath":"a.txt"}])";
    QTest::newRow("FILE:REMOTE")
        << QStringList{"-b", "b", "dir/a.txt:x/y.bin"} << QByteArray()
        << R"([{"bucketName":"b","localPath":"@CWD@/dir/a.txt","remotePath":"x/y.bin"}])";
    QTest::newRow("split at the last colon")
        << QStringList{"--bucket", "b", "a:b:c"} << QByteArray()
        << R"([{"bucketName":"b","localPath":"@CWD@/a:b","remotePath":"c"}])";
    QTest::newRow("trailing colon keeps a name with colons")
        << QStringList{"--bucket", "b", "/t/a:b.txt:"} << QByteArray()
        << R"([{"bucketName":"b","localPath":"/t/a:b.txt","remotePath":"a:b.txt"}])";
    QTest::newRow("path cleaned, options after files")
        << QStringList{"./d/../a.txt", "--bucket", "b", "/x/y.bin"} << QByteArray()
        << R"([{"bucketName":"b","localPath":"@CWD@/a.txt","remotePath":"a.txt"},
               {"bucketName":"b","localPath":"/x/y.bin","remotePath":"y.bin"}])";
    QTest::newRow("bcode and fields")
        << QStringList{"--bucket", "b",  "--bcode", "C7",    "-f", "k=v",
                       "--field",  "e=", "--field", "x=a=b", "/a"}
        << QByteArray() << R"([{"bc_bcode":"C7","bucketName":"b","e":"","k":"v","localPath":"/a",
                "remotePath":"a","x":"a=b"}])";
    QTest::newRow("jobs from standard input, relative path, other keys kept")
        << QStringList{"--jobs", "-"}
        << QByteArray(R"([{"localPath":"rel.bin","remotePath":"r","bucketName":"b","n":5}])")
        << R"([{"bucketName":"b","localPath":"@CWD@/rel.bin","n":5,"remotePath":"r"}])";
    QTest::newRow("jobs file, options fill only missing keys")
        << QStringList{"--jobs", "@JOBS@", "--bucket", "d", "--bcode", "C", "--field", "k=v"}
        << QByteArray(R"([{"localPath":"/a","remotePath":"r"},
                          {"localPath":"/b","remotePath":"s","bucketName":"own","k":"mine"}])")
        << R"([{"bc_bcode":"C","bucketName":"d","k":"v","localPath":"/a","remotePath":"r"},
               {"bc_bcode":"C","bucketName":"own","k":"mine","localPath":"/b","remotePath":"s"}])";
}

void tst_VXCommandLine::jobs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QVERIFY(m_dir.isValid());
    const QString jobsFile = m_dir.filePath(QStringLiteral("jobs.json"));
    QFile file(jobsFile);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(input);
    file.close();
    for (QString& argument : arguments)
        argument = expand(argument, jobsFile, m_dir.path());
    QBuffer standardInput(&input);
    standardInput.open(QIODevice::ReadOnly);

    VXCommandLine commandLine;
    QVERIFY2(commandLine.parse(QStringList{"vxupload"} + arguments, &standardInput),
             qPrintable(commandLine.errorText()));
    QCOMPARE(commandLine.action(), VXCommandLine::Action::Run);
    const QJsonArray expectedJobs =
        QJsonDocument::fromJson(expand(expected, jobsFile, m_dir.path()).toUtf8()).array();
    QVERIFY(!expectedJobs.isEmpty());
    QCOMPARE(toArray(commandLine.jobs()), expectedJobs);
}

void tst_VXCommandLine::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("error"); // a part of the expected message

    const QByteArray none;
    QTest::newRow("nothing") << QStringList{} << none << "no jobs: give FILE arguments or --jobs";
    QTest::newRow("no bucket") << QStringList{"a.txt"} << none << "missing --bucket";
    QTest::newRow("empty bucket") << QStringList{"--bucket", "", "a"} << none
                                  << "--bucket needs a non-empty bucket name";
    QTest::newRow("field without =") << QStringList{"-b", "b", "--field", "kv", "a"} << none
                                     << "bad --field 'kv': expected KEY=VALUE";
    QTest::newRow("field sets an identifying key")
        << QStringList{"-b", "b", "--field", "remotePath=x", "a"} << none
        << "--field cannot set \"remotePath\"";
    QTest::newRow("argument names no file")
        << QStringList{"-b", "b", ":x"} << none << "':x' names no local file";
    QTest::newRow("folder gives no name")
        << QStringList{"-b", "b", "dir/"} << none << "'dir/' gives no file name";
    QTest::newRow("same job twice")
        << QStringList{"-b", "b", "a.txt", "x", "./a.txt:a.txt"} << none
        << "'./a.txt:a.txt' repeats job 1";
    QTest::newRow("jobs and files") << QStringList{"--jobs", "-", "a"} << none
                                    << "give either --jobs or FILE arguments, not both";
    QTest::newRow("jobs file missing") << QStringList{"--jobs", "/nonexistent/j.json"} << none
                                       << "cannot read jobs file '/nonexistent/j.json'";
    QTest::newRow("jobs not JSON") << QStringList{"--jobs", "-"} << QByteArray("[{")
                                   << "the jobs in standard input are not valid JSON";
    QTest::newRow("jobs not an array") << QStringList{"--jobs", "-"} << QByteArray(R"({"a":1})")
                                       << "must be a JSON array of job objects";
    QTest::newRow("jobs empty") << QStringList{"--jobs", "-"} << QByteArray("[]")
                                << "no jobs: the jobs file holds an empty array";
    QTest::newRow("job not an object")
        << QStringList{"--jobs", "-"}
        << QByteArray(R"([{"localPath":"/a","remotePath":"r","bucketName":"b"}, 1])")
        << "job 2 of standard input is not a JSON object";
    QTest::newRow("job lacks remotePath")
        << QStringList{"--jobs", "-"} << QByteArray(R"([{"localPath":"/a","bucketName":"b"}])")
        << "job 1 of standard input lacks a non-empty string \"remotePath\"";
    QTest::newRow("same job twice in a file")
        << QStringList{"--jobs", "-"}
        << QByteArray(R"([{"localPath":"/a","remotePath":"r","bucketName":"b"},
                          {"localPath":"/a","remotePath":"r","bucketName":"b","x":"1"}])")
        << "job 2 of standard input repeats job 1";
    QTest::newRow("json and plain") << QStringList{"--json", "--plain", "-b", "b", "a"} << none
                                    << "--json and --plain exclude each other";
    QTest::newRow("zero timeout") << QStringList{"--timeout", "0", "-b", "b", "a"} << none
                                  << "--timeout needs a number of seconds";
}

void tst_VXCommandLine::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, error);
    QBuffer standardInput(&input);
    standardInput.open(QIODevice::ReadOnly);

    VXCommandLine commandLine;
    QVERIFY(!commandLine.parse(QStringList{"vxupload"} + arguments, &standardInput));
    QVERIFY2(commandLine.errorText().contains(error), qPrintable(commandLine.errorText()));
    QVERIFY(commandLine.jobs().isEmpty());
}

void tst_VXCommandLine::settings()
{
    VXCommandLine commandLine;
    QVERIFY(commandLine.parse(
        {"vxupload", "--json", "--timeout", "2.5", "--plugin", "/p", "-b", "b", "a"}, nullptr));
    QCOMPARE(commandLine.outputMode(), VXCommandLine::OutputMode::Json);
    QCOMPARE(commandLine.timeoutMs(), 2500);
    QCOMPARE(commandLine.pluginOption(), QString("/p"));
}

void tst_VXCommandLine::helpWinsAndExplains()
{
    VXCommandLine commandLine;
    QVERIFY(commandLine.parse({"vxupload", "--frobnicate", "--help"}, nullptr));
    QCOMPARE(commandLine.action(), VXCommandLine::Action::Help);
    VXCommandLine version;
    QVERIFY(version.parse({"vxupload", "-v"}, nullptr));
    QCOMPARE(version.action(), VXCommandLine::Action::Version);

    // What a user needs and cannot find anywhere else.
    const QString help = commandLine.helpText();
    for (const char* needed :
         {"Usage: vxupload --bucket BUCKET", "--jobs", "--timeout", "FILE[:REMOTE]", "LAST ':'",
          "Exit status:", "130", "VXUPLOAD_PLUGIN", "VXUPLOAD_API_HOST", "VXUPLOAD_TOKEN",
          "fileUpload.ini", "[HostInformation]", "cloudHost", "apiHost", "token",
          "[PackageInformation]", "sliceLen", "{\"result\":CODE,\"job\":", "ok|failed"})
        QVERIFY2(help.contains(QLatin1String(needed)), needed);
    for (const QString& line : help.split(QLatin1Char('\n')))
        QVERIFY2(line.size() < 100, qPrintable(line));
}

void tst_VXCommandLine::pluginPath_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QStringList>("defaults");
    QTest::addColumn<QString>("expected");

    QTest::newRow("option file") << "/x/p.so"
                                 << "/env" << QStringList{"@DIR@"} << "/x/p.so";
    QTest::newRow("option folder") << "@DIR@"
                                   << "/env" << QStringList{} << "@DIR@/libVXFileUpload.so";
    QTest::newRow("environment") << ""
                                 << "/env/p.so" << QStringList{"@DIR@"} << "/env/p.so";
    QTest::newRow("default folder holding the plugin")
        << ""
        << "" << QStringList{"/nonexistent", "@DIR@/with"} << "@DIR@/with/libVXFileUpload.so";
}

void tst_VXCommandLine::pluginPath()
{
    QFETCH(QString, option);
    QFETCH(QString, environment);
    QFETCH(QStringList, defaults);
    QFETCH(QString, expected);
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("with")));
    QFile plugin(m_dir.filePath(QStringLiteral("with/libVXFileUpload.so")));
    QVERIFY(plugin.open(QIODevice::WriteOnly));
    plugin.close();
    for (QString& folder : defaults)
        folder = expand(folder, QString(), m_dir.path());

    QCOMPARE(
        VXCommandLine::pluginPath(expand(option, QString(), m_dir.path()), environment, defaults),
        expand(expected, QString(), m_dir.path()));
}

QTEST_GUILESS_MAIN(tst_VXCommandLine)
#include "tst_vxcommandline.moc"
