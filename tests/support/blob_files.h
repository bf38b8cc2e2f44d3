// Blob files written straight into a store, and manifest bodies that reference them, for the
// collector's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/digest_text.h"
#include "support/temp_tree.h"

namespace qvtest {

inline constexpr int64_t kLongAgo = 1000000000;  // 2001: well before any run

inline std::string blob_path(const std::string &root, const std::string &hex) {
    return root + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
}

// Stores the bytes as a blob file named by their SHA-256, dated at mtime; returns the hex.
inline std::string put_blob(const std::string &root, const std::string &bytes,
                            int64_t mtime = kLongAgo) {
    const std::string hex = sha256_hex(bytes);
    write_text(blob_path(root, hex), bytes);
    set_mtime(blob_path(root, hex), mtime);
    return hex;
}

inline std::string descriptor(const std::string &hex) {
    return "{\"mediaType\":\"x\",\"digest\":\"sha256:" + hex + "\",\"size\":1}";
}

inline std::string image_json(const std::string &config, const std::vector<std::string> &layers) {
    std::string body = "{\"schemaVersion\":2,\"config\":" + descriptor(config) + ",\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + descriptor(layers[i]);
    return body + "]}";
}

inline std::string index_json(const std::vector<std::string> &children) {
    std::string body = "{\"schemaVersion\":2,\"manifests\":[";
    for (size_t i = 0; i < children.size(); ++i)
        body += (i ? "," : "") + descriptor(children[i]);
    return body + "]}";
}

}  // namespace qvtest
