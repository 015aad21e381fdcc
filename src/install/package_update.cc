#include "install/workflows.h"

namespace provision {

int runPackageUpdate() { return 0; }

}  // namespace provision
