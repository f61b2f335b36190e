// How the rest of the daemon reaches the registration-sync agent before, while
// and after it exists: with no agent registered, a save request does nothing
// and a batch of registrations is not taken.
#pragma once

class JsonValue;

// The agent implements this and registers itself while it runs.
class RegSyncTarget {
public:
    virtual ~RegSyncTarget() = default;
    // Any thread: save the registration database at the next loop pass.
    virtual void requestSave() = 0;
    // Any thread: the batch becomes pending and batch gets the previous
    // pending value back.
    virtual void postRegistrations(JsonValue& batch) { (void)batch; }
};

// Null unregisters. The agent unregisters before it is deleted.
void regsync_set_target(RegSyncTarget* target);
// Any thread.
void regsync_request_save();
// Any thread; false when no agent is registered (the batch stays as it was).
bool regsync_post_registrations(JsonValue& batch);
