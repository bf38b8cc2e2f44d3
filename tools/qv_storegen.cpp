// Builds synthetic registry stores for tests and benchmarks, through the library's own
// operations: blobs uploaded in chunks and finished, image manifests and indexes put under
// tags, then tag-link times set to give each tag its age.
//
//   qv_storegen --root DIR [--repos N] [--tags M] [--nested K] [--age-step SECONDS]
//               [--now UNIX] [--share] [--untagged U] [--index] [--latest] [--layers L]
//               [--distinct] [--orphans N] [--quiet]
//
// Repository i is "repo<i>", or "team<i % K>/app<i>" with --nested K (K > 0). Tag j of every
// repository is "v<j>" ("latest" for j = 0 with --latest) and its link is dated
// now - j * step - (i % 7), so ranks and ties are predictable. --share points tags 2k and 2k+1
// at one manifest; --untagged adds U manifests per repository put by digest only; --index adds
// a tag "multi" per repository naming an index of that repository's first two manifests;
// --distinct gives every tag's manifest a config and layers of its own; --orphans adds N blobs
// that no manifest references, dated long ago, as collection finds them.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "platform/os.h"
#include "storage/reg_storage.h"

namespace {

struct Options {
    std::string root;
    int repos = 4;
    int tags = 4;
    int nested = 0;
    int64_t age_step = 86400;
    int64_t now = 0;
    bool share = false;
    int untagged = 0;
    bool index = false;
    bool latest = false;
    int layers = 1;
    bool distinct = false;
    int orphans = 0;
    bool quiet = false;
};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "qv_storegen: %s: %s\n", what.c_str(), reg_storage_last_error());
    std::exit(1);
}

constexpr char kUsage[] =
    "usage: qv_storegen --root DIR [--repos N] [--tags M] [--nested K] [--age-step S] "
    "[--now T]\n"
    "                   [--share] [--untagged U] [--index] [--latest] [--layers L] [--quiet]\n";

[[noreturn]] void usage() {
    std::fputs(kUsage, stderr);
    std::exit(2);
}

[[noreturn]] void help() {
    std::fputs(kUsage, stdout);
    std::fputs(
        "Builds a synthetic registry store through the library's own operations.\n"
        "  --root DIR      storage root to create or add to (required)\n"
        "  --repos N       repositories to make (default 4): repo0, repo1, ...\n"
        "  --tags M        tags per repository (default 4): v0, v1, ... with v0 the newest\n"
        "  --nested K      name repository i team<i % K>/app<i> instead of repo<i>\n"
        "  --age-step S    seconds between one tag's push time and the next (default 86400);\n"
        "                  tag j of repository i is dated now - j * S - (i % 7)\n"
        "  --now T         the Unix time taken as now (default: the clock)\n"
        "  --share         tags 2k and 2k+1 name one manifest\n"
        "  --untagged U    also put U manifests per repository by digest only\n"
        "  --index         add a tag \"multi\" naming an index of the first two manifests\n"
        "  --latest        call tag 0 \"latest\" instead of v0\n"
        "  --layers L      layer blobs per image (default 1)\n"
        "  --distinct      every tag's manifest gets a config and layers of its own\n"
        "  --orphans N     also store N blobs that no manifest references, dated long ago\n"
        "  --quiet         print no summary\n"
        "  --help          print this and exit\n",
        stdout);
    std::exit(0);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--help")
            help();
        else if (a == "--root")
            o.root = value();
        else if (a == "--repos")
            o.repos = std::atoi(value());
        else if (a == "--tags")
            o.tags = std::atoi(value());
        else if (a == "--nested")
            o.nested = std::atoi(value());
        else if (a == "--age-step")
            o.age_step = std::atoll(value());
        else if (a == "--now")
            o.now = std::atoll(value());
        else if (a == "--share")
            o.share = true;
        else if (a == "--untagged")
            o.untagged = std::atoi(value());
        else if (a == "--index")
            o.index = true;
        else if (a == "--latest")
            o.latest = true;
        else if (a == "--layers")
            o.layers = std::atoi(value());
        else if (a == "--distinct")
            o.distinct = true;
        else if (a == "--orphans")
            o.orphans = std::atoi(value());
        else if (a == "--quiet")
            o.quiet = true;
        else
            usage();
    }
    if (o.root.empty() || o.repos < 0 || o.tags < 0 || o.layers < 0 || o.orphans < 0) usage();
    if (o.now == 0) o.now = qv::os::unix_now();
    return o;
}

std::string digest_of(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t out[32];
    sha256_final(&ctx, out);
    static const char hx[] = "0123456789abcdef";
    std::string d = "sha256:";
    for (uint8_t b : out) {
        d += hx[b >> 4];
        d += hx[b & 15];
    }
    return d;
}

// Uploads the bytes in three chunks, so every blob takes the chunked road, and returns the
// blob's digest.
std::string upload_blob(const std::string &bytes) {
    char id[37];
    if (reg_blob_start_upload(id) != 0) fail("start upload");
    const size_t chunk = bytes.size() > 8 ? bytes.size() / 3 + 1 : bytes.size();
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        const size_t n = std::min(chunk, bytes.size() - off);
        if (reg_blob_append_chunk(id, bytes.data() + off, n) != 0) fail("append chunk");
    }
    const std::string digest = digest_of(bytes);
    char out[72];
    if (reg_blob_finish_upload(id, digest.c_str(), out) != 0) fail("finish upload");
    return digest;
}

std::string repo_name(const Options &o, int i) {
    char buf[64];
    if (o.nested > 0)
        std::snprintf(buf, sizeof buf, "team%d/app%d", i % o.nested, i);
    else
        std::snprintf(buf, sizeof buf, "repo%d", i);
    return buf;
}

std::string tag_name(const Options &o, int j) {
    if (o.latest && j == 0) return "latest";
    return "v" + std::to_string(j);
}

std::string image_manifest(const std::string &config, const std::vector<std::string> &layers,
                           const std::string &note) {
    std::string m =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
        config + "\",\"size\":1},\"layers\":[";
    for (size_t k = 0; k < layers.size(); ++k) {
        if (k) m += ",";
        m += "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" + layers[k] +
             "\",\"size\":1}";
    }
    m += "],\"annotations\":{\"note\":\"" + note + "\"}}";
    return m;
}

std::string put_manifest(const std::string &repo, const std::string &ref, const std::string &body) {
    char digest[72];
    if (reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, digest) != 0)
        fail("put manifest " + repo + ":" + ref);
    return digest;
}

void date_tag(const Options &o, const std::string &repo, const std::string &tag, int64_t when) {
    const std::string link =
        o.root + "/repositories/" + repo + "/_manifests/tags/" + tag + "/current/link";
    if (!qv::os::set_mtime(link.c_str(), when)) {
        std::fprintf(stderr, "qv_storegen: cannot date %s\n", link.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    if (reg_storage_init(o.root.c_str()) != 0) fail("init");

    long manifests = 0, tags = 0;
    for (int i = 0; i < o.repos; ++i) {
        const std::string repo = repo_name(o, i);
        std::string config;
        std::vector<std::string> layers;
        auto make_blobs = [&](const std::string &owner) {
            config = upload_blob("{\"architecture\":\"amd64\",\"os\":\"linux\"," +
                                 std::string("\"repo\":\"") + owner + "\"}");
            layers.clear();
            for (int k = 0; k < o.layers; ++k)
                layers.push_back(upload_blob("layer " + std::to_string(k) + " of " + owner +
                                             std::string(256, static_cast<char>('a' + k % 26))));
        };
        make_blobs(repo);

        std::vector<std::string> tagged;
        for (int j = 0; j < o.tags; ++j) {
            const std::string tag = tag_name(o, j);
            const int variant = o.share ? j / 2 : j;
            if (o.distinct && j > 0) make_blobs(repo + ":" + tag);
            const std::string body =
                image_manifest(config, layers, repo + " build " + std::to_string(variant));
            tagged.push_back(put_manifest(repo, tag, body));
            if (!o.share || j % 2 == 0) ++manifests;
            ++tags;
            date_tag(o, repo, tag, o.now - j * o.age_step - (i % 7));
        }
        for (int u = 0; u < o.untagged; ++u) {
            const std::string body =
                image_manifest(config, layers, repo + " untagged " + std::to_string(u));
            put_manifest(repo, digest_of(body), body);
            ++manifests;
        }
        if (o.index && tagged.size() >= 2) {
            const std::string body =
                "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                "\"manifests\":[{\"digest\":\"" +
                tagged[0] + "\"},{\"digest\":\"" + tagged[1] + "\"}]}";
            put_manifest(repo, "multi", body);
            date_tag(o, repo, "multi", o.now);
            ++manifests;
            ++tags;
        }
    }
    for (int n = 0; n < o.orphans; ++n) {
        const std::string digest =
            upload_blob("orphan " + std::to_string(n) + std::string(200, 'o'));
        const std::string path =
            o.root + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
        qv::os::set_mtime(path.c_str(), o.now - 86400);
    }
    if (!o.quiet)
        std::printf(
            "qv_storegen: %d repositories, %ld tags, %ld manifests, %d orphan blobs under %s\n",
            o.repos, tags, manifests, o.orphans, o.root.c_str());
    return 0;
}
