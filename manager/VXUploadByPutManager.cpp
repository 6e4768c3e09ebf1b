#include "VXUploadByPutManager.h"

#include "VXCloudCommon.h"
#include "VXCloudUtils.h"
#include "VXUploadFileSliceByPut.h"

#include <QCoreApplication>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcUploadManager, "vx.uploadmanager", QtWarningMsg)

namespace {

// The slice uploader multiplies a part's percent (up to 100) by the slice length as a 32-bit
// integer, so a longer slice would overflow its progress arithmetic.
constexpr qint64 kDefaultSliceLen = 20971520;
constexpr qint64 kMaxSliceLen = 2147483647 / 100;

} // namespace

VXUploadByPutManager::VXUploadByPutManager(QObject* parent) : QObject(parent)
{
    readConfig();
    m_pCloudCommon = new VXCloudCommon(this);
    connect(m_pCloudCommon, &VXCloudCommon::sglHttpRequestFinishWithInfo, this,
            &VXUploadByPutManager::slotHttpRequestFinishWithInfo);
    connect(m_pCloudCommon, &VXCloudCommon::sglHttpRequestErrorWithInfo, this,
            &VXUploadByPutManager::slotHttpRequestErrorWithInfo);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadFinished, this,
            &VXUploadByPutManager::slotUploadFinished);
    connect(m_pCloudCommon, &VXCloudCommon::sglUploadProgress, this,
            &VXUploadByPutManager::slotUploadProgress);
}

VXUploadByPutManager::~VXUploadByPutManager() = default;

void VXUploadByPutManager::readConfig()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString iniPath = appDir.isEmpty() ? QStringLiteral("fileUpload.ini")
                                             : appDir + QStringLiteral("/fileUpload.ini");

    m_cloudHost = VXCloudUtils::getConfigFromIni(iniPath, QStringLiteral("/HostInformation/cloudHost"),
                                                 QVariant());
    if (m_cloudHost.isEmpty()) {
        m_cloudHost = VXCloudUtils::getConfigFromIni(
            iniPath, QStringLiteral("/hostinformation/cloudhost"), QVariant());
    }

    // An unusable slice length (missing, not a number, not positive, too long for the slice
    // uploader's progress arithmetic) keeps the default instead of breaking every large upload.
    const QString sliceText = VXCloudUtils::getConfigFromIni(
        iniPath, QStringLiteral("/PackageInformation/sliceLen"), QVariant());
    const qint64 sliceLen = sliceText.toInt(nullptr, 10);
    if (sliceLen > 0 && sliceLen <= kMaxSliceLen) {
        m_sliceLen = sliceLen;
    } else {
        m_sliceLen = kDefaultSliceLen;
        if (!sliceText.isEmpty()) {
            qCWarning(lcUploadManager).noquote()
                << "VXUploadByPutManager::readConfig: sliceLen" << sliceText << "in" << iniPath
                << "is not a slice length from 1 to" << kMaxSliceLen << "bytes; using"
                << kDefaultSliceLen;
        }
    }
}
