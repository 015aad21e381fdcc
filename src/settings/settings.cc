#include "settings/settings.h"

namespace provision {

Settings settings;

}  // namespace provision
