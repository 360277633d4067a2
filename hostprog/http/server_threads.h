// Stack sizes of the server's threads. The event loop and the cycle watcher need a few
// pages; the side thread runs the history's queries through SQLite and the plug-in.
// Sanitizers need several times the stack of a plain build.
#pragma once

#include <cstddef>

namespace kv830host {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackScale = 8;
#else
constexpr std::size_t kStackScale = 1;
#endif
constexpr std::size_t kLoopStackBytes = std::size_t{256} * 1024 * kStackScale;
constexpr std::size_t kSideStackBytes = std::size_t{1024} * 1024 * kStackScale;
constexpr std::size_t kWatcherStackBytes = std::size_t{128} * 1024 * kStackScale;

}  // namespace kv830host
