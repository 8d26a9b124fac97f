#include "helper/helper.h"

namespace varn {

Helper::Helper(platform::RunLoop& runLoop, const StoreLocations& locations,
               const platform::Clock& clock)
    : runLoop_(runLoop), store_(locations, clock) {}

void Helper::start() {
  expirySweepTimer_ =
      runLoop_.addRepeatingTimer(kExpirySweepInterval, [this] { store_.clearIfExpired(); });
}

}  // namespace varn
