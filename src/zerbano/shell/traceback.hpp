// Traceback entries pointing at the module's own source lines.
#pragma once

namespace zerbano {

// Adds one entry ("src/zerbano/image", `function_name`, `line`) to the pending exception's
// traceback, as its outermost entry so far. Needs an exception pending and the namespace made.
// If the entry cannot be made, the error that stopped it replaces the pending exception.
void add_traceback_entry(const char* function_name, int line) noexcept;

}  // namespace zerbano
