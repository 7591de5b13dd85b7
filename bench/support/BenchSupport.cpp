#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

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
    return {elapsed.count(), usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
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

} // namespace kestrel::bench
