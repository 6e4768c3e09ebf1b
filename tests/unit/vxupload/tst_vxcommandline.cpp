// vxupload's command line: the job objects it makes, and the usage errors that end a run (2).
#include "VXCommandLine.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QtTest>

class tst_VXCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments"); // @JOBS@: a file holding the input
        QTest::addColumn<QByteArray>("input");      // the content of @JOBS@ and standard input
        // The JSON array of the jobs (@CWD@: the current folder), or a part of the error.
        QTest::addColumn<QString>("expected");

        const QByteArray jobs(R"([{"localPath":"/a","remotePath":"r"},
            {"localPath":"rel","remotePath":"s","bucketName":"own","k":"me","n":5}])");
        QTest::newRow("FILE[:REMOTE] split at the last colon, bcode and fields")
            << QStringList{"a:b:c", "-b", "b", "--bcode", "C", "-f", "k==", "/t/a:b:"}
            << QByteArray() << R"([
            {"bc_bcode":"C","bucketName":"b","k":"=","localPath":"@CWD@/a:b","remotePath":"c"},
            {"bc_bcode":"C","bucketName":"b","k":"=","localPath":"/t/a:b","remotePath":"a:b"}])";
        QTest::newRow("jobs from standard input, options fill missing keys")
            << QStringList{"--jobs", "-", "--bucket", "d", "--field", "k=v"} << jobs
            << R"([{"bucketName":"d","k":"v","localPath":"/a","remotePath":"r"},
               {"bucketName":"own","k":"me","localPath":"@CWD@/rel","n":5,"remotePath":"s"}])";

        auto error = [](const char* name, const QStringList& arguments, const char* message,
                        const QByteArray& input = QByteArray()) {
            QTest::newRow(name) << arguments << input << QString(message);
        };
        error("nothing", {}, "no jobs: give FILE arguments or --jobs");
        error("no bucket", {"a.txt"}, "missing --bucket");
        error("field without =", {"-b", "b", "-f", "kv", "a"}, "bad --field 'kv': expected KEY");
        error("argument names no file", {"-b", "b", ":x"}, "':x' names no local file");
        error("same job twice", {"-b", "b", "a", "x", "./a:a"}, "'./a:a' repeats job 1");
        error("jobs and files", {"--jobs", "-", "a"}, "either --jobs or FILE arguments, not");
        error("jobs file missing", {"--jobs", "/nonexistent/j"}, "cannot read jobs file '/non");
        error("jobs file not JSON", {"--jobs", "@JOBS@"}, "are not valid JSON", "[{");
        error("jobs empty", {"--jobs", "-"}, "no jobs: the jobs file holds an empty array", "[]");
        error("job lacks a key", {"--jobs", "-"}, "lacks a non-empty string \"bucketName\"", jobs);
        error("json and plain", {"--json", "--plain", "-b", "b", "a"}, "exclude each other");
        error("zero timeout", {"--timeout", "0", "-b", "b", "a"}, "--timeout needs a number");
        error("resubmit not a count", {"--resubmit", "-1", "-b", "b", "a"},
              "--resubmit needs a whole number from 0 to 1000, not '-1'");
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QTemporaryFile jobsFile; // also standard input
        QVERIFY(jobsFile.open() && jobsFile.write(input) == input.size() && jobsFile.seek(0));
        VXCommandLine line;
        arguments.replaceInStrings(QStringLiteral("@JOBS@"), jobsFile.fileName());
        const bool parsed = line.parse(QStringList{"vxupload"} + arguments, &jobsFile);
        QJsonArray jobs;
        for (const QJsonObject& job : line.jobs())
            jobs.append(job);
        const QString error = line.errorText();
        QVERIFY2(parsed == expected.startsWith(QLatin1Char('[')), qPrintable(error));
        expected.replace(QLatin1String("@CWD@"), QDir::currentPath());
        if (!parsed)
            QVERIFY2(error.contains(expected), qPrintable(error));
        else
            QCOMPARE(jobs, QJsonDocument::fromJson(expected.toUtf8()).array());
    }
};

QTEST_GUILESS_MAIN(tst_VXCommandLine)
#include "tst_vxcommandline.moc"
