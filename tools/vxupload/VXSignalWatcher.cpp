#include "VXSignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Written only by the constructor and destructor, read by the handler.
volatile sig_atomic_t g_writeFd = -1;

} // namespace

VXSignalWatcher::VXSignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent), m_signalList(signalNumbers)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return;
    g_writeFd = m_fds[1];
    auto* notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &VXSignalWatcher::slotReadable);

    struct sigaction action = {};
    action.sa_handler = &VXSignalWatcher::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : qAsConst(m_signalList))
        ::sigaction(signalNumber, &action, nullptr);
}

VXSignalWatcher::~VXSignalWatcher()
{
    for (int signalNumber : qAsConst(m_signalList))
        ::signal(signalNumber, SIG_DFL);
    g_writeFd = -1;
    for (int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void VXSignalWatcher::handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = g_writeFd;
    if (fd >= 0) {
        const char byte = char(signalNumber);
        // A full socket means earlier signals are still unread: dropping this one loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void VXSignalWatcher::slotReadable()
{
    char buffer[64];
    for (;;) {
        const ssize_t count = ::read(m_fds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            emit sglSignalled(int(static_cast<unsigned char>(buffer[i])));
    }
}
