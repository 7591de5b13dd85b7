#pragma once

// The local update service of tools/update-service, run as a child process for one test: its
// served files, certificate authority, request log and control file in a temporary folder, a
// free port on 127.0.0.1, stopped when the object goes.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QSslCertificate>
#include <QStringList>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel::test {

class LocalUpdateService {
public:
    // Serves `version` and the package bytes; extraArguments go to the service's command line.
    // Throws std::runtime_error when the service cannot be started.
    LocalUpdateService(const QString &version, const std::string &package, const QStringList &extraArguments)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("served"));
        write(QStringLiteral("served/version.txt"), version.toUtf8() + '\n');
        write(QStringLiteral("served/package.zip"), QByteArray::fromStdString(package));
        m_process.setProgram(QStringLiteral(KESTREL_PYTHON3));
        m_process.setArguments(QStringList{QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT), "--folder", path("served"),
                                           "--state-dir", path("state"), "--log", path("requests.jsonl"),
                                           "--control", path("control.json"), "--port", "0"}
                               + extraArguments);
        // Its own complaints (a failed handshake, say) show in the test's output.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        // The first line of its standard output is the port, once it listens (its CA is made first).
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(60000))
                throw std::runtime_error("the update service did not start (its messages are above)");
        m_port = m_process.readLine().trimmed().toInt();
    }
    ~LocalUpdateService()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(60000))
            m_process.kill();
        m_process.waitForFinished(-1);
    }
    LocalUpdateService(const LocalUpdateService &) = delete;
    LocalUpdateService &operator=(const LocalUpdateService &) = delete;

    QString baseUrl() const { return QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(m_port); }
    QList<QSslCertificate> caCertificates() const { return QSslCertificate::fromPath(path("state/ca.pem")); }

    // Replaces the answers while the service runs (keys as in the service's control file).
    void setControl(const QJsonObject &control)
    {
        write(QStringLiteral("control.json"), QJsonDocument(control).toJson(QJsonDocument::Compact));
    }

    // The requests received so far, one JSON object per request, in order.
    std::vector<QJsonObject> requests() const
    {
        std::vector<QJsonObject> entries;
        QFile log(path("requests.jsonl"));
        if (log.open(QIODevice::ReadOnly))
            while (!log.atEnd())
                entries.push_back(QJsonDocument::fromJson(log.readLine()).object());
        return entries;
    }

private:
    QString path(const char *name) const { return QDir(m_dir.path()).filePath(QString::fromUtf8(name)); }
    void write(const QString &name, const QByteArray &bytes)
    {
        QSaveFile file(QDir(m_dir.path()).filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            throw std::runtime_error("cannot write " + name.toStdString());
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

} // namespace kestrel::test
