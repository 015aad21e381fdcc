#include "workspace/workspace.h"

namespace provision {

int prepareWorkspace() { return 0; }

}  // namespace provision
