// A scripted stand-in for the HTTP client, linked in place of the real one
// where a test must force one exact failure or check exact call arguments.
// Every call is recorded as one line with its arguments, handles named by
// kind ("root", "connection", "request").
#ifndef TARVANE_TESTS_SCRIPTED_HTTP_CLIENT_H
#define TARVANE_TESTS_SCRIPTED_HTTP_CLIENT_H

#include <stddef.h>

#include <string>
#include <vector>

#include "platform/http_client.h"

// Forgets the script and the recorded calls.
void scripted_reset();

// The named operation fails with `error` as the thread's last error.
void scripted_fail(const std::string& operation, DWORD error);

// The reply body, handed over at most `chunk` bytes per read; after
// `failing_read` successful reads (when not 0) the next read fails.
void scripted_reply(const std::string& body, size_t chunk = 4096,
                    int failing_read = 0, DWORD read_error = 12031);

// Every call since the reset, in order.
const std::vector<std::string>& scripted_calls();

// Reply bytes handed to the library so far.
size_t scripted_bytes_delivered();

// Live blocks in the test host's ledger at each InternetCloseHandle, to
// show that the texts were released before the handles were closed.
const std::vector<size_t>& scripted_live_blocks_at_close();

#endif  // TARVANE_TESTS_SCRIPTED_HTTP_CLIENT_H
