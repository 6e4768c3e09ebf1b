#ifndef VXPATHSCANNER_H
#define VXPATHSCANNER_H

#include <QDir>
#include <QDirIterator>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>

// Turns dropped paths into files to upload with their remote paths, kBatch at a time: the first
// batch inside start(), the others one per turn of the event loop, so that ten thousand files
// or a large folder never freeze the window. A file goes to remoteFolder + its name; a folder
// gives the files under it, each to remoteFolder + the folder's name + its path below the
// folder. Hidden files count; links to folders are not followed (no loops); FIFOs, sockets and
// devices under a folder are left out. A path that is no folder is taken as a file, even when
// it does not exist (the plugin reports it). Deletes itself once finished.
class VXPathScanner : public QObject
{
    Q_OBJECT

public:
    struct File
    {
        QString localPath; // absolute
        QString remotePath;
    };
    static constexpr int kBatch = 500;

    // remoteFolder: "" or ending in '/'.
    VXPathScanner(const QStringList& paths, const QString& remoteFolder,
                  QObject* parent = nullptr);

    void start();

signals:
    void sglFilesFound(const QVector<VXPathScanner::File>& files);
    void sglFinished(int fileCount);

private:
    void scanSome();

    QStringList m_pathList;
    int m_iNextPath = 0;
    const QString m_remoteFolder;
    std::unique_ptr<QDirIterator> m_pFolderIterator; // the folder being listed
    QDir m_folder;
    QString m_folderRemotePrefix;
    QTimer m_timer;
    int m_iFileCount = 0;
};

#endif // VXPATHSCANNER_H
