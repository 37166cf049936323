#pragma once
// The numpy and Pillow oracle of the colour and channel tests (data/colour_oracle.py), run with
// the system's python, whose numpy is the packaged one. Files are per process, so that the
// optimised and the sanitised builds may run at once, and go when it ends.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

// Every 8-bit triple (i >> 16, i >> 8, i) as one 4096 x 4096 image, as the oracle's all_triples.
inline std::vector<uint8_t> every_triple() {
  std::vector<uint8_t> v(3u << 24);
  for (uint32_t i = 0; i < (1u << 24); ++i) {
    v[3 * i] = uint8_t(i >> 16);
    v[3 * i + 1] = uint8_t(i >> 8);
    v[3 * i + 2] = uint8_t(i);
  }
  return v;
}

inline bool oracle_available() {
  static const bool available = std::system("/usr/bin/python3 -c 'import numpy, PIL' 2>/dev/null") == 0;
  return available;
}

// Every file named so far, removed when the process ends: an input may serve several oracle
// runs, so it cannot go after the first.
struct OracleFiles {
  std::set<std::string> paths;
  ~OracleFiles() {
    for (const std::string& path : paths) std::remove(path.c_str());
  }
};

inline std::string oracle_file(const std::string& name) {
  static OracleFiles files;
  const std::string path = testing::TempDir() + "colour_oracle_" + std::to_string(getpid()) + "_" + name;
  files.paths.insert(path);
  return path;
}

template <class T>
std::string oracle_write(const std::string& name, const std::vector<T>& data) {
  const std::string path = oracle_file(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(T));
  return path;
}

// Runs MODE with "key=value ..." and answers what it wrote, as Ts; empty when it failed.
template <class T = uint8_t>
std::vector<T> oracle(const std::string& mode, const std::string& params) {
  const std::string out = oracle_file("out");
  const std::string command =
      "/usr/bin/python3 " VEK_TEST_DATA_DIR "/colour_oracle.py " + mode + " " + params + " out=" + out;
  std::vector<T> result;
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << command;
    return result;
  }
  std::ifstream in(out, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  result.resize(bytes.size() / sizeof(T));
  if (!result.empty()) std::memcpy(result.data(), bytes.data(), result.size() * sizeof(T));
  std::remove(out.c_str());
  return result;
}

// Runs data/SCRIPT with request on its standard input and answers what it wrote to its output;
// a failure and nothing when it fails.
inline std::string python_oracle(const std::string& script, const std::string& request) {
  const std::string in = oracle_file(script + "_in"), out = oracle_file(script + "_out");
  std::ofstream(in, std::ios::binary) << request;
  const std::string command = "/usr/bin/python3 " VEK_TEST_DATA_DIR "/" + script + " < " + in + " > " + out;
  std::string answer;
  if (std::system(command.c_str()) == 0) {
    std::ifstream file(out, std::ios::binary);
    answer.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } else {
    ADD_FAILURE() << command;
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
  return answer;
}
