// Turning a manifest reference (a tag or a digest) into the hex of a stored manifest.
#pragma once

namespace reg {

// Resolves a tag reference through its tag link, or checks that a digest reference names a
// stored manifest. 0 with the 64 hex digits and a NUL in hex_out (65 bytes); -1 with the
// last-error text set. The caller has already checked its arguments, the ready flag and the
// repository name.
int manifest_resolve(const char *repo, const char *reference, char *hex_out);

}  // namespace reg
