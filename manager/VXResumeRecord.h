#ifndef VXRESUMERECORD_H
#define VXRESUMERECORD_H

#include "VXFileIdentity.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <memory>

// What a multipart job must remember to go on after a stop, a crash or a restart: the job's
// three strings, the file's identity, slice length and part count, the server, the upload id
// and its "authorization", and each stored part's number and ETag. One small file per job in a
// per-user folder (0700; the file 0600), named after a hash of the job key, holding no token
// and no URL.
//
// The file is a first line that describes the upload, rewritten whole and atomically (a
// temporary file renamed over it) when the upload changes, and one line per stored part,
// appended as each part is confirmed; a line torn by a crash is not read back, so a crash costs
// at most the part that was being written. A record that cannot be trusted (not ours, readable
// by others, damaged, another version) is ignored with one warning and replaced.
//
// The record holds an exclusive lock (flock on a lock file beside it) for as long as the object
// lives: a second process working on the same job does not get it and uploads without resuming.
// Lives on the host's thread; every operation is a small local file access.
class VXResumeRecord
{
public:
    // What the record must match to be resumed.
    struct Subject
    {
        QString localPath;
        QString remotePath;
        QString bucketName;
        VXFileIdentity file;
        qint64 sliceLen = 0;
        int partCount = 0;
        QString server;
    };

    // Takes the record of the job `subject` names in `folder`: its lock, and the upload it holds
    // when it matches the subject and was written within `maxAgeHours`. A record that does not
    // match, or is older, is forgotten. Null, with the reason in *why, when the folder cannot
    // be used or another process holds the lock.
    static std::unique_ptr<VXResumeRecord> take(const QString& folder, const Subject& subject,
                                                int maxAgeHours, QString* why);
    // The default folder: "vxupload/resume" in the user's data folder.
    static QString defaultFolder();
    // Removes the records in `folder` last written more than `maxAgeHours` ago (and their lock
    // files, where no upload holds them): records of jobs that were never submitted again.
    static void removeOlderThan(const QString& folder, int maxAgeHours);

    ~VXResumeRecord(); // releases the lock; the file stays

    // Whether it holds an upload of this subject to resume.
    bool hasUpload() const { return !m_uploadId.isEmpty(); }
    const QString& uploadId() const { return m_uploadId; }
    const QString& authorization() const { return m_authorization; }
    // Part number -> ETag (without quotes) of the parts stored so far.
    const QMap<int, QString>& storedParts() const { return m_parts; }

    // The upload the job works on from now on: a new one forgets the stored parts; the same one
    // with a fresh authorization keeps them. Written at once.
    bool setUpload(const QString& uploadId, const QString& authorization);
    // A part confirmed by the storage. Appended at once.
    bool addPart(int partNumber, const QString& etag);
    // Deletes the record: the job succeeded, or failed in a way that resuming cannot mend.
    void remove();

    const QString& path() const { return m_path; }

private:
    VXResumeRecord(const QString& path, const Subject& subject, int lockFd);
    // Reads the record's file; false (and *why) when there is none to trust for this subject.
    bool load(int maxAgeHours, QString* why);
    QByteArray headerLine() const;
    bool rewrite();

    QString m_path;
    Subject m_subject;
    int m_lockFd = -1;
    QString m_uploadId;
    QString m_authorization;
    QMap<int, QString> m_parts;
};

#endif // VXRESUMERECORD_H
