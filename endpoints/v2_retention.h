/* The retention endpoint: POST runs one retention pass and answers with its report. */
#ifndef V2_RETENTION_H
#define V2_RETENTION_H

#ifdef __cplusplus
extern "C" {
#endif

int handle_v2_retention(void);

#ifdef __cplusplus
}
#endif

#endif /* V2_RETENTION_H */
