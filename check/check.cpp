// The check as a start runs it: the rules, then, where the settings can
// relay, the wait for the relay's port.

#include <algorithm>

#include "check/internal.h"

check_report check_file(const char *path, unsigned wait_port)
{
    check_report report = check_rules(path);
    // A port held for a moment, by a client's socket or a service still
    // stopping, is waited out; one held for good fails the start once, with
    // the daemon's own words, rather than start after start.
    bool errors =
        std::any_of(report.findings.begin(), report.findings.end(),
                    [](const check_finding &each) { return check_describe(each.kind).error; });
    if (wait_port == 0 || errors || check_port_frees(report.settings.port, wait_port))
        return report;
    const auto *const port =
        std::find_if(MODULE_SETTINGS.begin(), MODULE_SETTINGS.end(),
                     [](const module_setting &each) { return each.role == setting_role::port; });
    report.findings.push_back({check_kind::port_in_use, report.line[port - MODULE_SETTINGS.begin()],
                               port, "", std::to_string(wait_port)});
    return report;
}
