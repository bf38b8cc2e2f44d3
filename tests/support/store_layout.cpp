#include "support/store_layout.h"

#include <cstdio>

#include "support/temp_tree.h"

namespace qvtest {

std::string test_hex(unsigned n) {
    char head[9];
    std::snprintf(head, sizeof head, "%08x", n);
    // Varying head plus a fixed tail: distinct, well-formed and easy to spot in a listing.
    return std::string(head) + std::string(56, 'a');
}

std::string digest_of(const std::string &hex) {
    return "sha256:" + hex;
}

std::string StoreLayout::repo_dir(const std::string &repo) const {
    return root_ + "/repositories/" + repo;
}
std::string StoreLayout::manifests_dir(const std::string &repo) const {
    return repo_dir(repo) + "/_manifests";
}
std::string StoreLayout::tags_dir(const std::string &repo) const {
    return manifests_dir(repo) + "/tags";
}
std::string StoreLayout::tag_dir(const std::string &repo, const std::string &tag) const {
    return tags_dir(repo) + "/" + tag;
}
std::string StoreLayout::tag_link(const std::string &repo, const std::string &tag) const {
    return tag_dir(repo, tag) + "/current/link";
}
std::string StoreLayout::body_path(const std::string &repo, const std::string &hex) const {
    return manifests_dir(repo) + "/" + hex;
}
std::string StoreLayout::ct_path(const std::string &repo, const std::string &hex) const {
    return body_path(repo, hex) + ".ct";
}
std::string StoreLayout::rev_dir(const std::string &repo, const std::string &hex) const {
    return manifests_dir(repo) + "/revisions/sha256/" + hex;
}
std::string StoreLayout::rev_link(const std::string &repo, const std::string &hex) const {
    return rev_dir(repo, hex) + "/link";
}

void StoreLayout::make_repo(const std::string &repo) const {
    make_dirs(manifests_dir(repo));
}

void StoreLayout::put_manifest(const std::string &repo, const std::string &hex,
                               const std::string &body,
                               std::optional<std::string> content_type) const {
    write_text(body_path(repo, hex), body);
    if (content_type) write_text(ct_path(repo, hex), *content_type);
    write_text(rev_link(repo, hex), digest_of(hex));
}

void StoreLayout::put_tag(const std::string &repo, const std::string &tag, const std::string &hex,
                          int64_t mtime) const {
    put_tag_raw(repo, tag, digest_of(hex), mtime);
}

void StoreLayout::put_tag_raw(const std::string &repo, const std::string &tag,
                              const std::string &content, int64_t mtime) const {
    write_text(tag_link(repo, tag), content);
    set_mtime(tag_link(repo, tag), mtime);
}

}  // namespace qvtest
