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

// Oracle runs gathered to go through one python, whose start is most of a small run's time and
// many times that on a busy machine. Each job's inputs need names of their own.
class OracleBatch {
 public:
  // Queues MODE with "key=value ..."; the index of its answer.
  size_t add(const std::string& mode, const std::string& params) {
    outs_.push_back(oracle_file("out" + std::to_string(outs_.size())));
    jobs_ += mode + " " + params + " out=" + outs_.back() + "\n";
    return outs_.size() - 1;
  }
  // Runs every job queued; false, and a failure, when python fails.
  bool run() {
    const std::string jobs = oracle_file("jobs");
    std::ofstream(jobs, std::ios::binary) << jobs_;
    const std::string command = "/usr/bin/python3 " VEK_TEST_DATA_DIR "/colour_oracle.py batch jobs=" + jobs;
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << command << "\n" << jobs_;
      return false;
    }
    return true;
  }
  // What job wrote, as Ts.
  template <class T = uint8_t>
  std::vector<T> answer(size_t job) const {
    std::ifstream in(outs_.at(job), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<T> result(bytes.size() / sizeof(T));
    if (!result.empty()) std::memcpy(result.data(), bytes.data(), result.size() * sizeof(T));
    return result;
  }

 private:
  std::string jobs_;
  std::vector<std::string> outs_;
};

// Runs MODE with "key=value ..." and answers what it wrote, as Ts; empty when it failed.
template <class T = uint8_t>
std::vector<T> oracle(const std::string& mode, const std::string& params) {
  OracleBatch batch;
  const size_t job = batch.add(mode, params);
  return batch.run() ? batch.answer<T>(job) : std::vector<T>{};
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
