#pragma once
// How the process keeps the memory it frees.

namespace plat {

// Freed heap memory stays with the process for the next use instead of going
// back to the system after every large free. A reload frees every line's
// compiled script and builds it again at once: pages handed back would be
// faulted in and zeroed again page by page, which cost more than the compile
// itself. Called once at start; false when the allocator refused a setting.
bool KeepFreedHeap();

}  // namespace plat
