// What the local test gateway received: one JSON object per request in the
// file named by TARVANE_GATEWAY_RECORD.
#ifndef TARVANE_TESTS_GATEWAY_RECORD_H
#define TARVANE_TESTS_GATEWAY_RECORD_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Every request recorded so far, oldest first.
std::vector<nlohmann::json> gateway_requests();

// The requests whose path is `path`.
std::vector<nlohmann::json> gateway_requests_for(const std::string& path);

// The values of header `name` (case-insensitive) in a recorded request.
std::vector<std::string> header_values(const nlohmann::json& request,
                                       const std::string& name);

#endif  // TARVANE_TESTS_GATEWAY_RECORD_H
