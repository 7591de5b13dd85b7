#include "wizard/WindowLayout.h"

namespace kestrel::wizard {

namespace {
// Values the rules read but never change.
constexpr float kZoneLeftWidth = 3135;
constexpr float kCmdUpdateWidth = 1575;
constexpr float kCmdUpdateHeight = 495;
constexpr float kCmdUpdateTop = 360;
constexpr float kPBarUpdateTop = 480;
constexpr float kPBarUpdateHeight = 255;
} // namespace

WindowLayout computeWindowLayout(float windowWidth, float windowHeight, float frameWidth, float frameHeight)
{
    WindowLayout l;
    l.windowWidth = windowWidth <= kMinWindowWidth ? kMinWindowWidth : windowWidth;
    l.windowHeight = windowHeight <= kMinWindowHeight ? kMinWindowHeight : windowHeight;

    // Docking: the right pane is as tall as the client area and keeps to its right edge.
    const float clientWidth = l.windowWidth - frameWidth;
    const float clientHeight = l.windowHeight - frameHeight;
    l.zoneRight.width = l.windowWidth - kZoneLeftWidth;
    l.zoneRight.height = clientHeight;
    l.zoneRight.left = clientWidth - l.zoneRight.width;
    l.zoneRight.top = 0;

    l.zoneBouton.top = l.zoneRight.height - kZoneBoutonHeight;
    l.zoneBouton.left = 0;
    l.zoneBouton.width = l.zoneRight.width;
    l.zoneBouton.height = kZoneBoutonHeight;

    l.cmdUpdate = {l.zoneBouton.width - kCmdUpdateWidth - kCmdUpdateTop, kCmdUpdateTop, kCmdUpdateWidth,
                   kCmdUpdateHeight};

    l.pbarUpdate.left = kCmdUpdateTop;
    l.pbarUpdate.top = kPBarUpdateTop;
    l.pbarUpdate.width = l.cmdUpdate.left - l.pbarUpdate.left - kCmdUpdateTop;
    l.pbarUpdate.height = kPBarUpdateHeight;

    l.lblInfo = {0, 0, l.cmdUpdate.left - kCmdUpdateTop, kPBarUpdateTop};
    l.browserUpdate = {0, 0, l.zoneRight.width, l.zoneBouton.top};
    return l;
}

} // namespace kestrel::wizard
