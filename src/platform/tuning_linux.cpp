#include "platform/platform.h"
// placeholder, replaced by the real implementation
namespace platform { void tuneProcess() {} }
