// The four kinds of change in the device set that the browser can ask to be told about.
#pragma once

#include <cstddef>

namespace melvix {

// Indexes the watch flags of the MIDI system object (watchIndex).
enum class WatchKind { OutAdded = 0, OutRemoved = 1, InAdded = 2, InRemoved = 3 };

inline constexpr WatchKind kWatchKinds[] = {WatchKind::OutAdded, WatchKind::OutRemoved,
                                            WatchKind::InAdded, WatchKind::InRemoved};

inline constexpr std::size_t watchIndex(WatchKind kind) { return static_cast<std::size_t>(kind); }

}  // namespace melvix
