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
