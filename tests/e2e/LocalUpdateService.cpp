#include "LocalUpdateService.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <stdexcept>

namespace kestrel::test {

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw std::runtime_error("cannot write " + path.toStdString());
}

} // namespace

LocalUpdateService::LocalUpdateService(const QString &version, const std::string &package,
                                       const QStringList &extraArguments)
{
    if (!m_dir.isValid())
        throw std::runtime_error("no temporary folder for the update service");
    const QDir dir(m_dir.path());
    dir.mkdir(QStringLiteral("served"));
    writeFile(dir.filePath(QStringLiteral("served/version.txt")), version.toUtf8() + '\n');
    writeFile(dir.filePath(QStringLiteral("served/package.zip")),
              QByteArray(package.data(), static_cast<qsizetype>(package.size())));

    QStringList arguments{QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT),
                          QStringLiteral("--folder"), dir.filePath(QStringLiteral("served")),
                          QStringLiteral("--state-dir"), dir.filePath(QStringLiteral("state")),
                          QStringLiteral("--log"), dir.filePath(QStringLiteral("requests.jsonl")),
                          QStringLiteral("--control"), dir.filePath(QStringLiteral("control.json")),
                          QStringLiteral("--port"), QStringLiteral("0")};
    arguments += extraArguments;
    m_process.setProgram(QStringLiteral(KESTREL_PYTHON3));
    m_process.setArguments(arguments);
    // Its own complaints (a failed handshake, say) show in the test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(60000))
        throw std::runtime_error("cannot start the update service: " + m_process.errorString().toStdString());

    // The first line of its standard output is the port, once it listens (its CA is made first).
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(60000)) {
            m_process.kill();
            m_process.waitForFinished(60000);
            throw std::runtime_error("the update service did not start (its messages are above)");
        }
    }
    bool ok = false;
    m_port = m_process.readLine().trimmed().toInt(&ok);
    if (!ok || m_port <= 0)
        throw std::runtime_error("the update service gave no port");
}

LocalUpdateService::~LocalUpdateService()
{
    stop();
}

QString LocalUpdateService::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(m_port);
}

QList<QSslCertificate> LocalUpdateService::caCertificates() const
{
    return QSslCertificate::fromPath(QDir(m_dir.path()).filePath(QStringLiteral("state/ca.pem")), QSsl::Pem);
}

void LocalUpdateService::setControl(const QJsonObject &control)
{
    writeFile(QDir(m_dir.path()).filePath(QStringLiteral("control.json")),
              QJsonDocument(control).toJson(QJsonDocument::Compact));
}

std::vector<QJsonObject> LocalUpdateService::requests() const
{
    std::vector<QJsonObject> entries;
    QFile log(QDir(m_dir.path()).filePath(QStringLiteral("requests.jsonl")));
    if (!log.open(QIODevice::ReadOnly))
        return entries;
    while (!log.atEnd()) {
        const QByteArray line = log.readLine().trimmed();
        if (!line.isEmpty())
            entries.push_back(QJsonDocument::fromJson(line).object());
    }
    return entries;
}

int LocalUpdateService::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(60000)) {
        m_process.kill();
        m_process.waitForFinished(-1);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

} // namespace kestrel::test
