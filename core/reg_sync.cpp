#include "core/reg_sync.h"

#include "core/mutex.h"

namespace {
// Guards target, so that a request never reaches an agent being deleted.
Mutex reg_sync_mutex;
RegSyncSaveTarget* target = nullptr;
}  // namespace

void regsync_set_target(RegSyncSaveTarget* t)
{
    MutexLock lock(reg_sync_mutex);
    target = t;
}

void regsync_request_save()
{
    MutexLock lock(reg_sync_mutex);
    if (target)
        target->requestSave();
}
