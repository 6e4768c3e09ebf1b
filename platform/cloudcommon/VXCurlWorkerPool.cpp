#include "VXCurlWorkerPool.h"

#include "VXCloudCommonLog.h"
#include "VXCurlMultiDriver.h"
#include "VXCurlWorker.h"

#include <QThread>

#include <mutex>

namespace {

std::mutex g_poolMutex;
std::weak_ptr<VXCurlWorkerPool> g_pool; // guarded by g_poolMutex

} // namespace

std::shared_ptr<VXCurlWorkerPool> VXCurlWorkerPool::acquire()
{
    const std::lock_guard<std::mutex> lock(g_poolMutex);
    std::shared_ptr<VXCurlWorkerPool> pool = g_pool.lock();
    if (!pool) {
        // On the caller's thread, before any worker uses libcurl, and logged here.
        if (!VXCurlMultiDriver::initCurlOnce())
            qCWarning(lcCloudCommon) << "VXCurlMultiDriver: curl_global_init failed";
        pool = std::make_shared<VXCurlWorkerPool>(qBound(1, QThread::idealThreadCount(), 16));
        g_pool = pool;
    }
    return pool;
}

VXCurlWorkerPool::VXCurlWorkerPool(int workerCount)
{
    for (int i = 0; i < workerCount; ++i)
        m_workerList.push_back(std::make_unique<VXCurlWorker>());
}

VXCurlWorkerPool::~VXCurlWorkerPool() = default;

VXCurlWorker* VXCurlWorkerPool::leastBusy() const
{
    VXCurlWorker* best = m_workerList.front().get();
    for (const auto& worker : m_workerList) {
        if (worker->inFlight() < best->inFlight())
            best = worker.get();
    }
    return best;
}
