#include "pyr/pyrstring.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Never written: every write goes through a buffer that the string owns.
const char16_t kSharedEmpty[1] = {0};

size_t TextLength(const char16_t* text)
{
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

size_t TextLength(const char16_t* text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != 0) {
        ++n;
    }
    return n;
}

// The string's length field is 32-bit, and one unit is kept for the terminator.
constexpr size_t kMaxLength = UINT32_MAX - 1;

}   // namespace

const char16_t* PyrString::SharedEmptyBuffer()
{
    return kSharedEmpty;
}

PyrString::PyrString() noexcept : buffer_(const_cast<char16_t*>(kSharedEmpty)), length_(0), capacity_(1)
{
}

PyrString::PyrString(const char16_t* text) : PyrString()
{
    Assign(text);
}

PyrString::PyrString(const char16_t* text, int32_t count) : PyrString()
{
    if (text == nullptr || count == 0) {
        return;
    }
    const size_t n = count < 0 ? TextLength(text) : TextLength(text, static_cast<size_t>(count));
    if (n > kMaxLength) {
        return;
    }
    AssignUnits(text, static_cast<uint32_t>(n));
}

PyrString::PyrString(const PyrString& other) : PyrString()
{
    AssignUnits(other.buffer_, other.length_);
}

PyrString::PyrString(PyrString&& other) noexcept
    : buffer_(other.buffer_), length_(other.length_), capacity_(other.capacity_)
{
    other.buffer_ = const_cast<char16_t*>(kSharedEmpty);
    other.length_ = 0;
    other.capacity_ = 1;
}

PyrString::~PyrString()
{
    Release();
}

bool PyrString::OwnsBuffer() const
{
    return buffer_ != kSharedEmpty;
}

PyrString& PyrString::operator=(const PyrString& other)
{
    if (other.buffer_ == buffer_) {
        return *this;
    }
    if (other.length_ == 0) {
        Release();
        return *this;
    }
    AssignUnits(other.buffer_, other.length_);
    return *this;
}

PyrString& PyrString::operator=(PyrString&& other) noexcept
{
    if (&other != this) {
        Release();
        buffer_ = other.buffer_;
        length_ = other.length_;
        capacity_ = other.capacity_;
        other.buffer_ = const_cast<char16_t*>(kSharedEmpty);
        other.length_ = 0;
        other.capacity_ = 1;
    }
    return *this;
}

PyrString& PyrString::Assign(const char16_t* text)
{
    if (text == buffer_) {
        return *this;
    }
    if (text == nullptr || text[0] == 0) {
        Release();
        return *this;
    }
    const size_t n = TextLength(text);
    if (n > kMaxLength) {
        return *this;
    }
    AssignUnits(text, static_cast<uint32_t>(n));
    return *this;
}

// Copies `length` units; the source may lie inside this string's own buffer.
void PyrString::AssignUnits(const char16_t* text, uint32_t length)
{
    if (length == 0) {
        Release();
        return;
    }
    if (OwnsBuffer() && text >= buffer_ && text < buffer_ + capacity_) {
        PyrString copy(text, static_cast<int32_t>(length <= INT32_MAX ? length : -1));
        *this = std::move(copy);
        return;
    }
    if (!OwnsBuffer()) {
        auto* fresh = static_cast<char16_t*>(std::malloc((size_t(length) + 1) * sizeof(char16_t)));
        if (fresh == nullptr) {
            return;   // stays empty
        }
        std::memcpy(fresh, text, size_t(length) * sizeof(char16_t));
        fresh[length] = 0;
        buffer_ = fresh;
        capacity_ = length + 1;
        length_ = length;
        return;
    }
    if (!Resize(length)) {
        return;
    }
    std::memcpy(buffer_, text, size_t(length) * sizeof(char16_t));
}

bool PyrString::Reserve(uint32_t count)
{
    if (count > kMaxLength) {
        return false;
    }
    if (!OwnsBuffer()) {
        if (count == 0) {
            return true;
        }
        auto* fresh = static_cast<char16_t*>(std::calloc(size_t(count) + 1, sizeof(char16_t)));
        if (fresh == nullptr) {
            return false;
        }
        buffer_ = fresh;
        capacity_ = count + 1;
        return true;
    }
    if (count < capacity_) {
        return true;
    }
    auto* grown = static_cast<char16_t*>(std::realloc(buffer_, (size_t(count) + 1) * sizeof(char16_t)));
    if (grown == nullptr) {
        return false;
    }
    std::memset(grown + capacity_, 0, (size_t(count) + 1 - capacity_) * sizeof(char16_t));
    buffer_ = grown;
    capacity_ = count + 1;
    return true;
}

bool PyrString::Resize(uint32_t length)
{
    if (OwnsBuffer() && length < capacity_) {
        std::memset(buffer_ + length, 0, size_t(capacity_ - length) * sizeof(char16_t));
        length_ = length;
        return true;
    }
    if (!Reserve(length)) {
        return false;
    }
    // On the shared buffer only a length of 0 gets here.
    length_ = length;
    return true;
}

void PyrString::Release()
{
    if (OwnsBuffer()) {
        std::free(buffer_);
    }
    buffer_ = const_cast<char16_t*>(kSharedEmpty);
    length_ = 0;
    capacity_ = 1;
}

void PyrString::ShrinkToFit()
{
    if (!OwnsBuffer()) {
        return;
    }
    const size_t n = TextLength(buffer_, capacity_);
    if (n == 0) {
        Release();
        return;
    }
    auto* shrunk = static_cast<char16_t*>(std::realloc(buffer_, (n + 1) * sizeof(char16_t)));
    if (shrunk == nullptr) {
        return;
    }
    shrunk[n] = 0;
    buffer_ = shrunk;
    length_ = static_cast<uint32_t>(n);
    capacity_ = static_cast<uint32_t>(n + 1);
}

PyrString& PyrString::Append(const char16_t* text, int32_t count)
{
    if (text == nullptr || text == kSharedEmpty || count == 0) {
        return *this;
    }
    const size_t n = count < 0 ? TextLength(text) : TextLength(text, static_cast<size_t>(count));
    if (n == 0 || n > kMaxLength - length_) {
        return *this;
    }
    if (OwnsBuffer() && text >= buffer_ && text < buffer_ + capacity_) {
        const PyrString copy(text, static_cast<int32_t>(n <= INT32_MAX ? n : -1));   // growing may move our buffer
        return Append(copy.buffer_, -1);
    }
    const uint32_t old = length_;
    if (!Resize(old + static_cast<uint32_t>(n))) {
        return *this;
    }
    std::memcpy(buffer_ + old, text, n * sizeof(char16_t));
    return *this;
}

PyrString& PyrString::Append(const PyrString& other)
{
    if (other.length_ == 0) {
        return *this;
    }
    if (&other == this) {
        const PyrString copy(other);
        return Append(copy.buffer_, -1);
    }
    return Append(other.buffer_, -1);
}

int32_t PyrString::Find(const PyrString& needle, int32_t start) const
{
    if (length_ == 0 || needle.length_ == 0 || needle.length_ > length_) {
        return -1;
    }
    const uint32_t first = start < 0 ? 0u : static_cast<uint32_t>(start);
    const uint32_t last = length_ - needle.length_;
    if (first > last || last > INT32_MAX) {
        return -1;
    }
    for (uint32_t i = first; i <= last; ++i) {
        if (std::memcmp(buffer_ + i, needle.buffer_, size_t(needle.length_) * sizeof(char16_t)) == 0) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

PyrString PyrString::Substring(int32_t start, int32_t count) const
{
    if (length_ == 0 || start < 0 || static_cast<uint32_t>(start) > length_ || count == 0) {
        return PyrString();
    }
    const uint32_t available = length_ - static_cast<uint32_t>(start);
    const uint32_t n = count < 0 ? available : std::min<uint32_t>(available, static_cast<uint32_t>(count));
    PyrString result;
    result.AssignUnits(buffer_ + start, n);
    return result;
}

bool PyrString::operator==(const char16_t* text) const
{
    if (text == nullptr) {
        return length_ == 0;
    }
    uint32_t i = 0;
    for (; i < length_; ++i) {
        if (buffer_[i] != text[i]) {
            return false;
        }
    }
    return text[i] == 0;
}

bool PyrString::operator==(const PyrString& other) const
{
    return length_ == other.length_ && std::memcmp(buffer_, other.buffer_, size_t(length_) * sizeof(char16_t)) == 0;
}

float PyrString::ToFloat() const
{
    if (length_ == 0) {
        return 0.0f;
    }
    const double d = PyrTextToDouble(buffer_);
    // Narrow as the hardware does (round to nearest): past the midpoint between FLT_MAX
    // and 2^128 a value becomes infinite, below it FLT_MAX.
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
        const bool overflow = std::fabs(d) >= std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
        const float magnitude = overflow ? HUGE_VALF : FLT_MAX;
        return d > 0 ? magnitude : -magnitude;
    }
    return static_cast<float>(d);
}

PyrString JoinPyrStrings(const std::vector<PyrString>& values, const PyrString& separator)
{
    PyrString result;
    if (values.empty()) {
        return result;
    }
    const uint64_t hint = uint64_t(values.size()) * values.front().GetLength();
    if (hint <= kMaxLength) {
        result.Reserve(static_cast<uint32_t>(hint));
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            result.Append(separator);
        }
        result.Append(values[i]);
    }
    result.ShrinkToFit();
    return result;
}

namespace {
void SplitInto(const PyrString& text, std::vector<PyrString>& values, const PyrString& separator,
               const PyrString& escape);
}   // namespace

bool SplitPyrString(const PyrString& text, std::vector<PyrString>& values, const PyrString& separator,
                    const PyrString& escape)
{
    try {
        SplitInto(text, values, separator, escape);
        return true;
    } catch (const std::bad_alloc&) {
        values.clear();
        return false;
    }
}

namespace {

void SplitInto(const PyrString& text, std::vector<PyrString>& values, const PyrString& separator,
               const PyrString& escape)
{
    values.clear();
    if (text.IsEmpty()) {
        return;
    }
    if (separator.IsEmpty()) {
        values.push_back(text);
        return;
    }
    const std::u16string_view all = text.View();
    const std::u16string_view sep = separator.View();
    const std::u16string_view esc = escape.View();
    size_t pieceStart = 0;
    size_t from = 0;
    for (;;) {
        const size_t hit = all.find(sep, from);
        if (hit == std::u16string_view::npos) {
            break;
        }
        const bool escaped = !esc.empty() && hit >= esc.size() && all.substr(hit - esc.size(), esc.size()) == esc;
        if (!escaped) {
            values.emplace_back(all.data() + pieceStart, static_cast<int32_t>(hit - pieceStart));
            pieceStart = hit + sep.size();
        }
        from = hit + sep.size();
    }
    values.emplace_back(all.data() + pieceStart, static_cast<int32_t>(all.size() - pieceStart));
}

}   // namespace
