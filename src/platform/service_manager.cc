#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace varn::platform {

void notifyServiceManager(std::string_view state) {
  const std::string text(state);
  (void)::sd_notify(0, text.c_str());
}

}  // namespace varn::platform
