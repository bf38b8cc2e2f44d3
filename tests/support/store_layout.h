// Writes the storage tree's on-disk layout directly, so tests can set up repositories,
// manifests and tags (corrupt ones included) without going through the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qvtest {

inline constexpr const char kDefaultManifestType[] =
    "application/vnd.docker.distribution.manifest.v2+json";

// A 64-digit lowercase hex that differs for every n (not the hash of anything).
std::string test_hex(unsigned n);
// "sha256:" + hex: the 71 bytes a link holds.
std::string digest_of(const std::string &hex);

// Paths and writers for one storage root (the directory holding "repositories").
class StoreLayout {
  public:
    explicit StoreLayout(std::string root) : root_(std::move(root)) {}

    const std::string &root() const { return root_; }
    std::string repo_dir(const std::string &repo) const;
    std::string manifests_dir(const std::string &repo) const;
    std::string tags_dir(const std::string &repo) const;
    std::string tag_dir(const std::string &repo, const std::string &tag) const;
    std::string tag_link(const std::string &repo, const std::string &tag) const;
    std::string body_path(const std::string &repo, const std::string &hex) const;
    std::string ct_path(const std::string &repo, const std::string &hex) const;
    std::string rev_dir(const std::string &repo, const std::string &hex) const;
    std::string rev_link(const std::string &repo, const std::string &hex) const;

    // An empty repository: just its _manifests directory.
    void make_repo(const std::string &repo) const;
    // Manifest body, its content-type file (none when content_type is nullopt) and its
    // revision link.
    void put_manifest(const std::string &repo, const std::string &hex, const std::string &body,
                      std::optional<std::string> content_type = kDefaultManifestType) const;
    // Points the tag at the manifest (a 71-byte link) and dates the link at mtime.
    void put_tag(const std::string &repo, const std::string &tag, const std::string &hex,
                 int64_t mtime) const;
    // Writes the tag link with arbitrary content (corrupt links) and dates it at mtime.
    void put_tag_raw(const std::string &repo, const std::string &tag, const std::string &content,
                     int64_t mtime) const;

  private:
    std::string root_;
};

}  // namespace qvtest
