#include "install/steps/EarlyStaging.h"

#include "core/Paths.h"
#include "core/UpdateContext.h"
#include "install/ArrivingPackage.h"

#include <chrono>

namespace kestrel::install::steps {

EarlyStaging::EarlyStaging() : m_package(std::make_unique<install::ArrivingPackage>()) {}

EarlyStaging::~EarlyStaging() = default;

void EarlyStaging::begin(const core::UpdateContext &context, Reader reader, WriteBack writeBack)
{
    m_package->start(core::toPath(context.updatesFolder + context.packageFileName), core::toPath(context.appFolder),
                     std::move(reader), std::move(writeBack));
}

void EarlyStaging::written(std::int64_t size)
{
    m_package->written(size);
}

bool EarlyStaging::complete(int waitMs)
{
    return m_package->finish(std::chrono::milliseconds(waitMs));
}

void EarlyStaging::discard()
{
    m_package->discard();
}

} // namespace kestrel::install::steps
