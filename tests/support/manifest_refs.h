// What a manifest body references, read back for the race tests' checks.
#pragma once

#include <yyjson.h>

#include <cstring>
#include <string>
#include <vector>

namespace qvtest {

// As hex digits: config and layer blobs, and an index's children.
struct Refs {
    std::vector<std::string> blobs, children;
};

inline Refs refs_of(const std::string &body) {
    Refs refs;
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    yyjson_val *top = yyjson_doc_get_root(doc);
    auto add = [](std::vector<std::string> *to, yyjson_val *descriptor) {
        const char *d = yyjson_get_str(yyjson_obj_get(descriptor, "digest"));
        if (d != nullptr && std::strlen(d) == 71) to->push_back(d + 7);
    };
    add(&refs.blobs, yyjson_obj_get(top, "config"));
    yyjson_val *layers = yyjson_obj_get(top, "layers");
    for (size_t i = 0; i < yyjson_arr_size(layers); ++i)
        add(&refs.blobs, yyjson_arr_get(layers, i));
    yyjson_val *manifests = yyjson_obj_get(top, "manifests");
    for (size_t i = 0; i < yyjson_arr_size(manifests); ++i)
        add(&refs.children, yyjson_arr_get(manifests, i));
    yyjson_doc_free(doc);
    return refs;
}

}  // namespace qvtest
