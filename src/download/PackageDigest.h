#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

struct evp_md_ctx_st;

namespace kestrel::core {
struct UpdateContext;
}
namespace kestrel::platform {
struct UpdateService;
}

namespace kestrel::download {

// The SHA-256 of a body fed to it piece by piece, as the bytes arrive.
class PackageDigest {
public:
    PackageDigest();
    ~PackageDigest();
    PackageDigest(const PackageDigest &) = delete;
    PackageDigest &operator=(const PackageDigest &) = delete;

    void reset();
    void addData(const char *data, qint64 size);
    // The 32 bytes of the digest of everything fed since the last reset, or empty if hashing failed.
    QByteArray result();

private:
    struct Free {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
    bool m_failed = false;
};

// True when a downloaded package with this digest may be stored: no vendor key is built in, or
// the digest is the one the vendor signed.
bool isSignedPackageDigest(const platform::UpdateService &service, const core::UpdateContext &context,
                           const QByteArray &digest);

} // namespace kestrel::download
