#pragma once

// The local update service of tools/update-service, run as a child process for one test:
// its own folder, certificate authority and request log in a temporary folder, a free port
// on 127.0.0.1, stopped when the object goes.

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <string>
#include <vector>

namespace kestrel::test {

class LocalUpdateService {
public:
    // Serves `version` and the package bytes; extraArguments go to the service's command line.
    // Throws std::runtime_error when the service cannot be started.
    LocalUpdateService(const QString &version, const std::string &package,
                       const QStringList &extraArguments = {});
    ~LocalUpdateService();

    LocalUpdateService(const LocalUpdateService &) = delete;
    LocalUpdateService &operator=(const LocalUpdateService &) = delete;

    // https://127.0.0.1:<port>/vb6/v1/softwares/
    QString baseUrl() const;
    // The certificate authority the service generated, to trust in the client.
    QList<QSslCertificate> caCertificates() const;

    // Replaces the answers while the service runs (keys as in the service's control file).
    void setControl(const QJsonObject &control);

    // The requests received so far, one JSON object per request, in order.
    std::vector<QJsonObject> requests() const;

    // Stops the service (SIGTERM) and answers its exit code; -1 when it had to be killed.
    int stop();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

} // namespace kestrel::test
