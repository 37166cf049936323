#include "platform/platcodepage.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace {

const char* Utf16Name()
{
    return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

// iconv names of the code pages that map straight onto an iconv encoding. 50221 is not
// here: it is built over EUC-JP below, because iconv's ISO-2022-JP variants each miss
// either half-width katakana or JIS X 0212.
const char* IconvName(uint32_t codePage)
{
    switch (codePage) {
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "BIG5";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case kPlatCodePageEucJp: return "EUC-JP-MS";   // Microsoft mappings, as CP932 has
    case 51949: return "EUC-KR";
    case kPlatCodePageEucTw: return "EUC-TW";
    case 54936: return "GB18030";
    case kPlatCodePageUtf8: return "UTF-8";
    default: return nullptr;
    }
}

// A descriptor carries shift state, so one must never serve two conversions at once.
// Idle descriptors wait here per code page and direction; a conversion borrows one (or
// opens a new one when all are busy) and gives it back afterwards.
class IconvPool {
public:
    ~IconvPool()
    {
        for (auto& entry : idle_) {
            for (iconv_t cd : entry.second) {
                iconv_close(cd);
            }
        }
    }

    iconv_t Acquire(uint32_t codePage, bool toUtf16)
    {
        const uint64_t key = Key(codePage, toUtf16);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto it = idle_.find(key);
            if (it != idle_.end() && !it->second.empty()) {
                iconv_t cd = it->second.back();
                it->second.pop_back();
                return cd;
            }
        }
        const char* name = IconvName(codePage);
        if (name == nullptr) {
            errno = EINVAL;
            return reinterpret_cast<iconv_t>(-1);
        }
        return toUtf16 ? iconv_open(Utf16Name(), name) : iconv_open(name, Utf16Name());
    }

    void Release(uint32_t codePage, bool toUtf16, iconv_t cd)
    {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);   // back to the initial shift state
        std::lock_guard<std::mutex> guard(mutex_);
        try {
            idle_[Key(codePage, toUtf16)].push_back(cd);
        } catch (const std::bad_alloc&) {
            iconv_close(cd);
        }
    }

private:
    static uint64_t Key(uint32_t codePage, bool toUtf16) { return (uint64_t(toUtf16) << 32) | codePage; }

    std::mutex mutex_;
    std::unordered_map<uint64_t, std::vector<iconv_t>> idle_;
};

IconvPool& Pool()
{
    static IconvPool& pool = *new IconvPool;
    return pool;
}

class Lease {
public:
    Lease(uint32_t codePage, bool toUtf16)
        : codePage_(codePage), toUtf16_(toUtf16), cd_(Pool().Acquire(codePage, toUtf16))
    {
    }
    ~Lease()
    {
        if (Valid()) {
            Pool().Release(codePage_, toUtf16_, cd_);
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    uint32_t codePage_;
    bool toUtf16_;
    iconv_t cd_;
};

PlatConvertStatus IconvToUtf16(uint32_t codePage, std::string_view bytes, std::u16string& out)
{
    Lease lease(codePage, true);
    if (!lease.Valid()) {
        return errno == ENOMEM ? PlatConvertStatus::OutOfMemory : PlatConvertStatus::UnsupportedCodePage;
    }
    try {
        std::u16string result;
        result.resize(bytes.size() + 8);
        char* in = const_cast<char*>(bytes.data());
        size_t inLeft = bytes.size();
        size_t used = 0;
        for (;;) {
            char* outPtr = reinterpret_cast<char*>(result.data() + used);
            size_t outLeft = (result.size() - used) * sizeof(char16_t);
            const size_t rc = inLeft == 0 ? iconv(lease.Get(), nullptr, nullptr, &outPtr, &outLeft)
                                          : iconv(lease.Get(), &in, &inLeft, &outPtr, &outLeft);
            used = result.size() - outLeft / sizeof(char16_t);
            if (rc != static_cast<size_t>(-1)) {
                if (inLeft == 0) {
                    break;
                }
                continue;
            }
            if (errno == E2BIG) {
                result.resize(result.size() * 2 + 8);
            } else if (errno == EILSEQ || errno == EINVAL) {
                // Malformed or truncated input: one replacement character, then resync.
                if (used == result.size()) {
                    result.resize(result.size() * 2 + 8);
                }
                result[used++] = u'\uFFFD';
                if (errno == EINVAL) {
                    inLeft = 0;
                } else {
                    ++in;
                    --inLeft;
                }
            } else {
                return PlatConvertStatus::UnsupportedCodePage;
            }
        }
        result.resize(used);
        out = std::move(result);
        return PlatConvertStatus::Ok;
    } catch (const std::bad_alloc&) {
        return PlatConvertStatus::OutOfMemory;
    }
}

PlatConvertStatus IconvFromUtf16(uint32_t codePage, std::u16string_view text, std::string& out)
{
    Lease lease(codePage, false);
    if (!lease.Valid()) {
        return errno == ENOMEM ? PlatConvertStatus::OutOfMemory : PlatConvertStatus::UnsupportedCodePage;
    }
    try {
        std::string result;
        result.resize(text.size() * 2 + 8);
        char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
        size_t inLeft = text.size() * sizeof(char16_t);
        size_t used = 0;
        for (;;) {
            char* outPtr = result.data() + used;
            size_t outLeft = result.size() - used;
            const bool flushing = inLeft == 0;
            const size_t rc = flushing ? iconv(lease.Get(), nullptr, nullptr, &outPtr, &outLeft)
                                       : iconv(lease.Get(), &in, &inLeft, &outPtr, &outLeft);
            used = result.size() - outLeft;
            if (rc != static_cast<size_t>(-1)) {
                if (flushing) {
                    break;
                }
                continue;
            }
            if (errno == E2BIG) {
                result.resize(result.size() * 2 + 8);
            } else if (errno == EILSEQ || errno == EINVAL) {
                return PlatConvertStatus::Unmappable;
            } else {
                return PlatConvertStatus::UnsupportedCodePage;
            }
        }
        result.resize(used);
        out = std::move(result);
        return PlatConvertStatus::Ok;
    } catch (const std::bad_alloc&) {
        return PlatConvertStatus::OutOfMemory;
    }
}

// ISO-2022-JP to EUC-JP. Bytes that make no character in the current set become 0xFF,
// which the EUC-JP decoder then turns into U+FFFD.
std::string Iso2022JpToEucJp(std::string_view in)
{
    enum Mode { Ascii, Katakana, Jis0208, Jis0212 } mode = Ascii;
    std::string out;
    out.reserve(in.size() + in.size() / 2);
    size_t i = 0;
    auto starts = [&](const char* seq) {
        const size_t n = std::strlen(seq);
        return in.size() - i >= n && in.compare(i, n, seq) == 0;
    };
    while (i < in.size()) {
        const uint8_t b = static_cast<uint8_t>(in[i]);
        if (b == 0x1B) {
            static const struct {
                const char* seq;
                Mode mode;
            } kEscapes[] = {
                {"\x1B(B", Ascii},    {"\x1B(J", Ascii},    {"\x1B(H", Ascii},
                {"\x1B(I", Katakana}, {"\x1B$@", Jis0208},  {"\x1B$B", Jis0208},
                {"\x1B$(@", Jis0208}, {"\x1B$(B", Jis0208}, {"\x1B$(D", Jis0212},
            };
            bool known = false;
            for (const auto& e : kEscapes) {
                if (starts(e.seq)) {
                    mode = e.mode;
                    i += std::strlen(e.seq);
                    known = true;
                    break;
                }
            }
            if (!known) {
                out.push_back('\x1B');
                ++i;
            }
            continue;
        }
        if (b < 0x21 || b == 0x7F) {
            out.push_back(static_cast<char>(b));   // controls and space pass in any mode
            ++i;
            continue;
        }
        if (b >= 0x80) {
            out.push_back('\xFF');
            ++i;
            continue;
        }
        switch (mode) {
        case Ascii:
            out.push_back(static_cast<char>(b));
            ++i;
            break;
        case Katakana:
            if (b <= 0x5F) {
                out.push_back('\x8E');
                out.push_back(static_cast<char>(b | 0x80));
            } else {
                out.push_back('\xFF');
            }
            ++i;
            break;
        case Jis0208:
        case Jis0212: {
            const uint8_t t = i + 1 < in.size() ? static_cast<uint8_t>(in[i + 1]) : 0;
            if (t < 0x21 || t > 0x7E) {
                out.push_back('\xFF');
                ++i;
                break;
            }
            if (mode == Jis0212) {
                out.push_back('\x8F');
            }
            out.push_back(static_cast<char>(b | 0x80));
            out.push_back(static_cast<char>(t | 0x80));
            i += 2;
            break;
        }
        }
    }
    return out;
}

// EUC-JP to ISO-2022-JP as code page 50221 writes it: half-width katakana through
// ESC ( I, JIS X 0208 through ESC $ B, JIS X 0212 through ESC $ ( D, and a return to
// ASCII before any ASCII byte and at the end.
std::string EucJpToIso2022Jp(std::string_view in)
{
    enum Mode { Ascii, Katakana, Jis0208, Jis0212 } mode = Ascii;
    std::string out;
    out.reserve(in.size() + 16);
    auto enter = [&](Mode m) {
        if (mode == m) {
            return;
        }
        static const char* const kDesignations[] = {"\x1B(B", "\x1B(I", "\x1B$B", "\x1B$(D"};
        out += kDesignations[m];
        mode = m;
    };
    for (size_t i = 0; i < in.size();) {
        const uint8_t b = static_cast<uint8_t>(in[i]);
        if (b < 0x80) {
            enter(Ascii);
            out.push_back(static_cast<char>(b));
            i += 1;
        } else if (b == 0x8E && i + 1 < in.size()) {
            enter(Katakana);
            out.push_back(static_cast<char>(in[i + 1] & 0x7F));
            i += 2;
        } else if (b == 0x8F && i + 2 < in.size()) {
            enter(Jis0212);
            out.push_back(static_cast<char>(in[i + 1] & 0x7F));
            out.push_back(static_cast<char>(in[i + 2] & 0x7F));
            i += 3;
        } else if (i + 1 < in.size()) {
            enter(Jis0208);
            out.push_back(static_cast<char>(b & 0x7F));
            out.push_back(static_cast<char>(in[i + 1] & 0x7F));
            i += 2;
        } else {
            break;   // the encoder never leaves half a character
        }
    }
    enter(Ascii);
    return out;
}

}   // namespace

bool PlatIsCodePageSupported(uint32_t codePage)
{
    if (codePage == kPlatCodePageIso2022Jp) {
        return true;
    }
    if (IconvName(codePage) == nullptr) {
        return false;
    }
    Lease lease(codePage, true);
    return lease.Valid();
}

PlatConvertStatus PlatMultiByteToUtf16(uint32_t codePage, std::string_view bytes, std::u16string& out)
{
    // Every supported code page reads plain ASCII as itself (ISO-2022-JP too, without an
    // ESC), and most DICOM text is ASCII: skip the descriptor for it.
    bool ascii = true;
    for (char c : bytes) {
        const uint8_t b = static_cast<uint8_t>(c);
        ascii = ascii && b < 0x80 && b != 0x1B;
    }
    if (ascii && IconvName(codePage == kPlatCodePageIso2022Jp ? kPlatCodePageEucJp : codePage) != nullptr) {
        try {
            out.assign(bytes.begin(), bytes.end());
        } catch (const std::bad_alloc&) {
            return PlatConvertStatus::OutOfMemory;
        }
        return PlatConvertStatus::Ok;
    }
    if (codePage == kPlatCodePageIso2022Jp) {
        try {
            return IconvToUtf16(kPlatCodePageEucJp, Iso2022JpToEucJp(bytes), out);
        } catch (const std::bad_alloc&) {
            return PlatConvertStatus::OutOfMemory;
        }
    }
    return IconvToUtf16(codePage, bytes, out);
}

PlatConvertStatus PlatUtf16ToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out)
{
    if (codePage == kPlatCodePageIso2022Jp) {
        std::string euc;
        const PlatConvertStatus status = IconvFromUtf16(kPlatCodePageEucJp, text, euc);
        if (status != PlatConvertStatus::Ok) {
            return status;
        }
        try {
            out = EucJpToIso2022Jp(euc);
        } catch (const std::bad_alloc&) {
            return PlatConvertStatus::OutOfMemory;
        }
        return PlatConvertStatus::Ok;
    }
    return IconvFromUtf16(codePage, text, out);
}

bool PlatIsDBCSLeadByte(uint32_t codePage, uint8_t byte)
{
    switch (codePage) {
    case 932: return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950:
    case 51949: return byte >= 0x81 && byte <= 0xFE;
    default: return false;
    }
}

size_t PlatUtf8Character(std::string_view s, uint32_t& cp)
{
    if (s.empty()) {
        return 0;
    }
    const auto c = static_cast<uint8_t>(s[0]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t extra;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() <= extra) {
        return 0;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto t = static_cast<uint8_t>(s[k]);
        if ((t & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (t & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return 0;
    }
    return extra + 1;
}

namespace {

// Where the first unit of 0x80 or above stands, or the size: most paths are all ASCII.
template <class Unit>
size_t AsciiPrefix(std::basic_string_view<Unit> text)
{
    size_t i = 0;
    while (i < text.size() && static_cast<std::make_unsigned_t<Unit>>(text[i]) < 0x80) {
        ++i;
    }
    return i;
}

}   // namespace

std::u16string PlatPathToUtf16(std::string_view bytes)
{
    // The ASCII run at the start widens unit by unit, no character to decode.
    const size_t ascii = AsciiPrefix(bytes);
    std::u16string out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(ascii));
    if (ascii == bytes.size()) {
        return out;
    }
    bytes.remove_prefix(ascii);
    out.reserve(out.size() + bytes.size());
    while (!bytes.empty()) {
        uint32_t cp = 0;
        const size_t n = PlatUtf8Character(bytes, cp);
        if (n == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<uint8_t>(bytes[0])));
            bytes.remove_prefix(1);
            continue;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        bytes.remove_prefix(n);
    }
    return out;
}

std::string PlatUtf16ToPath(std::u16string_view text)
{
    const size_t ascii = AsciiPrefix(text);
    std::string out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(ascii));
    if (ascii == text.size()) {
        return out;
    }
    out.reserve(text.size());
    for (size_t i = ascii; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out.push_back(static_cast<char>(cp - 0xDC00));   // a byte that made no character
            continue;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;   // another lone surrogate names no byte
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}
