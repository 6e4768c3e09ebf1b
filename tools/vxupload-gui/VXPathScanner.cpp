#include "VXPathScanner.h"

#include <QFileInfo>

VXPathScanner::VXPathScanner(const QStringList& paths, const QString& remoteFolder,
                             QObject* parent)
    : QObject(parent), m_pathList(paths), m_remoteFolder(remoteFolder)
{
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &VXPathScanner::scanSome);
}

void VXPathScanner::start()
{
    scanSome();
}

void VXPathScanner::scanSome()
{
    QVector<File> found;
    while (found.size() < kBatch) {
        if (m_pFolderIterator && m_pFolderIterator->hasNext()) {
            const QString path = m_pFolderIterator->next();
            found.append({path, m_folderRemotePrefix + m_folder.relativeFilePath(path)});
            continue;
        }
        m_pFolderIterator.reset();
        if (m_iNextPath == m_pathList.size())
            break;
        const QFileInfo info(m_pathList.at(m_iNextPath++));
        if (!info.isDir()) {
            found.append({info.absoluteFilePath(), m_remoteFolder + info.fileName()});
            continue;
        }
        m_folder.setPath(info.absoluteFilePath());
        // The root folder has no name to keep.
        m_folderRemotePrefix = m_remoteFolder + info.fileName();
        if (!info.fileName().isEmpty())
            m_folderRemotePrefix += QLatin1Char('/');
        m_pFolderIterator = std::make_unique<QDirIterator>(
            m_folder.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
    }
    m_iFileCount += found.size();
    if (!found.isEmpty())
        emit sglFilesFound(found);
    const bool more =
        m_iNextPath < m_pathList.size() || (m_pFolderIterator && m_pFolderIterator->hasNext());
    if (more) {
        m_timer.start();
        return;
    }
    m_timer.stop();
    emit sglFinished(m_iFileCount);
    deleteLater();
}
