// The size of what json_escape_f writes, for the access log's byte count.
#pragma once

#include <cstddef>

namespace qv::frontend {

std::size_t json_escaped_size(const char *text);

}  // namespace qv::frontend
