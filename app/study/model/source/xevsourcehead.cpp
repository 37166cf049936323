#include "study/xevsourcehead.h"
#include "shell/xev_utility.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/platcodepage.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"
#include "vek_fileinputstorage.h"
#include "vek_object.h"

namespace {

// An archive member's head as a storage: positions up to the declared size, bytes only as
// far as the head was inflated.
class XEVMemberHeadStorage : public VEK_InputStorage {
public:
    using VEK_InputStorage::VEK_InputStorage;

    bool initiate(std::unique_ptr<ZipMemberHead>* head)
    {
        if (head == nullptr || *head == nullptr) {
            return false;
        }
        head_ = std::move(*head);
        size_ = int32_t(std::min<uint64_t>(head_->DeclaredSize(), INT32_MAX));
        return true;
    }
    bool terminate() override
    {
        head_.reset();
        return true;
    }
    bool is_empty() const override { return head_ == nullptr; }
    int32_t get() override
    {
        uint8_t byte = 0;
        return read(&byte, 1) == 1 ? byte : -1;
    }
    int32_t read(void* buffer, int32_t n) override
    {
        if (head_ == nullptr || n <= 0 || position_ >= size_) {
            return 0;
        }
        const size_t got = head_->ReadAt(uint64_t(position_), buffer, size_t(std::min(n, size_ - position_)));
        position_ += int32_t(got);
        return int32_t(got);
    }
    int32_t tell() override { return position_; }
    int32_t skip(int32_t n) override
    {
        const int32_t old = position_;
        position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, size_));
        return position_ - old;
    }
    int32_t size() override { return size_; }
    bool to_begin() override
    {
        position_ = 0;
        return true;
    }
    bool to_end() override
    {
        position_ = size_;
        return true;
    }

private:
    std::unique_ptr<ZipMemberHead> head_;
    int32_t position_ = 0;
    int32_t size_ = 0;
};

}   // namespace

bool XEVSourceSize(const QString& path, uint64_t& size)
{
    const std::string nativePath = XEVNativePath(path);
    std::error_code error;
    const uintmax_t fileSize = std::filesystem::file_size(nativePath, error);
    if (!error) {
        size = uint64_t(fileSize);
        return true;
    }
    std::string zipPath;
    std::string folder;
    GetLoadState().ArchiveHolding(nativePath, zipPath, folder);
    return !zipPath.empty() && ZipMemberSize(zipPath, folder, nativePath, size) == kZipOk;
}

VEK_InputStorage* XEVOpenSourceHeader(VEK_Manager* manager, const QString& path, uint64_t headLimit)
{
    const std::string nativePath = XEVNativePath(path);
    std::string zipPath;
    std::string folder;
    GetLoadState().ArchiveHolding(nativePath, zipPath, folder);
    std::error_code error;
    if (zipPath.empty() || std::filesystem::exists(nativePath, error)) {
        return VEK_FileInputStorage::create(manager, nativePath.c_str());
    }
    auto head = std::make_unique<ZipMemberHead>();
    if (head->Open(zipPath, folder, nativePath, headLimit != 0 ? headLimit : kZipHeadLimit) != kZipOk) {
        return nullptr;
    }
    return vek_create<XEVMemberHeadStorage>(manager, &head);
}
