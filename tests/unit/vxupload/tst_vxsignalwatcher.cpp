// POSIX signals reach the event loop as a Qt signal, once per delivery.
#include "VXSignalWatcher.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class tst_VXSignalWatcher : public QObject
{
    Q_OBJECT

private slots:
    void deliversEachSignalInTheEventLoop();
};

void tst_VXSignalWatcher::deliversEachSignalInTheEventLoop()
{
    VXSignalWatcher watcher({SIGUSR1, SIGUSR2});
    QVERIFY(watcher.isValid());
    QSignalSpy spy(&watcher, &VXSignalWatcher::sglSignalled);
    ::raise(SIGUSR1);
    ::raise(SIGUSR2);
    ::raise(SIGUSR1);
    // Nothing is emitted inside the handler: only the event loop delivers.
    QCOMPARE(spy.count(), 0);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toInt(), SIGUSR1);
    QCOMPARE(spy.at(1).at(0).toInt(), SIGUSR2);
    QCOMPARE(spy.at(2).at(0).toInt(), SIGUSR1);
}

QTEST_GUILESS_MAIN(tst_VXSignalWatcher)
#include "tst_vxsignalwatcher.moc"
