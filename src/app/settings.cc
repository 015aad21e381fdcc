#include "app/settings.h"

namespace provision {

Settings settings;

}  // namespace provision
