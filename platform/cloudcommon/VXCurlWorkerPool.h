#ifndef VXCURLWORKERPOOL_H
#define VXCURLWORKERPOOL_H

#include <memory>
#include <vector>

class VXCurlWorker;

// The worker threads of every request component of the process, one per core
// (QThread::idealThreadCount()): parts in flight are read, hashed and sent in parallel, however
// many components (one per slice uploader) send them, and each worker's connections are reused
// by every component.
//
// Lifetime: shared by the components alive. acquire() creates the pool when none exists; it is
// destroyed with the last component that holds it, on that component's thread: every worker is
// then asked to end and joined (a short wait: each finishes the curl call it is in), so no
// worker thread outlives the components, nor the library's code if it is unloaded. acquire() is
// thread-safe; leastBusy() may be called from any thread.
class VXCurlWorkerPool
{
public:
    static std::shared_ptr<VXCurlWorkerPool> acquire();

    explicit VXCurlWorkerPool(int workerCount);
    ~VXCurlWorkerPool();
    VXCurlWorkerPool(const VXCurlWorkerPool&) = delete;
    VXCurlWorkerPool& operator=(const VXCurlWorkerPool&) = delete;

    // The worker with the fewest requests in flight (the first of equals).
    VXCurlWorker* leastBusy() const;

private:
    std::vector<std::unique_ptr<VXCurlWorker>> m_workerList;
};

#endif // VXCURLWORKERPOOL_H
