#pragma once

#include <filesystem>
#include <vector>

#include "shared/store_locations.h"

namespace varn {

// The folders the helper's writes are confined beneath, narrow enough that a fault in reading
// the files it is handed cannot be turned into writes anywhere else:
// - the shared folder's parent (/Users), unless that is the root: root owns it, so the user
//   gains nothing there but the shared folder, which may then be made again;
// - the app group folder itself, made first when it is missing (each folder made with mode
//   0700, as XDG asks); left out only when there is none.
// Nothing above the app group folder is ever granted, so neither the rest of the data home nor
// the home folder. A folder of the list may be missing still (no /Users, or an app group folder
// that could not be made, which is logged); the confinement skips it until it appears.
std::vector<std::filesystem::path> prepareWriteGrants(const StoreLocations& locations);

}  // namespace varn
