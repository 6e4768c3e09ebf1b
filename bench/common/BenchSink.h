#ifndef BENCHSINK_H
#define BENCHSINK_H

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs bench_http_sink (found next to the benchmark program) as a child process for as long as
// this object lives. `arguments` go to the sink (for example "--rate-mib", "50").
class BenchSink
{
public:
    BenchSink();
    ~BenchSink();

    bool start(const QStringList& arguments = QStringList());
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

private:
    QProcess m_process;
    int m_port = 0;
};

#endif // BENCHSINK_H
