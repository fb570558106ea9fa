// What kevo-edit does to each file when that is not the same for all: the
// row of a table of values (--from), or the undoing of what an earlier
// run's report says it edited (--revert). Both are read and checked whole
// before any file is opened.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct kevo_filePlan {
    std::string path;
    // SEL and VALUE, as --set and --if would give them.
    std::vector<std::pair<std::string, int64_t>> sets;
    std::vector<std::pair<std::string, int64_t>> conditions;
};

// Reads the table at `path` ("-": standard input), as kevo-info --get
// writes it: a header row "path,SEL,SEL..." (or tab-separated), then one
// row per file, a cell left empty where its atom is to be left alone.
// Returns "" with a plan per row added, in order; or why not, naming the
// line, with no plan added: a row of the wrong width, a selector that does
// not parse or is given twice, a value out of range, a path given twice.
std::string kevo_planTable(const char* path, std::vector<kevo_filePlan>* plans);

// Reads the report at `path` that kevo-edit --json wrote, and plans, for
// each file it shows edited, each value set back to what it was, on the
// condition that every value still holds what that run wrote. Returns ""
// with the plans added, or why the file is not such a report, with none.
std::string kevo_planRevert(const char* path, std::vector<kevo_filePlan>* plans);
