#include "tests/support/reply_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

reply_fixture load_reply_fixture(const std::string& directory,
                                 const std::string& name) {
  reply_fixture fixture;
  fixture.name = name;
  const std::string base = directory + "/" + name;
  std::ifstream probe(base + ".reply", std::ios::binary);
  EXPECT_TRUE(probe.good()) << "missing fixture " << base << ".reply";
  fixture.reply = read_file(base + ".reply");
  std::istringstream expect(read_file(base + ".expect"));
  std::string line;
  while (std::getline(expect, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    EXPECT_NE(equals, std::string::npos) << base << ".expect: " << line;
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "result") {
      fixture.result = std::stoi(value);
    } else if (key == "message") {
      fixture.message = value;
    } else {
      fixture.variables.emplace_back(key, value);
    }
  }
  EXPECT_TRUE(fixture.result == 0 || fixture.result == 1)
      << base << ".expect has no result line";
  return fixture;
}

std::vector<reply_fixture> load_reply_fixtures(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string file = entry->d_name;
      if (ends_with(file, ".reply")) names.push_back(file.substr(0, file.size() - 6));
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<reply_fixture> fixtures;
  for (const std::string& name : names) {
    fixtures.push_back(load_reply_fixture(directory, name));
  }
  return fixtures;
}
