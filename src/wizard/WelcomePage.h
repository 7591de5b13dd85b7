#pragma once

#include "core/SupportContact.h"

#include <QString>

#include <chrono>
#include <functional>

namespace kestrel::platform {
class EventPump;
}

namespace kestrel::wizard {

// The welcome page: 75 lines joined by CR LF, no final line break.
QString WelcomePageText(const QString &displayName, int durationMinutes, const core::SupportContacts &contacts);

// The HTML view the page is written into, as the welcome page needs it.
class HtmlView {
public:
    virtual ~HtmlView() = default;
    virtual void navigateToBlank() = 0;
    virtual int readyState() = 0; // 4 once the empty document is loaded
    virtual void writeDocument(const QString &html) = 0; // open, write, close
};

inline constexpr int kReadyStateComplete = 4;

// Navigates to an empty document, waits for it (processing pending events, at most `limit`;
// the page is written anyway when the limit passes) and writes the page.
void ShowPage(HtmlView &view, platform::EventPump &pump, const std::function<QString()> &composePage,
              std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace kestrel::wizard
