#include "support/BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>

extern char **environ;

namespace kestrel::bench {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

RoundsAndSize parseRoundsAndSize(const QStringList &arguments)
{
    RoundsAndSize options;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--rounds"))
            options.rounds = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--size-mib"))
            options.sizeMiB = arguments[i + 1].toLongLong();
        else if (arguments[i] == QLatin1String("--server"))
            options.server = arguments[i + 1];
    }
    return options;
}

Run runChild(const std::vector<std::string> &args, const std::string &outPath)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return {};
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return {elapsed.count(), usage.ru_maxrss, cpu, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (qint64 written = 0; written < size; written += block.size()) {
        random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        const qint64 n = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

std::optional<int> startService(QProcess &service, const QString &folder, const QString &state,
                                const QStringList &extra)
{
    service.setProgram(QStringLiteral("python3"));
    const QStringList arguments{QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT), QStringLiteral("--folder"), folder,
                                QStringLiteral("--state-dir"), state, QStringLiteral("--log"),
                                QDir(state).filePath(QStringLiteral("requests.log"))};
    service.setArguments(arguments + extra);
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start();
    if (!service.waitForStarted(10000) || !service.waitForReadyRead(60000))
        return std::nullopt;
    bool ok = false;
    const int port = service.readLine().trimmed().toInt(&ok);
    return ok ? std::optional<int>(port) : std::nullopt;
}

namespace {

const char kNginxConfig[] = R"(daemon off;
master_process off;
worker_processes 1;
user root;
pid %STATE%/nginx.pid;
error_log %STATE%/nginx-error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %STATE%/client-body;
    proxy_temp_path %STATE%/proxy;
    fastcgi_temp_path %STATE%/fastcgi;
    uwsgi_temp_path %STATE%/uwsgi;
    scgi_temp_path %STATE%/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:%PORT% ssl http2;
        ssl_certificate %STATE%/server.pem;
        ssl_certificate_key %STATE%/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        location = /vb6/v1/softwares/kestrel11 {
            default_type application/json;
            return 200 '{"version": "%VERSION%"}';
        }
        location = /vb6/v1/softwares/kestrel11/download {
            default_type application/zip;
            alias %FOLDER%/package.zip;
        }
    }
}
)";

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

PackageServer::~PackageServer()
{
    for (QProcess *server : {m_nginx, m_python}) {
        if (!server)
            continue;
        server->terminate();
        server->waitForFinished(10000);
        delete server;
    }
}

std::optional<int> PackageServer::start(const QString &kind, const QString &folder, const QString &state)
{
    // The bundled service makes the certificate authority and the server certificate in `state`.
    m_python = new QProcess;
    const std::optional<int> pythonPort = startService(*m_python, folder, state);
    if (kind != QLatin1String("nginx") || !pythonPort)
        return pythonPort;
    m_python->terminate();
    m_python->waitForFinished(10000);

    QFile versionFile(folder + QStringLiteral("/version.txt"));
    const int port = freePort();
    if (!versionFile.open(QIODevice::ReadOnly) || port == 0)
        return std::nullopt;
    QString config = QString::fromLatin1(kNginxConfig);
    config.replace(QStringLiteral("%STATE%"), state)
        .replace(QStringLiteral("%FOLDER%"), folder)
        .replace(QStringLiteral("%PORT%"), QString::number(port))
        .replace(QStringLiteral("%VERSION%"), QString::fromUtf8(versionFile.readAll().trimmed()));
    QFile configFile(state + QStringLiteral("/nginx.conf"));
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(config.toUtf8()) < 0)
        return std::nullopt;
    configFile.close();
    m_nginx = new QProcess;
    m_nginx->setProcessChannelMode(QProcess::ForwardedChannels);
    m_nginx->start(QStringLiteral("nginx"), {QStringLiteral("-p"), state, QStringLiteral("-c"), configFile.fileName()});
    if (!m_nginx->waitForStarted(10000))
        return std::nullopt;
    for (int attempt = 0; attempt < 100; ++attempt) { // until it accepts connections
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        if (socket.waitForConnected(100))
            return port;
        if (m_nginx->waitForFinished(100))
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace kestrel::bench
