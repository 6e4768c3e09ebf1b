// vxupload-gui's window without a server: what it says when the plugin cannot be used or the
// server cannot be reached, and ten thousand files dropped at once (measured, not asserted: the
// figures go to the README).
#include "VXMainWindow.h"
#include "VXUploadQueueModel.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMimeData>
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

    void tenThousandFilesDropped_data()
    {
        QTest::addColumn<bool>("asFolder");
        QTest::newRow("10,000 files") << false;
        QTest::newRow("a folder of 10,000 files") << true;
    }

    // The doubles' plugin takes every job and answers none: the window's own cost is measured.
    void tenThousandFilesDropped()
    {
        QFETCH(bool, asFolder);
        constexpr int kFiles = 10000;
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < kFiles; ++i) {
            QFile file(dir.filePath(QString("f%1.bin").arg(i)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            urls.append(QUrl::fromLocalFile(file.fileName()));
        }
        writeIni("[HostInformation]\ncloudHost=http://127.0.0.1:1\n");
        VXMainWindow window(qEnvironmentVariable("VXUPLOAD_TEST_PLUGIN_DIR"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // The longest time the event loop was away while the rows came in.
        QElapsedTimer clock, sinceTick;
        qint64 longestGap = 0, rowsMs = -1;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout,
                [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
        connect(window.model(), &QAbstractItemModel::rowsInserted, [&] {
            if (window.model()->rowCount() == kFiles)
                rowsMs = clock.elapsed();
        });
        QMimeData mime;
        mime.setUrls(asFolder ? QList<QUrl>{QUrl::fromLocalFile(dir.path())} : urls);
        QDragEnterEvent enter({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        clock.start();
        sinceTick.start();
        ticker.start(5);
        QApplication::sendEvent(&window, &enter);
        QApplication::sendEvent(&window, &drop);
        const qint64 dropMs = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(rowsMs >= 0, 30000);
        QAction* stopAll = window.findChild<QAction*>("stopAll");
        QTRY_VERIFY(stopAll->isEnabled());
        longestGap = qMax(longestGap, sinceTick.elapsed());
        clock.restart();
        stopAll->trigger();
        const qint64 stopMs = clock.elapsed();
        QCOMPARE(window.model()->count(VXUploadQueueModel::State::Stopped), kFiles);
        qInfo("%s: drop handled in %lld ms, all rows in %lld ms, longest event loop gap %lld ms;"
              " Stop all in %lld ms",
              QTest::currentDataTag(), dropMs, rowsMs, longestGap, stopMs);
    }
};

QTEST_MAIN(tst_VXUploadWindow)
#include "tst_vxuploadwindow.moc"
