// The real utility library (not the doubles): the INI reader, and the plugin loader against the
// test siblings of the SDK uploader.
#include "IVXFileUploadBySdk.h"
#include "VXCloudUtils.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_VXCloudUtils : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void getConfigFromIni_data()
    {
        QTest::addColumn<QString>("key"); // empty: a file that does not exist
        QTest::addColumn<QVariant>("defaultValue");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing key gives the default as text")
            << "/HostInformation/nothing" << QVariant(42) << "42";
        QTest::newRow("commas stay text") << "/Other/list" << QVariant() << "a,b,c";
        QTest::newRow("no file: the default") << "" << QVariant("x") << "x";
    }
    void getConfigFromIni()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, defaultValue);
        QFETCH(QString, expected);
        const QString path = m_dir.filePath(key.isEmpty() ? "absent.ini" : "fileUpload.ini");
        QFile ini(path);
        QVERIFY(key.isEmpty() || (ini.open(QIODevice::WriteOnly) && ini.write(
            "[HostInformation]\ncloudHost=http://127.0.0.1:8080\n[Other]\nlist=a,b,c\n")));
        ini.close();
        QCOMPARE(VXCloudUtils::getConfigFromIni(path, key.isEmpty() ? "/A/b" : key, defaultValue),
                 expected);
        QCOMPARE(QFile::exists(path), !key.isEmpty()); // reading never creates the file
    }

    // VXUPLOAD_PLUGIN_PATH: the folders searched, in order.
    void loadLib_data()
    {
        const QString sdk = qEnvironmentVariable("VXUPLOAD_TEST_SDK_DIR");
        const QString plain = qEnvironmentVariable("VXUPLOAD_TEST_SDK_PLAIN_DIR");
        QTest::addColumn<QString>("searchPath");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<bool>("implementsSdk");
        QTest::newRow("sdk uploader") << sdk << "VXFileUploadBySdk" << true << true;
        QTest::newRow("first folder of the list wins")
            << plain + ':' + sdk << "VXFileUploadBySdk" << true << false;
        QTest::newRow("empty entries are skipped")
            << ':' + sdk + ':' << "VXFileUploadBySdk" << true << true;
        QTest::newRow("unknown library") << sdk << "NoSuchPlugin" << false << false;
        QTest::newRow("empty name") << sdk << "" << false << false;
        QTest::newRow("not a plugin") << m_dir.path() << "Junk" << false << false;
    }
    void loadLib()
    {
        QFETCH(QString, searchPath);
        QFETCH(QString, name);
        QFETCH(bool, loaded);
        QFETCH(bool, implementsSdk);
        QFile junk(m_dir.filePath("libJunk.so"));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a shared object"));
        junk.close();
        if (name == "Junk")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot load .*libJunk.so"));
        qputenv("VXUPLOAD_PLUGIN_PATH", searchPath.toLocal8Bit());
        QObject* root = VXCloudUtils::loadLib(name);
        QCOMPARE(root != nullptr, loaded);
        QCOMPARE(qobject_cast<IVXFileUploadBySdk*>(root) != nullptr, implementsSdk);
    }
};

QTEST_GUILESS_MAIN(tst_VXCloudUtils)
#include "tst_vxcloudutils.moc"
