#include "platform/platevent.h"

#include <ctime>

PlatEvent::PlatEvent(bool manualReset, bool initiallySet) : manualReset_(manualReset), set_(initiallySet)
{
    pthread_mutex_init(&mutex_, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
}

PlatEvent::~PlatEvent()
{
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
}

void PlatEvent::Set()
{
    pthread_mutex_lock(&mutex_);
    set_ = true;
    if (manualReset_) {
        pthread_cond_broadcast(&cond_);
    } else {
        pthread_cond_signal(&cond_);
    }
    pthread_mutex_unlock(&mutex_);
}

void PlatEvent::Reset()
{
    pthread_mutex_lock(&mutex_);
    set_ = false;
    pthread_mutex_unlock(&mutex_);
}

bool PlatEvent::Wait(uint32_t timeoutMs)
{
    pthread_mutex_lock(&mutex_);
    if (timeoutMs == kPlatInfinite) {
        while (!set_) {
            pthread_cond_wait(&cond_, &mutex_);
        }
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!set_) {
            if (pthread_cond_timedwait(&cond_, &mutex_, &deadline) != 0 && !set_) {
                pthread_mutex_unlock(&mutex_);
                return false;
            }
        }
    }
    if (!manualReset_) {
        set_ = false;
    }
    pthread_mutex_unlock(&mutex_);
    return true;
}
