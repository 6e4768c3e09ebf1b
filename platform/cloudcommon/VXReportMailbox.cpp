#include "VXReportMailbox.h"

void VXReportMailbox::post(VXCurlReport report)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return;
        m_reportQueue.push_back(std::move(report));
        if (m_reportQueue.size() > 1) // a wake-up is already pending
            return;
    }
    m_wakeup.signal();
}

bool VXReportMailbox::take(VXCurlReport* report)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reportQueue.empty())
        return false;
    *report = std::move(m_reportQueue.front());
    m_reportQueue.pop_front();
    return true;
}

void VXReportMailbox::close()
{
    std::deque<VXCurlReport> dropped;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        dropped.swap(m_reportQueue);
    }
}
