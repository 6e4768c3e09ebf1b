#include "BenchSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

BenchSink::BenchSink() = default;

BenchSink::~BenchSink()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel(); // the sink ends when its standard input closes
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
}

bool BenchSink::start(const QStringList& arguments)
{
    const QString program =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("bench_http_sink"));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000) || !m_process.waitForReadyRead(5000)) {
        QTextStream(stderr) << "cannot start " << program << "\n";
        return false;
    }
    const QByteArray line = m_process.readLine().trimmed();
    if (!line.startsWith("PORT "))
        return false;
    m_port = line.mid(5).toInt();
    return m_port > 0;
}
