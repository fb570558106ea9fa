// libFuzzer target for what kevo-edit reads whole before it opens a file:
// a table of values (--from) and a report to revert (--revert). The same
// bytes are read as both.
//
// What must hold for every input:
//  - a table taken gives one plan per row, each path once and not empty,
//    each value within what an 'i' atom takes, and each selector one that
//    parses;
//  - a report taken gives plans only with as many sets as conditions, on
//    the same selectors, each of which parses;
//  - a table or a report refused says why and gives no plan.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "container/kevo_container.h"
#include "edit/kevo_edit.h"
#include "fuzz/fuzz_support.h"
#include "tool/edit_plans.h"

namespace {

const char* const kTarget = "plans_fuzzer";

kevo_fuzz::ScratchFile* gScratch = nullptr;

[[noreturn]] void fail(const char* rule)
{
    kevo_fuzz::fail(kTarget, rule);
}

bool parses(const std::string& selector)
{
    kevo_selector parsed{};
    return kevo_parseSelector(selector, &parsed) == 1;
}

void checkTable(const std::vector<kevo_filePlan>& plans)
{
    std::set<std::string> paths;
    for (const kevo_filePlan& plan : plans) {
        if (plan.path.empty() || !paths.insert(plan.path).second || !plan.conditions.empty()) {
            fail("a table gave an empty path, a path twice, or a condition");
        }
        for (const auto& [selector, value] : plan.sets) {
            if (!parses(selector) || value < KEVO_VALUE_MIN || value > KEVO_VALUE_MAX) {
                fail("a table gave a selector that does not parse or a value out of range");
            }
        }
    }
}

void checkRevert(const std::vector<kevo_filePlan>& plans)
{
    for (const kevo_filePlan& plan : plans) {
        if (plan.sets.empty() || plan.sets.size() != plan.conditions.size()) {
            fail("a revert plan does not compare each value it sets back");
        }
        for (size_t i = 0; i < plan.sets.size(); ++i) {
            if (plan.sets[i].first != plan.conditions[i].first || !parses(plan.sets[i].first)) {
                fail("a revert plan sets another atom than it compares");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gScratch = new kevo_fuzz::ScratchFile("kevo-plans");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    gScratch->rewrite(data, size);
    std::vector<kevo_filePlan> plans;
    const std::string table = kevo_planTable(gScratch->path(), &plans);
    if (table.empty()) {
        checkTable(plans);
    } else if (!plans.empty()) {
        fail("a table refused gave plans");
    }
    plans.clear();
    const std::string report = kevo_planRevert(gScratch->path(), &plans);
    if (report.empty()) {
        checkRevert(plans);
    } else if (!plans.empty()) {
        fail("a report refused gave plans");
    }
    return 0;
}
