// Memory that a driver would not give back. It may still be read or written by the driver, so it
// is never freed; it stays reachable for the life of the process, so leak checkers see it as kept.
#pragma once

#include <memory>

namespace melvix {

void keepForDriver(std::shared_ptr<void> block);

template <typename T>
void leaveToDriver(std::unique_ptr<T> block) {
  if (block) keepForDriver(std::shared_ptr<T>(std::move(block)));
}

}  // namespace melvix
