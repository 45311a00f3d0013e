// The four kinds of change in the device set that the browser can ask to be told about.
#pragma once

// Indexes the watch flags of the MIDI system object.
enum WatchKind { OutAdded = 0, OutRemoved = 1, InAdded = 2, InRemoved = 3 };

inline constexpr WatchKind kWatchKinds[] = {OutAdded, OutRemoved, InAdded, InRemoved};
