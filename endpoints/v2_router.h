/* The registry's HTTP API below /v2, every route but _retention: one CGI request per call. */
#ifndef V2_ROUTER_H
#define V2_ROUTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the request from the CGI environment (PATH_INFO is the path below /v2) and answers
   it; returns 0, or does not return when an error response ends the process. */
int handle_v2_registry(void);

#ifdef __cplusplus
}
#endif

#endif /* V2_ROUTER_H */
