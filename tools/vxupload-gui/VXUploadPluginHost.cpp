#include "VXUploadPluginHost.h"

#include "IVXFileUpload.h"
#include "VXHostRelay.h"

VXUploadPluginHost::VXUploadPluginHost(QObject* parent)
    : QObject(parent), m_pRelay(new VXHostRelay(this))
{}

VXUploadPluginHost::~VXUploadPluginHost()
{
    delete m_pRoot;
}

bool VXUploadPluginHost::load(const QString& path)
{
    m_loader.setFileName(path);
    return start();
}

void VXUploadPluginHost::restart()
{
    // The loader hands out a new root object once the old one is gone.
    delete m_pRoot;
    m_pRoot = nullptr;
    m_pUpload = nullptr;
    start();
}

bool VXUploadPluginHost::start()
{
    QObject* root = m_loader.instance();
    auto* upload = qobject_cast<IVXFileUpload*>(root);
    if (!upload) {
        m_errorString =
            root ? QStringLiteral("%1 is a Qt plugin but not the upload plugin: its root object "
                                  "(%2) does not implement %3")
                       .arg(m_loader.fileName(), QLatin1String(root->metaObject()->className()),
                            QLatin1String(IVXFileUpload_iid))
                 : m_loader.errorString();
        return false;
    }
    m_pRoot = root;
    m_pUpload = upload;
    m_pUpload->initUploadManager(m_pRelay);
    return true;
}

void VXUploadPluginHost::submit(const QJsonObject& job)
{
    if (m_pUpload)
        m_pUpload->uploadFileByPost(job);
}

void VXUploadPluginHost::stop(const QJsonObject& job)
{
    if (m_pUpload) {
        m_pUpload->stopUploadFileByPost(job.value(QLatin1String("localPath")).toString(),
                                        job.value(QLatin1String("remotePath")).toString(),
                                        job.value(QLatin1String("bucketName")).toString());
    }
}
