#include "mgmt/var_store.h"

#include "core/log.h"

std::atomic<bool> standaloneMode{false};
MyVarStore varStore;

void MyVarStore::computeSummary()
{
    alarmSummary = !level1.empty() ? 1 : !level2.empty() ? 2 : 0;
}

void MyVarStore::setAlarm(const std::string& id, int level)
{
    MutexLock lock(mutex);
    if (level == 0) {
        level1.erase(id);
        level2.erase(id);
    } else if (level == 1) {
        level1.insert(id);
    } else {
        level2.insert(id);
    }
    alarmChanges[id] = MyVarValue(MyVarValue::INT8, level);
    if (alarmSummary != summary_unknown)
        computeSummary();
    alarmRepeat = alarm_repeats;
    if (alarmCountdown == 0)
        alarmCountdown = 1;
}

void MyVarStore::publish(const std::string& id, const MyVarValue& value)
{
    MutexLock lock(mutex);
    values.erase(id);
    MyVarValue copy;
    copy.type = value.type;
    copy.value = value.value;
    copy.text = value.text;
    copy.repeat = value_repeats;
    if (!values.emplace(id, std::move(copy)).second)
        LOG(LOGF_GENERAL, 3, "===> error inserting pair");
    valueRepeat = value_repeats;
    if (valueCountdown == 0)
        valueCountdown = value_period;
}

int MyVarStore::alarmLevel(const std::string& id)
{
    MutexLock lock(mutex);
    return level1.count(id) ? 1 : level2.count(id) ? 2 : 0;
}

int MyVarStore::summary()
{
    MutexLock lock(mutex);
    return alarmSummary;
}

void MyVarStore::updateSummary()
{
    MutexLock lock(mutex);
    computeSummary();
}

void MyVarStore::reset()
{
    MutexLock lock(mutex);
    alarmChanges.clear();
    level1.clear();
    level2.clear();
    alarmSummary = summary_unknown;
    alarmRepeat = alarmCountdown = 0;
    alarmChunks.clear();
    values.clear();
    valueRepeat = valueCountdown = 0;
    valuesSending.clear();
}

void poller_set_alarm(const std::string& id, int level)
{
    if (standaloneMode.load(std::memory_order_acquire))
        return;
    varStore.setAlarm(id, level);
}

void poller_publish_var(const std::string& id, const MyVarValue& value)
{
    if (standaloneMode.load(std::memory_order_acquire))
        return;
    varStore.publish(id, value);
}
