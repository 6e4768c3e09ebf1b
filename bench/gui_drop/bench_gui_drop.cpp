// bench_gui_drop: what vxupload-gui's window costs on top of the plugin when 10,000 files are
// dropped on it. The real window runs offscreen with the shipped plugin, whose cloud host is a
// TCP server in this process that accepts connections and never answers, so every job stays
// queued or in flight. Side by side in one run, 3 rounds, medians:
//   window: 10,000 files dropped (and a folder of 10,000 files): the time until all rows are in
//           the model, the longest gap of a 5 ms ticker meanwhile (the event loop away), and
//           the time of Stop all;
//   plugin: the same 10,000 jobs handed straight to the plugin (uploadFileByPost) and stopped
//           with stopUploadFile().
// It prints window / plugin ratios for adding and for stopping, the longest gap in frames of
// 16.7 ms, and the raw figures beside them. It writes the fileUpload.ini next to itself for the
// run and puts back what was there.
#include "BenchStats.h"
#include "IVXFileUpload.h"
#include "VXHostRelay.h"
#include "VXMainWindow.h"
#include "VXUploadPluginHost.h"
#include "VXUploadQueueModel.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QMimeData>
#include <QPluginLoader>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr double kFrameMs = 1000.0 / 60.0;

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Accepts every connection, reads and drops what comes in, never answers.
class SilentServer : public QTcpServer
{
public:
    SilentServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++accepted;
                connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
            }
        });
    }

    int accepted = 0;
};

// Runs the event loop until done() or timeoutMs; false on time-out.
bool spinUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // the loop wakes up at least this often to look at done()
    wake.start(10);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct WindowRun
{
    double rowsMs = -1;
    double gapMs = 0;
    double stopMs = -1;
};

WindowRun dropOnWindow(const QString& pluginPath, const QList<QUrl>& urls, int fileCount)
{
    WindowRun run;
    VXMainWindow window(pluginPath);
    if (!window.bannerText().isEmpty())
        out() << "  window banner: " << window.bannerText() << "\n";
    if (!window.pluginHost()->isLoaded())
        return run;
    window.show();
    if (!spinUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); },
                   5000))
        return run;

    QElapsedTimer clock, sinceTick;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        run.gapMs = qMax(run.gapMs, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    QObject::connect(window.model(), &QAbstractItemModel::rowsInserted, [&] {
        if (run.rowsMs < 0 && window.model()->rowCount() == fileCount)
            run.rowsMs = double(clock.nsecsElapsed()) / 1e6;
    });
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop({200, 200}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    clock.start();
    sinceTick.start();
    ticker.start(5);
    QApplication::sendEvent(&window, &enter);
    QApplication::sendEvent(&window, &drop);
    if (!spinUntil([&] { return run.rowsMs >= 0; }, 120000))
        return run;
    run.gapMs = qMax(run.gapMs, double(sinceTick.nsecsElapsed()) / 1e6);
    ticker.stop();

    QAction* stopAll = window.findChild<QAction*>(QStringLiteral("stopAll"));
    if (!spinUntil([&] { return stopAll->isEnabled(); }, 5000))
        return run;
    clock.restart();
    stopAll->trigger();
    const double stopMs = double(clock.nsecsElapsed()) / 1e6;
    const int stopped = window.model()->count(VXUploadQueueModel::State::Stopped);
    if (stopped == fileCount)
        run.stopMs = stopMs;
    else
        out() << "  Stop all left " << fileCount - stopped << " rows not stopped\n";
    return run;
}

struct PluginRun
{
    double addMs = -1;
    double stopMs = -1;
};

PluginRun submitToPlugin(const QString& pluginPath, const QList<QJsonObject>& jobs)
{
    PluginRun run;
    QPluginLoader loader(pluginPath);
    QObject* root = loader.instance();
    auto* upload = qobject_cast<IVXFileUpload*>(root);
    if (!upload) {
        out() << "cannot load the plugin: " << loader.errorString() << "\n";
        return run;
    }
    VXHostRelay relay;
    int reports = 0;
    QObject::connect(&relay, &VXHostRelay::sglUploadFinished, [&] { ++reports; });
    upload->initUploadManager(&relay);
    QElapsedTimer clock;
    clock.start();
    for (const QJsonObject& job : jobs)
        upload->uploadFileByPost(job);
    run.addMs = double(clock.nsecsElapsed()) / 1e6;
    // Let the first jobs reach the server, as they have in the window by the time it stops.
    spinUntil([] { return false; }, 200);
    clock.restart();
    upload->stopUploadFile();
    run.stopMs = double(clock.nsecsElapsed()) / 1e6;
    if (reports > 0)
        out() << "  the plugin ended " << reports << " jobs before the stop (server answered?)\n";
    delete root; // the next loader.instance() of this file makes a fresh plugin
    return run;
}

// Keeps the fileUpload.ini found at `path` aside for the run and puts it back on every way out.
class IniKeeper
{
public:
    explicit IniKeeper(const QString& path) : m_path(path)
    {
        QFile file(path);
        m_bHad = file.open(QIODevice::ReadOnly);
        m_old = file.readAll();
        file.close();
        QFile::remove(path);
    }
    ~IniKeeper()
    {
        QFile::remove(m_path);
        QFile file(m_path);
        if (m_bHad && file.open(QIODevice::WriteOnly))
            file.write(m_old);
    }

private:
    QString m_path;
    bool m_bHad = false;
    QByteArray m_old;
};

void usage()
{
    out() << "usage: bench_gui_drop [--plugin PATH] [--files N] [--rounds N]\n";
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Only the fileUpload.ini written below configures the plugin.
    for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
        if (name.startsWith("VXUPLOAD_") || name.compare("http_proxy", Qt::CaseInsensitive) == 0 ||
            name.compare("all_proxy", Qt::CaseInsensitive) == 0)
            qunsetenv(qPrintable(name));
    }
    // Read before QApplication, which takes -plugin and --plugin as options of its own.
    QString pluginPath;
    int fileCount = 10000, rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        const QString value = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        if (option == "--plugin" && !value.isEmpty())
            pluginPath = QFileInfo(value).absoluteFilePath();
        else if (option == "--files" && value.toInt() > 0)
            fileCount = value.toInt();
        else if (option == "--rounds" && value.toInt() > 0)
            rounds = value.toInt();
        else {
            usage();
            return 2;
        }
        ++i;
    }
    int appArgc = 1;
    QApplication app(appArgc, argv);
    if (pluginPath.isEmpty())
        pluginPath = QDir(app.applicationDirPath()).filePath("libVXFileUpload.so");

    SilentServer server;
    if (!server.listen(QHostAddress::LocalHost)) {
        out() << "cannot listen on 127.0.0.1: " << server.errorString() << "\n";
        return 1;
    }
    const QString iniPath = QDir(app.applicationDirPath()).filePath("fileUpload.ini");
    const IniKeeper keeper(iniPath);
    {
        QSettings ini(iniPath, QSettings::IniFormat);
        ini.setValue("HostInformation/cloudHost",
                     QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
        ini.setValue("Network/stallTimeoutSec", 86400);
        ini.setValue("Network/connectTimeoutSec", 3600);
        ini.setValue("Network/retries", 0);
    }

    QTemporaryDir tmp;
    const QString folder = QDir(tmp.path()).filePath("drop");
    QDir().mkpath(folder);
    QList<QUrl> fileUrls;
    QList<QJsonObject> jobs;
    for (int i = 0; i < fileCount; ++i) {
        QFile file(QDir(folder).filePath(QStringLiteral("f%1.bin").arg(i)));
        if (!file.open(QIODevice::WriteOnly) || file.write("x") != 1) {
            out() << "cannot write " << file.fileName() << "\n";
            return 1;
        }
        fileUrls.append(QUrl::fromLocalFile(file.fileName()));
        // The jobs the window makes of these files with its default form.
        jobs.append(QJsonObject{{"localPath", file.fileName()},
                                {"remotePath", QFileInfo(file).fileName()},
                                {"bucketName", "uploads"}});
    }

    out() << "bench_gui_drop: " << fileCount << " files, " << rounds << " rounds, medians; "
          << "plugin " << pluginPath << ", cloud host 127.0.0.1:" << server.serverPort()
          << " (accepts, never answers), QPA " << qEnvironmentVariable("QT_QPA_PLATFORM") << "\n";
    out().flush();

    std::vector<double> filesRows, filesGap, filesStop, dirRows, dirGap, dirStop, plugAdd, plugStop;
    for (int round = 1; round <= rounds; ++round) {
        const WindowRun files = dropOnWindow(pluginPath, fileUrls, fileCount);
        const WindowRun dir = dropOnWindow(pluginPath, {QUrl::fromLocalFile(folder)}, fileCount);
        const PluginRun plugin = submitToPlugin(pluginPath, jobs);
        for (double value :
             {files.rowsMs, files.stopMs, dir.rowsMs, dir.stopMs, plugin.addMs, plugin.stopMs}) {
            if (value < 0) {
                out() << "round " << round << " failed (see above)\n";
                return 1;
            }
        }
        filesRows.push_back(files.rowsMs);
        filesGap.push_back(files.gapMs);
        filesStop.push_back(files.stopMs);
        dirRows.push_back(dir.rowsMs);
        dirGap.push_back(dir.gapMs);
        dirStop.push_back(dir.stopMs);
        plugAdd.push_back(plugin.addMs);
        plugStop.push_back(plugin.stopMs);
        out() << QString::asprintf(
            "round %d: files: rows in %.1f ms, longest gap %.1f ms, Stop all %.2f ms; folder: "
            "rows in %.1f ms, longest gap %.1f ms, Stop all %.2f ms; plugin alone: added in "
            "%.1f ms, stopped in %.2f ms\n",
            round, files.rowsMs, files.gapMs, files.stopMs, dir.rowsMs, dir.gapMs, dir.stopMs,
            plugin.addMs, plugin.stopMs);
        out().flush();
    }

    const double add = benchMedian(plugAdd), stop = benchMedian(plugStop);
    auto report = [&](const QString& what, const std::vector<double>& rows,
                      const std::vector<double>& gap, const std::vector<double>& stops) {
        out() << QString::asprintf(
            "%s dropped: adding %.1fx the plugin alone (%.0f ms / %.0f ms), longest gap %.1f "
            "frames "
            "(%.1f ms), Stop all %.2fx the plugin alone (%.2f ms / %.2f ms)\n",
            qPrintable(what), benchMedian(rows) / add, benchMedian(rows), add,
            benchMedian(gap) / kFrameMs, benchMedian(gap), benchMedian(stops) / stop,
            benchMedian(stops), stop);
    };
    const QString count = QLocale(QLocale::English).toString(fileCount);
    report(count + " files", filesRows, filesGap, filesStop);
    report("a folder of " + count + " files", dirRows, dirGap, dirStop);
    out() << "the cloud host accepted " << server.accepted << " connections and answered none\n";
    out().flush();
    return 0;
}
