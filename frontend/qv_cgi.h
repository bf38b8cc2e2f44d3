/* CGI request access, response headers, fatal responses and bounded string helpers. */
#ifndef QV_CGI_H
#define QV_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define QV_NORETURN [[noreturn]]
extern "C" {
#else
#define QV_NORETURN _Noreturn
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QV_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QV_PRINTF_FORMAT(fmt, args)
#endif

const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);
int cgi_is_post(void);
int cgi_is_head(void);
const char *cgi_query(const char *name);
const char *cgi_path_info(void);
char *cgi_read_post(size_t *out_len);

typedef int (*cgi_sink_fn)(void *ctx, const unsigned char *data, size_t len);
int cgi_stream_post(cgi_sink_fn sink, void *ctx, uint64_t *out_total);

void qv_stdout_bin(void);
void cgi_header_status(int status, const char *reason);
void cgi_header_html(void);
void cgi_header_json(void);
void cgi_header_text(void);
void cgi_header_ct(const char *media_type);
void cgi_header_extra(const char *line);
void cgi_headers_end(void);
QV_NORETURN void cgi_die_text(int status, const char *text);
QV_NORETURN void cgi_die_json(int status, const char *message);
void json_escape_f(FILE *out, const char *text);

void qv_strlcpy(char *dst, const char *src, size_t size);
int qv_snprintf(char *dst, size_t size, const char *fmt, ...) QV_PRINTF_FORMAT(3, 4);
void qv_path_join(char *dst, size_t size, const char *a, const char *b);

#ifdef __cplusplus
}
#endif

#endif /* QV_CGI_H */
