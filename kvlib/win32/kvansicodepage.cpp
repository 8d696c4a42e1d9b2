// Windows converts with the system's own ANSI code page; a machine description
// cannot change it, so the request is ignored here.
#include "kvresources.h"

namespace kv::host {
void SetAnsiCodePage(unsigned) {}
}  // namespace kv::host
