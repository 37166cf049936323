#pragma once

// A cell's access to the helper of one of its images.

#include <mutex>

#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

// The helper with the image's lock held, so no loader replaces or deletes it meanwhile; with
// frames set, the helper's own lock too, for reading its frame store.
struct XEVLockedHelper {
    explicit XEVLockedHelper(ImageInfo* image, bool frames = false)
    {
        if (image == nullptr) {
            return;
        }
        imageLock = std::unique_lock<PlatRecursiveLock>(image->GetLock());
        helper = image->GetHelper();
        if (helper != nullptr && frames) {
            helperLock = std::unique_lock<PlatRecursiveLock>(helper->lock);
        }
    }
    void Unlock()
    {
        if (helperLock.owns_lock()) {
            helperLock.unlock();
        }
        if (imageLock.owns_lock()) {
            imageLock.unlock();
        }
    }

    std::unique_lock<PlatRecursiveLock> imageLock;
    std::unique_lock<PlatRecursiveLock> helperLock;
    XEVVEKHelper* helper = nullptr;
};
