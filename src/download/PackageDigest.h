#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrel::core {
struct UpdateContext;
}
namespace kestrel::platform {
struct UpdateService;
}

namespace kestrel::download {

// The hashing state of the system's library (OpenSSL's libcrypto, or CNG on Windows).
struct DigestContext;

// The SHA-256 of the package file, computed on a thread of its own while the download writes
// the file. The window's thread only tells how far the file is written; the digest's thread reads
// those bytes back (from the system's cache, where they were just written) and hashes them. So
// the hashing is neither on the window's thread nor after the download, memory stays the same
// whatever the package's size, and the bytes hashed are the bytes stored.
class PackageDigest {
public:
    // Reads up to size bytes at offset: the count, or -1 on failure. Called on the digest's thread.
    using Reader = std::function<std::int64_t(std::int64_t offset, char *data, std::size_t size)>;

    PackageDigest();
    ~PackageDigest(); // abandons the digest and ends its thread
    PackageDigest(const PackageDigest &) = delete;
    PackageDigest &operator=(const PackageDigest &) = delete;

    // A new digest from the first byte that reader reads; the thread starts at the first call.
    void start(Reader reader);
    // The file now holds this many bytes.
    void written(std::int64_t size);
    // Waits at most `wait` for every byte told to be hashed: then the 32 bytes of the digest
    // (empty when reading or hashing failed); nothing when the thread has not caught up yet.
    std::optional<QByteArray> result(std::chrono::milliseconds wait);
    // Abandons the digest: once this returns, the reader is not called again.
    void stop();

private:
    struct Free {
        void operator()(DigestContext *context) const;
    };
    void run();
    bool caughtUp() const { return m_failed || (m_hashed == m_written && !m_busy); }

    std::unique_ptr<DigestContext, Free> m_context;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Reader m_reader;
    std::int64_t m_written = 0; // bytes in the file
    std::int64_t m_hashed = 0;  // of which hashed
    bool m_active = false;      // between start and stop or result
    bool m_failed = false;
    bool m_busy = false;        // the thread is reading or hashing, outside the lock
    bool m_quit = false;
    std::thread m_thread;       // last: started once everything above exists
};

// True when a downloaded package with this digest may be stored: no vendor key is built in, or
// the digest is the one the vendor signed.
bool isSignedPackageDigest(const platform::UpdateService &service, const core::UpdateContext &context,
                           const QByteArray &digest);

} // namespace kestrel::download
