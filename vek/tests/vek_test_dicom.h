#pragma once
// DICOM streams built byte by byte for the image-information tests, fixture reading, and
// loading through a byte-array storage.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "vek_dicominfo.h"
#include "vek_memorystorage.h"
#include "vek_test_support.h"

// Explicit VR little endian elements; positions are where the next byte lands.
class DicomBytes {
 public:
  std::vector<uint8_t> bytes;

  size_t size() const { return bytes.size(); }
  void u16(uint16_t v) {
    bytes.push_back(uint8_t(v));
    bytes.push_back(uint8_t(v >> 8));
  }
  void u32(uint32_t v) {
    u16(uint16_t(v));
    u16(uint16_t(v >> 16));
  }
  void raw(const std::vector<uint8_t>& v) { bytes.insert(bytes.end(), v.begin(), v.end()); }

  static bool long_form(const char* vr) {
    for (const char* l : {"OB", "OW", "OF", "SQ", "UT", "UN"})
      if (std::strcmp(vr, l) == 0) return true;
    return false;
  }
  void head(uint16_t group, uint16_t element, const char* vr, uint32_t length) {
    u16(group);
    u16(element);
    bytes.push_back(uint8_t(vr[0]));
    bytes.push_back(uint8_t(vr[1]));
    if (long_form(vr)) {
      u16(0);
      u32(length);
    } else {
      u16(uint16_t(length));
    }
  }
  // Returns the value's position.
  size_t element(uint16_t group, uint16_t element, const char* vr, const std::vector<uint8_t>& value) {
    head(group, element, vr, uint32_t(value.size()));
    const size_t at = size();
    raw(value);
    return at;
  }
  void text(uint16_t group, uint16_t element, const char* vr, std::string value) {
    if (value.size() % 2 != 0) value.push_back(std::strcmp(vr, "UI") == 0 ? '\0' : ' ');
    this->element(group, element, vr, std::vector<uint8_t>(value.begin(), value.end()));
  }
  void us(uint16_t group, uint16_t element, std::vector<uint16_t> values, const char* vr = "US") {
    std::vector<uint8_t> v;
    for (uint16_t x : values) {
      v.push_back(uint8_t(x));
      v.push_back(uint8_t(x >> 8));
    }
    this->element(group, element, vr, v);
  }
  static std::vector<uint8_t> words(const std::vector<uint16_t>& values) {
    std::vector<uint8_t> v;
    for (uint16_t x : values) {
      v.push_back(uint8_t(x));
      v.push_back(uint8_t(x >> 8));
    }
    return v;
  }
  // Sequence of undefined length with items of defined length; each item is explicit LE bytes.
  void sequence(uint16_t group, uint16_t element, const std::vector<std::vector<uint8_t>>& items) {
    head(group, element, "SQ", 0xFFFFFFFF);
    for (const auto& item : items) {
      u16(0xFFFE);
      u16(0xE000);
      u32(uint32_t(item.size()));
      raw(item);
    }
    u16(0xFFFE);
    u16(0xE0DD);
    u32(0);
  }
  // Encapsulated pixel data; the value positions of the fragments.
  std::vector<uint32_t> encapsulated(const std::vector<uint32_t>& table,
                                     const std::vector<std::vector<uint8_t>>& fragments) {
    head(0x7FE0, 0x0010, "OB", 0xFFFFFFFF);
    u16(0xFFFE);
    u16(0xE000);
    u32(uint32_t(table.size() * 4));
    for (uint32_t t : table) u32(t);
    std::vector<uint32_t> positions;
    for (const auto& f : fragments) {
      u16(0xFFFE);
      u16(0xE000);
      u32(uint32_t(f.size()));
      positions.push_back(uint32_t(size()));
      raw(f);
    }
    u16(0xFFFE);
    u16(0xE0DD);
    u32(0);
    return positions;
  }
  // 128-byte preamble, "DICM" and a meta group naming the transfer syntax.
  static DicomBytes part10(const std::string& syntax = "1.2.840.10008.1.2.1") {
    DicomBytes meta;
    meta.text(0x0002, 0x0010, "UI", syntax);
    DicomBytes out;
    out.bytes.assign(128, 0);
    for (char c : std::string("DICM")) out.bytes.push_back(uint8_t(c));
    out.element(0x0002, 0x0000, "UL", {uint8_t(meta.size()), uint8_t(meta.size() >> 8), 0, 0});
    out.raw(meta.bytes);
    return out;
  }
  // Geometry of a one-sample image.
  void image(uint16_t rows, uint16_t columns, uint16_t bits, const std::string& photometric, int samples = 1) {
    if (samples > 0) us(0x0028, 0x0002, {uint16_t(samples)});
    if (!photometric.empty() || samples >= 0) text(0x0028, 0x0004, "CS", photometric);
    us(0x0028, 0x0010, {rows});
    us(0x0028, 0x0011, {columns});
    us(0x0028, 0x0100, {bits});
    us(0x0028, 0x0101, {bits});
    us(0x0028, 0x0102, {uint16_t(bits - 1)});
    us(0x0028, 0x0103, {0});
  }
};

inline std::vector<uint8_t> read_fixture(const std::string& name) {
  std::ifstream in(std::string(VEK_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Lines "<file> <what> <values...>" of dicom_expected.txt, by "<file> <what>" (plus the
// frame number or palette index for frames and entries).
inline const std::map<std::string, std::vector<std::string>>& expected_values() {
  static const std::map<std::string, std::vector<std::string>> table = [] {
    std::map<std::string, std::vector<std::string>> t;
    std::ifstream in(std::string(VEK_TEST_DATA_DIR) + "/dicom_expected.txt");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string file, what, word;
      words >> file >> what;
      std::vector<std::string> rest;
      while (words >> word) rest.push_back(word);
      std::string key = file + " " + what;
      if ((what == "frame" || what == "entry") && !rest.empty()) {
        key += " " + rest.front();
        rest.erase(rest.begin());
      }
      t[key] = rest;
    }
    return t;
  }();
  return table;
}

inline std::vector<unsigned> split_numbers(const std::string& text) {
  std::vector<unsigned> out;
  std::stringstream s(text);
  std::string part;
  while (std::getline(s, part, ',')) out.push_back(unsigned(std::stoul(part)));
  return out;
}

inline std::vector<unsigned> to_std(const VEK_Vector<unsigned int>& v) {
  return std::vector<unsigned>(v.begin(), v.end());
}

// Loads bytes through a byte-array storage; the storage's position after the load in `tell`.
inline bool load_bytes(VEK_DICOMInfo& info, VEK_Manager& m, const std::vector<uint8_t>& bytes,
                       int32_t* tell = nullptr) {
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
  if (storage == nullptr) return false;
  const bool ok = info.load(storage);
  if (tell != nullptr) *tell = storage->tell();
  storage->destroy();
  return ok;
}
