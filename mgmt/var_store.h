// What the daemon publishes for the chassis controller: alarms with a level
// and changed values, collected here until the management link sends them.
#pragma once

#include <atomic>
#include <set>
#include <string>

#include "core/mutex.h"
#include "mgmt/my_snmp.h"

// Set once by the poller thread when the board turns out to have no
// controller; publishing then does nothing.
extern std::atomic<bool> standaloneMode;

// Every map and set keeps byte-wise ID order, the order of the link's lists.
class MyVarStore {
public:
    static constexpr int summary_unknown = 255;
    static constexpr int alarm_repeats = 4;
    static constexpr int value_repeats = 2;
    static constexpr int value_period = 250;   // poller passes

    void setAlarm(const std::string& id, int level);
    void publish(const std::string& id, const MyVarValue& value);

    // 1 when id is raised with level 1, else 2 when with level 2, else 0.
    int alarmLevel(const std::string& id);
    int summary();
    // The controller introduced itself: the summary follows the alarm sets.
    void updateSummary();
    // Back to the start state (empty, summary unknown).
    void reset();

    // Guards every field below; the management link holds it while it
    // builds a notification from them.
    Mutex mutex;
    MyVarValueList alarmChanges;   // ID -> INT8 level, changed since last cleared
    std::set<std::string> level1;
    std::set<std::string> level2;
    int alarmSummary = summary_unknown;
    int alarmRepeat = 0;
    int alarmCountdown = 0;
    MyVarValueList alarmChunks;    // an alarm map too large for one packet
    MyVarValueList values;         // each entry's repeat counts its own sends
    int valueRepeat = 0;
    int valueCountdown = 0;
    MyVarValueList valuesSending;

private:
    void computeSummary();
};

extern MyVarStore varStore;

// Level 0 clears, 1 raises with level 1, anything else with level 2.
// Any thread; nothing in standalone mode.
void poller_set_alarm(const std::string& id, int level);
// Replaces the published value of id. Any thread; nothing in standalone mode.
void poller_publish_var(const std::string& id, const MyVarValue& value);
