#include "midi/driver_held.h"

#include <mutex>
#include <vector>

namespace melvix {

namespace {

struct Held {
  std::mutex mutex;  // guards blocks
  std::vector<std::shared_ptr<void>> blocks;
};

// Never destroyed: what it holds must outlive everything, the drivers included.
Held& held() {
  static auto* h = new Held();
  return *h;
}

}  // namespace

void keepForDriver(std::shared_ptr<void> block) {
  std::lock_guard<std::mutex> lock(held().mutex);
  held().blocks.push_back(std::move(block));
}

}  // namespace melvix
