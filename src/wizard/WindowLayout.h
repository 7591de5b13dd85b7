#pragma once

namespace kestrel::wizard {

// Geometry of one control in twips, relative to its container.
struct TwipRect {
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
    bool operator==(const TwipRect &) const = default;
};

inline constexpr float kTwipsPerPixel = 15.0F;
inline constexpr float kMinWindowWidth = 8000.0F;
inline constexpr float kMinWindowHeight = 6000.0F;
// The bottom pane's height, which the rules never change.
inline constexpr float kZoneBoutonHeight = 1215.0F;

// The right-hand side of the window for a given outer window size, in twips.
// frameWidth / frameHeight: what the frame and title bar add to the client area.
struct WindowLayout {
    float windowWidth = 0;
    float windowHeight = 0;
    TwipRect zoneRight;
    TwipRect zoneBouton;
    TwipRect cmdUpdate;
    TwipRect pbarUpdate;
    TwipRect lblInfo;
    TwipRect browserUpdate;
};

WindowLayout computeWindowLayout(float windowWidth, float windowHeight, float frameWidth, float frameHeight);

} // namespace kestrel::wizard
