#include "VXEventFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

VXEventFd::VXEventFd() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

VXEventFd::~VXEventFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void VXEventFd::signal()
{
    const uint64_t one = 1;
    // Fails only when the counter is about to overflow: it is then readable anyway.
    [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
}

void VXEventFd::drain()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_fd, &count, sizeof count);
}
