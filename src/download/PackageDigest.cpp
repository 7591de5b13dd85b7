#include "download/PackageDigest.h"

#include "core/UpdateContext.h"
#include "platform/Https.h"

#include "download/Sha256.h"

#include <algorithm>
#include <vector>

namespace kestrel::download {

namespace {

// Small enough to stay in the processor's cache between the read and the hash.
constexpr std::size_t kReadBytes = 256 * 1024;

} // namespace

void PackageDigest::Free::operator()(DigestContext *context) const
{
    freeDigestContext(context);
}

PackageDigest::PackageDigest() : m_context(newDigestContext()) {}

PackageDigest::~PackageDigest()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void PackageDigest::start(Reader reader)
{
    stop();
    std::lock_guard lock(m_mutex);
    m_reader = std::move(reader);
    m_written = 0;
    m_hashed = 0;
    m_active = true;
    m_failed = !m_context || !digestInit(m_context.get());
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

void PackageDigest::written(std::int64_t size)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_active)
            return;
        m_written = size;
    }
    m_changed.notify_all();
}

std::optional<QByteArray> PackageDigest::result(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, wait, [this] { return caughtUp(); }))
        return std::nullopt;
    QByteArray digest;
    const bool done = m_active && !m_failed && digestFinal(m_context.get(), digest);
    m_active = false;
    return done ? digest : QByteArray();
}

void PackageDigest::stop()
{
    std::unique_lock lock(m_mutex);
    m_active = false;
    m_changed.wait(lock, [this] { return !m_busy; });
}

void PackageDigest::run()
{
    std::vector<char> buffer(kReadBytes);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || (m_active && !m_failed && m_hashed < m_written); });
        if (m_quit)
            return;
        const std::int64_t offset = m_hashed;
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(m_written - m_hashed, kReadBytes));
        m_busy = true;
        lock.unlock();
        // The reader and the context are left alone by the other thread while m_busy holds.
        const std::int64_t got = m_reader(offset, buffer.data(), size);
        const bool hashed = got > 0 && digestUpdate(m_context.get(), buffer.data(), static_cast<std::size_t>(got));
        lock.lock();
        m_busy = false;
        if (m_active) {
            if (hashed)
                m_hashed += got;
            else
                m_failed = true;
        }
        m_changed.notify_all();
    }
}

bool isSignedPackageDigest(const platform::UpdateService &service, const core::UpdateContext &context,
                           const QByteArray &digest)
{
    return service.packagePublicKey.isEmpty() || (!context.signedDigest.isEmpty() && digest == context.signedDigest);
}

} // namespace kestrel::download
