#include "daemon/step_table.h"

#include <string>

#include "core/log.h"

namespace {

void log_failure(const step_log_t& failure, int result)
{
    if (!failure.text)
        return;
    std::string text = failure.text;
    size_t at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(-result));
    LOG(failure.family, failure.level, "%s", text.c_str());
}

void run_shutdown(std::span<const shutdown_step_t> list, size_t from)
{
    for (size_t i = from; i < list.size(); i++)
        if (list[i].run)
            list[i].run();
}

}  // namespace

int run_steps(const step_lists_t& lists)
{
    bool ask = !lists.stops_from;
    for (const startup_step_t& step : lists.startup) {
        int result = step.run ? step.run() : 0;
        // Leaving at once needs no shutdown, stop or no stop.
        if (result < 0 && step.on_failure.kind == exit_path_t::quit) {
            log_failure(step.failure, result);
            return step.on_failure.code;
        }
        ask = ask || std::string_view(step.name) == lists.stops_from;
        if (ask && lists.stop_requested && lists.stop_requested())
            break;
        if (result >= 0)
            continue;
        log_failure(step.failure, result);
        switch (step.on_failure.kind) {
        case exit_path_t::go_on:
        case exit_path_t::quit:
            break;
        case exit_path_t::reboot:
            if (lists.reboot)
                lists.reboot();
            break;
        case exit_path_t::shutdown: {
            int from = shutdown_step_index(lists.shutdown, step.on_failure.from);
            // An unknown name cannot be built (exit_paths_resolve); the whole
            // list is the safe reading anyway.
            run_shutdown(lists.shutdown, from < 0 ? 0 : size_t(from));
            return 0;
        }
        }
    }
    run_shutdown(lists.shutdown, 0);
    return 0;
}
