#ifndef VXCURLWORKER_H
#define VXCURLWORKER_H

#include "VXCurlRequest.h"
#include "VXEventFd.h"

#include <QVector>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

class VXCurlEngine;

// One worker thread of the request component: a Qt event loop on a thread of its own, running a
// VXCurlEngine (its own curl multi handle, file reads and MD5 of the bodies it sends). Commands
// reach it through one small locked queue and an eventfd; its reports leave through the
// mailboxes of the requests.
//
// Lifetime: created and destroyed by VXCurlWorkerPool on the pool owner's thread. The
// constructor starts the thread; the destructor sets the quit flag and signals the eventfd, which
// wakes the worker out of its poll even when Qt no longer delivers events (a host whose
// QCoreApplication is gone, destroying the last component from an exit handler); the worker
// then destroys the engine on its thread (ending its requests without a report) and is joined.
// start(), stop() and inFlight() may be called from any thread.
class VXCurlWorker
{
public:
    VXCurlWorker();
    ~VXCurlWorker();
    VXCurlWorker(const VXCurlWorker&) = delete;
    VXCurlWorker& operator=(const VXCurlWorker&) = delete;

    void start(VXCurlRequest request);
    void stop(const QVector<quint64>& ids);
    // Requests handed to this worker that have not ended yet.
    int inFlight() const { return m_inFlight.load(std::memory_order_relaxed); }

private:
    struct Command
    {
        enum class Kind { Start, Stop };
        Kind kind = Kind::Stop;
        VXCurlRequest request; // of Start
        QVector<quint64> ids;  // of Stop
    };

    void run();
    void push(Command command);
    // Runs on the worker thread: every queued command.
    void serveCommands(VXCurlEngine* engine);

    std::mutex m_mutex;
    std::deque<Command> m_commandQueue;
    VXEventFd m_wakeup;
    std::atomic<int> m_inFlight{0};
    std::atomic<bool> m_quit{false};
    std::thread m_thread; // last: started once everything above exists
};

#endif // VXCURLWORKER_H
