#pragma once

// DICOMDIRs of many records written byte by byte at test time, for the tests of large discs.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// A DICOMDIR written byte by byte in explicit VR little endian: records in stream order, each
// linked to its next sibling and its first child by offset.
class DicomDirWriter {
public:
    struct Record {
        std::string body;   // the elements after the record type, in ascending order
        std::string type;
        int next = -1;
        int lower = -1;
    };

    static void Element(std::string& out, uint16_t group, uint16_t element, const char* vr, std::string value)
    {
        if (value.size() % 2 != 0) {
            value.push_back(std::string(vr) == "UI" ? '\0' : ' ');
        }
        Put16(out, group);
        Put16(out, element);
        out.append(vr, 2);
        if (std::string(vr) == "OB" || std::string(vr) == "SQ") {
            Put16(out, 0);
            Put32(out, uint32_t(value.size()));
        } else {
            Put16(out, uint16_t(value.size()));
        }
        out += value;
    }
    static std::string U32(uint32_t v)
    {
        std::string s;
        Put32(s, v);
        return s;
    }

    int Add(const std::string& type, std::string body)
    {
        records_.push_back({std::move(body), type});
        return int(records_.size()) - 1;
    }
    Record& operator[](int k) { return records_[size_t(k)]; }

    void Write(const std::string& path) const
    {
        std::string meta;
        Element(meta, 0x0002, 0x0001, "OB", std::string("\0\1", 2));
        Element(meta, 0x0002, 0x0002, "UI", "1.2.840.10008.1.3.10");
        Element(meta, 0x0002, 0x0003, "UI", "1.2.826.0.1.3680043.2.1125.62.8");
        Element(meta, 0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
        std::string head(128, '\0');
        head += "DICM";
        Element(head, 0x0002, 0x0000, "UL", U32(uint32_t(meta.size())));
        head += meta;
        Element(head, 0x0004, 0x1130, "CS", "");
        // Offsets are four bytes whatever they hold: the first pass finds where records land.
        std::vector<uint32_t> at(records_.size());
        uint32_t pos = uint32_t(head.size() + 12 + 12 + 10 + 12);
        for (size_t k = 0; k < records_.size(); ++k) {
            at[k] = pos;
            pos += 8 + uint32_t(Body(k, at).size());
        }
        Element(head, 0x0004, 0x1200, "UL", U32(records_.empty() ? 0 : at[0]));
        Element(head, 0x0004, 0x1202, "UL", U32(0));
        Element(head, 0x0004, 0x1212, "US", std::string("\0\0", 2));
        Put16(head, 0x0004);
        Put16(head, 0x1220);
        head += "SQ";
        Put16(head, 0);
        Put32(head, 0xFFFFFFFF);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::string data = head;
        size_t written = 0;
        for (size_t k = 0; k < records_.size(); ++k) {
            EXPECT_EQ(at[k], written + data.size());
            const std::string body = Body(k, at);
            Put16(data, 0xFFFE);
            Put16(data, 0xE000);
            Put32(data, uint32_t(body.size()));
            data += body;
            if (data.size() > (1u << 20)) {
                ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
                written += data.size();
                data.clear();
            }
        }
        Put16(data, 0xFFFE);
        Put16(data, 0xE0DD);
        Put32(data, 0);
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
        std::fclose(f);
    }

private:
    static void Put16(std::string& s, uint16_t v)
    {
        s.push_back(char(v & 0xFF));
        s.push_back(char(v >> 8));
    }
    static void Put32(std::string& s, uint32_t v)
    {
        Put16(s, uint16_t(v));
        Put16(s, uint16_t(v >> 16));
    }
    std::string Body(size_t k, const std::vector<uint32_t>& at) const
    {
        const Record& r = records_[k];
        std::string b;
        Element(b, 0x0004, 0x1400, "UL", U32(r.next < 0 ? 0 : at[size_t(r.next)]));
        Element(b, 0x0004, 0x1410, "US", std::string("\xFF\xFF", 2));
        Element(b, 0x0004, 0x1420, "UL", U32(r.lower < 0 ? 0 : at[size_t(r.lower)]));
        Element(b, 0x0004, 0x1430, "CS", r.type);
        return b + r.body;
    }

    std::vector<Record> records_;
};

constexpr const char* kSecondaryCapture = "1.2.840.10008.5.1.4.1.1.7";

inline std::string Numbered(const char* format, int n)
{
    char text[64];
    std::snprintf(text, sizeof text, format, n);
    return text;
}

// Links each list of siblings in order and hangs the first under its parent.
inline void Chain(DicomDirWriter& dir, int parent, const std::vector<int>& children)
{
    for (size_t k = 0; k + 1 < children.size(); ++k) {
        dir[children[k]].next = children[k + 1];
    }
    if (parent >= 0 && !children.empty()) {
        dir[parent].lower = children[0];
    }
}

// A patient named after its ID with one study; their records' indexes.
inline std::pair<int, int> PatientWithStudy(DicomDirWriter& dir, const std::string& id, const std::string& studyKey)
{
    std::string body;
    DicomDirWriter::Element(body, 0x0010, 0x0010, "PN", "PATIENT^" + id);
    DicomDirWriter::Element(body, 0x0010, 0x0020, "LO", id);
    const int patient = dir.Add("PATIENT", body);
    body.clear();
    DicomDirWriter::Element(body, 0x0008, 0x0020, "DA", "20260101");
    DicomDirWriter::Element(body, 0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.62." + studyKey);
    return {patient, dir.Add("STUDY", body)};
}

// A series record, its UID under the tests' root; number 0 writes no series number. Its index.
inline int AddSeries(DicomDirWriter& dir, const char* modality, const std::string& key, int number = 0)
{
    std::string body;
    DicomDirWriter::Element(body, 0x0008, 0x0060, "CS", modality);
    DicomDirWriter::Element(body, 0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.62." + key);
    if (number > 0) {
        DicomDirWriter::Element(body, 0x0020, 0x0011, "IS", std::to_string(number));
    }
    return dir.Add("SERIES", body);
}

// An image record of the file at `file` on the disc (backslashes between folders); its index.
inline int AddImage(DicomDirWriter& dir, const std::string& file, const char* sopClass, const std::string& key,
                    int number)
{
    std::string body;
    DicomDirWriter::Element(body, 0x0004, 0x1500, "CS", file);
    DicomDirWriter::Element(body, 0x0004, 0x1510, "UI", sopClass);
    DicomDirWriter::Element(body, 0x0004, 0x1511, "UI", "1.2.826.0.1.3680043.2.1125.62." + key);
    DicomDirWriter::Element(body, 0x0020, 0x0013, "IS", std::to_string(number));
    return dir.Add("IMAGE", body);
}

// Patients of one study, one series and one image each, all of the one intact file; the
// patients' records' indexes.
inline std::vector<int> AddOneImagePatients(DicomDirWriter& dir, int patients)
{
    std::vector<int> top;
    for (int p = 0; p < patients; ++p) {
        const auto [patient, study] = PatientWithStudy(dir, Numbered("PID%05d", p), Numbered("1.%d", p));
        const int series = AddSeries(dir, "CT", Numbered("2.%d", p));
        const int image = AddImage(dir, "IMG\\OK1", kSecondaryCapture, Numbered("3.%d", p), 1);
        Chain(dir, patient, {study});
        Chain(dir, study, {series});
        Chain(dir, series, {image});
        top.push_back(patient);
    }
    return top;
}
