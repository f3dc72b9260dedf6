#include "tests/support/gateway_record.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <cstdlib>
#include <fstream>

std::vector<nlohmann::json> gateway_requests() {
  std::vector<nlohmann::json> requests;
  const char* path = std::getenv("TARVANE_GATEWAY_RECORD");
  if (path == nullptr) {
    ADD_FAILURE() << "TARVANE_GATEWAY_RECORD is not set: run under hermetic.sh";
    return requests;
  }
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) requests.push_back(nlohmann::json::parse(line));
  }
  return requests;
}

std::vector<nlohmann::json> gateway_requests_for(const std::string& path) {
  std::vector<nlohmann::json> matching;
  for (const nlohmann::json& request : gateway_requests()) {
    if (request.value("path", "") == path) matching.push_back(request);
  }
  return matching;
}

std::vector<std::string> header_values(const nlohmann::json& request,
                                       const std::string& name) {
  std::vector<std::string> values;
  for (const nlohmann::json& header : request.at("headers")) {
    if (strcasecmp(header.at(0).get<std::string>().c_str(), name.c_str()) == 0) {
      values.push_back(header.at(1).get<std::string>());
    }
  }
  return values;
}
