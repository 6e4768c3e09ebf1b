// Every setting as the plugin and its request component read it: the environment over
// "fileUpload.ini" (next to this program) over the default, unusable values falling back to the
// default with a warning; and the README's configuration table naming every one of them.
#include "VXSettings.h"

#include <QFile>
#include <QtTest>

Q_LOGGING_CATEGORY(lcSettingsTest, "vx.settingstest", QtWarningMsg)

class tst_VXSettings : public QObject
{
    Q_OBJECT

    static void writeIni(const QByteArray& lines)
    {
        QFile ini(VXSettings::iniPath());
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(lines) >= 0);
    }

private slots:
    void cleanup()
    {
        QFile::remove(VXSettings::iniPath());
        for (const VXSetting& setting : VXSettings::All) {
            if (setting.environment)
                qunsetenv(setting.environment);
        }
    }

    void number_data()
    {
        QTest::addColumn<QByteArray>("environment"); // "-": not set
        QTest::addColumn<QByteArray>("ini");         // "-": no key in the file
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<bool>("warned");
        QTest::newRow("neither: default") << QByteArray("-") << QByteArray("-") << 2ll << false;
        QTest::newRow("INI only") << QByteArray("-") << QByteArray("5") << 5ll << false;
        QTest::newRow("environment wins") << QByteArray("7") << QByteArray("5") << 7ll << false;
        QTest::newRow("blank environment: INI") << QByteArray("  ") << QByteArray("5") << 5ll
                                                << false;
        QTest::newRow("range ends") << QByteArray("10") << QByteArray("-") << 10ll << false;
        QTest::newRow("above range: default, warned")
            << QByteArray("11") << QByteArray("5") << 2ll << true;
        QTest::newRow("negative INI: default, warned")
            << QByteArray("-") << QByteArray("-1") << 2ll << true;
        QTest::newRow("not a number: default, warned")
            << QByteArray("-") << QByteArray("two") << 2ll << true;
    }
    // On the retries setting (0 to 10, default 2), as on every number.
    void number()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, ini);
        QFETCH(qint64, expected);
        QFETCH(bool, warned);
        const VXSetting& retries = VXSettings::Retries;
        if (environment != "-")
            qputenv(retries.environment, environment);
        writeIni(ini == "-" ? QByteArray("[Network]\nother=1\n")
                            : "[Network]\nretries=" + ini + "\n");
        if (warned) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^retries .* is not a number from 0 to 10"));
        }
        QCOMPARE(VXSettings::number(retries, lcSettingsTest()), expected);
    }

    // A text setting, by its "/Group/key" in the INI file, under its environment override.
    void text()
    {
        writeIni("[HostInformation]\napiHost=http://ini:1\ncloudHost= http://cloud:2 \n");
        QCOMPARE(VXSettings::text(VXSettings::CloudHost), QString("http://cloud:2"));
        QCOMPARE(VXSettings::text(VXSettings::ApiHost), QString("http://ini:1"));
        qputenv("VXUPLOAD_API_HOST", "http://env:3");
        QString origin;
        QCOMPARE(VXSettings::text(VXSettings::ApiHost, &origin), QString("http://env:3"));
        QCOMPARE(origin, QString("VXUPLOAD_API_HOST"));
    }

    // The README's configuration table names every setting's key and environment variable.
    void readmeNamesEverySetting()
    {
        QFile readme(VX_README_FILE);
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        for (const VXSetting& setting : VXSettings::All) {
            const QString row = QStringLiteral("| `[%1] %2` |").arg(setting.group, setting.key);
            QVERIFY2(text.contains(row), qPrintable(row));
            if (setting.environment) {
                QVERIFY2(text.contains(row + QStringLiteral(" `%1` |").arg(setting.environment)),
                         setting.environment);
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_VXSettings)
#include "tst_vxsettings.moc"
