#include "BenchSupport.h"

#include <QDir>
#include <QProcess>

#include <algorithm>

namespace kestrel::bench {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::optional<int> startService(QProcess &service, const QString &folder, const QString &state)
{
    service.setProgram(QStringLiteral("python3"));
    service.setArguments({QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT), QStringLiteral("--folder"), folder,
                          QStringLiteral("--state-dir"), state, QStringLiteral("--log"),
                          QDir(state).filePath(QStringLiteral("requests.log"))});
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start();
    if (!service.waitForStarted(10000) || !service.waitForReadyRead(60000))
        return std::nullopt;
    bool ok = false;
    const int port = service.readLine().trimmed().toInt(&ok);
    return ok ? std::optional<int>(port) : std::nullopt;
}

} // namespace kestrel::bench
