#include "released.hpp"

#include "counters.hpp"

namespace orvane::glue {

void count_released(std::string_view section, bool released) {
  if (released) ++shared_counter(CounterKind::released_section, section);
}

}  // namespace orvane::glue
