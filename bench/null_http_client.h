// The HTTP client of the library-only measurement: no network, one canned
// reply for every request.
#ifndef TARVANE_BENCH_NULL_HTTP_CLIENT_H
#define TARVANE_BENCH_NULL_HTTP_CLIENT_H

#include "platform/http_client.h"

// The reply every later request reads; the text must outlive them.
void null_http_client_reply(const char* reply);

#endif  // TARVANE_BENCH_NULL_HTTP_CLIENT_H
