// Seams of the access log that only the project's own tests and fuzzers use.
#pragma once

namespace qv::frontend {

// Forgets the set-up and every record, so that one process can read the settings of one
// config.json after another. The exit handler, once registered, stays registered (once).
void audit_reset_for_tests();

}  // namespace qv::frontend
