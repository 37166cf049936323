#include "zipfuzzentry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platfolder.h"
#include "shell/xevziparchive.h"

namespace {

bool KnownCode(int32_t code)
{
    static const std::set<int32_t> codes = {
        kZipOk,         kZipNoMatch,    kZipNoBuffer,   kZipCreateFailed, kZipNotOpen,      kZipWriteFailed,
        kZipNotFound,   kZipOpenFailed, kZipReadFailed, kZipCloseFailed,  kZipNoFirstEntry, kZipInfoFailed,
        kZipNextFailed, kZipNoSpace,    kZipTooLarge,   kZipUnreadable,   kZipOverBudget,   kZipLink};
    return codes.count(code) != 0;
}

// One private folder per process, emptied before each input and removed at exit.
class WorkFolder {
public:
    WorkFolder()
    {
        std::string pattern = PlatGetTempFolder() + "kv_zip_fuzz_XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        path_ = made != nullptr ? made : "";
    }
    ~WorkFolder()
    {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::string ReadWhole(const std::string& path)
{
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.append(chunk, got);
        }
        std::fclose(file);
    }
    return bytes;
}

// The member's head read in place: never more than asked nor past the declared size, the
// same size ExtractZipMember took, and, when the member came out whole, its very bytes, read
// out of order and past a small limit.
template <class Check>
void CheckHead(const std::string& zipPath, const std::string& folder, const std::string& path,
               const std::string& extractedTo, Check check)
{
    const bool extracted = !extractedTo.empty();
    ZipMemberHead head;
    const int32_t opened = head.Open(zipPath, folder, path);
    check(KnownCode(opened));
    uint64_t size = 0;
    const int32_t sized = ZipMemberSize(zipPath, folder, path, size);
    check(!extracted || (opened == kZipOk && sized == kZipOk));
    if (opened != kZipOk) {
        return;
    }
    check(size == head.DeclaredSize());
    const std::string whole = extracted ? ReadWhole(extractedTo) : std::string();
    check(!extracted || whole.size() == size);
    char buffer[700];
    for (const uint64_t offset : {uint64_t(300), uint64_t(0), size > 5 ? size - 5 : 0, size, size + 9}) {
        const size_t got = head.ReadAt(offset, buffer, sizeof buffer);
        check((got == 0 || offset + got <= size) && got <= sizeof buffer);
        check(!extracted || std::string(buffer, got) == whole.substr(std::min<uint64_t>(offset, size), got));
        check(!extracted || got == std::min<uint64_t>(sizeof buffer, size - std::min(offset, size)));
    }
    ZipMemberHead small;
    if (small.Open(zipPath, folder, path, 100) == kZipOk) {
        check(small.ReadAt(90, buffer, sizeof buffer) <= 10 && small.ReadAt(100, buffer, 1) == 0);
    }
}

// The entry's name normalised (both separators, no empty or "." parts) and taken below the
// DICOMDIR's folder; empty when it lies elsewhere.
std::string PlaceBelow(const std::string& name, const std::string& dicomDirFolder)
{
    std::string normalised;
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '/' && name[i] != '\\') {
            part += name[i];
            continue;
        }
        if (!part.empty() && part != ".") {
            normalised += (normalised.empty() ? "" : "/") + part;
        }
        part.clear();
    }
    if (normalised.compare(0, dicomDirFolder.size(), dicomDirFolder) != 0) {
        return std::string();
    }
    return normalised.substr(dicomDirFolder.size());
}

}   // namespace

ZipFuzzReport ZipFuzzRead(const uint8_t* data, size_t size)
{
    ZipFuzzReport report;
    auto check = [&report](bool holds) { report.broken += holds ? 0 : 1; };
    static const WorkFolder folderOfProcess;
    const std::string& work = folderOfProcess.Path();
    if (work.empty()) {
        ++report.broken;
        return report;
    }
    const std::string zipPath = work + "/input.zip";
    const std::string folder = work + "/out";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (std::FILE* file = std::fopen(zipPath.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    ::mkdir(folder.c_str(), 0700);
    // Each input is a new archive at the same path, written within the clock's tick.
    ZipForgetIndex();
    // Its members go into an emptied folder: none of the last input's copies is there.
    ZipForgetExtracted(folder);

    ZipArchive archive;
    std::vector<std::string> names;
    std::vector<unz_file_info64> infos;
    if (archive.Open(zipPath) != kZipOk) {
        return report;
    }
    const int32_t listed = archive.List(names, infos);
    check(KnownCode(listed));
    check(names.size() == infos.size());
    // No name past what a path can be is taken.
    check(
        std::all_of(names.begin(), names.end(), [](const std::string& name) { return name.size() <= kZipNameLimit; }));
    archive.Close();
    report.entries = static_cast<uint32_t>(names.size());

    const std::shared_ptr<const ZipMemberIndex> index = ZipIndexOf(zipPath);
    const std::string dicomDirFolder = index != nullptr ? index->DicomDirFolder() : std::string();
    check(index == nullptr || index->Charged() <= kZipIndexBudget);
    uint32_t tried = 0;
    for (size_t i = 0; i < names.size() && tried < 8; ++i) {
        // Members are named by their place below the DICOMDIR's folder.
        const std::string relative = PlaceBelow(names[i], dicomDirFolder);
        const size_t cut = relative.rfind('/');
        const std::string file = cut == std::string::npos ? relative : relative.substr(cut + 1);
        if (!IsSafeZipMember(names[i], infos[i]) || file.empty() || infos[i].uncompressed_size > (1u << 20)) {
            continue;
        }
        ++tried;
        const std::string entryFolder = folder + "/" + std::to_string(i);
        const std::string path = folder + "/" + relative;
        const std::string target = entryFolder + "/" + file;
        const int32_t code = ExtractZipMember(zipPath, folder, path, target);
        check(KnownCode(code));
        // A success leaves exactly the file; a failure nothing half-written.
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(entryFolder, ignored)) {
            files += entry.is_regular_file() ? 1 : 0;
        }
        check(files == (code == kZipOk ? 1u : 0u));
        report.extracted += code == kZipOk ? 1 : 0;
        CheckHead(zipPath, folder, path, code == kZipOk ? target : std::string(), check);
        std::filesystem::remove_all(entryFolder, ignored);
    }
    return report;
}
