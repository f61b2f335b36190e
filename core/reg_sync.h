// How the rest of the daemon reaches the registration-sync agent before, while
// and after it exists: a save request with no agent registered does nothing.
#pragma once

// The agent implements this and registers itself while it runs.
class RegSyncSaveTarget {
public:
    virtual ~RegSyncSaveTarget() = default;
    // Any thread: save the registration database at the next loop pass.
    virtual void requestSave() = 0;
};

// Null unregisters. The agent unregisters before it is deleted.
void regsync_set_target(RegSyncSaveTarget* target);
// Any thread.
void regsync_request_save();
