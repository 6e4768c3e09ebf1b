#ifndef VXSETTINGSDIALOG_H
#define VXSETTINGSDIALOG_H

#include <QDialog>
#include <QString>

class QFormLayout;
class QLabel;
class QLineEdit;
struct VXSetting;

// The server settings of fileUpload.ini next to the application (cloud host, API host, token),
// read when the dialog opens and written by Save, every other key of the file kept. Where an
// environment variable overrides a field, the dialog says so: the plugin uses the variable.
class VXSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // uploadsRunning: the dialog warns that saving stops them (the plugin takes new settings
    // with a new upload manager).
    explicit VXSettingsDialog(bool uploadsRunning, QWidget* parent = nullptr);

    // The INI value of a setting, trimmed; empty when absent.
    static QString iniValue(const VXSetting& setting);
    // What the environment sets for the setting instead of the INI file, as a sentence (a
    // token's value is not shown); empty when nothing overrides it.
    static QString overrideNote(const VXSetting& setting);
    // The host of the upload-URL requests, as the plugin takes it: VXUPLOAD_API_HOST, else
    // the INI file's apiHost, else its cloudHost; empty when none is set.
    static QString apiHost();
    // Why no upload can start, when neither the file nor the environment names a server.
    static QString missingServerNote();

    // Save: writes the fields, then accepts; a file that cannot be written leaves the dialog
    // open with the reason.
    void accept() override;

private:
    QLineEdit* addField(const VXSetting& setting, const QString& label, const QString& hint);
    bool save(QString* error) const;

    QFormLayout* m_pForm;
    QLineEdit* m_pCloudHost;
    QLineEdit* m_pApiHost;
    QLineEdit* m_pToken;
    QLabel* m_pError;
};

#endif // VXSETTINGSDIALOG_H
