// What the readers of config.json that parse it whole share: the file read whole, and a value
// that is one string or an array of strings.
#pragma once

#include <yyjson.h>

#include <string>
#include <vector>

namespace qv::frontend {

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

enum class WholeConfig { none, text, unreadable };

// config.json of the working directory, whole: none when there is no file (a pipe or a
// directory in its place reads as none), unreadable when one is there that this process may
// not read (settings it holds cannot be known).
WholeConfig read_whole_config(std::string *text);

// One string or an array of strings, at least one and none empty, appended to out.
bool read_strings(yyjson_val *v, std::vector<std::string> *out);

}  // namespace qv::frontend
