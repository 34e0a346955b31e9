// What the process entry defines for the server code, in test programs.
#include <atomic>

std::atomic<int> exitNow{0};
