// vxupload-gui against the reference server and storage of the e2e stack, driven as a user
// would: server settings entered in the dialog, files added with the form's bucket (one of them
// multipart), a row stopped in flight and retried, a missing file. Stored objects must hold
// the files' bytes. A screenshot of the window mid-upload is saved next to this program
// (vxupload-gui.png); docs/vxupload-gui.png is a copy of one.
#include "VXHostRelay.h"
#include "VXMainWindow.h"
#include "VXSettingsDialog.h"
#include "VXUploadPluginHost.h"
#include "VXUploadQueueModel.h"
#include "e2ehost.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QTableView>

using State = VXUploadQueueModel::State;

// The window loads the plugin itself; E2EHost gives the stack, the files and the settings file.
class tst_VXUploadGui : public E2EHost
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setUpHost();
        // 1 MiB slices; the dialog adds the server.
        QFile::remove(m_iniPath);
        QSettings(m_iniPath, QSettings::IniFormat)
            .setValue("PackageInformation/sliceLen", 1024 * 1024);
    }

    void cleanupTestCase() { tearDownHost(); }

    void uploadStopRetry()
    {
        VXMainWindow window(qEnvironmentVariable("VX_E2E_PLUGIN"));
        window.show();
        QVERIFY(window.bannerText().startsWith("No cloud server is configured"));
        window.findChild<QAction*>("settings")->trigger();
        auto* dialog = window.findChild<VXSettingsDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        dialog->findChild<QLineEdit*>("cloudHost")->setText(m_stack.value("API_URL"));
        dialog->findChild<QLineEdit*>("token")->setText(m_stack.value("TOKEN"));
        dialog->accept();
        QCOMPARE(window.bannerText(), QString());
        QCOMPARE(QSettings(m_iniPath, QSettings::IniFormat).value("PackageInformation/sliceLen"),
                 QVariant("1048576"));

        const qint64 logOffset = QFileInfo(m_stack.value("LOG")).size();
        const QString stopped = makeFile(2 * e2e::kMiB);
        // 41 parts: long enough under way for a rate in the screenshot.
        const QString multipart = makeFile(40 * e2e::kMiB + 7);
        const QString single = makeFile(100 * 1024);
        const QString missing = m_dir.filePath("missing.bin");
        const QString folder = "gui-" + m_dir.path().right(6);
        window.findChild<QLineEdit*>("bucket")->setText(m_stack.value("BUCKET"));
        window.findChild<QLineEdit*>("remoteFolder")->setText(folder);
        auto* bcode = window.findChild<QCheckBox*>("multipart");
        window.addPaths({stopped});
        bcode->setChecked(true);
        window.addPaths({multipart});
        bcode->setChecked(false);
        window.addPaths({single, missing, single}); // the repeat joins no second row
        VXUploadQueueModel* model = window.model();
        QCOMPARE(model->rowCount(), 4);

        // As a user would: the first row is stopped once its upload is under way. Whatever
        // the plugin says about that job afterwards is counted.
        auto* view = window.findChild<QTableView*>();
        bool stopDone = false;
        int lateReports = 0;
        QPixmap shot;
        QElapsedTimer multipartClock;
        const auto remoteOf = [&](const QString& local) {
            return folder + '/' + QFileInfo(local).fileName();
        };
        auto onReport = [&](const QJsonObject& job, int percent, bool isFinal) {
            if (job.value("remotePath") == remoteOf(stopped)) {
                lateReports += stopDone;
                if (!stopDone && !isFinal) {
                    view->selectRow(0);
                    window.findChild<QAction*>("stop")->trigger();
                    stopDone = true;
                }
            } else if (job.value("remotePath") == remoteOf(multipart) && !isFinal) {
                // Once its rate shows (after 0.5 s), or at last at 97 %.
                if (!multipartClock.isValid())
                    multipartClock.start();
                if (shot.isNull() && (multipartClock.elapsed() > 600 || percent >= 97))
                    shot = window.grab();
            }
        };
        const VXHostRelay* reports = window.pluginHost()->reports();
        connect(reports, &VXHostRelay::sglUploadProgress, this,
                [&](const QJsonObject& job, int percent) { onReport(job, percent, false); });
        connect(reports, &VXHostRelay::sglUploadFinished, this,
                [&](int, const QJsonObject& job) { onReport(job, 0, true); });

        QTRY_VERIFY_WITH_TIMEOUT(
            model->count(State::Done) == 2 && model->count(State::Failed) == 1, e2e::kTimeoutMs);
        QVERIFY(stopDone);
        QCOMPARE(model->state(0), State::Stopped);
        QCOMPARE(model->index(3, VXUploadQueueModel::ResultColumn).data().toString(),
                 QString("-1: the local file does not exist"));
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(QCoreApplication::applicationDirPath() + "/vxupload-gui.png"));
        // A transfer the stop failed to abort would have reported by now.
        QTest::qWait(300);
        QCOMPARE(lateReports, 0);

        view->selectRow(0);
        window.findChild<QAction*>("retry")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(model->state(0), State::Done, e2e::kTimeoutMs);
        const QStringList files = {stopped, multipart, single};
        for (int row = 0; row < files.size(); ++row)
            QVERIFY2(e2e::serves(model->downloadUrl(row), files.at(row)), qPrintable(files[row]));

        view->selectRow(1);
        window.findChild<QAction*>("copyAddress")->trigger();
        QCOMPARE(QApplication::clipboard()->text(), model->downloadUrl(1));
        QFile log(m_stack.value("LOG"));
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(logOffset));
        QVERIFY(log.readAll().contains(" POST /coscenter/v1/bucket/completemultipart 200 "));
    }
};

QTEST_MAIN(tst_VXUploadGui)
#include "tst_vxuploadgui.moc"
