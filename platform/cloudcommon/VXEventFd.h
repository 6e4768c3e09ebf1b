#ifndef VXEVENTFD_H
#define VXEVENTFD_H

// A wake-up across threads: an eventfd that any thread may signal() and that the owning thread
// watches with a QSocketNotifier (read: fd()) and drain()s before it looks at its queue. The
// queue itself is guarded by its own mutex; this only says "look". Chosen over a posted Qt event
// because it allocates nothing that crosses the threads and ThreadSanitizer sees its ordering.
// Thread-safe: signal() from any thread; drain() and fd() from the watching one.
class VXEventFd
{
public:
    VXEventFd();
    ~VXEventFd();
    VXEventFd(const VXEventFd&) = delete;
    VXEventFd& operator=(const VXEventFd&) = delete;

    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void signal();
    void drain();

private:
    int m_fd = -1;
};

#endif // VXEVENTFD_H
