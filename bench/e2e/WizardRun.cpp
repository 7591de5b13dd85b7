// One whole update through the real wizard window, run as a child of bench_e2e so that its
// peak memory is its own. Clicks CmdUpdate once, answers every message box at once, and
// runs the event loop until the caption reads "Terminer".
//
// A 5 ms timer measures how long the user-interface thread goes without handling events:
// each gap between consecutive firings is charged to the phase it falls in. The phases
// change when the status text changes; the progress bar's valueChanged signal (sent
// synchronously by every step as it starts) marks the exact moment inside a long handler.
//
//   bench_e2e_wizard --base-url URL --ca PEM --program-folder DIR
//
// Prints key=value lines; exit status 0 only when the update completed.

#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "wizard/Application.h"
#include "wizard/FrmUpdate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QSslCertificate>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace kestrel;

// This thread's time on a processor and time spent runnable but waiting for one, in ms.
struct CpuTimes {
    double runningMs = 0;
    double waitingMs = 0;
};

CpuTimes threadCpuTimes()
{
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = stat.readAll().simplified().split(' ');
    return {fields.value(0).toDouble() / 1e6, fields.value(1).toDouble() / 1e6};
}

enum class Phase { Idle, Download, Install, Done };

struct Gaps {
    std::vector<double> ms;
    double max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
    double percentile(double p) const
    {
        if (ms.empty())
            return 0;
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
    }
};

class Probe : public QObject {
public:
    Probe(QPushButton *button, QLabel *info, QProgressBar *bar) : m_button(button), m_info(info)
    {
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(5);
        connect(&m_tick, &QTimer::timeout, this, [this] { onTick(); });
        connect(bar, &QProgressBar::valueChanged, this, [this] { split(); });
    }

    void clickAndWatch()
    {
        m_cpu[0] = threadCpuTimes();
        m_clock.start();
        m_last = 0;
        m_lastTick = 0;
        m_phase = Phase::Download;
        m_tick.start();
        m_button->click();
    }

    // The success box comes right after the caption became "Terminer".
    void successBoxShown()
    {
        split();
        if (m_button->text() == QStringLiteral("Terminer") && m_finishMs < 0)
            m_finishMs = now();
    }

    std::function<void()> finished;
    double finishMs() const { return m_finishMs; }
    double installStartMs() const { return m_installStartMs; }
    double installEndMs() const { return m_installEndMs; }
    const Gaps &download() const { return m_download; }
    const Gaps &install() const { return m_install; }
    struct Stall {
        double startMs;
        double lengthMs;
        Phase phase;
    };
    static constexpr double kReportedStallMs = 100;
    const std::vector<Stall> &stalls() const { return m_stalls; }
    static std::string name(Phase p)
    {
        return p == Phase::Download ? "download" : p == Phase::Install ? "install" : "after";
    }
    double longestStall() const { return m_longestStall; }
    const std::string &longestStallPhases() const { return m_longestStallPhases; }

private:
    double now() const { return static_cast<double>(m_clock.nsecsElapsed()) / 1e6; }

    // Charges the time since the last event-handling moment to the current phase, then
    // moves to the next phase if the status says so. Called from inside handlers too.
    void split()
    {
        if (m_phase == Phase::Idle || m_phase == Phase::Done)
            return;
        const QString status = m_info->text();
        const QString caption = m_button->text();
        Phase next = m_phase;
        if (m_phase == Phase::Download && status.startsWith(QStringLiteral("Installation")))
            next = Phase::Install;
        if (next == Phase::Install
            && (status.startsWith(QStringLiteral("Suppression")) || caption == QStringLiteral("Nettoyer")
                || caption == QStringLiteral("Terminer") || status.startsWith(QStringLiteral("Mise à jour terminée"))))
            next = Phase::Done;
        if (next == m_phase)
            return;
        chargeGap(now());
        if (m_phase == Phase::Download) {
            m_installStartMs = now();
            m_cpu[1] = threadCpuTimes();
        } else {
            m_installEndMs = now();
            m_cpu[2] = threadCpuTimes();
        }
        m_phase = next;
    }

    void chargeGap(double t)
    {
        Gaps &gaps = m_phase == Phase::Download ? m_download : m_install;
        gaps.ms.push_back(t - m_last);
        if (t - m_last >= kReportedStallMs)
            m_stalls.push_back({m_last, t - m_last, m_phase});
        m_last = t;
    }

    void onTick()
    {
        const double t = now();
        if (m_phase == Phase::Download || m_phase == Phase::Install) {
            // The whole wait between two firings, whichever phases it spans.
            if (t - m_lastTick > m_longestStall) {
                m_longestStall = t - m_lastTick;
                m_longestStallPhases = m_lastTickPhase == m_phase ? name(m_phase)
                                                                  : name(m_lastTickPhase) + "+" + name(m_phase);
            }
            chargeGap(t);
        } else {
            m_last = t;
        }
        m_lastTick = t;
        m_lastTickPhase = m_phase;
        split();
        if (m_finishMs >= 0 && m_button->isEnabled() && !QApplication::activeModalWidget()) {
            m_tick.stop();
            if (finished)
                finished();
        }
    }

    QPushButton *m_button;
    QLabel *m_info;
    QTimer m_tick;
    QElapsedTimer m_clock;
    Phase m_phase = Phase::Idle;
    double m_last = 0;
    double m_lastTick = 0;
    Phase m_lastTickPhase = Phase::Download;
    double m_longestStall = 0;
    std::string m_longestStallPhases;
    double m_finishMs = -1;
    double m_installStartMs = -1;
    double m_installEndMs = -1;
    Gaps m_download;
    Gaps m_install;
    std::vector<Stall> m_stalls;
    CpuTimes m_cpu[3];

public:
    // The user-interface thread during the download phase (0) and the installation phase (1).
    CpuTimes phaseCpu(int phase) const
    {
        return {m_cpu[phase + 1].runningMs - m_cpu[phase].runningMs,
                m_cpu[phase + 1].waitingMs - m_cpu[phase].waitingMs};
    }
};

class AnsweringBoxes final : public platform::MessageBoxes {
public:
    platform::BoxAnswer show(const QString &text, const QString &title, platform::BoxIcon icon, platform::BoxButtons buttons) override
    {
        if (icon == platform::BoxIcon::Information) {
            if (probe)
                probe->successBoxShown();
        } else {
            ++critical;
            std::fprintf(stderr, "box: %s\n%s\n", qPrintable(title), qPrintable(text));
        }
        return buttons == platform::BoxButtons::AbortRetryIgnore ? platform::BoxAnswer::Retry : platform::BoxAnswer::Ok;
    }
    Probe *probe = nullptr;
    int critical = 0;
};

class RecordingEnd final : public platform::ProgramEnd {
public:
    void endProgram() override { ++calls; }
    int calls = 0;
};

long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    platform::prepareApplication(app);

    QString baseUrl, ca, folder, publicKey;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--base-url"))
            baseUrl = args[i + 1];
        else if (args[i] == QLatin1String("--ca"))
            ca = args[i + 1];
        else if (args[i] == QLatin1String("--program-folder"))
            folder = args[i + 1];
        else if (args[i] == QLatin1String("--public-key"))
            publicKey = args[i + 1];
    }
    if (baseUrl.isEmpty() || ca.isEmpty() || folder.isEmpty()) {
        std::fprintf(stderr, "usage: bench_e2e_wizard --base-url URL --ca PEM --program-folder DIR [--public-key KEY]\n");
        return 2;
    }

    QNetworkAccessManager network;
    AnsweringBoxes boxes;
    RecordingEnd programEnd;
    platform::HttpSettings http = platform::configuredHttpSettings();
    http.trustedCa = QSslCertificate::fromPath(ca, QSsl::Pem);
    wizard::WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.updateService = {&network, baseUrl, http, publicKey};
    services.programFolder = QDir(folder).absolutePath();

    wizard::FrmUpdate window(services);
    auto *button = window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
    auto *info = window.findChild<QLabel *>(QStringLiteral("LblInfo"));
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
    if (!button || !info || !bar) {
        std::fprintf(stderr, "the window has no CmdUpdate, LblInfo or PBarUpdate\n");
        return 2;
    }
    Probe probe(button, info, bar);
    boxes.probe = &probe;

    int status = 1;
    probe.finished = [&] {
        const bool ok = boxes.critical == 0 && programEnd.calls == 0;
        std::printf("click_to_finish_ms=%.1f\n", probe.finishMs());
        std::printf("install_start_ms=%.1f\ninstall_end_ms=%.1f\n", probe.installStartMs(), probe.installEndMs());
        std::printf("download_gaps=%zu\ndownload_max_gap_ms=%.1f\ndownload_p99_gap_ms=%.1f\n",
                    probe.download().ms.size(), probe.download().max(), probe.download().percentile(0.99));
        std::printf("install_gaps=%zu\ninstall_max_gap_ms=%.1f\ninstall_p99_gap_ms=%.1f\n", probe.install().ms.size(),
                    probe.install().max(), probe.install().percentile(0.99));
        std::printf("longest_stall_ms=%.1f\nlongest_stall_phases=%s\n", probe.longestStall(),
                    probe.longestStallPhases().c_str());
        // Every wait of 100 ms or more: when it began after the click, how long, which phase.
        for (const Probe::Stall &stall : probe.stalls())
            std::printf("stall_ms=%.1f +%.1f %s\n", stall.startMs, stall.lengthMs, Probe::name(stall.phase).c_str());
        std::printf("download_ui_cpu_ms=%.0f\ndownload_ui_runqueue_ms=%.0f\n", probe.phaseCpu(0).runningMs,
                    probe.phaseCpu(0).waitingMs);
        std::printf("install_ui_cpu_ms=%.0f\ninstall_ui_runqueue_ms=%.0f\n", probe.phaseCpu(1).runningMs,
                    probe.phaseCpu(1).waitingMs);
        std::printf("vmhwm_kib=%ld\nerror_boxes=%d\nok=%d\n", peakResidentKiB(), boxes.critical, ok ? 1 : 0);
        std::fflush(stdout);
        status = ok ? 0 : 1;
        app.quit();
    };
    QTimer::singleShot(std::chrono::minutes(10), &app, [&] {
        std::fprintf(stderr, "no \"Terminer\" after 10 minutes (status: %s)\n", qPrintable(info->text()));
        app.exit(1);
    });

    window.show();
    // The click comes once the window is up and idle, as a user's would.
    QTimer::singleShot(200, &probe, [&] { probe.clickAndWatch(); });
    const int code = app.exec();
    return code != 0 ? code : status;
}
