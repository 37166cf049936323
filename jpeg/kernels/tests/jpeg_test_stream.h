#pragma once

// Just enough JPEG parsing for the kernel tests: the frame, the Huffman tables as their DHT bytes
// give them, the first scan and its entropy-coded data (to the end of the file).

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "huffman/huff_decode.h"

struct TestHuffTable {
    uint8_t counts[16] = {};
    std::vector<uint8_t> values;
};

struct TestJpeg {
    int width = 0, height = 0, precision = 0, sof = 0;
    struct Component {
        int id, h, v;
    };
    std::vector<Component> components;
    std::map<int, TestHuffTable> dc_tables, ac_tables;
    int restart_interval = 0;
    struct ScanComponent {
        int index, dc, ac;
    };
    std::vector<ScanComponent> scan;
    int ss = 0, se = 0, ah = 0, al = 0;
    std::vector<uint8_t> data;   // exactly the bytes after the scan header, so overreads show
};

#ifdef KV_KERNEL_TEST_DATA_DIR
inline std::vector<uint8_t> read_test_file(const std::string& name)
{
    const std::string path = std::string(KV_KERNEL_TEST_DATA_DIR) + "/" + name;
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}
#endif

// Empty components when the file is not what the tests expect.
inline TestJpeg parse_test_jpeg(const std::vector<uint8_t>& f)
{
    TestJpeg j;
    size_t p = 2;
    auto be16 = [&](size_t at) { return int(f[at]) << 8 | f[at + 1]; };
    while (p + 4 <= f.size() && f[p] == 0xFF) {
        const int m = f[p + 1];
        const size_t len = size_t(be16(p + 2)), body = p + 4, end = p + 2 + len;
        if (end > f.size())
            break;
        if (m == 0xC0 || m == 0xC1 || m == 0xC3) {
            j.sof = m;
            j.precision = f[body];
            j.height = be16(body + 1);
            j.width = be16(body + 3);
            for (int c = 0; c < f[body + 5]; ++c) {
                const size_t q = body + 6 + 3 * size_t(c);
                j.components.push_back({f[q], f[q + 1] >> 4, f[q + 1] & 15});
            }
        } else if (m == 0xC4) {
            for (size_t q = body; q < end;) {
                TestHuffTable t;
                const int tc = f[q] >> 4, th = f[q] & 15;
                int total = 0;
                for (int i = 0; i < 16; ++i)
                    total += t.counts[i] = f[q + 1 + i];
                t.values.assign(f.begin() + long(q + 17), f.begin() + long(q + 17 + total));
                (tc == 0 ? j.dc_tables : j.ac_tables)[th] = t;
                q += 17 + size_t(total);
            }
        } else if (m == 0xDD) {
            j.restart_interval = be16(body);
        } else if (m == 0xDA) {
            for (int c = 0; c < f[body]; ++c) {
                const size_t q = body + 1 + 2 * size_t(c);
                int index = 0;
                while (index < int(j.components.size()) && j.components[size_t(index)].id != f[q])
                    ++index;
                j.scan.push_back({index, f[q + 1] >> 4, f[q + 1] & 15});
            }
            const size_t q = body + 1 + 2 * size_t(f[body]);
            j.ss = f[q];
            j.se = f[q + 1];
            j.ah = f[q + 2] >> 4;
            j.al = f[q + 2] & 15;
            j.data.assign(f.begin() + long(end), f.end());
            return j;
        }
        p = end;
    }
    return {};
}

// Code of each symbol of a table, worked out here from the counts (T.81 Annex C).
struct TestCode {
    uint32_t code;
    int length;
};
inline std::map<int, TestCode> canonical_codes(const TestHuffTable& t)
{
    std::map<int, TestCode> codes;
    uint32_t code = 0;
    size_t k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < t.counts[l - 1]; ++i)
            codes[t.values[k++]] = {code++, l};
        code <<= 1;
    }
    return codes;
}

// Writes bits most significant first, stuffing a zero after every 0xFF; finish() pads with ones.
struct TestBitWriter {
    std::vector<uint8_t> bytes;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t value, int bits)
    {
        for (int i = bits - 1; i >= 0; --i) {
            acc = acc << 1 | (value >> i & 1);
            if (++n == 8) {
                bytes.push_back(uint8_t(acc));
                if (acc == 0xFF)
                    bytes.push_back(0);
                acc = 0;
                n = 0;
            }
        }
    }
    void put(const TestCode& c) { put(c.code, c.length); }
    std::vector<uint8_t> finish()
    {
        while (n != 0)
            put(1, 1);
        return bytes;
    }
};

// Unstuffed bits read up to a point of the stream: data bytes before position, less the bits
// still held. Equal on every level when the levels stand at the same bit.
inline int64_t stream_point(const std::vector<uint8_t>& data, int32_t position, int32_t bit_count)
{
    int64_t bytes = 0;
    for (int32_t i = 0; i < position && size_t(i) < data.size(); ++i) {
        if (data[size_t(i)] == 0xFF) {
            if (size_t(i) + 1 < data.size() && data[size_t(i) + 1] == 0x00) {
                ++bytes;
                ++i;
            }
            continue;   // fill bytes and markers carry no data
        }
        if (i > 0 && data[size_t(i) - 1] == 0xFF)
            continue;   // a marker's code byte
        ++bytes;
    }
    return bytes * 8 - bit_count;
}
