#ifndef VXSIGNALWATCHER_H
#define VXSIGNALWATCHER_H

#include <QList>
#include <QObject>

// Turns POSIX signals (SIGINT, SIGTERM) into a Qt signal on the event loop's thread. The
// handler only writes the signal number as one byte into a socket pair; a QSocketNotifier on the
// other end reads it in the event loop and emits sglSignalled. One watcher per process at a time;
// its destructor puts the default handlers back. Without a socket pair the signals keep their
// default action.
class VXSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit VXSignalWatcher(const QList<int>& signalNumbers, QObject* parent = nullptr);
    ~VXSignalWatcher() override;

signals:
    // Fires once per delivered signal, from the event loop, never inside the handler.
    void sglSignalled(int signalNumber);

private:
    static void handleSignal(int signalNumber);
    void slotReadable();

    QList<int> m_signalList;
    int m_fds[2] = {-1, -1};
};

#endif // VXSIGNALWATCHER_H
