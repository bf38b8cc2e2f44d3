// Upload quota: the bytes already stored plus the upload in progress must stay within the
// configured quota. Anything missing for the decision lets the upload go on.
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "frontend/oci_common.h"
#include "frontend/qv_cgi.h"
#include "storage/reg_storage.h"

namespace {

constexpr std::size_t kSizeTextSize = 32;

struct DocFree {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

}  // namespace

extern "C" int oci_fmt_bytes(int64_t n, char *out) {
    constexpr int64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    const auto d = static_cast<double>(n);
    if (n >= kGiB) return qv_snprintf(out, kSizeTextSize, "%.1f %s", d / kGiB, "GB");
    if (n >= kMiB) return qv_snprintf(out, kSizeTextSize, "%.1f %s", d / kMiB, "MB");
    if (n >= kKiB) return qv_snprintf(out, kSizeTextSize, "%.1f %s", d / kKiB, "KB");
    return qv_snprintf(out, kSizeTextSize, "%lld B", static_cast<long long>(n));
}

extern "C" int64_t oci_quota_used_bytes(void) {
    const char *report = reg_storage_get_stats_json();
    if (report == nullptr) return 0;
    const Doc doc(
        yyjson_read_opts(const_cast<char *>(report), std::strlen(report), 0, nullptr, nullptr));
    if (!doc) return 0;
    // yyjson_obj_get answers the first member of that name; later ones are not consulted.
    yyjson_val *bytes = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "blob_bytes");
    if (yyjson_is_sint(bytes)) return yyjson_get_sint(bytes);
    if (yyjson_is_uint(bytes)) return static_cast<int64_t>(yyjson_get_uint(bytes));
    return 0;
}

extern "C" int oci_quota_check(const char *upload_id, char *msg, size_t msg_size) {
    const bool msg_usable = msg != nullptr && msg_size > 0;
    if (msg_usable) msg[0] = '\0';
    const int64_t quota = oci_quota_bytes();
    if (quota == 0) return 1;
    if (upload_id == nullptr) return 1;
    int64_t pending = 0;
    if (reg_blob_upload_size(upload_id, &pending) != 0) return 1;
    if (pending < 0) pending = 0;
    const int64_t used = oci_quota_used_bytes();
    // used + pending <= quota; quota and pending are never negative, so the difference
    // cannot overflow where the sum could.
    if (used <= quota - pending) return 1;
    if (msg_usable) {
        char used_text[kSizeTextSize];
        char quota_text[kSizeTextSize];
        oci_fmt_bytes(used, used_text);
        oci_fmt_bytes(quota, quota_text);
        qv_snprintf(msg, msg_size, "quota exceeded: %s of %s used", used_text, quota_text);
    }
    return 0;
}
