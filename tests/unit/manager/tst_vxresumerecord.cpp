// The resume record as the manager uses it: taken for a job, filled as parts are stored, taken
// again by a later upload of the same job. What it must never do: trust a record that is not
// the job's own, whole and recent, or let two uploads of one job use it at once.
#include "VXResumeRecord.h"

#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

namespace {

// What is done to a record between two uploads of its job.
enum class Tamper {
    None,
    NotJson,
    OtherVersion,
    ReadableByOthers,
    TornLastLine,
    OtherFile,
    OtherServer,
    OtherSliceLen,
    TooOld
};

} // namespace

Q_DECLARE_METATYPE(Tamper)

class tst_VXResumeRecord : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString folder() const { return m_dir.filePath("resume"); }
    static int modeOf(const QString& path)
    {
        struct stat info;
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777)
                                                                       : -1;
    }
    // Last written two days ago.
    static bool makeOld(const QString& path)
    {
        const struct utimbuf old
        {
            time(nullptr) - 48 * 3600, time(nullptr) - 48 * 3600
        };
        return ::utime(QFile::encodeName(path).constData(), &old) == 0;
    }
    VXResumeRecord::Subject subject() const
    {
        return {m_dir.filePath("f.bin"),
                "dir/f.bin",
                "bkt",
                VXFileIdentity::of(m_dir.filePath("f.bin")),
                100,
                3,
                "http://cloud"};
    }

private slots:
    void init()
    {
        QDir(folder()).removeRecursively();
        QFile file(m_dir.filePath("f.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(250, 'f')) == 250);
    }

    void takenAgain_data()
    {
        QTest::addColumn<Tamper>("tamper");
        QTest::addColumn<QString>("parts"); // stored parts read back; "-": no upload to resume
        QTest::newRow("untouched: upload and parts") << Tamper::None << "1,e1;2,e2";
        QTest::newRow("torn last line (a crash mid-append): the parts before it")
            << Tamper::TornLastLine << "1,e1";
        QTest::newRow("first line damaged") << Tamper::NotJson << "-";
        QTest::newRow("another version") << Tamper::OtherVersion << "-";
        QTest::newRow("readable by others (0644)") << Tamper::ReadableByOthers << "-";
        QTest::newRow("the local file rewritten since") << Tamper::OtherFile << "-";
        QTest::newRow("another server") << Tamper::OtherServer << "-";
        QTest::newRow("another slice length") << Tamper::OtherSliceLen << "-";
        QTest::newRow("older than maxAgeHours: removed") << Tamper::TooOld << "-";
    }
    void takenAgain()
    {
        QFETCH(Tamper, tamper);
        QFETCH(QString, parts);
        QString why;
        QString path;
        {
            const auto record = VXResumeRecord::take(folder(), subject(), 24, &why);
            QVERIFY2(record, qPrintable(why));
            QVERIFY(!record->hasUpload());
            QVERIFY(record->setUpload("U1", "A1"));
            QVERIFY(record->addPart(1, "e1") && record->addPart(2, "e2"));
            path = record->path();
        }
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(modeOf(folder()), 0700);
        QVERIFY(!QFile(path).readAll().contains("http")); // no URL, no token

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        file.close();
        VXResumeRecord::Subject later = subject();
        switch (tamper) {
        case Tamper::NotJson:
            lines[0] = "{\"version\":1,\"upl";
            break;
        case Tamper::OtherVersion:
            lines[0].replace("\"version\":1", "\"version\":2");
            break;
        case Tamper::TornLastLine:
            lines[2] = lines[2].left(5);
            break;
        case Tamper::OtherFile:
            later.file = VXFileIdentity::of(m_dir.path());
            break;
        case Tamper::OtherServer:
            later.server = "http://elsewhere";
            break;
        case Tamper::OtherSliceLen:
            later.sliceLen = 125;
            later.partCount = 2;
            break;
        default:
            break;
        }
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(lines.join('\n')) > 0);
        file.close();
        if (tamper == Tamper::ReadableByOthers)
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
        if (tamper == Tamper::TooOld)
            QVERIFY(makeOld(path));

        const auto again = VXResumeRecord::take(folder(), later, 24, &why);
        QVERIFY2(again, qPrintable(why));
        QStringList read;
        for (auto it = again->storedParts().cbegin(); it != again->storedParts().cend(); ++it)
            read << QStringLiteral("%1,%2").arg(it.key()).arg(it.value());
        QCOMPARE(again->hasUpload() ? read.join(';') : QString("-"), parts);
        if (again->hasUpload())
            QCOMPARE(again->uploadId() + again->authorization(), QString("U1A1"));
        QCOMPARE(QFile::exists(path), tamper != Tamper::TooOld);
    }

    // A second upload of the same job does not get the record while the first holds it; a new
    // upload id forgets the parts of the old one; a fresh authorization keeps them.
    void oneHolderAtATime()
    {
        QString why;
        auto first = VXResumeRecord::take(folder(), subject(), 24, &why);
        QVERIFY(first);
        QVERIFY(!VXResumeRecord::take(folder(), subject(), 24, &why));
        QVERIFY(why.contains("another upload"));
        QVERIFY(first->setUpload("U1", "A1") && first->addPart(1, "e1"));
        QVERIFY(first->setUpload("U1", "A2"));
        QCOMPARE(first->storedParts().size(), 1);
        first.reset();
        auto second = VXResumeRecord::take(folder(), subject(), 24, &why);
        QVERIFY2(second, qPrintable(why));
        QCOMPARE(second->authorization(), QString("A2"));
        QCOMPARE(second->storedParts().value(1), QString("e1"));
        QVERIFY(second->setUpload("U2", "B1"));
        QVERIFY(second->storedParts().isEmpty());
        second->remove();
        QVERIFY(!QFile::exists(second->path()));
    }

    // Records of jobs never submitted again go once they are older than maxAgeHours, unless an
    // upload holds them.
    void oldRecordsRemoved()
    {
        QString why;
        QStringList paths;
        std::unique_ptr<VXResumeRecord> held;
        for (const char* remote : {"old", "held", "recent"}) {
            VXResumeRecord::Subject job = subject();
            job.remotePath = remote;
            auto record = VXResumeRecord::take(folder(), job, 24, &why);
            QVERIFY2(record && record->setUpload("U", "A"), qPrintable(why));
            paths << record->path();
            if (QByteArray(remote) != "recent")
                QVERIFY(makeOld(record->path()));
            if (QByteArray(remote) == "held")
                held = std::move(record);
        }
        VXResumeRecord::removeOlderThan(folder(), 24);
        QCOMPARE(QList<bool>(
                     {QFile::exists(paths[0]), QFile::exists(paths[1]), QFile::exists(paths[2])}),
                 QList<bool>({false, true, true}));
    }
};

QTEST_GUILESS_MAIN(tst_VXResumeRecord)
#include "tst_vxresumerecord.moc"
