#ifndef VXMAINWINDOW_H
#define VXMAINWINDOW_H

#include <QJsonObject>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTableView;
class VXQueueFile;
class VXServerProbe;
class VXUploadController;
class VXUploadPluginHost;
class VXUploadQueueModel;

// vxupload-gui's window: files dropped on it (or chosen with "Add files...") join the queue as
// upload jobs built from the form (bucket, remote folder, bc_bcode, extra fields); the table
// shows each job's state, progress, rate, time left, result and download address; Stop, Stop
// all and Retry act on the selected rows. A dropped folder adds the files under it, each
// uploaded to remote folder/folder name/path below the folder (see VXPathScanner).
// Problems the user must solve (no plugin, no server configured, a server out of reach, a
// form that makes no job) are shown in a banner above the table.
class VXMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Loads the plugin from pluginPath (VXPluginPath::locate's choice when empty).
    explicit VXMainWindow(const QString& pluginPath = QString(), QWidget* parent = nullptr);
    // Writes the queue file one last time when a save is due.
    ~VXMainWindow() override;

    // Keeps the unfinished rows in the queue file at path across restarts (VXQueueFile): its
    // rows join the queue now, as stopped rows to retry, and the file follows the rows from
    // now on. A damaged file is ignored, and the status line says so. Call once, before
    // anything is added.
    void restoreQueue(const QString& path);

    // What a drop does with local paths: files and the files under folders join the queue, up
    // to VXPathScanner::kBatch of them before this returns, the others batch by batch from the
    // event loop; a job already in the queue is not added twice. Nothing is added while the
    // plugin is not loaded or the form makes no job (the banner says why).
    void addPaths(const QStringList& paths);
    QString bannerText() const;
    VXUploadQueueModel* model() const { return m_pModel; }
    const VXUploadPluginHost* pluginHost() const { return m_pHost; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* makeForm();
    QTableView* makeView();
    void makeActions();
    void connectRows(); // the rows and the plugin's outcomes to the counts, actions, banner
    // The form as the fields every job gets (bucketName, bc_bcode, extra fields); false with
    // the reason in the banner.
    bool jobFields(QJsonObject* fields);
    QString remoteFolder() const; // "" or "a/b/"
    QList<int> selectedRows() const;
    // What the banner shows; a newer problem replaces an older one, and a problem is cleared
    // only by what solves it (a valid form, an upload that succeeds, new settings).
    enum class Banner { None, PluginProblem, ServerProblem, FormProblem, SettingsNote };
    void showBanner(Banner kind, const QString& text);
    void clearBanner(Banner kind);
    void showPluginState();
    // After a failure that an unreachable server explains, or new settings: probes the server.
    void checkServer(int code = 0, const QJsonObject& report = QJsonObject());
    void chooseFiles();
    void showSettings();
    void applySettings();
    void copyAddresses();
    void updateCounts();
    void updateActions();

    // The plugin host first: children die in the order they were made, so the plugin (and
    // anything it might still report) goes before the rows its reports would reach.
    VXUploadPluginHost* m_pHost;
    VXUploadQueueModel* m_pModel;
    VXUploadController* m_pController;
    VXServerProbe* m_pProbe;
    VXQueueFile* m_pQueueFile = nullptr;
    QTableView* m_pView;
    QLabel* m_pBanner;
    QLabel* m_pCounts;
    QLineEdit* m_pBucket;
    QLineEdit* m_pRemoteFolder;
    QCheckBox* m_pMultipart;
    QLineEdit* m_pBcode;
    QLineEdit* m_pFields;
    QAction* m_pAddAction;
    QAction* m_pStopAction;
    QAction* m_pStopAllAction;
    QAction* m_pRetryAction;
    QAction* m_pCopyAction;
    QTimer m_actionTimer;
    Banner m_banner = Banner::None;
};

#endif // VXMAINWINDOW_H
