// The shipped plugin, built against the real components, as the plugin loader reads it. A test
// of its own: the other plugin tests link the recording doubles, which define the same classes.
#include <QJsonObject>
#include <QPluginLoader>
#include <QtTest>

class tst_PluginMetadata : public QObject
{
    Q_OBJECT

private slots:
    // What a host's loader checks before it loads the plugin: the interface it answers to, and
    // a release build (a release host refuses a debug plugin).
    void metadata()
    {
        QPluginLoader loader(qEnvironmentVariable("VXUPLOAD_SHIPPED_PLUGIN_DIR")
                             + QStringLiteral("/libVXFileUpload.so"));
        const QJsonObject meta = loader.metaData();
        QVERIFY2(!meta.isEmpty(), qPrintable(loader.errorString()));
        QCOMPARE(meta.value("IID").toString(), QString("TransferDepot.VXFileUpload.Plugin"));
        QCOMPARE(meta.value("className").toString(), QStringLiteral("VXFileUpload"));
        QCOMPARE(meta.value("debug").toBool(), false);
        QCOMPARE(meta.value("MetaData").toObject(), QJsonObject());
    }
};

QTEST_GUILESS_MAIN(tst_PluginMetadata)
#include "tst_pluginmetadata.moc"
