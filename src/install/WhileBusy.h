#pragma once

// A flush to disk can take a second on a busy volume: it runs on a worker thread while the
// observer is told every few milliseconds, so the window keeps handling its events.

#include "install/EngineTypes.h"

#include <chrono>
#include <future>
#include <utility>

namespace kestrel::install {

// Before each worker starts: the seam where tests make a thread start fail.
void workerStarting();

template <typename Work>
auto whileBusy(InstallObserver &observer, Work work) -> decltype(work())
{
    workerStarting();
    auto result = std::async(std::launch::async, std::move(work));
    while (result.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready)
        observer.busy();
    return result.get();
}

} // namespace kestrel::install
