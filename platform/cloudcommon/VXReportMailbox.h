#ifndef VXREPORTMAILBOX_H
#define VXREPORTMAILBOX_H

#include "VXCurlReport.h"
#include "VXEventFd.h"

#include <deque>
#include <mutex>

// The reports of one component, from its worker threads to the facade's thread: a small locked
// queue and a wake-up. Shared (std::shared_ptr) by the facade and every request it sent, so that
// a worker may post for a request whose component is gone: after close() posts are dropped.
// post() from any thread; take(), close() and wakeFd() from the facade's thread.
class VXReportMailbox
{
public:
    void post(VXCurlReport report);
    // The oldest report, if any.
    bool take(VXCurlReport* report);
    void close();

    bool isValid() const { return m_wakeup.isValid(); }
    int wakeFd() const { return m_wakeup.fd(); }
    void drainWakeups() { m_wakeup.drain(); }

private:
    std::mutex m_mutex;
    std::deque<VXCurlReport> m_reportQueue;
    bool m_closed = false;
    VXEventFd m_wakeup;
};

#endif // VXREPORTMAILBOX_H
