#pragma once

// Widths in whole pixels of the three segments of the input level meter. The level
// is compared and scaled in double precision, so a float level of 0.7f or 0.95f
// (just below the double constants) lights nothing above that threshold.
struct MeterWidths {
    int green = 0;
    int yellow = 0;
    int red = 0;
};

inline constexpr double meterFullScale = 450.0;
inline constexpr double meterYellowFrom = 0.7;
inline constexpr double meterRedFrom = 0.95;

// Where the dot and the bar stand, relative to the cursor when the meter line begins.
inline constexpr float meterDotCentreX = 8.0f;
inline constexpr float meterDotCentreY = 6.0f;
inline constexpr float meterDotRadius = 7.0f;
inline constexpr float meterBarOffsetX = 26.0f;
inline constexpr float meterBarOffsetY = -2.0f;
inline constexpr float meterBarHeight = 17.0f;
// The item that covers the dot and shows the tooltip.
inline constexpr float meterHoverSize = 16.0f;

constexpr MeterWidths meterWidths(float level) {
    const double l = level;
    MeterWidths widths;
    widths.green = static_cast<int>((l > meterYellowFrom ? meterYellowFrom : l) * meterFullScale);
    if (l > meterYellowFrom)
        widths.yellow = static_cast<int>((l - meterYellowFrom) * meterFullScale);
    if (l > meterRedFrom)
        widths.red = static_cast<int>((l - meterRedFrom) * meterFullScale);
    return widths;
}
