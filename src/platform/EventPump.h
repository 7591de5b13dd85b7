#pragma once

namespace kestrel::platform {

// Lets the user-interface thread handle its pending events from inside a procedure.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processPendingEvents() = 0;
};

class QtEventPump final : public EventPump {
public:
    void processPendingEvents() override;
};

} // namespace kestrel::platform
