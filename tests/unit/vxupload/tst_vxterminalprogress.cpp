// The terminal block is redrawn in place: it must be erased by the number of lines it took.
#include "VXJobTracker.h"
#include "VXTerminalProgress.h"

#include <QBuffer>
#include <QtTest>

class tst_VXTerminalProgress : public QObject
{
    Q_OBJECT

private slots:
    void terminalErasesTheLinesItDrew()
    {
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly));
        VXTerminalProgress view(&out, 60);
        QJsonObject one{{"localPath", "/nonexistent/1"}, {"remotePath", QString(99, 'n')}};
        QJsonObject two{{"localPath", "/nonexistent/2"}, {"remotePath", "two"}};
        view.jobSubmitted(one);
        view.jobSubmitted(two);
        // Drawn at once: one's line, cut to the width (a wrapped line would spoil the count),
        // and "1 more waiting". two's progress waits for a tick, which never comes here.
        view.jobProgress(VXJobTracker::jobKey(one), 50);
        view.jobProgress(VXJobTracker::jobKey(two), 50);
        for (const QByteArray& line : out.data().split('\n'))
            QVERIFY2(QString::fromUtf8(line).size() < 60, line);

        // Both lines erased, the result printed, the block redrawn: one's line alone.
        const qint64 start = out.pos();
        view.jobFinished(-1, two, VXJobTracker::jobKey(two));
        const QByteArray frame = out.data().mid(start);
        QVERIFY2(frame.startsWith("\x1b[2A\r\x1b[J") && frame.count('\n') == 2, frame);
    }
};

QTEST_GUILESS_MAIN(tst_VXTerminalProgress)
#include "tst_vxterminalprogress.moc"
