#include "frame/seed.hpp"

#include <ctime>

namespace frame {

uint32_t time_seed() {
  return static_cast<uint32_t>(std::time(nullptr));
}

}  // namespace frame
