#include "core/reg_sync.h"

#include "core/mutex.h"

namespace {
// Guards target, so that nothing reaches an agent being deleted.
Mutex reg_sync_mutex;
RegSyncTarget* target = nullptr;
}  // namespace

void regsync_set_target(RegSyncTarget* t)
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

bool regsync_post_registrations(JsonValue& batch)
{
    MutexLock lock(reg_sync_mutex);
    if (!target)
        return false;
    target->postRegistrations(batch);
    return true;
}
