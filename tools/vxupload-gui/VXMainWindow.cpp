#include "VXMainWindow.h"

#include "VXFormat.h"
#include "VXPathScanner.h"
#include "VXPluginPath.h"
#include "VXProgressDelegate.h"
#include "VXQueueFile.h"
#include "VXResultCodes.h"
#include "VXServerProbe.h"
#include "VXSettingsDialog.h"
#include "VXUploadController.h"
#include "VXUploadPluginHost.h"
#include "VXUploadQueueModel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

namespace {

const char* const kReservedFields[] = {"localPath", "remotePath", "bucketName", "bc_bcode"};

} // namespace

VXMainWindow::VXMainWindow(const QString& pluginPath, QWidget* parent)
    : QMainWindow(parent), m_pHost(new VXUploadPluginHost(this)),
      m_pModel(new VXUploadQueueModel(this)),
      m_pController(new VXUploadController(m_pModel, m_pHost, this)),
      m_pProbe(new VXServerProbe(this))
{
    setWindowTitle(QStringLiteral("vxupload-gui"));
    setAcceptDrops(true);
    resize(1400, 460);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(makeForm());
    m_pBanner = new QLabel;
    m_pBanner->setObjectName(QStringLiteral("banner"));
    m_pBanner->setWordWrap(true);
    m_pBanner->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pBanner->hide();
    layout->addWidget(m_pBanner);
    layout->addWidget(makeView(), 1);
    setCentralWidget(central);
    makeActions();
    m_pCounts = new QLabel;
    statusBar()->addPermanentWidget(m_pCounts);
    statusBar()->showMessage(QStringLiteral("Drop files or folders here, or use Add files..."));
    connectRows();

    m_pHost->load(VXPluginPath::locate(pluginPath));
    showPluginState();
    updateActions();
}

VXMainWindow::~VXMainWindow()
{
    if (m_pQueueFile)
        m_pQueueFile->flush();
}

void VXMainWindow::restoreQueue(const QString& path)
{
    m_pQueueFile = new VXQueueFile(m_pModel, path, this);
    connect(m_pQueueFile, &VXQueueFile::sglSaveFailed, this, [this](const QString& reason) {
        statusBar()->showMessage(QStringLiteral("The queue file %1 cannot be written (%2): "
                                                "unfinished rows will not come back after a "
                                                "restart")
                                     .arg(m_pQueueFile->path(), reason));
    });
    QString error;
    const int count = m_pQueueFile->load(&error);
    if (count < 0) {
        statusBar()->showMessage(
            QStringLiteral("The queue file %1 is damaged (%2): ignored").arg(path, error));
    } else if (count > 0) {
        statusBar()->showMessage(QStringLiteral("%1 unfinished upload(s) from the last session, "
                                                "stopped: select them and Retry")
                                     .arg(count));
    }
}

void VXMainWindow::addPaths(const QStringList& paths)
{
    QJsonObject fields;
    if (!m_pHost->isLoaded()) {
        statusBar()->showMessage(QStringLiteral("Nothing added: the plugin is not loaded."));
        return;
    }
    if (paths.isEmpty() || !jobFields(&fields))
        return;
    auto* scanner = new VXPathScanner(paths, remoteFolder(), this);
    auto added = std::make_shared<int>(0);
    connect(scanner, &VXPathScanner::sglFilesFound, this,
            [this, fields, added](const QVector<VXPathScanner::File>& files) {
                QList<QJsonObject> jobs;
                jobs.reserve(files.size());
                for (const VXPathScanner::File& file : files) {
                    QJsonObject job = fields;
                    job.insert(QStringLiteral("localPath"), file.localPath);
                    job.insert(QStringLiteral("remotePath"), file.remotePath);
                    jobs.append(job);
                }
                *added += m_pController->add(jobs);
            });
    connect(scanner, &VXPathScanner::sglFinished, this, [this, added](int count) {
        statusBar()->showMessage(QStringLiteral("%1 of %2 files added, %3 already in the queue "
                                                "or aimed at another file's remote path")
                                     .arg(*added)
                                     .arg(count)
                                     .arg(count - *added));
    });
    scanner->start();
}

QString VXMainWindow::bannerText() const
{
    return m_banner == Banner::None ? QString() : m_pBanner->text();
}

void VXMainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void VXMainWindow::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    addPaths(paths);
}

QTableView* VXMainWindow::makeView()
{
    m_pView = new QTableView;
    m_pView->setModel(m_pModel);
    m_pView->setItemDelegateForColumn(VXUploadQueueModel::ProgressColumn,
                                      new VXProgressDelegate(m_pView));
    m_pView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pView->setAlternatingRowColors(true);
    m_pView->setWordWrap(false);
    m_pView->setContextMenuPolicy(Qt::CustomContextMenu);
    m_pView->verticalHeader()->hide();
    m_pView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 10);
    m_pView->horizontalHeader()->setStretchLastSection(true);
    // Widths in characters of the font in use, never narrower than the column's title.
    const int characters[] = {14, 8, 24, 9, 12, 10, 8, 30};
    for (int column = 0; column < int(sizeof characters / sizeof *characters); ++column) {
        const QString title = m_pModel->headerData(column, Qt::Horizontal).toString();
        const int width = qMax(fontMetrics().averageCharWidth() * characters[column],
                               fontMetrics().horizontalAdvance(title));
        m_pView->setColumnWidth(column, width + 20);
    }
    connect(m_pView, &QTableView::doubleClicked, this, &VXMainWindow::copyAddresses);
    return m_pView;
}

void VXMainWindow::connectRows()
{
    // The counts follow every change of the rows (progress reaches them at most every
    // VXUploadQueueModel::kRefreshMs); the actions follow the selection, and the states of the
    // selected rows at a steady pace.
    connect(m_pModel, &QAbstractItemModel::rowsInserted, this, &VXMainWindow::updateCounts);
    connect(m_pModel, &QAbstractItemModel::dataChanged, this, &VXMainWindow::updateCounts);
    connect(m_pView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &VXMainWindow::updateActions);
    m_actionTimer.setInterval(250);
    connect(&m_actionTimer, &QTimer::timeout, this, &VXMainWindow::updateActions);
    m_actionTimer.start();

    connect(m_pController, &VXUploadController::sglUploadFailed, this, &VXMainWindow::checkServer);
    connect(m_pController, &VXUploadController::sglUploadSucceeded, this,
            [this] { clearBanner(Banner::ServerProblem); });
    connect(m_pProbe, &VXServerProbe::sglUnreachable, this,
            [this](const QString& host, const QString& reason) {
                showBanner(Banner::ServerProblem,
                           QStringLiteral("The cloud server %1 cannot be reached (%2): check "
                                          "Settings and that the server runs.")
                               .arg(host, reason));
            });
}

QWidget* VXMainWindow::makeForm()
{
    auto* form = new QWidget;
    auto* layout = new QHBoxLayout(form);
    layout->setContentsMargins(0, 0, 0, 0);
    auto addEdit = [layout](const char* name, const QString& label, const QString& text,
                            const QString& hint) {
        auto* edit = new QLineEdit(text);
        edit->setObjectName(QLatin1String(name));
        edit->setPlaceholderText(hint);
        layout->addWidget(new QLabel(label));
        layout->addWidget(edit, 1);
        return edit;
    };
    m_pBucket = addEdit("bucket", QStringLiteral("Bucket"), QStringLiteral("uploads"),
                        QStringLiteral("required"));
    m_pRemoteFolder = addEdit("remoteFolder", QStringLiteral("Remote folder"), QString(),
                              QStringLiteral("top level"));
    m_pMultipart = new QCheckBox(QStringLiteral("Multipart (bc_bcode)"));
    m_pMultipart->setObjectName(QStringLiteral("multipart"));
    m_pMultipart->setToolTip(QStringLiteral(
        "Files longer than the slice length go up in parts; the code travels as \"bc_bcode\""));
    layout->addWidget(m_pMultipart);
    m_pBcode = new QLineEdit(QStringLiteral("X1"));
    m_pBcode->setObjectName(QStringLiteral("bcode"));
    m_pBcode->setMaximumWidth(90);
    m_pBcode->setEnabled(false);
    connect(m_pMultipart, &QCheckBox::toggled, m_pBcode, &QLineEdit::setEnabled);
    layout->addWidget(m_pBcode);
    m_pFields = addEdit("fields", QStringLiteral("Fields"), QString(),
                        QStringLiteral("key=value; key=value"));
    layout->setStretchFactor(m_pFields, 2);
    return form;
}

void VXMainWindow::makeActions()
{
    auto* toolBar = addToolBar(QStringLiteral("Queue"));
    toolBar->setMovable(false);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto add = [this, toolBar](const char* name, const QString& text, QKeySequence key) {
        auto* action = new QAction(text, this);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        toolBar->addAction(action);
        return action;
    };
    m_pAddAction = add("addFiles", QStringLiteral("Add files..."), QKeySequence::Open);
    m_pStopAction = add("stop", QStringLiteral("Stop"), QKeySequence::Delete);
    m_pStopAllAction = add("stopAll", QStringLiteral("Stop all"), QKeySequence());
    m_pRetryAction = add("retry", QStringLiteral("Retry"), QKeySequence(Qt::CTRL | Qt::Key_R));
    m_pCopyAction = add("copyAddress", QStringLiteral("Copy address"), QKeySequence::Copy);
    toolBar->addSeparator();
    QAction* settings = add("settings", QStringLiteral("Settings..."), QKeySequence());

    connect(m_pAddAction, &QAction::triggered, this, &VXMainWindow::chooseFiles);
    connect(m_pStopAction, &QAction::triggered, this,
            [this] { m_pController->stop(selectedRows()); });
    connect(m_pStopAllAction, &QAction::triggered, m_pController, &VXUploadController::stopAll);
    connect(m_pRetryAction, &QAction::triggered, this,
            [this] { m_pController->retry(selectedRows()); });
    connect(m_pCopyAction, &QAction::triggered, this, &VXMainWindow::copyAddresses);
    connect(settings, &QAction::triggered, this, &VXMainWindow::showSettings);
    connect(m_pView, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu;
        menu.addActions({m_pStopAction, m_pRetryAction, m_pCopyAction});
        menu.exec(m_pView->viewport()->mapToGlobal(at));
    });
}

bool VXMainWindow::jobFields(QJsonObject* fields)
{
    const QString bucket = m_pBucket->text().trimmed();
    if (bucket.isEmpty()) {
        showBanner(Banner::FormProblem, QStringLiteral("Nothing added: enter a bucket first."));
        return false;
    }
    fields->insert(QStringLiteral("bucketName"), bucket);
    if (m_pMultipart->isChecked()) {
        const QString code = m_pBcode->text().trimmed();
        if (code.isEmpty()) {
            showBanner(Banner::FormProblem,
                       QStringLiteral("Nothing added: multipart needs a bc_bcode."));
            return false;
        }
        fields->insert(QStringLiteral("bc_bcode"), code);
    }
    for (const QString& entry : m_pFields->text().split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const int equals = entry.indexOf(QLatin1Char('='));
        const QString key = entry.left(equals).trimmed();
        bool reserved = false;
        for (const char* name : kReservedFields)
            reserved = reserved || key == QLatin1String(name);
        if (entry.trimmed().isEmpty())
            continue;
        if (equals < 0 || key.isEmpty() || reserved) {
            showBanner(Banner::FormProblem,
                       QStringLiteral("Nothing added: the field \"%1\" is not key=value with "
                                      "a key of its own.")
                           .arg(entry.trimmed()));
            return false;
        }
        fields->insert(key, entry.mid(equals + 1).trimmed());
    }
    clearBanner(Banner::FormProblem);
    return true;
}

QString VXMainWindow::remoteFolder() const
{
    QString folder = QDir::fromNativeSeparators(m_pRemoteFolder->text().trimmed());
    while (folder.startsWith(QLatin1Char('/')))
        folder.remove(0, 1);
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
        folder.append(QLatin1Char('/'));
    return folder;
}

QList<int> VXMainWindow::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex& index : m_pView->selectionModel()->selectedRows())
        rows.append(index.row());
    return rows;
}

void VXMainWindow::showBanner(Banner kind, const QString& text)
{
    m_banner = text.isEmpty() ? Banner::None : kind;
    m_pBanner->setText(text);
    const bool isNote = kind == Banner::SettingsNote;
    m_pBanner->setStyleSheet(QStringLiteral("padding: 6px; border-radius: 3px; ") +
                             (isNote ? QStringLiteral("background: #fff4d6; color: #5c4200")
                                     : QStringLiteral("background: #fde2e1; color: #7a1111")));
    m_pBanner->setVisible(m_banner != Banner::None);
}

void VXMainWindow::clearBanner(Banner kind)
{
    if (m_banner == kind)
        showBanner(Banner::None, QString());
}

void VXMainWindow::showPluginState()
{
    if (!m_pHost->isLoaded()) {
        showBanner(Banner::PluginProblem,
                   QStringLiteral("The upload plugin cannot be loaded: %1\nSet VXUPLOAD_PLUGIN "
                                  "to libVXFileUpload.so or put it next to vxupload-gui.")
                       .arg(m_pHost->errorString()));
    } else {
        showBanner(Banner::SettingsNote, VXSettingsDialog::missingServerNote());
        checkServer();
    }
}

void VXMainWindow::checkServer(int code, const QJsonObject& report)
{
    const QString localPath = report.value(QLatin1String("localPath")).toString();
    // An unknown host, nothing accepting the connection, no answer in time: a storage or
    // server out of reach. The plugin's -1 for a file that exists: the cloud server refused
    // or failed the upload-URL request, or could not be reached.
    const bool transport = code == VXResult::HostNotFound || code == VXResult::ConnectFailed ||
                           code == VXResult::TimedOut;
    if (transport) {
        showBanner(Banner::ServerProblem,
                   QStringLiteral("A server did not answer (%1): check Settings and that the "
                                  "server and its storage run.")
                       .arg(VXFormat::errorText(code, report)));
    }
    const bool managerFailure = code == VXResult::ManagerFailure && QFileInfo::exists(localPath);
    const QString host = VXSettingsDialog::apiHost();
    if ((code == 0 || transport || managerFailure) && !host.isEmpty())
        m_pProbe->probe(host);
}

void VXMainWindow::chooseFiles()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, QStringLiteral("Add files"));
    if (!files.isEmpty())
        addPaths(files);
}

void VXMainWindow::showSettings()
{
    auto* dialog = new VXSettingsDialog(m_pController->isBusy(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, &VXMainWindow::applySettings);
    dialog->open();
}

void VXMainWindow::applySettings()
{
    // The plugin reads its settings once per upload manager: a new one takes them, and the
    // jobs the old one held end here, as stopped rows the user can retry.
    m_pController->stopAll();
    m_pHost->restart();
    showPluginState();
    statusBar()->showMessage(QStringLiteral("Settings saved"));
}

void VXMainWindow::copyAddresses()
{
    QStringList addresses;
    for (int row : selectedRows()) {
        if (!m_pModel->downloadUrl(row).isEmpty())
            addresses.append(m_pModel->downloadUrl(row));
    }
    if (addresses.isEmpty())
        return;
    QApplication::clipboard()->setText(addresses.join(QLatin1Char('\n')));
    statusBar()->showMessage(
        QStringLiteral("%1 download address(es) copied").arg(addresses.size()), 3000);
}

void VXMainWindow::updateCounts()
{
    using State = VXUploadQueueModel::State;
    QStringList counts;
    for (State state :
         {State::Uploading, State::Waiting, State::Done, State::Failed, State::Stopped}) {
        if (m_pModel->count(state))
            counts.append(QStringLiteral("%1 %2")
                              .arg(m_pModel->count(state))
                              .arg(VXUploadQueueModel::stateName(state)));
    }
    m_pCounts->setText(counts.join(QStringLiteral(" · ")));
}

void VXMainWindow::updateActions()
{
    using State = VXUploadQueueModel::State;
    bool canStop = false, canRetry = false, canCopy = false;
    for (int row : selectedRows()) {
        const State state = m_pModel->state(row);
        canStop = canStop || state == State::Waiting || state == State::Uploading;
        canRetry = canRetry || state == State::Failed || state == State::Stopped;
        canCopy = canCopy || state == State::Done;
    }
    const bool loaded = m_pHost->isLoaded();
    m_pAddAction->setEnabled(loaded);
    m_pStopAction->setEnabled(canStop);
    m_pStopAllAction->setEnabled(m_pController->isBusy());
    m_pRetryAction->setEnabled(loaded && canRetry);
    m_pCopyAction->setEnabled(canCopy);
}
