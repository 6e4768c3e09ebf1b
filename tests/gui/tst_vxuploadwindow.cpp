// vxupload-gui's window without a server: what it says when the plugin cannot be used or the
// server cannot be reached, many files dropped at once (bench_gui_drop measures that), and the
// queue of a last session brought back.
#include "VXMainWindow.h"
#include "VXUploadQueueModel.h"

#include <QAction>
#include <QJsonDocument>
#include <QMimeData>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

class tst_VXUploadWindow : public QObject
{
    Q_OBJECT

    static QString iniPath() { return QCoreApplication::applicationDirPath() + "/fileUpload.ini"; }

    static void writeIni(const QByteArray& text)
    {
        QFile ini(iniPath());
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(text) >= 0);
    }

private slots:
    void init()
    {
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
            if (name.startsWith("VXUPLOAD_") && !name.contains("_DIR"))
                qunsetenv(qPrintable(name));
        }
        QFile::remove(iniPath());
    }

    void pluginProblemShown_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QString>("banner");
        QTest::newRow("no plugin") << "/nonexistent/libVXFileUpload.so"
                                   << "not found";
        QTest::newRow("a plugin that is not ours")
            << qEnvironmentVariable("VXUPLOAD_TEST_SDK_PLAIN_DIR") + "/libVXFileUploadBySdk.so"
            << "does not implement com.zel.tessel.transferdepot.IVXFileUpload/1.0";
        // Set by CTest when a build for the other Qt major is at hand. Its loader's own words:
        // a Qt 6 loader names the Qt 5 plugin's version, a Qt 5 one finds no metadata it reads.
        const QString otherQt = qEnvironmentVariable("VXUPLOAD_TEST_OTHER_QT_PLUGIN");
        if (!otherQt.isEmpty()) {
            QTest::newRow("the plugin built for the other Qt")
                << otherQt
                << (QT_VERSION_MAJOR == 6 ? "uses incompatible Qt library. (5.15."
                                          : "Failed to extract plugin meta data from");
        }
    }

    // Nothing can be added then, and the window says why.
    void pluginProblemShown()
    {
        QFETCH(QString, plugin);
        QFETCH(QString, banner);
        VXMainWindow window(plugin);
        QVERIFY2(window.bannerText().startsWith("The upload plugin cannot be loaded") &&
                     window.bannerText().contains(banner),
                 qPrintable(window.bannerText()));
        QVERIFY(!window.findChild<QAction*>("addFiles")->isEnabled());
        window.addPaths({QCoreApplication::applicationFilePath()});
        QCOMPARE(window.model()->rowCount(), 0);
    }

    void unreachableServerShown()
    {
        writeIni("[HostInformation]\ncloudHost=http://127.0.0.1:1\n[Network]\nretries=0\n");
        VXMainWindow window(qEnvironmentVariable("VXUPLOAD_SHIPPED_PLUGIN_DIR"));
        const QString banner = "The cloud server http://127.0.0.1:1 cannot be reached "
                               "(Connection refused)";
        QTRY_VERIFY2(window.bannerText().startsWith(banner), qPrintable(window.bannerText()));
        window.addPaths({QCoreApplication::applicationFilePath()});
        QTRY_COMPARE(window.model()->count(VXUploadQueueModel::State::Failed), 1);
        QVERIFY(window.bannerText().startsWith(banner));
    }

    void lastSessionRestored_data()
    {
        QTest::addColumn<QByteArray>("queue");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("message");
        QTest::newRow("an unfinished row")
            << QByteArray(R"({"version":1,"rows":[{"job":{"localPath":"/nonexistent/a",)"
                          R"("remotePath":"r/a","bucketName":"b"},"state":"uploading"}]})")
            << 1 << "1 unfinished upload(s) from the last session, stopped: select them and Retry";
        QTest::newRow("a damaged file") << QByteArray("{\"version\":1,") << 0
                                        << "The queue file @PATH@ is damaged (not JSON: ";
    }

    // Restored rows are stopped and can be retried; the window going writes the rows as they
    // are then.
    void lastSessionRestored()
    {
        QFETCH(QByteArray, queue);
        QFETCH(int, rows);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath("queue.json");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(queue) == queue.size());
        file.close();
        writeIni("[HostInformation]\ncloudHost=http://127.0.0.1:1\n");
        {
            VXMainWindow window(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"));
            window.restoreQueue(path);
            QVERIFY2(window.statusBar()->currentMessage().startsWith(
                         message.replace("@PATH@", path)),
                     qPrintable(window.statusBar()->currentMessage()));
            QCOMPARE(window.model()->rowCount(), rows);
            if (rows == 0)
                return;
            QCOMPARE(window.model()->state(0), VXUploadQueueModel::State::Stopped);
            window.findChild<QTableView*>()->selectRow(0);
            QAction* retry = window.findChild<QAction*>("retry");
            QTRY_VERIFY(retry->isEnabled());
            retry->trigger();
            QCOMPARE(window.model()->state(0), VXUploadQueueModel::State::Waiting);
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray saved = QJsonDocument::fromJson(file.readAll())["rows"].toArray();
        QCOMPARE(saved.size(), 1);
        QCOMPARE(saved[0]["state"].toString(), QString("waiting"));
        QCOMPARE(saved[0]["job"]["remotePath"].toString(), QString("r/a"));
    }

    void manyFilesDropped_data()
    {
        QTest::addColumn<bool>("asFolder");
        QTest::newRow("files") << false;
        QTest::newRow("a folder") << true;
    }

    // More files than two of the window's batches: every one becomes one row, and Stop all
    // stops them all (the doubles' plugin takes every job and answers none).
    void manyFilesDropped()
    {
        QFETCH(bool, asFolder);
        constexpr int kFiles = 1200;
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < kFiles; ++i) {
            QFile file(dir.filePath(QString("f%1").arg(i)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            urls.append(QUrl::fromLocalFile(file.fileName()));
        }
        writeIni("[HostInformation]\ncloudHost=http://127.0.0.1:1\n");
        VXMainWindow window(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"));
        QMimeData mime;
        mime.setUrls(asFolder ? QList<QUrl>{QUrl::fromLocalFile(dir.path())} : urls);
        QDragEnterEvent enter({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QApplication::sendEvent(&window, &drop);
        QTRY_COMPARE(window.statusBar()->currentMessage(),
                     QString("%1 of %1 files added, 0 already in the queue or aimed at "
                             "another file's remote path").arg(kFiles));
        QCOMPARE(window.model()->rowCount(), kFiles);
        QAction* stopAll = window.findChild<QAction*>("stopAll");
        QTRY_VERIFY(stopAll->isEnabled());
        stopAll->trigger();
        QCOMPARE(window.model()->count(VXUploadQueueModel::State::Stopped), kFiles);
    }
};

QTEST_MAIN(tst_VXUploadWindow)
#include "tst_vxuploadwindow.moc"
