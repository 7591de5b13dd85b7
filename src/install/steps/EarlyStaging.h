#pragma once

#include "core/PackageArrival.h"

#include <memory>

namespace kestrel::install {
class ArrivingPackage;
}

namespace kestrel::install::steps {

// Step 3 begins during step 2: the package is staged as it arrives, and the installation keeps
// that staging when the complete package confirms it.
class EarlyStaging final : public core::PackageArrival {
public:
    EarlyStaging();
    ~EarlyStaging() override;

    void begin(const core::UpdateContext &context, Reader reader, WriteBack writeBack) override;
    void written(std::int64_t size) override;
    bool complete(int waitMs) override;
    void discard() override;

    install::ArrivingPackage &package() { return *m_package; }

private:
    std::unique_ptr<install::ArrivingPackage> m_package;
};

} // namespace kestrel::install::steps
