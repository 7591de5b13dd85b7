#include "platform/Clock.h"

namespace kestrel::platform {

namespace {
class SteadyClock final : public Clock {
public:
    std::chrono::milliseconds now() const override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    }
};
} // namespace

Clock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

} // namespace kestrel::platform
